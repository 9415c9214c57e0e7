#include "UnitSimulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "FrameReader.h"
#include "PseudoTerminal.h"
#include "UnitFrames.h"

namespace unitsim {

namespace {

constexpr std::array<std::uint8_t, 6> kNoise{0x55, 0xAA, 0x00, 0x33, 0x7E, 0x01};
// A stream is written in slices this far apart: often enough for the host's one-second byte
// time-out, rarely enough not to spin.
constexpr auto kStreamSlice = std::chrono::milliseconds(10);
// A host that stops reading cannot hold the unit for ever.
constexpr auto kWriteStall = std::chrono::seconds(1);

timespec toTimespec(Clock::duration d) {
    if (d < Clock::duration::zero()) d = Clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

struct UnitSimulator::ReplyPlan {
    std::uint64_t number = 0;
    bool badCheck = false;
    std::uint32_t noiseBytes = 0;
    std::optional<std::uint32_t> cutAfter;
    std::optional<std::chrono::milliseconds> gap;
    bool duplicate = false;
};

UnitSimulator::UnitSimulator(SimConfig config)
    : config_(std::move(config)), faults_(config_.faults), model_(config_.unit), present_(!config_.startAbsent) {}

UnitSimulator::~UnitSimulator() { stop(); }

void UnitSimulator::setLogSink(LogSink sink) { sink_ = std::move(sink); }

void UnitSimulator::start() {
    if (thread_.joinable() || pty_) throw std::logic_error("unit simulator already started");
    auto pty = std::make_unique<PseudoTerminal>();
    const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    {
        std::lock_guard lock(mutex_);
        devicePath_ = pty->slavePath();
    }
    pty_ = std::move(pty);
    stopFd_ = stopFd;
    master_ = pty_->masterFd();
    thread_ = std::thread(&UnitSimulator::run, this);
}

void UnitSimulator::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    pty_.reset();
    master_ = -1;
    if (stopFd_ >= 0) ::close(stopFd_);
    stopFd_ = -1;
}

std::string UnitSimulator::devicePath() const {
    std::lock_guard lock(mutex_);
    return devicePath_;
}

void UnitSimulator::setFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

void UnitSimulator::connect(const UnitBehaviour& unit, const Faults& faults) {
    UnitModel fresh(unit);  // built outside the lock: it allocates the whole memory
    std::lock_guard lock(mutex_);
    model_ = std::move(fresh);
    faults_ = faults;
    present_ = true;
    ++counters_.unitsConnected;
    changed_.notify_all();
}

void UnitSimulator::remove() {
    std::lock_guard lock(mutex_);
    present_ = false;
    changed_.notify_all();
}

bool UnitSimulator::present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

Counters UnitSimulator::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

UnitPhase UnitSimulator::phase() const {
    std::lock_guard lock(mutex_);
    return model_.phase();
}

std::vector<BlockRecord> UnitSimulator::blocks() const {
    std::lock_guard lock(mutex_);
    return model_.blocks();
}

std::vector<FrameRecord> UnitSimulator::frameLog() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

std::optional<VerifyOutcome> UnitSimulator::verifyOutcome() const {
    std::lock_guard lock(mutex_);
    return model_.verifyOutcome();
}

std::vector<std::uint8_t> UnitSimulator::memory(std::uint32_t offset, std::uint32_t length) const {
    std::lock_guard lock(mutex_);
    const auto& mem = model_.memory();
    if (offset >= mem.size()) return {};
    const auto count = std::min<std::size_t>(length, mem.size() - offset);
    return {mem.begin() + offset, mem.begin() + offset + count};
}

std::vector<std::uint8_t> UnitSimulator::image() const {
    std::lock_guard lock(mutex_);
    const auto& mem = model_.memory();
    return {mem.begin(), mem.begin() + model_.highestEnd()};
}

bool UnitSimulator::waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool UnitSimulator::waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return counters_.framesReceived >= count; });
}

bool UnitSimulator::waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return counters_.repliesSent >= count; });
}

bool UnitSimulator::waitForBlocks(std::uint64_t count, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return counters_.blocksStored >= count; });
}

bool UnitSimulator::waitForLineDrop(std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return counters_.lineDropped; });
}

bool UnitSimulator::waitForCounters(const std::function<bool(const Counters&)>& done,
                                    std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return done(counters_); });
}

void UnitSimulator::logLocked(const FrameRecord& entry) {
    log_.push_back(entry);
    while (log_.size() > config_.frameLogLimit) log_.pop_front();
}

void UnitSimulator::run() {
    // Paced bytes leave on deadlines a few hundred microseconds apart; the default 50 us timer
    // slack would be a noticeable share of that.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    FrameReader reader;
    Clock::time_point lastByte{};
    Clock::time_point rxLineFree{};
    bool streaming = false;
    Clock::time_point nextStream{};

    for (;;) {
        StreamFault stream;
        {
            std::lock_guard lock(mutex_);
            stream = present_ ? faults_.stream : StreamFault::None;
        }
        const auto now = Clock::now();
        if (stream != StreamFault::None && !streaming) {
            streamStart_ = now;
            streamPosition_ = 0;
            nextStream = now;
        }
        streaming = stream != StreamFault::None && master_ >= 0;

        std::optional<Clock::time_point> deadline;
        if (reader.inFrame()) deadline = lastByte + config_.partialFrameTimeout;
        if (streaming) deadline = deadline ? std::min(*deadline, nextStream) : nextStream;
        // Faults can be switched on while the unit sleeps; look again now and then.
        const auto faultLook = now + std::chrono::milliseconds(100);
        deadline = deadline ? std::min(*deadline, faultLook) : faultLook;

        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {master_, POLLIN, 0}};
        const timespec ts = toTimespec(*deadline - now);
        const int ready = ppoll(fds, master_ >= 0 ? 2 : 1, &ts, nullptr);
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;

        if (master_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            std::uint8_t buffer[512];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                const auto readAt = Clock::now();
                const auto byteTime = config_.pacing.byteTime();
                for (ssize_t i = 0; i < n && master_ >= 0; ++i) {
                    // Paced: the bytes come in one after another at the line rate, however fast
                    // the host wrote them.
                    Clock::time_point arrived = readAt;
                    if (config_.pacing.enabled) {
                        rxLineFree = std::max(rxLineFree, readAt) + byteTime;
                        arrived = rxLineFree;
                    }
                    const auto result = reader.feed(buffer[i]);
                    if (result != FrameReader::Result::Pending)
                        handleFrame(reader.frame(), result == FrameReader::Result::Frame, arrived);
                }
                // A long reply (a paced one, a gap) must not count against the frame that follows.
                lastByte = Clock::now();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Only possible if nothing holds the slave open; do not spin on it.
                if (!sleepUntil(Clock::now() + std::chrono::milliseconds(50))) return;
            }
        }

        if (reader.inFrame() && Clock::now() - lastByte >= config_.partialFrameTimeout) {
            FrameRecord entry{FrameRecord::Direction::Event,
                              Clock::now(),
                              {reader.frame().bytes().begin(), reader.frame().bytes().end()},
                              false,
                              "partial frame dropped"};
            reader.drop();
            {
                std::lock_guard lock(mutex_);
                ++counters_.partialFramesDropped;
                logLocked(entry);
                changed_.notify_all();
            }
            if (sink_) sink_(entry);
        }

        if (streaming && master_ >= 0 && Clock::now() >= nextStream) {
            emitStream(Clock::now());
            nextStream = Clock::now() + kStreamSlice;
        }
    }
}

void UnitSimulator::handleFrame(const ByteBuffer& frame, bool checkOk, Clock::time_point arrived) {
    FrameRecord in{FrameRecord::Direction::In, arrived, {frame.bytes().begin(), frame.bytes().end()}, checkOk, {}};
    CommandOutcome outcome;
    ReplyPlan plan;
    std::uint64_t blockNumber = 0;
    std::optional<std::uint32_t> dropAfter;
    {
        std::lock_guard lock(mutex_);
        const Faults& f = faults_;
        if (!checkOk) {
            ++counters_.badCheckFrames;
            in.note = "bad check code, ignored";
        } else {
            ++counters_.framesReceived;
            if (!present_) {
                ++counters_.absentFrames;
                in.note = "no unit connected";
            } else if (f.stream != StreamFault::None) {
                in.note = "babbling, no reply";
            } else if (f.silentAfterFrames && counters_.framesReceived > *f.silentAfterFrames) {
                in.note = "silent";
            } else {
                outcome = model_.handle(frame, arrived, f, config_.pacing);
                in.note = outcome.note;
                if (outcome.blockStored) blockNumber = ++counters_.blocksStored;
            }
            if (!outcome.reply) ++counters_.unanswered;
        }
        if (outcome.reply) {
            plan.number = counters_.repliesSent + 1;
            plan.badCheck = f.badCheck.matches(plan.number);
            if (f.noise.matches(plan.number)) plan.noiseBytes = f.noiseBytes;
            if (f.cut.matches(plan.number)) plan.cutAfter = f.cutAfterBytes;
            if (f.gap.matches(plan.number)) plan.gap = f.gapTime;
            plan.duplicate = f.duplicate.matches(plan.number);
            dropAfter = f.dropLineAfterBlock;
        }
        logLocked(in);
        changed_.notify_all();
    }
    if (sink_) sink_(in);
    if (!outcome.reply) return;

    const auto start = std::max(Clock::now(), arrived);
    Clock::time_point end = start;
    std::vector<std::uint8_t> sent;
    const bool ok = sendReply(*outcome.reply, plan, start, end, sent);

    std::string note;
    if (plan.noiseBytes != 0) note += "noise " + std::to_string(plan.noiseBytes) + " bytes; ";
    if (plan.badCheck) note += "bad check code; ";
    if (plan.cutAfter) note += "cut after " + std::to_string(*plan.cutAfter) + " bytes; ";
    if (plan.gap) note += "gap " + std::to_string(plan.gap->count()) + " ms; ";
    if (plan.duplicate) note += "sent twice; ";
    if (!ok) note += "not sent whole";
    const FrameRecord out{FrameRecord::Direction::Out, end, std::move(sent), !plan.badCheck, std::move(note)};
    {
        std::lock_guard lock(mutex_);
        if (outcome.flashTime.count() > 0) model_.busyUntil(end + outcome.flashTime);
        ++counters_.repliesSent;
        counters_.noiseBytesSent += plan.noiseBytes * (plan.duplicate ? 2 : 1);
        logLocked(out);
        changed_.notify_all();
    }
    if (sink_) sink_(out);

    if (ok && dropAfter && blockNumber == *dropAfter) dropLine();
}

bool UnitSimulator::sendReply(const ByteBuffer& reply, const ReplyPlan& plan, Clock::time_point start,
                              Clock::time_point& end, std::vector<std::uint8_t>& sent) {
    std::vector<std::uint8_t> bytes(reply.bytes().begin(), reply.bytes().end());
    if (plan.badCheck) bytes.back() ^= 0xFF;
    const std::size_t count = plan.cutAfter ? std::min<std::size_t>(*plan.cutAfter, bytes.size()) : bytes.size();
    sent.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));

    Clock::time_point lineFree = start;
    if (!sleepUntil(start)) return false;
    for (int copy = 0; copy < (plan.duplicate ? 2 : 1); ++copy) {
        if (plan.noiseBytes != 0) {
            std::vector<std::uint8_t> noise(plan.noiseBytes);
            for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = kNoise[i % kNoise.size()];
            if (!writePaced(noise.data(), noise.size(), lineFree)) return false;
        }
        const std::size_t firstPart = plan.gap ? count / 2 : count;
        if (!writePaced(bytes.data(), firstPart, lineFree)) return false;
        if (plan.gap) {
            lineFree += *plan.gap;
            if (!sleepUntil(lineFree)) return false;
            if (!writePaced(bytes.data() + firstPart, count - firstPart, lineFree)) return false;
        }
    }
    end = lineFree;
    return true;
}

bool UnitSimulator::writePaced(const std::uint8_t* data, std::size_t count, Clock::time_point& lineFree) {
    if (!config_.pacing.enabled) {
        if (!writeAll(data, count)) return false;
        lineFree = Clock::now();
        return true;
    }
    // Each byte goes out when its last bit would have left the line; deadlines are absolute, so
    // late wake-ups do not add up.
    const auto byteTime = config_.pacing.byteTime();
    for (std::size_t i = 0; i < count; ++i) {
        lineFree += byteTime;
        if (!sleepUntil(lineFree)) return false;
        if (!writeAll(data + i, 1)) return false;
    }
    return true;
}

bool UnitSimulator::writeAll(const std::uint8_t* data, std::size_t count) {
    const auto giveUp = Clock::now() + kWriteStall;
    while (count > 0) {
        if (master_ < 0) return false;
        const ssize_t n = ::write(master_, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // The host is not reading and the line's buffer is full.
        const auto now = Clock::now();
        if (now >= giveUp) return false;
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {master_, POLLOUT, 0}};
        const timespec ts = toTimespec(giveUp - now);
        if (ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) return false;
        if (fds[0].revents != 0) return false;
    }
    return true;
}

bool UnitSimulator::sleepUntil(Clock::time_point deadline) {
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) return true;
        pollfd stop{stopFd_, POLLIN, 0};
        const timespec ts = toTimespec(deadline - now);
        if (ppoll(&stop, 1, &ts, nullptr) > 0) return false;
    }
}

void UnitSimulator::emitStream(Clock::time_point now) {
    StreamFault stream;
    {
        std::lock_guard lock(mutex_);
        stream = present_ ? faults_.stream : StreamFault::None;
    }
    // The stream runs at the line rate whether or not replies are paced. No byte of the pattern is
    // ever skipped (a lost 0x02 could pair two sync bytes into a frame header); while the line is
    // full the stream just falls behind, and a backlog never bursts out faster than the line.
    const auto byteTime = config_.pacing.byteTime();
    constexpr std::uint64_t kMaxBacklog = 256;
    auto due = static_cast<std::uint64_t>((now - streamStart_) / byteTime);
    if (due > streamPosition_ + kMaxBacklog) {
        streamStart_ += byteTime * static_cast<std::int64_t>(due - streamPosition_ - kMaxBacklog);
        due = streamPosition_ + kMaxBacklog;
    }
    if (due <= streamPosition_) return;
    const auto count = static_cast<std::size_t>(due - streamPosition_);
    std::uint8_t bytes[kMaxBacklog];
    for (std::size_t i = 0; i < count; ++i) {
        const auto position = streamPosition_ + i;
        bytes[i] = stream == StreamFault::NoSync ? kNoise[position % kNoise.size()]
                                                 : (position % 2 == 0 ? unitframe::kSync : std::uint8_t{0x02});
    }
    const ssize_t n = ::write(master_, bytes, count);
    if (n > 0) {
        streamPosition_ += static_cast<std::uint64_t>(n);
        std::lock_guard lock(mutex_);
        counters_.streamBytesSent += static_cast<std::uint64_t>(n);
    }
}

void UnitSimulator::dropLine() {
    // Closing the master discards what the host has not read yet; let it take the last reply first
    // (the bytes reach the slave's queue a moment after the write).
    const auto giveUp = Clock::now() + std::chrono::seconds(1);
    if (!sleepUntil(Clock::now() + std::chrono::milliseconds(20))) return;
    while (pty_ && pty_->pendingForHost() > 0 && Clock::now() < giveUp)
        if (!sleepUntil(Clock::now() + std::chrono::milliseconds(5))) return;
    if (pty_) pty_->close();
    master_ = -1;
    const FrameRecord event{FrameRecord::Direction::Event, Clock::now(), {}, true, "line dropped"};
    {
        std::lock_guard lock(mutex_);
        counters_.lineDropped = true;
        logLocked(event);
        changed_.notify_all();
    }
    if (sink_) sink_(event);
}

}  // namespace unitsim
