// Time of one Command request through the library's exports, against the simulated unit
// answering status requests at once (the same peer as the session bench, so the two compare).
//   command_roundtrip [COUNT] [LIBRARY]
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UnitSimulator.h"
#include "platform/GlobalMemory.h"

namespace {

using Clock = std::chrono::steady_clock;

char* (*requestFn)(char*, int*) = nullptr;

std::string call(const std::string& text) {
    char* block = platform::globalAlloc(text.size() + 1);
    std::memcpy(block, text.data(), text.size());
    int length = static_cast<int>(text.size());
    char* response = requestFn(block, &length);
    std::string out = response ? std::string(response, static_cast<std::size_t>(length)) : std::string();
    platform::globalFree(response);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* library = argc > 2 ? argv[2] : PX417_LIBRARY;
    if (count <= 0) {
        std::fprintf(stderr, "usage: %s [COUNT] [LIBRARY]\n", argv[0]);
        return 2;
    }

    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "%s\n", ::dlerror());
        return 1;
    }
    auto load = reinterpret_cast<bool (*)()>(::dlsym(handle, "load"));
    requestFn = reinterpret_cast<char* (*)(char*, int*)>(::dlsym(handle, "request"));
    auto unload = reinterpret_cast<unsigned char (*)()>(::dlsym(handle, "unload"));
    if (!load || !requestFn || !unload || !load()) {
        std::fprintf(stderr, "library unusable\n");
        return 1;
    }

    unitsim::UnitSimulator sim;
    sim.start();
    const std::string path = sim.devicePath();
    const std::string open =
        "COMM_PX417/1.0\r\nArgument0: " + path + "\r\nArgument1: 38400\r\nArgument2: 8\r\nMethod: Open\r\n\r\n";
    if (call(open) != "COMM_PX417/1.0 200 OK\r\n\r\n") {
        std::fprintf(stderr, "Open of %s failed\n", path.c_str());
        return 1;
    }

    const std::string command =
        "COMM_PX417/1.0\r\nArgument0: 3\r\nArgument1: /AUR\r\nArgument2: FC 05 11 \r\nMethod: Command\r\n\r\n";
    const std::string expected = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const std::string response = call(command);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (response != expected) ++failures;
    }

    call("COMM_PX417/1.0\r\nMethod: Close\r\n\r\n");
    unload();
    ::dlclose(handle);
    sim.stop();

    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf("Command round trip over %d requests: median %.1f us, p95 %.1f us, min %.1f us, max %.1f us", count,
                at(0.5), at(0.95), micros.front(), micros.back());
    std::printf(failures ? ", %d unexpected responses\n" : "\n", failures);
    return failures ? 1 : 0;
}
