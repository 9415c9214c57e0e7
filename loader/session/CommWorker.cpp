#include "session/CommWorker.h"

#include "MailslotTrace.h"
#include "UnitFrames.h"
#include "session/EmbeddedResource.h"

WorkerThread::~WorkerThread() { joinThread(); }

bool WorkerThread::startThread() {
    {
        std::lock_guard lock(exitMutex_);
        exited_ = false;
    }
    try {
        thread_ = std::thread([this] {
            run();
            std::lock_guard lock(exitMutex_);
            exited_ = true;
            exitSignal_.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void WorkerThread::joinThread() {
    if (!thread_.joinable()) return;
    {
        std::unique_lock lock(exitMutex_);
        exitSignal_.wait(lock, [this] { return exited_; });
    }
    thread_.join();
}

CommWorker::CommWorker(WindowPoster& window, std::string libraryFile, std::chrono::milliseconds retryPause)
    : window_(window), libraryFile_(std::move(libraryFile)), retryPause_(retryPause) {}

CommWorker::~CommWorker() { stop(); }

void CommWorker::registerMessages() {
    exitThread_ = registerMessage(msgname::kExitThread);
    enableComm_ = registerMessage(msgname::kEnableComm);
    disableComm_ = registerMessage(msgname::kDisableComm);
    command_ = registerMessage(msgname::kCommand);
    response_ = registerMessage(msgname::kResponse);
    statusUpdate_ = registerMessage(msgname::kStatusUpdate);
    alarm_ = registerMessage(msgname::kAlarm);
    polling_ = registerMessage(msgname::kPolling);
    retryPolling_ = registerMessage(msgname::kRetryPolling);
}

bool CommWorker::open(const std::string& portName, std::int32_t baudRate) {
    const std::string path = libraryFile_.empty() ? libraryPath() : libraryFile_;
    if (path.empty()) return false;
    if (client_) return false;
    auto client = std::make_unique<LibraryClient>();
    if (!client->bind(path)) return false;
    if (!client->open(portName, baudRate)) return false;
    if (client->result("ResultCode") != "200") return false;
    registerMessages();
    client_ = std::move(client);
    {
        std::lock_guard lock(startedMutex_);
        started_ = false;
    }
    if (!startThread()) {
        // No thread, no session: give the port and the library back at once.
        client_->close();
        client_.reset();
        return false;
    }
    open_ = true;
    std::unique_lock lock(startedMutex_);
    startedSignal_.wait(lock, [this] { return started_; });
    return true;
}

void CommWorker::run() {
    registerMessages();
    {
        std::lock_guard lock(startedMutex_);
        started_ = true;
    }
    startedSignal_.notify_all();
    for (;;) {
        Message msg;
        if (orders_.take(msg)) {
            if (msg.id == exitThread_) break;
            if (msg.id == enableComm_) {
                trace("Enable Message \r");
                pollMode_ = PollMode::PollOn;
            } else if (msg.id == disableComm_) {
                trace("Disable Message \r");
                pollMode_ = PollMode::PollOff;
            } else if (msg.id == command_) {
                trace("Command Message \r");
                ByteBuffer frame;
                if (msg.payload) frame = std::move(*msg.payload);
                msg.payload.reset();
                // Failed or not, the window hears of it: the sent frame comes back as an Alarm.
                if (exchange(frame))
                    window_.postMessage(response_, std::make_unique<ByteBuffer>(frame));
                else
                    window_.postMessage(alarm_, std::make_unique<ByteBuffer>(frame), errorDetail());
            } else if (msg.id == polling_) {
                trace("Polling Message \r");
                statusRequest();
            } else if (msg.id == retryPolling_) {
                trace("Polling Message \r");
                // Waits on the queue, not in a sleep, so that ExitThread ends the pause; the
                // orders behind this one stay where they are.
                if (orders_.waitForId(exitThread_, lastReply_ + retryPause_)) break;
                statusRequest();
            }
        }
        if (pollMode_ == PollMode::PollOn) statusRequest();
        // Any posted order ends the wait at once; otherwise a turn lasts at most kWaitTime.
        orders_.waitFor(kWaitTime);
    }
}

bool CommWorker::exchange(ByteBuffer& frame) {
    const bool ok = client_->command(frame);
    lastReply_ = std::chrono::steady_clock::now();
    return ok;
}

// Whatever px417 answered, with a code or without one, the window gets a message: a sequence
// that heard nothing would wait for ever. A failed status request's Alarm carries no bytes.
void CommWorker::statusRequest() {
    ByteBuffer frame = unitframe::statusRequest();
    if (exchange(frame))
        window_.postMessage(statusUpdate_, std::make_unique<ByteBuffer>(frame));
    else
        window_.postMessage(alarm_, std::make_unique<ByteBuffer>(), errorDetail());
}

std::uint32_t CommWorker::errorDetail() const { return static_cast<std::uint32_t>(client_->lastError()); }

void CommWorker::trace(const char* text) { MailslotTrace::line(kLoaderTraceName, text); }

void CommWorker::enableComm() {
    if (open_) orders_.post(enableComm_);
}

void CommWorker::disableComm() {
    if (open_) orders_.post(disableComm_);
}

bool CommWorker::postCommand(const ByteBuffer& frame) {
    if (!open_) return false;
    auto copy = std::make_unique<ByteBuffer>();
    if (!copy->copyFrom(frame)) return false;
    orders_.post(command_, std::move(copy));
    return true;
}

bool CommWorker::pollOnce() {
    if (!open_) return false;
    return orders_.post(polling_);
}

bool CommWorker::retryPoll() {
    if (!open_) return false;
    return orders_.post(retryPolling_);
}

void CommWorker::stop() {
    if (!client_) return;
    if (threadRunning()) {
        orders_.post(exitThread_);
        joinThread();
    }
    client_->close();
    client_->release();
    client_.reset();
    open_ = false;
    // Orders that were never taken go with their buffers.
    Message leftover;
    while (orders_.take(leftover)) {
    }
}
