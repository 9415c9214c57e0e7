// The library as its users get it: the built file, loaded at run time, driven through its
// three exports.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "CommMessage.h"
#include "PtyPeer.h"
#include "SerialDevice.h"
#include "platform/GlobalMemory.h"
#include "platform/Mailslot.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

using LoadFn = bool (*)();
using RequestFn = char* (*)(char*, int*);
using UnloadFn = unsigned char (*)();

const std::string kOk = "COMM_PX417/1.0 200 OK\r\n\r\n";
const std::string kMemoryFailure = "COMM_PX417/1.0 401 Memory Failure\r\n\r\n";

std::string protocolError(int code) {
    return "COMM_PX417/1.0 403 Protcol Error\r\nArgument0: " + std::to_string(code) + "\r\n\r\n";
}

std::string openRequest(const std::string& port, const std::string& baud = "9600", const std::string& bits = "8") {
    return "COMM_PX417/1.0\r\nArgument0: " + port + "\r\nArgument1: " + baud + "\r\nArgument2: " + bits +
           "\r\nMethod: Open\r\n\r\n";
}

const std::string kCloseRequest = "COMM_PX417/1.0\r\nMethod: Close\r\n\r\n";
const std::string kStatusCommand =
    "COMM_PX417/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n";
const Bytes kStatusRequestSent{0xFC, 0x05, 0x11, 0x27, 0x56};
const Bytes kDisableReply{0xFC, 0x05, 0x1A, 0xF4, 0xE8};
const std::string kDisableResponse = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        // Mailslots of this test alone, whatever else runs beside it.
        char dir[] = "/tmp/px417-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        runtimeDir_ = dir;
        ::setenv("XDG_RUNTIME_DIR", dir, 1);

        handle_ = ::dlopen(PX417_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << ::dlerror();
        load_ = reinterpret_cast<LoadFn>(::dlsym(handle_, "load"));
        request_ = reinterpret_cast<RequestFn>(::dlsym(handle_, "request"));
        unload_ = reinterpret_cast<UnloadFn>(::dlsym(handle_, "unload"));
        ASSERT_TRUE(load_ && request_ && unload_);
        ASSERT_TRUE(load_());
    }

    void TearDown() override {
        if (request_) call(kCloseRequest);
        if (unload_) {
            EXPECT_EQ(unload_(), 1);
        }
        if (handle_) ::dlclose(handle_);
        trace_.close();
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
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
        std::string text(response, static_cast<std::size_t>(inOut));
        platform::globalFree(response);
        return text;
    }

    void listen() { ASSERT_TRUE(trace_.create("DebugComm_px417")); }

    // The next trace message, or "<none>" when nothing more is queued.
    std::string traced(std::chrono::milliseconds wait = 0ms) {
        std::string message;
        auto r = trace_.receive(message, wait);
        return r == platform::MailslotListener::Receive::Message ? message : "<none>";
    }

    void expectTraced(const std::string& request, const std::string& response) {
        EXPECT_EQ(traced(), request);
        EXPECT_EQ(traced(), response);
        EXPECT_EQ(traced(), "<none>");
    }

    std::string runtimeDir_;
    void* handle_ = nullptr;
    LoadFn load_ = nullptr;
    RequestFn request_ = nullptr;
    UnloadFn unload_ = nullptr;
    platform::MailslotListener trace_;
};

TEST_F(Library, OpenCommandClose) {
    listen();
    PtyPeer peer;
    EXPECT_EQ(call(openRequest(peer.path())), kOk);
    expectTraced(openRequest(peer.path()), kOk);

    ASSERT_TRUE(peer.send(kDisableReply));
    const std::string reply = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";
    EXPECT_EQ(call(kStatusCommand), reply);
    EXPECT_EQ(peer.receive(kStatusRequestSent.size()), kStatusRequestSent);
    expectTraced(kStatusCommand, reply);

    ASSERT_TRUE(peer.send({0xFC, 0x05, 0x1A, 0xF4, 0xE9}));
    EXPECT_EQ(call(kStatusCommand), protocolError(105));
    expectTraced(kStatusCommand, protocolError(105));

    EXPECT_EQ(call(kCloseRequest), kOk);
    expectTraced(kCloseRequest, kOk);
    EXPECT_EQ(call(kStatusCommand), kMemoryFailure);  // no port any more
}

TEST_F(Library, MissingDevice) {
    listen();
    EXPECT_EQ(call(openRequest("ttyDoesNotExist42")), kMemoryFailure);
    expectTraced(openRequest("ttyDoesNotExist42"), kMemoryFailure);
    EXPECT_EQ(call(kStatusCommand), protocolError(107));
    expectTraced(kStatusCommand, protocolError(107));
    EXPECT_EQ(call(kCloseRequest), kOk);
    EXPECT_EQ(call(kCloseRequest), kOk);
}

TEST_F(Library, NumbersThatDoNotConvert) {
    PtyPeer peer;
    EXPECT_EQ(call(openRequest(peer.path(), "9600baud")), kMemoryFailure);
    EXPECT_EQ(call(openRequest(peer.path(), "9600", "")), kMemoryFailure);
    SerialDevice device;  // nothing was opened
    EXPECT_TRUE(device.open(peer.path(), 9600, 8));
    device.close();

    EXPECT_EQ(call(kStatusCommand), kMemoryFailure);  // no port yet
    ASSERT_EQ(call(openRequest(peer.path(), "+9600")), kOk);
    for (const char* count : {"", "three", "0x3"}) {
        std::string text = "COMM_PX417/1.0\r\nArgument1: /AUR\r\nMethod: Command\r\n";
        if (*count) text += std::string("Argument0: ") + count + "\r\n";
        EXPECT_EQ(call(text), kMemoryFailure) << count;
    }
    EXPECT_TRUE(peer.pending().empty());  // nothing went out

    // A refused Open leaves the port that is held alone.
    EXPECT_EQ(call(openRequest(peer.path(), "fast")), kMemoryFailure);
    ASSERT_TRUE(peer.send(kDisableReply));
    EXPECT_EQ(call(kStatusCommand), kDisableResponse);
}

// Argument1 is the frame, whatever Argument0 says; none at all is a frame of no bytes.
TEST_F(Library, CommandSendsTheBytesOfArgument1) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    const struct {
        const char* fields;
        Bytes sent;
    } cases[] = {
        {"Argument0: 0\r\n", {0x00, 0x00}},
        {"Argument0: 0\r\nArgument1: \r\n", {0x00, 0x00}},
        {"Argument0: 1\r\nArgument1: /AUR\r\n", kStatusRequestSent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields);
        ASSERT_TRUE(peer.send(kDisableReply));
        EXPECT_EQ(call("COMM_PX417/1.0\r\n"s + c.fields + "Method: Command\r\n\r\n"), kDisableResponse);
        EXPECT_EQ(peer.receive(c.sent.size(), 1s), c.sent);
        EXPECT_TRUE(peer.pending().empty());
    }
}

TEST_F(Library, NoMethodGivesAnEmptyResponse) {
    listen();
    for (const std::string text : {"COMM_PX417/1.0\r\nMethod: open\r\n\r\n", "COMM_PX417/1.0\r\nMethod: Opens\r\n\r\n",
                                   "COMM_PX417/1.0\r\nArgument0: COM1\r\n\r\n", "Method: Close\r\n\r\n", ""}) {
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

    // And at the given length when that comes first.
    EXPECT_EQ(call(kCloseRequest, 27), "");
    expectTraced("COMM_PX417/1.0\r\nMethod: Clo", "");
    EXPECT_EQ(call(kCloseRequest, 0), "");
}

// A listener sees what was asked for even when the exchange then hangs or fails.
TEST_F(Library, RequestIsTracedBeforeItsFrameGoesOut) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    listen();
    std::string tracedFirst = "<frame never arrived>";
    std::thread unit([&] {
        if (peer.receive(kStatusRequestSent.size()) != kStatusRequestSent) return;
        tracedFirst = traced();
        peer.send(kDisableReply);
    });
    EXPECT_EQ(call(kStatusCommand), kDisableResponse);
    unit.join();
    EXPECT_EQ(tracedFirst, kStatusCommand);
}

// Traces may carry firmware bytes: a mailslot directory that others could enter, or that is not
// ours, gets none.
TEST_F(Library, NoTraceIntoADirectoryNotPrivate) {
    listen();
    const std::string dir = platform::mailslotDirectory(false);
    ASSERT_FALSE(dir.empty());
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(call(kCloseRequest), kOk);
    EXPECT_EQ(traced(), "<none>");

    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    if (::chown(dir.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) == 0) {  // only root may give it away
        EXPECT_EQ(call(kCloseRequest), kOk);
        EXPECT_EQ(traced(), "<none>");
    }
}

// Nothing but a terminal device is a port: a file named by mistake must come out as it went in.
TEST_F(Library, OpenRefusesWhatIsNoTerminal) {
    const std::string file = runtimeDir_ + "/firmware.bin";
    const std::string content = "\x12\x34 firmware image\xFC";
    std::ofstream(file, std::ios::binary) << content;
    const std::string fifo = runtimeDir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, fifo, runtimeDir_, "/dev/null"s}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(call(openRequest(path)), kMemoryFailure);
        EXPECT_EQ(call(kStatusCommand), protocolError(107));
    }
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

// A caller that unloads without Close must not leave the device held for the rest of the process.
TEST_F(Library, UnloadClosesTheOpenPort) {
    PtyPeer peer;
    auto exclusive = [&] {
        int on = -1;
        return ::ioctl(peer.slaveFd(), TIOCGEXCL, &on) == 0 ? on : -1;
    };
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    ASSERT_EQ(exclusive(), 1);
    EXPECT_EQ(unload_(), 1);
    EXPECT_EQ(exclusive(), 0);
    ASSERT_TRUE(load_());
    EXPECT_EQ(call(openRequest(peer.path())), kOk);
}

TEST_F(Library, DeviceHeldElsewhere) {
    PtyPeer peer;
    SerialDevice other;
    ASSERT_TRUE(other.open(peer.path(), 9600, 8));
    EXPECT_EQ(call(openRequest(peer.path())), kMemoryFailure);
    other.close();
    EXPECT_EQ(call(openRequest(peer.path())), kOk);
}

TEST_F(Library, OpenReleasesTheEarlierPort) {
    PtyPeer first, second;
    ASSERT_EQ(call(openRequest(first.path())), kOk);
    EXPECT_EQ(call(openRequest(first.path())), kOk);  // the same device again
    ASSERT_EQ(call(openRequest(second.path())), kOk);
    SerialDevice device;
    EXPECT_TRUE(device.open(first.path(), 9600, 8));  // let go by the last Open

    ASSERT_TRUE(second.send(kDisableReply));
    EXPECT_EQ(call(kStatusCommand), kDisableResponse);
    EXPECT_TRUE(first.pending().empty());
}

// Tests that measure time run alone (label timing); the slow ones take over 5 s.
class LibraryTiming : public Library {};
class LibrarySlow : public Library {};

// The library's own limit on a reply that never completes.
TEST_F(LibrarySlow, EndlessStreamEndsAfterTenSeconds) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        const Bytes chunk(64, 0x00);
        while (!stop.load()) peer.send(chunk, 20ms);
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string response = call(kStatusCommand);
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    stream.join();
    EXPECT_EQ(response, protocolError(102));
    EXPECT_GE(took, 10s);
    EXPECT_LT(took, 12s);
}

// At 300 baud the longest frame takes 9.35 s on the line; after a unit's pause before answering
// it ends past 10 s, and is still a reply.
TEST_F(LibrarySlow, LongestReplyAt300Baud) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path(), "300")), kOk);
    const Bytes frame = makeFrame(255, 0x1A);
    std::thread unit([&] {
        if (peer.receive(kStatusRequestSent.size()) != kStatusRequestSent) return;
        const auto start = std::chrono::steady_clock::now() + 800ms;
        const auto perByte = std::chrono::microseconds(11 * 1000000 / 300);
        for (std::size_t i = 0; i < frame.size(); ++i) {
            std::this_thread::sleep_until(start + (i + 1) * perByte);
            if (!peer.send({frame[i]})) return;
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string response = call(kStatusCommand);
    const auto took = std::chrono::steady_clock::now() - start;
    unit.join();
    EXPECT_EQ(response, "COMM_PX417/1.0 200 OK\r\nArgument0: 255\r\nArgument1: " +
                            base64Encode(frame.data(), frame.size()) + "\r\n\r\n");
    EXPECT_GT(took, 10s);  // else this no longer shows anything
}

// A peer that stops reading fills the line's queue; the write then gives up after 1 s plus twice
// the frame's line time, and the port works again once the peer reads.
TEST_F(LibraryTiming, WriteToAPeerThatStopsReadingEnds) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    // Fill the queue towards the peer from the peer's own descriptor of the line, until it has
    // stayed full for a while.
    const int line = peer.slaveFd();
    ASSERT_EQ(::fcntl(line, F_SETFL, ::fcntl(line, F_GETFL) | O_NONBLOCK), 0);
    const Bytes filler(512, 0x00);
    for (const auto end = std::chrono::steady_clock::now() + 5s;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "the line never filled up";
        if (::write(line, filler.data(), filler.size()) > 0) continue;
        pollfd p{line, POLLOUT, 0};
        if (::poll(&p, 1, 100) == 0) break;
    }

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(kStatusCommand), protocolError(107));
    const auto took = std::chrono::steady_clock::now() - start;
    const auto bound = 1s + 2 * std::chrono::microseconds(5 * 11 * 1000000 / 9600);
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, bound + 300ms);

    // The peer reads again: past what was queued, to the frame, and answers it.
    std::thread unit([&] {
        Bytes seen;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < end) {
            const Bytes got = peer.receive(1, 100ms);
            seen.insert(seen.end(), got.begin(), got.end());
            if (seen.size() >= kStatusRequestSent.size() &&
                std::equal(kStatusRequestSent.begin(), kStatusRequestSent.end(), seen.end() - 5)) {
                peer.send(kDisableReply);
                return;
            }
        }
    });
    EXPECT_EQ(call(kStatusCommand), kDisableResponse);
    unit.join();
}

// A listener that never reads must cost the traced requests nothing: its queue fills, and the
// lines that do not fit are dropped instead of waited for. The best of three rounds each way
// keeps a moment's load on the machine out of the figures.
TEST_F(LibraryTiming, ListenerThatNeverReadsCostsNothing) {
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    // Long replies, read byte by byte, give each request some weight against the noise.
    const Bytes reply = makeFrame(255, 0x1A);
    const std::string expected =
        "COMM_PX417/1.0 200 OK\r\nArgument0: 255\r\nArgument1: " + base64Encode(reply.data(), reply.size()) +
        "\r\n\r\n";
    std::atomic<bool> stop{false};
    std::thread unit([&] {
        Bytes got;
        while (!stop.load()) {
            const Bytes more = peer.receive(kStatusRequestSent.size() - got.size(), 20ms);
            got.insert(got.end(), more.begin(), more.end());
            if (got.size() == kStatusRequestSent.size()) {
                got.clear();
                peer.send(reply);
            }
        }
    });
    using Seconds = std::chrono::duration<double>;
    // The time of 100 requests; a run past `enough` stops early and is scaled up, so that a
    // failing run does not take minutes.
    auto hundred = [&](Seconds enough) {
        const auto start = std::chrono::steady_clock::now();
        int done = 0;
        for (; done < 100 && std::chrono::steady_clock::now() - start < enough; ++done)
            EXPECT_EQ(call(kStatusCommand), expected);
        return Seconds(std::chrono::steady_clock::now() - start).count() * 100 / done;
    };
    double alone = 1e9, listened = 1e9;
    for (int round = 0; round < 3; ++round) {
        alone = std::min(alone, hundred(Seconds(30)));
        listen();
        listened = std::min(listened, hundred(Seconds(4 * alone + 0.2)));
        trace_.close();
    }
    stop = true;
    unit.join();
    EXPECT_LT(listened / alone, 1.5) << "100 requests: " << alone << " s alone, " << listened
                                     << " s with a listener that never reads";
}

// Whatever the caller hands over, and however much of it, comes back as a well-formed answer;
// with a listener, whose trace cannot take the biggest of them, as well.
TEST_F(Library, RequestsOfAnyLengthAndContent) {
    listen();
    const std::string big(16u << 20, 'x');
    std::string noise(16u << 20, '\0');
    std::mt19937 rng(3);
    for (auto& c : noise) c = static_cast<char>(1 + rng() % 255);  // NUL would end the text early
    std::string manyMethods = "COMM_PX417/1.0\r\n";
    for (int i = 0; i < 100000; ++i) manyMethods += i % 2 ? "Method: Open\r\n" : "Method: Close\r\n";

    const struct {
        const char* what;
        std::string text;
        std::string response;
    } cases[] = {
        {"one byte", "C", ""},
        {"16 MiB of random bytes", noise, ""},
        {"16 MiB of line ends", std::string(16u << 20, '\n'), ""},
        {"Close with a 16 MiB field", "COMM_PX417/1.0\r\nArgument9: " + big + "\r\nMethod: Close\r\n\r\n", kOk},
        {"Open of a 16 MiB port name", openRequest(big), kMemoryFailure},
        // The Open before left its unopened port in the slot.
        {"Command of 16 MiB on a port that did not open",
         "COMM_PX417/1.0\r\nArgument0: 1\r\nArgument1: " + big + "\r\nMethod: Command\r\n\r\n", protocolError(107)},
        {"100000 Method lines, the first Close", manyMethods, kOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(call(c.text), c.response);
    }
    while (traced() != "<none>") {
    }
    EXPECT_EQ(call(kCloseRequest), kOk);
    expectTraced(kCloseRequest, kOk);

    // A frame far longer than any unit frame goes out whole, and the exchange goes on as usual.
    PtyPeer peer;
    ASSERT_EQ(call(openRequest(peer.path())), kOk);
    const Bytes frame(64u << 10, 0xFC);
    Bytes received;
    std::thread unit([&] {
        received = peer.receive(frame.size() + 2);
        peer.send(kDisableReply);
    });
    const std::string command =
        "COMM_PX417/1.0\r\nArgument0: 1\r\nArgument1: " + base64Encode(frame.data(), frame.size()) +
        "\r\nMethod: Command\r\n\r\n";
    EXPECT_EQ(call(command), kDisableResponse);
    unit.join();
    ASSERT_EQ(received.size(), frame.size() + 2);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), received.begin()));
}

// A port name is only ever looked up, never created or taken as anything but a path; whatever it
// holds, an Open that finds no terminal says so and the Command after it cannot send.
TEST_F(Library, PortNamesOfAnyContent) {
    std::string everyByte;
    for (int b = 1; b < 256; ++b)
        if (b != '\r' && b != '\n') everyByte += static_cast<char>(b);
    std::string upwards;
    for (int i = 0; i < 5000; ++i) upwards += "../";
    const std::string notThere = runtimeDir_ + "/not-there";
    const std::vector<std::string> names = {
        "",
        std::string(100000, 'A'),
        std::string(100000, '/'),
        upwards + "etc/passwd",
        "%s%s%s%n%n",
        "COM",
        "COM0",
        "COM-1",
        "COM4294967297",
        "COM999999999",
        "COM99999999999999999999",
        "\xFC\x05\x11",
        everyByte,
        "/dev/" + everyByte,
        notThere,
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name.substr(0, 40));
        EXPECT_EQ(call(openRequest(name)), kMemoryFailure);
        EXPECT_EQ(call(kStatusCommand), protocolError(107));
    }
    EXPECT_FALSE(std::filesystem::exists(notThere));
}

// Outside load .. unload there is no service, yet every call still gets a well-formed block.
TEST_F(Library, RequestWithoutService) {
    EXPECT_EQ(unload_(), 1);
    EXPECT_EQ(unload_(), 1);
    EXPECT_EQ(call(kCloseRequest), "");
    ASSERT_TRUE(load_());
    ASSERT_TRUE(load_());  // a second load keeps the service
    EXPECT_EQ(call(kCloseRequest), kOk);
}

TEST_F(Library, OddArguments) {
    int length = 5;
    char* response = request_(nullptr, &length);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(response[0], '\0');
    platform::globalFree(response);

    char* block = platform::globalAlloc(kCloseRequest.size() + 1);
    std::memcpy(block, kCloseRequest.data(), kCloseRequest.size());
    length = -3;
    response = request_(block, &length);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(length, 0);
    platform::globalFree(response);
}

}  // namespace
