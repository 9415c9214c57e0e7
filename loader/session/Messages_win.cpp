#include <windows.h>

#include <string>

#include "session/Messages.h"

// The window system's own registered messages: the numbers can be posted to a window as they
// are, and never collide with a message another program registered under another name.
MessageId registerMessage(std::string_view name) {
    return static_cast<MessageId>(::RegisterWindowMessageA(std::string(name).c_str()));
}
