// Trace mailslots between Windows processes: this program listens and a copy of itself writes,
// and trace-listen.exe prints what this program writes. Started with "--write NAME TEXT...",
// it writes each TEXT as one message (an empty TEXT as an empty message) and exits.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "MailslotTrace.h"
#include "WineSupport.h"
#include "platform/Mailslot.h"
#include "platform/ProgramDirectory.h"

namespace {

using namespace std::chrono_literals;
using Receive = platform::MailslotListener::Receive;

std::string uniqueName(const char* what) {
    return std::string("ul_test_") + what + "_" + std::to_string(::GetCurrentProcessId());
}

// A child process with its standard output on a pipe; ended and reaped when destroyed, and
// ended with this process whatever way it ends (the job closes with it).
class Child {
public:
    explicit Child(const std::string& commandLine) {
        job_ = ::CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!job_ || !::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!::CreatePipe(&read_, &writeEnd, &inherit, 0)) return;
        ::SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        std::string line = commandLine;
        started_ = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                                    &startup, &process_) != 0;
        ::CloseHandle(writeEnd);
        if (started_) {
            ::AssignProcessToJobObject(job_, process_.hProcess);
            ::ResumeThread(process_.hThread);
        }
    }
    ~Child() {
        if (started_) {
            ::TerminateProcess(process_.hProcess, 1);
            ::WaitForSingleObject(process_.hProcess, 10000);
            ::CloseHandle(process_.hProcess);
            ::CloseHandle(process_.hThread);
        }
        if (read_) ::CloseHandle(read_);
        if (job_) ::CloseHandle(job_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return started_; }

    // Exit code once it has ended within `limit`; -1 otherwise.
    long exitCode(std::chrono::milliseconds limit) {
        if (::WaitForSingleObject(process_.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }

    // Output until it contains `text`, or until `limit` has passed.
    std::string readUntil(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            DWORD available = 0;
            if (!::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) break;
            if (available == 0) {
                ::Sleep(20);  // pipes have no waitable readiness; this is a bounded poll
                continue;
            }
            char buffer[512];
            DWORD got = 0;
            if (!::ReadFile(read_, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
            output_.append(buffer, got);
        }
        return output_;
    }

private:
    HANDLE job_ = nullptr;
    HANDLE read_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
    std::string output_;
};

std::string selfPath() {
    char path[1024];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

TEST(Mailslot, NoListenerNoTrace) {
    MailslotTrace trace;
    EXPECT_FALSE(trace.open(uniqueName("nobody")));
    EXPECT_FALSE(trace.write("lost"));
}

TEST(Mailslot, MessagesFromAnotherProcessArriveWholeAndInOrder) {
    const std::string name = uniqueName("order");
    platform::MailslotListener listener;
    ASSERT_TRUE(listener.create(name));
    platform::MailslotListener second;
    EXPECT_FALSE(second.create(name));  // one listener per name

    // Quoting: the texts carry no blanks or quotes, only what the trace lines carry.
    Child writer("\"" + selfPath() + "\" --write " + name + " Enable_Message_\r Result=\r\nA:1\r\n\r\n\n \"\"");
    ASSERT_TRUE(writer.started());
    ASSERT_EQ(writer.exitCode(30s), 0);

    std::string message;
    for (const std::string expected : {"Enable Message \r", "Result=\r\nA:1\r\n\r\n\n"}) {
        ASSERT_EQ(listener.receive(message, 5s), Receive::Message);
        EXPECT_EQ(message, expected);
    }
    const Receive empty = listener.receive(message, 1s);
    if (underWine()) {
        // Wine reads an empty mailslot message as a broken pipe.
        EXPECT_EQ(empty, Receive::Error);
    } else {
        ASSERT_EQ(empty, Receive::Message);
        EXPECT_EQ(message, "");
    }
    EXPECT_EQ(listener.receive(message, 100ms), Receive::Timeout);
}

TEST(Mailslot, TraceListenPrintsWhatArrives) {
    const std::string name = uniqueName("listen");
    Child listen("\"" + platform::programDirectory() + "trace-listen.exe\" " + name);
    ASSERT_TRUE(listen.started());
    ASSERT_NE(listen.readUntil("listening on " + name, 30s).find("listening on " + name), std::string::npos);

    MailslotTrace::line(name, "Polling Message \r");
    MailslotTrace::line(name, "COMM_PX417/1.0 200 OK\r\n\r\n");
    const std::string out = listen.readUntil("200 OK", 30s);
    EXPECT_NE(out.find(name + " [17] Polling Message \\r\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find(name + " [25] COMM_PX417/1.0 200 OK\\r\\n\\r\\n\r\n"), std::string::npos) << out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--write") {
        for (int i = 3; i < argc; ++i) {
            std::string text = argv[i];
            for (auto& c : text)
                if (c == '_') c = ' ';
            MailslotTrace trace;
            if (!trace.open(argv[2]) || !trace.write(text)) return 1;
        }
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
