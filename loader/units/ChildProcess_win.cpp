#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "units/ChildProcess.h"

namespace units {

namespace {

ProcessHooks hooks;

// How long the reader of a unit's output may take to notice that the unit has gone, and how long
// a unit whose output has ended may take to exit: both are moments, bounded all the same.
constexpr DWORD kThreadEndMs = 5000;
constexpr DWORD kExitMs = 10000;
// What TerminateProcess leaves as the exit code, to tell it from the unit's own codes.
constexpr DWORD kEndedByParent = 0xE0000001;

void closeHandle(HANDLE& handle) {
    if (handle) ::CloseHandle(handle);
    handle = nullptr;
}

// As the C runtime splits a command line back into arguments: quotes around what has blanks
// or quotes, backslashes doubled only where a quote follows them.
void appendQuoted(std::string& line, const std::string& arg) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') backslashes = backslashes * 2 + 1;
        line.append(backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// This environment with kUnitParentVariable naming this process, as a block for CreateProcess.
std::string environmentBlock() {
    const std::string mark = std::string(kUnitParentVariable) + "=";
    std::string block;
    if (char* all = ::GetEnvironmentStringsA()) {
        for (const char* e = all; *e; e += std::strlen(e) + 1)
            if (::_strnicmp(e, mark.c_str(), mark.size()) != 0) block.append(e, std::strlen(e) + 1);
        ::FreeEnvironmentStringsA(all);
    }
    block += mark + std::to_string(::GetCurrentProcessId());
    block += '\0';
    block += '\0';
    return block;
}

// Children are started one at a time: the ends of their pipes are inheritable only while their
// own CreateProcess runs, so no unit holds another's pipe open.
std::mutex startMutex;

}  // namespace

void installProcessHooks(const ProcessHooks& installed) { hooks = installed; }
const ProcessHooks& processHooks() { return hooks; }

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // the child's standard input: its stop requests
    HANDLE output = nullptr;  // the child's standard output, read by the reader
    HANDLE reader = nullptr;
    HANDLE ready = nullptr;  // set while the reader has something to take: text or the end
    std::mutex mutex;
    std::string buffer;
    bool ended = false;   // the reader saw the end of the output
    bool closed = false;  // read() passed that end on
    bool reaped = false;
    bool endedByUs = false;
    DWORD code = 1;

    static DWORD WINAPI readLoop(void* self) {
        auto* impl = static_cast<Impl*>(self);
        char chunk[4096];
        for (;;) {
            DWORD n = 0;
            // A pipe's end is a failed read (ERROR_BROKEN_PIPE); a zero-byte write reads as nothing.
            const bool ok = ::ReadFile(impl->output, chunk, sizeof chunk, &n, nullptr);
            if (ok && n == 0) continue;
            std::lock_guard lock(impl->mutex);
            if (ok)
                impl->buffer.append(chunk, n);
            else
                impl->ended = true;
            ::SetEvent(impl->ready);
            if (!ok) return 0;
        }
    }

    // False when the reader is still running: something else holds the pipe's other end, and
    // even the cancelled read has not returned.
    bool joinReader() {
        if (!reader) return true;
        if (::WaitForSingleObject(reader, kThreadEndMs) == WAIT_TIMEOUT) {
            ::CancelSynchronousIo(reader);
            if (::WaitForSingleObject(reader, kThreadEndMs) == WAIT_TIMEOUT) return false;
        }
        closeHandle(reader);
        return true;
    }

    void reap(DWORD bound) {
        if (!process || reaped) return;
        if (::WaitForSingleObject(process, bound) == WAIT_TIMEOUT) {
            endedByUs = true;
            ::TerminateProcess(process, kEndedByParent);
            ::WaitForSingleObject(process, kThreadEndMs);
        }
        if (!::GetExitCodeProcess(process, &code) || code == STILL_ACTIVE) code = 1;
        reaped = true;
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
    Impl& impl = *impl_;
    closeHandle(impl.input);
    if (impl.process && !impl.reaped) {
        ::TerminateProcess(impl.process, kEndedByParent);
        impl.reap(kThreadEndMs);
    }
    if (!impl.joinReader()) {
        // The reader still uses this state: left to it rather than freed under it.
        (void)impl_.release();
        return;
    }
    closeHandle(impl.output);
    closeHandle(impl.ready);
    closeHandle(impl.process);
}

bool ChildProcess::start(const std::vector<std::string>& args) {
    if (args.empty() || impl_->process) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string line;
    for (const auto& a : args) appendQuoted(line, a);
    std::string environment = environmentBlock();

    std::lock_guard lock(startMutex);
    // The parent's ends are never inheritable; the child's are made so for its start alone.
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr, error = nullptr;
    auto closeAll = [&] {
        for (HANDLE* h : {&outRead, &outWrite, &inRead, &inWrite, &error}) closeHandle(*h);
    };
    if (!::CreatePipe(&outRead, &outWrite, nullptr, 0) || !::CreatePipe(&inRead, &inWrite, nullptr, 0) ||
        !::SetHandleInformation(outWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
        !::SetHandleInformation(inRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        const DWORD e = ::GetLastError();
        closeAll();
        ::SetLastError(e);
        return false;
    }
    // The child writes its own complaints where this process writes its own.
    const HANDLE self = ::GetCurrentProcess();
    const HANDLE stdError = ::GetStdHandle(STD_ERROR_HANDLE);
    if (stdError && stdError != INVALID_HANDLE_VALUE)
        ::DuplicateHandle(self, stdError, self, &error, 0, TRUE, DUPLICATE_SAME_ACCESS);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = error;
    PROCESS_INFORMATION info{};
    const bool ok = ::CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, environment.data(),
                                     nullptr, &startup, &info);
    const DWORD startFailure = ::GetLastError();
    closeHandle(outWrite);
    closeHandle(inRead);
    closeHandle(error);
    if (!ok) {
        closeAll();
        ::SetLastError(startFailure);
        return false;
    }
    ::CloseHandle(info.hThread);
    Impl& impl = *impl_;
    impl.process = info.hProcess;
    impl.input = inWrite;
    impl.output = outRead;
    impl.ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (impl.ready) impl.reader = ::CreateThread(nullptr, 0, Impl::readLoop, &impl, 0, nullptr);
    if (!impl.reader) {
        // Without its reader the unit could not be followed: end it now, as if it had failed.
        const DWORD e = ::GetLastError();
        ::TerminateProcess(impl.process, kEndedByParent);
        impl.reap(kThreadEndMs);
        closeHandle(impl.process);
        closeHandle(impl.input);
        closeHandle(impl.output);
        closeHandle(impl.ready);
        ::SetLastError(e);
        return false;
    }
    return true;
}

bool ChildProcess::started() const { return impl_->process != nullptr; }

bool ChildProcess::read(std::string& out) {
    Impl& impl = *impl_;
    if (!impl.reader || impl.closed) return false;
    std::lock_guard lock(impl.mutex);
    out += impl.buffer;
    impl.buffer.clear();
    ::ResetEvent(impl.ready);
    if (!impl.ended) return true;
    impl.closed = true;
    return false;
}

bool ChildProcess::outputEnded() const { return impl_->closed; }

// A line on the child's standard input, which its watchParent() reads: Windows has no signal
// that carries a number.
void ChildProcess::requestStop(int cause) {
    if (!impl_->input || impl_->reaped) return;
    const std::string line = "stop " + std::to_string(cause) + "\n";
    DWORD written = 0;
    ::WriteFile(impl_->input, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// No softer way than the stop request exists: both end the process outright.
void ChildProcess::terminate() { kill(); }

void ChildProcess::kill() {
    if (!impl_->process || impl_->reaped) return;
    impl_->endedByUs = true;
    ::TerminateProcess(impl_->process, kEndedByParent);
}

ChildProcess::Exit ChildProcess::wait() {
    Exit exit;
    Impl& impl = *impl_;
    if (!impl.process) return exit;
    impl.reap(kExitMs);
    impl.joinReader();
    closeHandle(impl.input);
    const DWORD code = impl.code;
    if (impl.endedByUs && code == kEndedByParent) {
        exit.signal = SIGTERM;
        exit.signalName = "unit-loader-cli";
    } else if (code == STATUS_CONTROL_C_EXIT) {
        exit.signal = SIGINT;
        exit.signalName = "Ctrl-C";
        exit.stopSignal = true;
    } else if ((code & 0xF0000000) == 0xC0000000) {
        // An exception nobody caught (0xC0000005: an access violation, ...), the crash of a unit.
        char text[48];
        std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
        exit.signal = static_cast<int>(code);
        exit.signalName = text;
    } else {
        exit.code = static_cast<int>(code);
    }
    return exit;
}

void waitForChildren(const std::vector<ChildProcess*>& children, std::chrono::milliseconds timeout, bool stopRequests) {
    std::vector<HANDLE> handles;
    if (stopRequests && hooks.stopEvent)
        if (void* stop = hooks.stopEvent()) handles.push_back(static_cast<HANDLE>(stop));
    for (const ChildProcess* child : children)
        if (child->impl_->ready && !child->impl_->closed && handles.size() < MAXIMUM_WAIT_OBJECTS)
            handles.push_back(child->impl_->ready);
    const DWORD ms = timeout.count() <= 0 ? 0 : static_cast<DWORD>(std::min<std::int64_t>(timeout.count(), 0x7FFFFFFF));
    if (handles.empty()) {
        ::Sleep(ms);
        return;
    }
    ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
}

std::string startError() {
    const DWORD error = ::GetLastError();
    char* text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : "error " + std::to_string(error);
    if (text) ::LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

std::string selfPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "unit-loader-cli.exe";
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace units
