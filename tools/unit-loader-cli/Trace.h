#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class MailslotListener;
}

// Listens on the two trace mailslots (px417's and the loader's) for the length of a run and
// prints every message with a time stamp above the progress.
class TraceListener {
public:
    TraceListener();
    ~TraceListener();
    TraceListener(const TraceListener&) = delete;
    TraceListener& operator=(const TraceListener&) = delete;

    // Creates the mailslots (a warning for each that another listener holds) and starts the
    // thread. False when neither could be created.
    bool start();
    // Prints what is still queued, stops the thread and removes the mailslots.
    void stop();

private:
    struct Slot;
    // Creates the mailslots that can be had; false when none could.
    bool openSlots();
    void run();
    void drain(Slot& slot);
    static void print(const Slot& slot, const std::string& message);

    std::vector<std::unique_ptr<Slot>> slots_;
    int wake_[2] = {-1, -1};             // POSIX: wakes the poll loop
    std::atomic<bool> stopping_{false};  // Windows: ends the receive loop
    std::thread thread_;
};
