#pragma once

// SIGINT, SIGTERM and SIGHUP become a readable byte on a pipe; the handler does nothing else, and
// the event loops notice it with the rest of their descriptors.
namespace signals {

// Installs the handlers (with SA_RESTART) and ignores SIGPIPE. False when no pipe can be made.
bool install();
// The read end; -1 before install().
int fd();
// The first signal caught, 0 while none. Reading it does not consume it.
int caught();
// Empties the pipe (after the loop has reacted), keeping caught().
void drain();

}  // namespace signals
