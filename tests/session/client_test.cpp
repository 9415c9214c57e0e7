// The session client against the built px417 library and, for outcomes px417 cannot produce,
// a scripted stand-in library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "TestSupport.h"
#include "UnitFrames.h"
#include "session/CommWorker.h"
#include "session/EmbeddedResource.h"
#include "session/LibraryClient.h"

namespace {

using namespace std::chrono_literals;

bool isLoaded(const std::string& path) {
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    ::dlclose(h);
    return true;
}

template <typename Fn>
Fn fakeSymbol(const char* name) {
    void* h = ::dlopen(FAKE_PX417_FILE, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    auto fn = reinterpret_cast<Fn>(::dlsym(h, name));
    ::dlclose(h);
    return fn;
}

void pushResponse(const char* text) {
    auto push = fakeSymbol<void (*)(const char*)>("fake_push_response");
    ASSERT_NE(push, nullptr);
    push(text);
}

TEST(Extraction, WritesTheLibraryByteForByteAndReplacesAnOldFile) {
    TempDir dir;
    const std::string target = dir.file("px417.so");
    {
        std::ofstream old(target, std::ios::binary);
        old << "an older, shorter file";
    }
    ASSERT_TRUE(extractLibrary(target));
    auto resource = findResource(kLibraryResourceType, kLibraryResourceName);
    ASSERT_TRUE(resource.has_value());
    const auto built = readFile(PX417_FILE);
    EXPECT_EQ(readFile(target), built);
    EXPECT_EQ(std::vector<std::uint8_t>(resource->begin(), resource->end()), built);
    // The temporary file was renamed, not left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Extraction, UnknownResourceIsNotFound) {
    EXPECT_FALSE(findResource("DLLFILE", "IDR_OTHER").has_value());
    EXPECT_FALSE(findResource("RCDATA", "IDR_PX417_DLL").has_value());
}

TEST(Extraction, UnwritableDirectoryFailsWithoutPartialFile) {
    TempDir dir;
    // A regular file standing where the directory should be stops even root.
    const std::string notADir = dir.file("plain");
    std::ofstream(notADir) << "x";
    EXPECT_FALSE(extractLibrary(notADir + "/px417.so"));

    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir.path() / "ro");
        ::chmod(dir.file("ro").c_str(), 0555);
        EXPECT_FALSE(extractLibrary(dir.file("ro") + "/px417.so"));
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "ro"));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), ::geteuid() != 0 ? 2 : 1);
}

TEST(Binding, LibraryWithoutUnloadIsRefusedAndReleased) {
    LibraryClient client;
    EXPECT_FALSE(client.bind(FAKE_NOUNLOAD_FILE));
    EXPECT_FALSE(client.isBound());
    EXPECT_FALSE(isLoaded(FAKE_NOUNLOAD_FILE));
}

TEST(Binding, BarePathAndMissingFileAreRefused) {
    LibraryClient client;
    EXPECT_FALSE(client.bind("px417.so"));  // would otherwise go through the search path
    EXPECT_FALSE(client.bind("/nonexistent/px417.so"));
    EXPECT_FALSE(client.open("COM1", 9600));
    ByteBuffer frame = unitframe::statusRequest();
    EXPECT_FALSE(client.command(frame));
    client.close();  // nothing bound: nothing happens
    EXPECT_EQ(client.result("ResultCode"), "");
}

TEST(Binding, LoadSayingNoKeepsTheLibraryUntilTheClientGoes) {
    ::setenv("FAKE_PX417_LOAD", "0", 1);
    {
        LibraryClient client;
        EXPECT_FALSE(client.bind(FAKE_PX417_FILE));
        EXPECT_TRUE(isLoaded(FAKE_PX417_FILE));
    }
    ::unsetenv("FAKE_PX417_LOAD");
    EXPECT_FALSE(isLoaded(FAKE_PX417_FILE));
}

// The texts px417 receives, captured from its own trace.
TEST(Requests, TextsReachThePx417ExactlyAsBuilt) {
    PrivateMailslots slots;
    TempDir dir;
    const std::string lib = dir.file("px417.so");
    ASSERT_TRUE(extractLibrary(lib));
    TraceCapture px417Trace("DebugComm_px417");
    TraceCapture loaderTrace(kLoaderTraceName);

    LibraryClient client;
    ASSERT_TRUE(client.bind(lib));
    const std::string missing = dir.file("no-such-tty");
    EXPECT_TRUE(client.open(missing, 38400));  // true whatever the port did
    EXPECT_EQ(client.result("ResultCode"), "401");
    EXPECT_EQ(client.result("ResultMessage"), "Memory Failure");

    ByteBuffer status = unitframe::statusRequest();
    EXPECT_FALSE(client.command(status));  // the unopened port cannot send
    EXPECT_EQ(client.result("ErrorCode"), "107");
    EXPECT_EQ(status, unitframe::statusRequest());  // keeps the frame that was sent
    ByteBuffer empty;
    EXPECT_FALSE(client.command(empty));
    client.close();
    EXPECT_EQ(client.result("ResultCode"), "200");

    auto seen = px417Trace.take(8);
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0], "COMM_PX417/1.0\r\nArgument0: " + missing +
                           "\r\nArgument1: 38400\r\nArgument2: 8\r\nMethod: Open\r\n\r\n");
    EXPECT_EQ(seen[2],
              "COMM_PX417/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\n"
              "Method: Command\r\n\r\n");
    EXPECT_EQ(seen[3], "COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 107\r\n\r\n");
    EXPECT_EQ(seen[4], "COMM_PX417/1.0\r\nArgument0: 0\r\nMethod: Command\r\n\r\n");
    EXPECT_EQ(seen[6], "COMM_PX417/1.0\r\nMethod: Close\r\n\r\n");

    auto lines = loaderTrace.take(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "Result = COMM_PX417/1.0 401 Memory Failure\r\nResultCode: 401\r\n"
              "ResultMessage: Memory Failure\r\n\r\n\n");
}

TEST(Results, FailedThenSuccessfulCommandKeepsTheFirstErrorCode) {
    LibraryClient client;
    ASSERT_TRUE(client.bind(FAKE_PX417_FILE));
    pushResponse("COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n");
    ByteBuffer frame = unitframe::statusRequest();
    EXPECT_FALSE(client.command(frame));
    EXPECT_EQ(client.result("ErrorCode"), "102");
    EXPECT_EQ(client.result("ResultCode"), "403");

    EXPECT_TRUE(client.command(frame));  // the stand-in's default reply
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x1A, 0xF4, 0xE8}));
    EXPECT_EQ(client.result("ResultCode"), "200");
    EXPECT_EQ(client.result("ResultMessage"), "OK");
    EXPECT_EQ(client.result("ErrorCode"), "102");
    EXPECT_EQ(client.result("ResponseLength"), "5");
    EXPECT_EQ(client.result("ResponseText"), "/AUa9Og=");
}

// A library may hand back a block longer than its text: what follows the first NUL is not read.
TEST(Results, ResponseTextEndsAtItsFirstNul) {
    LibraryClient client;
    ASSERT_TRUE(client.bind(FAKE_PX417_FILE));
    using namespace std::string_literals;
    const std::string block = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\0AAAA\r\n\r\n"s;
    auto push = fakeSymbol<void (*)(const char*, int)>("fake_push_response_bytes");
    ASSERT_NE(push, nullptr);
    push(block.data(), static_cast<int>(block.size()));
    ByteBuffer frame = unitframe::statusRequest();
    ASSERT_TRUE(client.command(frame));
    EXPECT_EQ(frame, (ByteBuffer{0xFC, 0x05, 0x1A, 0xF4, 0xE8}));
}

TEST(Results, OnlyTheExactCode200IsSuccess) {
    const char* responses[] = {
        "COMM_PX417/1.0 2000 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n",
        "COMM_PX417/1.0 200\t OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n",
        "COMM_PX417/1.0 OK 200\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n",
        "COMM_PX417/1.0 200OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n",
        "",
        "COMM_PX417/1.0 200 OK\r\nArgument0: five\r\nArgument1: /AUa9Og=\r\n\r\n",
    };
    LibraryClient client;
    ASSERT_TRUE(client.bind(FAKE_PX417_FILE));
    for (const char* response : responses) {
        SCOPED_TRACE(response);
        pushResponse(response);
        ByteBuffer frame = unitframe::statusRequest();
        EXPECT_FALSE(client.command(frame));
        EXPECT_EQ(frame, unitframe::statusRequest());
    }
}

// A failure without a numeric error code still reaches the window, or a sequence waiting for
// its reply would wait for ever.
TEST(Worker, EveryFailedExchangeBecomesAnAlarm) {
    QueuedWindow window;
    CommWorker worker(window, FAKE_PX417_FILE);
    ASSERT_TRUE(worker.open("COM1", 9600));
    const char* withoutCode[] = {"COMM_PX417/1.0 403 Protcol Error\r\n\r\n",
                                 "COMM_PX417/1.0 403 Protcol Error\r\nArgument0: x\r\n\r\n", ""};
    for (const char* response : withoutCode) {
        pushResponse(response);
        pushResponse(response);
        ASSERT_TRUE(worker.postCommand(unitframe::startDownload()));
        ASSERT_TRUE(worker.pollOnce());
    }
    ASSERT_TRUE(worker.postCommand(unitframe::ack()));  // the stand-in's default reply: success
    for (std::size_t i = 0; i < std::size(withoutCode); ++i) {
        SCOPED_TRACE(withoutCode[i]);
        Message m;
        ASSERT_TRUE(window.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, registerMessage(msgname::kAlarm));
        ASSERT_NE(m.payload, nullptr);
        EXPECT_EQ(*m.payload, unitframe::startDownload());  // the frame that was sent
        ASSERT_TRUE(window.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, registerMessage(msgname::kAlarm));
        ASSERT_NE(m.payload, nullptr);
        EXPECT_EQ(m.payload->size(), 0u);  // a failed status request carries nothing
    }
    Message m;
    ASSERT_TRUE(window.queue().waitAndTake(m, 5s));
    EXPECT_EQ(m.id, registerMessage(msgname::kResponse));
    worker.stop();
}

// Each way px417 can answer a failed Command reaches the window as the Alarm's own error.
TEST(Worker, EachFailedResponseComesWithItsLinkError) {
    const std::pair<const char*, LinkError> cases[] = {
        {"COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 102\r\n\r\n", LinkError::NoReply},
        {"COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 105\r\n\r\n", LinkError::BadCheckCode},
        {"COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 107\r\n\r\n", LinkError::SendFailed},
        {"COMM_PX417/1.0 401 Memory Failure\r\n\r\n", LinkError::NotOpen},
        {"COMM_PX417/1.0 403 Protcol Error\r\nArgument0: 999\r\n\r\n", LinkError::Malformed},
        {"COMM_PX417/1.0 200 OK\r\nArgument0: five\r\nArgument1: /AUa9Og=\r\n\r\n", LinkError::Malformed},
        {"", LinkError::Malformed},
    };
    QueuedWindow window;
    CommWorker worker(window, FAKE_PX417_FILE);
    ASSERT_TRUE(worker.open("COM1", 9600));
    for (const auto& [response, error] : cases) {
        SCOPED_TRACE(response);
        pushResponse(response);
        ASSERT_TRUE(worker.pollOnce());
        Message m;
        ASSERT_TRUE(window.queue().waitAndTake(m, 5s));
        EXPECT_EQ(m.id, registerMessage(msgname::kAlarm));
        EXPECT_EQ(linkErrorOf(m.detail), error);
    }
    worker.stop();
}

TEST(Worker, FailedOpenLeavesNothingRunning) {
    QueuedWindow window;
    CommWorker worker(window, FAKE_PX417_FILE);
    ::setenv("FAKE_PX417_OPEN", "COMM_PX417/1.0 401 Memory Failure\r\n\r\n", 1);
    EXPECT_FALSE(worker.open("COM1", 9600));
    ::unsetenv("FAKE_PX417_OPEN");
    EXPECT_FALSE(worker.isOpen());
    EXPECT_FALSE(worker.pollOnce());
    worker.stop();  // nothing to stop
    EXPECT_FALSE(isLoaded(FAKE_PX417_FILE));
}

TEST(Messages, SameNameGivesSameNumberAcrossThreads) {
    std::vector<MessageId> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = registerMessage("Orlo::Test::Message::Same"); });
    for (auto& t : threads) t.join();
    for (MessageId id : seen) EXPECT_EQ(id, seen[0]);
    EXPECT_NE(registerMessage("Orlo::Test::Message::Other"), seen[0]);
}

TEST(Messages, QueueIsFifoAndFreesWhatIsLeft) {
    auto queue = std::make_unique<MessageQueue>();
    queue->post(1, std::make_unique<ByteBuffer>(ByteBuffer{1}));
    queue->post(2, nullptr);
    queue->post(3, std::make_unique<ByteBuffer>(ByteBuffer{3, 3}));
    Message m;
    ASSERT_TRUE(queue->take(m));
    EXPECT_EQ(m.id, 1u);
    ASSERT_TRUE(queue->take(m));
    EXPECT_EQ(m.id, 2u);
    EXPECT_EQ(m.payload, nullptr);
    queue.reset();  // message 3 and its buffer go with the queue (the leak checker watches)
    MessageQueue empty;
    EXPECT_FALSE(empty.waitAndTake(m, 1ms));
}

}  // namespace
