#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "JobFile.h"

class UnitPort;

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

private:
    std::string port_;
    std::int32_t baud_;
    Presence mode_;
    std::unique_ptr<UnitPort> unit_;
    bool open_ = false;
};

}  // namespace station
