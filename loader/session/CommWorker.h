#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ByteBuffer.h"
#include "session/LibraryClient.h"
#include "session/Messages.h"

// A thread with an exit signal that is raised when its body returns.
class WorkerThread {
public:
    WorkerThread() = default;
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

protected:
    virtual void run() = 0;
    // False when the system refuses a thread.
    bool startThread();
    // Waits for the exit signal, then joins. There is no safe way to kill a thread, so a
    // request in progress is always allowed to finish.
    void joinThread();
    bool threadRunning() const { return thread_.joinable(); }

private:
    std::thread thread_;
    std::mutex exitMutex_;
    std::condition_variable exitSignal_;
    bool exited_ = false;
};

enum class PollMode { PollNone = 0, PollOn = 1, PollOff = 2 };

// Runs all unit traffic of one connection on its own thread. The window's thread posts orders;
// replies come back to the window as StatusUpdate, Response and Alarm, each with its own buffer.
class CommWorker : public WorkerThread {
public:
    // A status request that repeats a request after a reply that counted against a retry limit
    // goes out no sooner than this after that reply arrived: the unit's retry limits were sized
    // for one request per worker turn of kWaitTime.
    static constexpr std::chrono::milliseconds kRetryPause{10};

    // `libraryFile` empty: the library beside the running program.
    explicit CommWorker(WindowPoster& window, std::string libraryFile = {},
                        std::chrono::milliseconds retryPause = kRetryPause);
    ~CommWorker() override;

    bool open(const std::string& portName, std::int32_t baudRate);
    void stop();
    void enableComm();
    void disableComm();
    bool postCommand(const ByteBuffer& frame);
    // One status request, at once.
    bool pollOnce();
    // One status request, no sooner than the retry pause after the last reply arrived. Orders
    // posted after it wait their turn; ExitThread ends the pause at once.
    bool retryPoll();
    bool isOpen() const { return open_; }

    // Longest the thread sleeps between turns when nothing is posted.
    static constexpr std::chrono::milliseconds kWaitTime{10};

protected:
    void run() override;

private:
    void registerMessages();
    // One exchange through the library; notes when it ended.
    bool exchange(ByteBuffer& frame);
    void statusRequest();
    // The last exchange's LinkError, as an Alarm carries it.
    std::uint32_t errorDetail() const;
    void trace(const char* text);

    WindowPoster& window_;
    std::string libraryFile_;
    std::chrono::milliseconds retryPause_;
    MessageId exitThread_ = 0, enableComm_ = 0, disableComm_ = 0, command_ = 0, response_ = 0, statusUpdate_ = 0,
              alarm_ = 0, polling_ = 0, retryPolling_ = 0;
    bool open_ = false;
    PollMode pollMode_ = PollMode::PollNone;  // worker thread only
    // When the last exchange with the library ended, reply or failure (worker thread only).
    std::chrono::steady_clock::time_point lastReply_{};
    MessageQueue orders_;
    std::mutex startedMutex_;
    std::condition_variable startedSignal_;
    bool started_ = false;
    std::unique_ptr<LibraryClient> client_;
};
