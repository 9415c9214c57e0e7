#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "station/JobFile.h"

class UnitPort;

namespace station {
class PathWatch;

// What one look at a slot found.
enum class Sign {
    None,        // nothing answered (hotplug: the path is not there, or went since the last look)
    PowerUp,     // a unit that has just powered up: its status is Reset
    InDownload,  // a unit in download mode (flash busy or ready, a verify result)
    Unit,        // any other answer (hotplug: the path is there)
    Garbled,     // a reply with a wrong check code: something answers, but cannot be understood
};

// Whether a unit is in a slot. "poll": it answers a status request on the slot's port (the
// port is held between polls and let go before a run); "hotplug": the port's path exists, as
// with an adapter per unit.

class PresenceProbe {
public:
    PresenceProbe(std::string port, std::uint32_t baud, Presence mode);
    ~PresenceProbe();
    PresenceProbe(const PresenceProbe&) = delete;
    PresenceProbe& operator=(const PresenceProbe&) = delete;

    // One look; a poll waits at most 300 ms for the answer.
    Sign look();
    // The version the unit reports; nothing when it does not answer (hotplug: the port is opened
    // for it).
    std::optional<std::string> version();
    // Brings a unit left in download mode back to idle (Disable): it waits, bounded, for flash
    // work to end, ends the download with a verify and takes the result. False when the unit
    // stays in download mode or does not answer.
    bool settle();
    void release();
    // Hotplug: until the port's folder changes or `limit` passes (true); poll: nothing to wait
    // for (false), the caller paces its polls.
    bool wait(std::chrono::milliseconds limit);

private:
    std::string port_;
    std::int32_t baud_;
    Presence mode_;
    std::unique_ptr<UnitPort> unit_;
    std::unique_ptr<PathWatch> watch_;
    bool open_ = false;

    bool openPort();
};

}  // namespace station
