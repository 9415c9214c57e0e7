#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LineRate.h"
#include "PtyPeer.h"
#include "SerialDevice.h"
#include "UnitPort.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Bytes bytesOf(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kStatusRequest{0xFC, 0x05, 0x11};
const Bytes kStatusRequestSent{0xFC, 0x05, 0x11, 0x27, 0x56};
const Bytes kDisableReply{0xFC, 0x05, 0x1A, 0xF4, 0xE8};

class UnitPortOnPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.open(peer.path(), 9600, 8)); }
    void TearDown() override { port.close(); }

    // One exchange of the status request; the peer's bytes are queued before the command goes.
    std::int32_t exchange(const Bytes& queued, ByteBuffer& reply) {
        if (!queued.empty()) {
            EXPECT_TRUE(peer.send(queued));
        }
        ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
        const std::int32_t result = port.transact(command, reply);
        EXPECT_EQ(bytesOf(command), kStatusRequestSent);
        EXPECT_EQ(peer.receive(kStatusRequestSent.size()), kStatusRequestSent);
        return result;
    }

    PtyPeer peer;
    UnitPort port;
};

struct ReplyCase {
    const char* name;
    Bytes queued;  // what the peer has sent by the time the command goes out
    std::int32_t result;
    Bytes reply;           // expected reply buffer
    bool waitsForSilence;  // ends only by the one-second read wait
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyTiming : public UnitPortOnPty, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTiming, Exchange) {
    const ReplyCase& c = GetParam();
    ByteBuffer reply{0xAA};  // anything but the expected content
    const auto start = Clock::now();
    EXPECT_EQ(exchange(c.queued, reply), c.result);
    const auto took = Clock::now() - start;
    EXPECT_EQ(bytesOf(reply), c.reply);
    EXPECT_EQ(port.receiverState(), RX_IDLE);
    if (c.waitsForSilence) {
        EXPECT_GE(took, 900ms);
        EXPECT_LT(took, 2500ms);
    } else {
        EXPECT_LT(took, 900ms);
    }
}

const Bytes kFrame255 = makeFrame(255, 0xFC);

INSTANTIATE_TEST_SUITE_P(
    UnitPort, ReplyTiming,
    ::testing::Values(
        ReplyCase{"Disable", kDisableReply, TRANSACT_OK, kDisableReply, false},
        ReplyCase{"LeadingNoise", concat({0x00, 0x55, 0x05, 0xE8}, kDisableReply), TRANSACT_OK, kDisableReply, false},
        ReplyCase{"BadCheck", {0xFC, 0x05, 0x1A, 0xF4, 0xE9}, TRANSACT_BAD_CHECK, {}, false},
        ReplyCase{"BadCheckLowByte", {0xFC, 0x05, 0x1A, 0xF5, 0xE8}, TRANSACT_BAD_CHECK, {}, false},
        ReplyCase{
            "SyncAsAnswerByte", {0xFC, 0x05, 0xFC, 0xCC, 0x6A}, TRANSACT_OK, {0xFC, 0x05, 0xFC, 0xCC, 0x6A}, false},
        ReplyCase{"LongestFrame", kFrame255, TRANSACT_OK, kFrame255, false},
        // A length below 5 leaves no room for an answer byte, even with a good check code.
        ReplyCase{"LengthFourIsNoise", concat({0xFC, 0x04, 0x8C, 0x93}, kDisableReply), TRANSACT_OK, kDisableReply,
                  false},
        ReplyCase{"LengthBelowThreeIsNoise", concat({0xFC, 0x02}, kDisableReply), TRANSACT_OK, kDisableReply, false},
        ReplyCase{"Silent", {}, TRANSACT_NO_REPLY, {}, true},
        ReplyCase{"StopsMidFrame", {0xFC, 0x06, 0x1A, 0xF4, 0xE8}, TRANSACT_NO_REPLY, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UnitPortOnPty, RepliesQueuedBackToBackServeTwoCommands) {
    const Bytes second{0xFC, 0x05, 0xFC, 0xCC, 0x6A};
    ByteBuffer reply;
    EXPECT_EQ(exchange(concat(kDisableReply, second), reply), TRANSACT_OK);
    EXPECT_EQ(bytesOf(reply), kDisableReply);
    EXPECT_EQ(exchange({}, reply), TRANSACT_OK);
    EXPECT_EQ(bytesOf(reply), second);
}

TEST_F(UnitPortOnPty, AnsweringPeer) {
    // A peer that answers only once the command has arrived, as a unit does.
    std::thread unit([this] {
        if (peer.receive(kStatusRequestSent.size()) == kStatusRequestSent) peer.send(kDisableReply);
    });
    ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
    ByteBuffer reply;
    const std::int32_t result = port.transact(command, reply);
    unit.join();
    EXPECT_EQ(result, TRANSACT_OK);
    EXPECT_EQ(bytesOf(reply), kDisableReply);
}

TEST_F(UnitPortOnPty, EmptyCommandSendsOnlyTheCheckCode) {
    ASSERT_TRUE(peer.send(kDisableReply));
    ByteBuffer command;
    ByteBuffer reply;
    EXPECT_EQ(port.transact(command, reply), TRANSACT_OK);
    EXPECT_EQ(peer.receive(2), (Bytes{0x00, 0x00}));
}

// A device that never stops sending must not hold the caller beyond the reply limit.
class EndlessStreamTiming : public UnitPortOnPty, public ::testing::WithParamInterface<Bytes> {};

TEST_P(EndlessStreamTiming, EndsWithNoReply) {
    port.setReplyLimit(200ms);
    std::atomic<bool> stop{false};
    ASSERT_TRUE(peer.send(GetParam()));
    std::thread stream([&] {
        const Bytes chunk(64, 0x55);
        while (!stop.load()) peer.send(chunk, 20ms);
    });
    ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
    ByteBuffer reply{1, 2};
    const auto start = Clock::now();
    const std::int32_t result = port.transact(command, reply);
    const auto took = Clock::now() - start;
    stop = true;
    stream.join();
    EXPECT_EQ(result, TRANSACT_NO_REPLY);
    EXPECT_TRUE(reply.empty());
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 900ms);  // well short of a silent line's one-second read wait
}

INSTANTIATE_TEST_SUITE_P(UnitPort, EndlessStreamTiming,
                         ::testing::Values(Bytes{}, Bytes{0xFC, 0x02}),  // hunting, or stuck in a frame
                         [](const auto& info) { return info.param.empty() ? "Hunting" : "InsideAFrame"; });

// A limit shorter than the device's one-second read wait ends the wait for a silent unit too:
// the station's presence polls notice a unit taken out by it.
class SilentLineTiming : public UnitPortOnPty {};

TEST_F(SilentLineTiming, EndsAtTheReplyLimit) {
    port.close();
    ASSERT_TRUE(port.open(peer.path(), 38400, 8));  // the longest frame's line time is below 300 ms
    port.setReplyLimit(300ms);
    ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
    ByteBuffer reply;
    auto start = Clock::now();
    EXPECT_EQ(port.transact(command, reply), TRANSACT_NO_REPLY);
    EXPECT_LT(Clock::now() - start, 700ms);
    // The default limit keeps the device's full wait for each byte.
    port.setReplyLimit(UnitPort::kDefaultReplyLimit);
    start = Clock::now();
    EXPECT_EQ(port.transact(command, reply), TRANSACT_NO_REPLY);
    EXPECT_GE(Clock::now() - start, 950ms);
}

TEST(UnitPortTiming, UnopenedPortFailsToSendAtOnce) {
    UnitPort port;
    EXPECT_FALSE(port.open("ttyDoesNotExist42", 9600, 8));
    EXPECT_FALSE(port.open("", 9600, 8));
    ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
    ByteBuffer reply{7};
    const auto start = Clock::now();
    EXPECT_EQ(port.transact(command, reply), TRANSACT_SEND_FAILED);
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_EQ(bytesOf(reply), Bytes{7});  // left as it was
    port.close();
    port.close();
}

TEST_F(UnitPortOnPty, VanishedDeviceFailsTheSend) {
    peer.closeMaster();
    ByteBuffer command(kStatusRequest.data(), kStatusRequest.size());
    ByteBuffer reply;
    EXPECT_EQ(port.transact(command, reply), TRANSACT_SEND_FAILED);
}

TEST(SerialDevice, PortNames) {
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM20", "/dev/ttyS19"},
        {"com1", "/dev/ttyS0"},
        {"Com2", "/dev/ttyS1"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"./relative/tty", "./relative/tty"},
        {"COM", "/dev/COM"},
        {"COM0", "/dev/COM0"},
        {"COMx", "/dev/COMx"},
        {"COM1x", "/dev/COM1x"},
    };
    for (const auto& c : cases) EXPECT_EQ(serialDevicePath(c.name), c.path) << c.name;
}

TEST(SerialDevice, LineSettings) {
    PtyPeer peer;
    // Start from settings the device must change. (A pseudo-terminal always reports 8 data
    // bits and no parity, so those two cannot be seen here.)
    termios t{};
    ASSERT_EQ(::tcgetattr(peer.slaveFd(), &t), 0);
    t.c_cflag |= PARODD | CSTOPB;
    t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    t.c_iflag |= ICRNL | IXON | ISTRIP;
    t.c_oflag |= OPOST;
    t.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(::tcsetattr(peer.slaveFd(), TCSANOW, &t), 0);

    SerialDevice device;
    ASSERT_TRUE(device.open(peer.path(), 19200, 7));
    ASSERT_EQ(::tcgetattr(peer.slaveFd(), &t), 0);
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | ISTRIP));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(lineRateOf(peer.slaveFd()), 19200);

    // Rates outside the B-constant table are set exactly; what is no rate at all (0 would hang
    // the line up) leaves the earlier one, and the device still opens.
    const struct {
        std::int32_t asked;
        int runs;
    } rates[] = {{14400, 14400},   {28800, 28800}, {56000, 56000},  {128000, 128000},
                 {250000, 250000}, {0, 250000},    {-9600, 250000}, {300, 300}};
    for (const auto& r : rates) {
        device.close();
        ASSERT_TRUE(device.open(peer.path(), r.asked, 8)) << r.asked;
        EXPECT_EQ(lineRateOf(peer.slaveFd()), r.runs) << r.asked;
        EXPECT_EQ(device.baudRate(), r.runs) << r.asked;
    }
}

TEST(SerialDevice, OpenFlushesOldInput) {
    PtyPeer peer;
    ASSERT_TRUE(peer.send({0x01, 0x02, 0x03}));
    SerialDevice device;
    // The bytes reach the line asynchronously; wait until they are there to be thrown away.
    pollfd p{peer.slaveFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    ASSERT_TRUE(device.open(peer.path(), 9600, 8));
    ASSERT_TRUE(peer.send({0x04}));
    std::uint8_t b = 0;
    ASSERT_TRUE(device.readByte(b));
    EXPECT_EQ(b, 0x04);
}

TEST(SerialDeviceTiming, SignalsNeitherCutNorStretchTheReadWait) {
    PtyPeer peer;
    SerialDevice device;
    ASSERT_TRUE(device.open(peer.path(), 9600, 8));
    struct sigaction quiet {
    }, old{};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);

    std::atomic<bool> done{false};
    bool got = true;
    Clock::duration took{};
    std::thread reader([&] {
        const auto start = Clock::now();
        std::uint8_t b;
        got = device.readByte(b);
        took = Clock::now() - start;
        done = true;
    });
    // Interrupt the wait all through its second.
    while (!done.load()) {
        ::pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(20ms);
    }
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_FALSE(got);
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 1400ms);
}

TEST(SerialDevice, HeldExclusively) {
    PtyPeer peer;
    SerialDevice first;
    ASSERT_TRUE(first.open(peer.path(), 9600, 8));
    SerialDevice second;
    EXPECT_FALSE(second.open(peer.path(), 9600, 8));

    // Nor from another process.
    const std::string path = peer.path();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialDevice other;
        ::_exit(other.open(path, 9600, 8) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process could open the device";

    first.close();
    EXPECT_TRUE(second.open(peer.path(), 9600, 8));
}

// Exclusive mode belongs to the tty, which outlives the port here (the peer keeps the line up):
// left set, it would refuse every later open by an unprivileged user (root is exempt).
TEST(SerialDevice, ExclusiveModeLastsExactlyAsLongAsThePort) {
    PtyPeer peer;
    auto exclusive = [&] {
        int on = -1;
        return ::ioctl(peer.slaveFd(), TIOCGEXCL, &on) == 0 ? on : -1;
    };
    ASSERT_EQ(exclusive(), 0);
    SerialDevice first;
    ASSERT_TRUE(first.open(peer.path(), 9600, 8));
    EXPECT_EQ(exclusive(), 1);
    first.close();
    EXPECT_EQ(exclusive(), 0);

    // A refused second open must not leave the mode behind once the holder has gone.
    ASSERT_TRUE(first.open(peer.path(), 9600, 8));
    SerialDevice second;
    EXPECT_FALSE(second.open(peer.path(), 9600, 8));
    first.close();
    EXPECT_EQ(exclusive(), 0);
}

}  // namespace
