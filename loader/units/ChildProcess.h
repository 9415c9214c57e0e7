#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace units {

// A unit's own process: a copy of the runner program (unit-loader-cli) started with the hidden
// child option, its standard output a pipe back to the parent. The protocol library serves one
// port per loaded copy, and a process per unit also keeps one unit's crash from taking the others
// along. One file per platform (ChildProcess_posix.cpp, ChildProcess_win.cpp).
class ChildProcess {
public:
    ChildProcess();
    // A process still running is killed and reaped: none outlives its parent's object.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `args[0]` with `args`; the child finds this process named in kUnitParentVariable.
    // False (errno or GetLastError set) when it could not be started.
    bool start(const std::vector<std::string>& args);
    bool started() const;

    // Appends what the process has written since the last call, without waiting. False once its
    // output has ended: it has exited, or is about to.
    bool read(std::string& out);
    bool outputEnded() const;

    // Asks the process to end its run cleanly; `cause` is the stop request this process got
    // (SIGINT, SIGTERM, ...), which the child's text names.
    void requestStop(int cause);
    // Asks harder (POSIX SIGTERM), then ends it outright.
    void terminate();
    void kill();

    struct Exit {
        int code = 1;               // the exit code when it exited
        std::optional<int> signal;  // the signal that ended it (POSIX)
        std::string signalName;     // as strsignal names it
        bool stopSignal = false;    // that signal was a stop request (SIGINT, SIGTERM, SIGHUP)
    };
    // After its output has ended: reaps the process (waiting for it) and says how it ended.
    Exit wait();

private:
    friend void waitForChildren(const std::vector<ChildProcess*>&, std::chrono::milliseconds, bool);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Waits until one of `children` has output or has ended its output, `timeout` passes, or (with
// `stopRequests`) a stop request arrives (as the installed hooks let it be waited for).
void waitForChildren(const std::vector<ChildProcess*>& children, std::chrono::milliseconds timeout, bool stopRequests);

// Why the last start failed, in the system's words.
std::string startError();

// This program's own file, to start copies of it.
std::string selfPath();

// The environment variable naming the parent of a unit's own process, as the parent sets it.
inline constexpr const char* kUnitParentVariable = "UL_CLI_UNIT_PARENT";

// What a program that handles stop requests itself (the command line) lets the children's code
// reach: no library below the fronts knows its signal handling. Nothing is installed by default.
struct ProcessHooks {
    // A child has been started; it has been reaped (its number may be another process's now).
    void (*started)(int pid) = nullptr;
    void (*reaped)(int pid) = nullptr;
    // What a wait with stop requests wakes on as well: POSIX a file descriptor (-1: none),
    // Windows an event handle (null: none).
    int (*stopFd)() = nullptr;
    void* (*stopEvent)() = nullptr;
};
void installProcessHooks(const ProcessHooks& hooks);
const ProcessHooks& processHooks();

}  // namespace units
