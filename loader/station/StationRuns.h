#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/ExtractedLibrary.h"
#include "station/JobFile.h"
#include "station/Station.h"

// A station's slots as this program runs them: status polls from the station's own process,
// and each download or version check in a unit-loader-cli process of its own (the protocol
// library serves one port per process), which records its own attempt; the supervision is
// units::ChildRun's. The command line's station and the window's share it.
class StationRuns {
public:
    struct Setup {
        std::string program;  // the unit-loader-cli the runs are started from
        std::string records;  // the records file; empty: nothing is recorded
        std::string operatorName;
    };

    StationRuns();
    ~StationRuns();
    StationRuns(const StationRuns&) = delete;
    StationRuns& operator=(const StationRuns&) = delete;

    // Writes the image as read at start, and the protocol library, into a private folder the
    // runs read them from: a file changed on disk afterwards changes nothing. False (with
    // `error`) when that cannot be done.
    bool prepare(const station::Job& job, const std::vector<std::uint8_t>& image, Setup setup, std::string& error);
    // The connection of one of the job's slots; for the station's LinkMaker.
    std::unique_ptr<station::SlotLink> link(std::size_t slot) const;
    // Removes the private folder (once every run has ended); the destructor does too.
    void remove();
    // The protocol library's copy (for a process that must remove it when ended at once).
    const std::string& libraryPath() const { return library_.path(); }

    struct Shared;

private:
    std::unique_ptr<Shared> shared_;
    std::string dir_;
    ExtractedLibrary library_;
};
