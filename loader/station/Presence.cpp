#include "station/Presence.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "UnitFrames.h"
#include "UnitPort.h"
#include "station/PathWatch.h"

namespace station {

PresenceProbe::PresenceProbe(std::string port, std::uint32_t baud, Presence mode)
    : port_(std::move(port)), baud_(static_cast<std::int32_t>(baud)), mode_(mode) {
    if (mode_ == Presence::Hotplug) watch_ = std::make_unique<PathWatch>(port_);
}

PresenceProbe::~PresenceProbe() { release(); }

bool PresenceProbe::openPort() {
    if (open_) return true;
    if (!unit_) unit_ = std::make_unique<UnitPort>();
    open_ = unit_->open(port_, baud_, 8);
    // A status exchange is short; a missing unit should not hold the slot for long.
    if (open_) unit_->setReplyLimit(std::chrono::milliseconds(300));
    return open_;
}

Sign PresenceProbe::look() {
    if (mode_ == Presence::Hotplug) return watch_->present() ? Sign::Unit : Sign::None;
    if (!openPort()) return Sign::None;
    ByteBuffer request = unitframe::statusRequest();
    ByteBuffer reply;
    const std::int32_t result = unit_->transact(request, reply);
    if (result == TRANSACT_OK) {
        if (unitframe::isReset(reply)) return Sign::PowerUp;
        return unitframe::inDownload(reply) ? Sign::InDownload : Sign::Unit;
    }
    // The line works: the port stays open.
    if (result == TRANSACT_BAD_CHECK) return Sign::Garbled;
    // Closed after a miss, so that a port that went away is opened afresh next time.
    release();
    return Sign::None;
}

std::optional<std::string> PresenceProbe::version() {
    if (!openPort()) return std::nullopt;
    ByteBuffer request = unitframe::versionRequest();
    ByteBuffer reply;
    if (unit_->transact(request, reply) == TRANSACT_OK && unitframe::isVersion(reply))
        return unitframe::versionText(reply);
    release();
    return std::nullopt;
}

bool PresenceProbe::wait(std::chrono::milliseconds limit) {
    if (!watch_) return false;
    watch_->wait(limit);
    return true;
}

bool PresenceProbe::settle() {
    if (!openPort()) return false;
    // Long enough for a slow erase to end; a unit still busy after it stays as it is.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < giveUp) {
        ByteBuffer request = unitframe::statusRequest();
        ByteBuffer reply;
        if (unit_->transact(request, reply) != TRANSACT_OK) return false;
        if (!unitframe::inDownload(reply)) return true;
        if (unitframe::hasCode(reply, unitframe::reply::kVerifyResult)) {
            request = unitframe::ack();  // the result taken: the unit is back to Disable
        } else if (unitframe::isReady(reply)) {
            request = unitframe::verify({});  // ends the download: a result follows
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // busy: its flash work first
            continue;
        }
        ByteBuffer answer;
        unit_->transact(request, answer);
    }
    return false;
}

void PresenceProbe::release() {
    if (unit_ && open_) unit_->close();
    open_ = false;
}

}  // namespace station
