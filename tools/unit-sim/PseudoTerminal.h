#pragma once

#include <string>

namespace unitsim {

// A pseudo-terminal pair standing in for the serial line. The master side is the unit's end; the
// slave device is what the host opens as its serial port. One slave descriptor is kept open here
// so that the master never sees a hang-up while the host closes and reopens the port between
// sessions. Throws std::system_error when the pair cannot be made.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Non-blocking; -1 once the line has been dropped.
    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    bool isOpen() const { return master_ >= 0; }

    // Bytes written by the unit that the host has not read yet (0 once the line is dropped).
    int pendingForHost() const;

    // Drops the line: the host's next read or write on the slave fails.
    void close();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace unitsim
