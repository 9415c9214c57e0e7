#pragma once

#include <string>

// Stop requests (POSIX: SIGINT, SIGTERM and SIGHUP; Windows: Ctrl-C, Ctrl-Break and the console
// closing) are only noted by their handler; the event loops notice them with the rest of what
// they wait for. A second request (or one while a time-out closes the session) does not wait for the
// exchange in progress: the handler ends the process there and then, and the system releases
// the port with it.
namespace signals {

// Installs the handlers (POSIX: with SA_RESTART, and SIGPIPE ignored). False when it cannot.
bool install();
// POSIX: the read end of the pipe that gets a byte per signal; -1 before install() and on Windows.
int fd();
// Windows: the event set by a stop request; null before install() and on POSIX.
void* event();
// The first request caught as a signal number (SIGINT, SIGTERM, ...), 0 while none. Reading
// it does not consume it.
int caught();
// How a person would name what was caught ("SIGTERM", "Ctrl-C").
const char* name(int sig);
// Who stopped the run, for its text: "by SIGINT", or for a unit's own process whose parent passed
// a stop on, "because unit-loader-cli got SIGHUP".
std::string cause();
// Empties the pipe (after the loop has reacted), keeping caught().
void drain();

// The run's session is closed and its copy of the library removed. Windows: a console that is
// closing ends the process once its handler returns, so the handler waits (a few seconds at
// most, the time the system gives it) for this.
void sessionClosed();

// While the session is being closed already (after a time-out), a request ends the process.
void setClosing(bool closing);
// A file the process removes when a request ends it at once (its copy of the library).
void removeWhenEndedAtOnce(const std::string& path);
// A unit's process this one started: ended with it when a request ends this one at once.
void addChild(int pid);
// That process has been reaped: its number may belong to another process from now on.
void removeChild(int pid);
// In a unit's own process: the stop the parent passes on to every unit is not a second request.
void setParent(int pid);
// Windows, in a unit's own process: the parent passed on its stop request `cause` (see caught()),
// or with 0 it went away. Marks a stop as the handler does, never as a second request.
void stopFromParent(int cause);

}  // namespace signals
