// px417.dll as the loader gets it: loaded at run time from beside this program and driven
// through its three exports, with the simulated unit on the port named by UL_TEST_PORT (COM1).
// The simulated unit is started by scripts/test-windows.sh to answer Disable to every status
// request, with a wrong check code on its second reply and no answer from the third frame on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "WineSupport.h"
#include "platform/GlobalMemory.h"
#include "platform/Mailslot.h"
#include "platform/ProgramDirectory.h"
#include "session/platform/System.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

using LoadFn = bool (*)();
using RequestFn = char* (*)(char*, int*);
using UnloadFn = unsigned char (*)();

const std::string kOk = "COMM_PX417/1.0 200 OK\r\n\r\n";
const std::string kMemoryFailure = "COMM_PX417/1.0 401 Memory Failure\r\n\r\n";
const std::string kDisableReply = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";

std::string protocolError(int code) {
    return "COMM_PX417/1.0 403 Protcol Error\r\nArgument0: " + std::to_string(code) + "\r\n\r\n";
}

std::string openRequest(const std::string& port, const std::string& baud = "9600") {
    return "COMM_PX417/1.0\r\nArgument0: " + port + "\r\nArgument1: " + baud +
           "\r\nArgument2: 8\r\nMethod: Open\r\n\r\n";
}

const std::string kCloseRequest = "COMM_PX417/1.0\r\nMethod: Close\r\n\r\n";
const std::string kStatusCommand =
    "COMM_PX417/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n";

std::string testPort() {
    const char* port = std::getenv("UL_TEST_PORT");
    return port && *port ? port : "COM1";
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library_.open(platform::programDirectory() + "px417.dll"));
        load_ = reinterpret_cast<LoadFn>(library_.symbol("load"));
        request_ = reinterpret_cast<RequestFn>(library_.symbol("request"));
        unload_ = reinterpret_cast<UnloadFn>(library_.symbol("unload"));
        ASSERT_TRUE(load_ && request_ && unload_);
        ASSERT_TRUE(load_());
    }

    void TearDown() override {
        if (request_) call(kCloseRequest);
        if (unload_) {
            EXPECT_EQ(unload_(), 1);
        }
        library_.close();
    }

    // Sends `bytes` as a request block of `length` bytes (the whole text unless given) and
    // returns the response, checking the block's form on the way.
    std::string call(const std::string& bytes, int length = -1) {
        if (length < 0) length = static_cast<int>(bytes.size());
        char* block = platform::globalAlloc(bytes.size() + 1);
        std::memcpy(block, bytes.data(), bytes.size());
        int inOut = length;
        char* response = request_(block, &inOut);
        if (!response) {
            ADD_FAILURE() << "no response block";
            return {};
        }
        EXPECT_GE(inOut, 0);
        EXPECT_EQ(response[inOut], '\0');
        EXPECT_GE(::GlobalSize(response), static_cast<SIZE_T>(inOut) + 1);
        std::string text(response, static_cast<std::size_t>(inOut));
        platform::globalFree(response);
        return text;
    }

    void listen() { ASSERT_TRUE(trace_.create("DebugComm_px417")); }

    // The next trace message, or "<none>" when nothing more comes within `wait`.
    std::string traced(std::chrono::milliseconds wait = 500ms) {
        std::string message;
        auto r = trace_.receive(message, wait);
        return r == platform::MailslotListener::Receive::Message ? message : "<none>";
    }

    void expectTraced(const std::string& request, const std::string& response) {
        EXPECT_EQ(traced(), request);
        if (response.empty() && underWine()) {
            // Wine reads an empty mailslot message as a broken pipe; the write still happened,
            // since nothing else arrives in its place.
            EXPECT_EQ(traced(100ms), "<none>");
            return;
        }
        EXPECT_EQ(traced(), response);
        EXPECT_EQ(traced(0ms), "<none>");
    }

    platform::DynamicLibrary library_;
    LoadFn load_ = nullptr;
    RequestFn request_ = nullptr;
    UnloadFn unload_ = nullptr;
    platform::MailslotListener trace_;
};

// The one test that talks to the unit: a good reply, one with a wrong check code, then none.
TEST_F(Library, OpenCommandCloseOnTheSimulatedUnit) {
    listen();
    const std::string port = testPort();
    EXPECT_EQ(call(openRequest(port)), kOk);
    expectTraced(openRequest(port), kOk);

    EXPECT_EQ(call(kStatusCommand), kDisableReply);
    expectTraced(kStatusCommand, kDisableReply);

    EXPECT_EQ(call(kStatusCommand), protocolError(105));
    expectTraced(kStatusCommand, protocolError(105));

    // No answer: each one-byte read ends after its second, reported by some drivers as a
    // time-out error rather than as a read of nothing; either way it is "no reply".
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(kStatusCommand), protocolError(102));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // bounded, not a hang
    expectTraced(kStatusCommand, protocolError(102));

    EXPECT_EQ(call(kCloseRequest), kOk);
    expectTraced(kCloseRequest, kOk);
    EXPECT_EQ(call(kStatusCommand), kMemoryFailure);  // no port any more
}

TEST_F(Library, MissingDevice) {
    listen();
    EXPECT_EQ(call(openRequest("COM199")), kMemoryFailure);
    expectTraced(openRequest("COM199"), kMemoryFailure);
    EXPECT_EQ(call(kStatusCommand), protocolError(107));
    expectTraced(kStatusCommand, protocolError(107));
    EXPECT_EQ(call(kCloseRequest), kOk);
    EXPECT_EQ(call(kCloseRequest), kOk);
}

TEST_F(Library, NoMethodGivesAnEmptyResponse) {
    listen();
    for (const std::string text : {"COMM_PX417/1.0\r\nMethod: open\r\n\r\n", "COMM_PX417/1.0\r\nMethod: Opens\r\n\r\n",
                                   "COMM_PX417/1.0\r\nArgument0: COM1\r\n\r\n", "Method: Close\r\n\r\n"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(call(text), "");
        expectTraced(text, "");
    }
}

TEST_F(Library, TextEndsAtTheFirstNul) {
    listen();
    const std::string cut = "COMM_PX417/1.0\r\nMethod: Clo\0se\r\n\r\n"s;
    EXPECT_EQ(call(cut), "");
    expectTraced("COMM_PX417/1.0\r\nMethod: Clo", "");

    const std::string tail = "COMM_PX417/1.0\r\nMethod: Close\r\n\0Method: Open\r\n"s;
    EXPECT_EQ(call(tail), kOk);
    expectTraced("COMM_PX417/1.0\r\nMethod: Close\r\n", kOk);

    EXPECT_EQ(call(kCloseRequest, 27), "");
    EXPECT_EQ(call(kCloseRequest, 0), "");
}

// Outside load .. unload there is no service, yet every call still gets a well-formed block.
TEST_F(Library, RequestWithoutServiceAndOddArguments) {
    EXPECT_EQ(unload_(), 1);
    EXPECT_EQ(unload_(), 1);
    EXPECT_EQ(call(kCloseRequest), "");
    ASSERT_TRUE(load_());
    ASSERT_TRUE(load_());  // a second load keeps the service
    EXPECT_EQ(call(kCloseRequest), kOk);

    int length = 5;
    char* response = request_(nullptr, &length);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(response[0], '\0');
    platform::globalFree(response);
}

TEST_F(Library, DeviceHeldElsewhere) {
    const std::string path = "\\\\.\\" + testPort();
    HANDLE other = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const std::string response = call(openRequest(testPort()));
    ::CloseHandle(other);
    // Wine lets a second handle open a COM port that is held without sharing.
    EXPECT_EQ(response, underWine() ? kOk : kMemoryFailure);
}

}  // namespace
