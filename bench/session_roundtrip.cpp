// Round trip of one Command through the whole session stack: posted on the window side, taken
// by the worker, sent through px417 to the simulated unit, the reply posted back and taken.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "UnitSimulator.h"
#include "session/EmbeddedResource.h"
#include "session/UnitSession.h"

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string lib =
        (std::filesystem::temp_directory_path() / ("px417-bench-" + std::to_string(::getpid()) + ".so")).string();
    if (!extractLibrary(lib)) {
        std::fprintf(stderr, "cannot write %s\n", lib.c_str());
        return 1;
    }
    unitsim::UnitSimulator sim;
    sim.start();
    QueuedWindow window;
    const MessageId response = registerMessage(msgname::kResponse);
    int rc = 0;
    {
        UnitSession session(lib);
        if (!session.connect(window, sim.devicePath(), 38400)) {
            std::fprintf(stderr, "cannot connect to the simulated unit\n");
            rc = 1;
        } else {
            std::vector<double> micros;
            micros.reserve(static_cast<std::size_t>(count));
            for (int i = 0; i < count && rc == 0; ++i) {
                const auto t0 = Clock::now();
                session.sendAck();
                Message m;
                if (!window.queue().waitAndTake(m, std::chrono::seconds(5)) || m.id != response) {
                    std::fprintf(stderr, "no Response to command %d\n", i);
                    rc = 1;
                    break;
                }
                micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            session.destroy();
            if (rc == 0) {
                std::sort(micros.begin(), micros.end());
                auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
                std::printf("session round trip (post -> worker -> px417 -> simulated unit -> posted reply)\n");
                std::printf("  commands: %d\n  median:   %.1f us\n  p95:      %.1f us\n  max:      %.1f us\n", count,
                            at(0.5), at(0.95), micros.back());
            }
        }
    }
    sim.stop();
    std::filesystem::remove(lib);
    return rc;
}
