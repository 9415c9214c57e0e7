#pragma once

// The output rate a terminal is set to, as the kernel holds it: exact also for rates outside
// the table of B-constants. 0 when it cannot be read. (A file of its own: the kernel's termios2
// and the C library's termios cannot meet in one file.)
int lineRateOf(int fd);
