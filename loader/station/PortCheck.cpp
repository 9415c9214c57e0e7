#include "station/PortCheck.h"

#include <vector>

namespace station {

std::optional<PortProblem> checkPorts(const Job& job, const std::string& origin) {
    struct Seen {
        std::uint64_t device;
        const Slot* slot;
    };
    std::vector<Seen> seen;
    for (const Slot& slot : job.slots) {
        const std::string at = origin + ":" + std::to_string(slot.line) + ": slot \"" + slot.name + "\": ";
        const PortLook look = lookAtPort(slot.port);
        if (look.problem && !(look.missing && job.presence == Presence::Hotplug))
            return PortProblem{PortProblem::Kind::Unusable, at + *look.problem};
        if (!look.device) continue;
        for (const Seen& s : seen)
            if (s.device == *look.device)
                return PortProblem{PortProblem::Kind::SameDevice,
                                   at + "port \"" + slot.port + "\" is the device of slot \"" + s.slot->name +
                                       "\" (port \"" + s.slot->port + "\", line " + std::to_string(s.slot->line) +
                                       "): each slot needs a port of its own"};
        seen.push_back({*look.device, &slot});
    }
    return std::nullopt;
}

}  // namespace station
