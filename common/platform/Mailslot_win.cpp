#include "platform/Mailslot.h"

#include <windows.h>

#include <vector>

// Win32 mailslots. Writers open the listener's slot by name for each line; only the NT family
// traces. The path is the documented "\\.\mailslot\" form (forward slashes are also accepted
// by the NT family's path rules, but the backslash form is the one every version documents).
namespace platform {

namespace {

const std::string kPrefix = "\\\\.\\mailslot\\";

bool ntFamily() {
    OSVERSIONINFOEXA extended{};
    extended.dwOSVersionInfoSize = sizeof extended;  // 156 bytes
    if (::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended)))
        return extended.dwPlatformId == VER_PLATFORM_WIN32_NT;
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof basic;  // 148 bytes
    return ::GetVersionExA(&basic) && basic.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool validName(const std::string& name) { return !name.empty() && name.find_first_of("\\/") == std::string::npos; }

}  // namespace

std::string mailslotDirectory(bool) { return kPrefix.substr(0, kPrefix.size() - 1); }

MailslotHandle mailslotOpen(const std::string& name) {
    if (!validName(name) || !ntFamily()) return kNoMailslot;
    HANDLE h = ::CreateFileA((kPrefix + name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? kNoMailslot : reinterpret_cast<MailslotHandle>(h);
}

bool mailslotWrite(MailslotHandle handle, std::string_view text) {
    if (handle == kNoMailslot) return false;
    DWORD written = 0;
    return ::WriteFile(reinterpret_cast<HANDLE>(handle), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) &&
           written == text.size();
}

void mailslotClose(MailslotHandle handle) {
    if (handle != kNoMailslot) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

struct MailslotListener::Impl {
    HANDLE slot = INVALID_HANDLE_VALUE;
    std::vector<char> buffer = std::vector<char>(65536);  // grown for a larger message
};

MailslotListener::MailslotListener() : impl_(std::make_unique<Impl>()) {}

MailslotListener::~MailslotListener() { close(); }

bool MailslotListener::create(const std::string& name, std::string* error) {
    close();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!validName(name)) return fail("a bad mailslot name");
    HANDLE h = ::CreateMailslotA((kPrefix + name).c_str(), 0, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        return fail(code == ERROR_ALREADY_EXISTS ? "another listener already has this mailslot"
                                                 : "cannot create the mailslot (error " + std::to_string(code) + ")");
    }
    impl_->slot = h;
    return true;
}

MailslotListener::Receive MailslotListener::receive(std::string& message, std::chrono::milliseconds timeout) {
    HANDLE h = impl_->slot;
    if (h == INVALID_HANDLE_VALUE) return Receive::Error;
    const auto ms = timeout.count() < 0 ? 0 : timeout.count() > 0x7FFFFFFE ? 0x7FFFFFFE : timeout.count();
    if (!::SetMailslotInfo(h, static_cast<DWORD>(ms))) return Receive::Error;
    for (;;) {
        std::vector<char>& buf = impl_->buffer;
        DWORD got = 0;
        if (::ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
            message.assign(buf.data(), got);
            return Receive::Message;
        }
        const DWORD code = ::GetLastError();
        if (code == ERROR_SEM_TIMEOUT) return Receive::Timeout;
        if (code != ERROR_INSUFFICIENT_BUFFER) return Receive::Error;
        DWORD next = MAILSLOT_NO_MESSAGE;
        if (!::GetMailslotInfo(h, nullptr, &next, nullptr, nullptr) || next == MAILSLOT_NO_MESSAGE)
            return Receive::Error;
        buf.resize(next);
    }
}

int MailslotListener::pollHandle() const { return -1; }

void MailslotListener::close() {
    if (impl_->slot != INVALID_HANDLE_VALUE) {
        ::CloseHandle(impl_->slot);
        impl_->slot = INVALID_HANDLE_VALUE;
    }
}

}  // namespace platform
