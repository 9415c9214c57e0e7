#pragma once

// Stop requests (POSIX: SIGINT, SIGTERM and SIGHUP; Windows: Ctrl-C, Ctrl-Break and the console
// closing) are only noted by their handler; the event loops notice them with the rest of what
// they wait for.
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
// Empties the pipe (after the loop has reacted), keeping caught().
void drain();

}  // namespace signals
