// The protocol library, loaded and called through its three exports as the loader does, against
// the simulated unit on a pseudo-terminal.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CommMessage.h"
#include "UnitSimulator.h"
#include "platform/GlobalMemory.h"

using namespace unitsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

class Px417 {
public:
    Px417() {
        handle_ = dlopen(PX417_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) return;
        load_ = reinterpret_cast<bool (*)()>(dlsym(handle_, "load"));
        request_ = reinterpret_cast<char* (*)(char*, int*)>(dlsym(handle_, "request"));
        unload_ = reinterpret_cast<unsigned char (*)()>(dlsym(handle_, "unload"));
    }
    ~Px417() {
        if (unload_) unload_();
        if (handle_) dlclose(handle_);
    }
    bool ready() const { return load_ && request_ && unload_ && load_(); }

    CommMessage call(const std::string& method, std::initializer_list<std::string> arguments) {
        CommMessage message(px417proto::kRequestLine);
        int i = 0;
        for (const auto& argument : arguments) message["Argument" + std::to_string(i++)] = argument;
        message["Method"] = method;
        const std::string text = message.serialise();
        char* block = platform::globalAlloc(text.size() + 1);
        std::memcpy(block, text.data(), text.size());
        int length = static_cast<int>(text.size());
        char* reply = request_(block, &length);
        CommMessage response;
        if (reply) {
            response.parse(std::string_view(reply, static_cast<std::size_t>(length)));
            platform::globalFree(reply);
        }
        return response;
    }

    CommMessage command(const Bytes& frameWithoutCheck) {
        return call("Command", {std::to_string(frameWithoutCheck.size()), base64Encode(frameWithoutCheck)});
    }

private:
    void* handle_ = nullptr;
    bool (*load_)() = nullptr;
    char* (*request_)(char*, int*) = nullptr;
    unsigned char (*unload_)() = nullptr;
};

TEST(Px417EndToEnd, StatusRequestThroughTheLibraryGetsDisable) {
    UnitSimulator sim;
    sim.start();
    Px417 px417;
    ASSERT_TRUE(px417.ready()) << dlerror();
    ASSERT_EQ(px417.call("Open", {sim.devicePath(), "38400", "8"}).startLine(), px417proto::kOkLine);

    const CommMessage status = px417.command({0xFC, 0x05, 0x11});
    EXPECT_EQ(status.startLine(), px417proto::kOkLine);
    EXPECT_EQ(status.get("Argument0"), "5");
    EXPECT_EQ(base64Decode(status.get("Argument1")), (Bytes{0xFC, 0x05, 0x1A, 0xF4, 0xE8}));

    const CommMessage version = px417.command({0xFC, 0x05, 0x84});
    const Bytes reply = base64Decode(version.get("Argument1"));
    ASSERT_EQ(reply.size(), 22u);
    EXPECT_EQ(std::string(reply.begin() + 7, reply.end() - 2), "SIM-UNIT 2.07");

    px417.call("Close", {});
    // The loader opens the port afresh for every session.
    ASSERT_EQ(px417.call("Open", {sim.devicePath(), "38400", "8"}).startLine(), px417proto::kOkLine);
    EXPECT_EQ(px417.command({0xFC, 0x05, 0x11}).startLine(), px417proto::kOkLine);
    px417.call("Close", {});
    EXPECT_TRUE(sim.waitForReplies(3, std::chrono::seconds(1)));
}

TEST(Px417EndToEnd, UnitFaultsBecomeTheLibrarysErrorCodes) {
    struct Case {
        const char* name;
        void (*set)(Faults&);
        const char* errorCode;
    };
    const Case cases[] = {
        {"wrong check code", [](Faults& f) { f.badCheck.nth = 1; }, "105"},
        {"no reply", [](Faults& f) { f.silentAfterFrames = 0; }, "102"},
        {"reply cut short", [](Faults& f) { f.cut.nth = 1; }, "102"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        c.set(config.faults);
        UnitSimulator sim(config);
        sim.start();
        Px417 px417;
        ASSERT_TRUE(px417.ready());
        ASSERT_EQ(px417.call("Open", {sim.devicePath(), "38400", "8"}).startLine(), px417proto::kOkLine);
        const CommMessage status = px417.command({0xFC, 0x05, 0x11});
        EXPECT_EQ(status.startLine(), px417proto::kProtocolErrorLine);
        EXPECT_EQ(status.get("Argument0"), c.errorCode);
        px417.call("Close", {});
    }
}

}  // namespace
