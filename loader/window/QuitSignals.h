#pragma once

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

// SIGTERM and SIGHUP (the desktop session ending, a service manager stopping the program) and
// SIGINT (Ctrl-C where it was started), turned into a call on the event loop of the thread
// that made this, so that the window can close as it always does: settings saved, library file
// deleted. The handler only writes the signal's number into a pipe whose other end a socket
// notifier watches. One at a time; the handlers that were there come back when it goes.
class QuitSignals {
public:
    explicit QuitSignals(std::function<void(int signal)> onSignal);
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // False when no pipe could be made: the signals keep their default action.
    bool active() const { return notifier_ != nullptr; }

private:
    void drain();

    std::function<void(int)> onSignal_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previous_[3] = {};
};
