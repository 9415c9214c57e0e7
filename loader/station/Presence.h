#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "station/JobFile.h"

class UnitPort;

namespace station {
class PathWatch;
}

// Whether a unit is in a slot. "poll": it answers a status request on the slot's port (the
// port is held between polls and let go before a run); "hotplug": the port's path exists, as
// with an adapter per unit.
namespace station {

class PresenceProbe {
public:
    PresenceProbe(std::string port, std::uint32_t baud, Presence mode);
    ~PresenceProbe();
    PresenceProbe(const PresenceProbe&) = delete;
    PresenceProbe& operator=(const PresenceProbe&) = delete;

    // One look; a poll waits at most about a second for the answer.
    bool present();
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
};

}  // namespace station
