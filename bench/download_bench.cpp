// Whole downloads through the dialog core, the worker thread and px417 into the simulated unit.
//   download_bench paced   [KiB=64]   [baud=38400]  line-rate pacing, zero flash time
//   download_bench unpaced [KiB=4096]               as fast as the pseudo-terminal goes
// Paced: wall time against the floor (every byte both ways on the wire at 11 bits per byte)
// and the loader's own CPU time (the simulator's thread taken out). Unpaced: time per block.
#include <dirent.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "Crc16.h"
#include "UnitSimulator.h"
#include "core/DialogCore.h"
#include "session/EmbeddedResource.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietFeedback : public HeadlessFeedback {
public:
    using HeadlessFeedback::HeadlessFeedback;
    void ShowUnitStatus(std::uint8_t, std::uint8_t, std::uint32_t) override {}
    void ShowTableMessage(int id) override { std::printf("box: %s\n", stringResource(id).c_str()); }
    void ShowMessagePair(const std::string& caption, const std::string&) override {
        std::printf("box: %s\n", caption.c_str());
    }
};

std::set<std::string> threadIds() {
    std::set<std::string> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(e->d_name);
        closedir(d);
    }
    return ids;
}

// CPU time a thread has run, from the scheduler's account (nanoseconds).
double threadCpuSeconds(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return ns / 1e9;
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::vector<std::uint8_t> makeImage(std::size_t size) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> f(size);
    for (std::size_t i = 0; i + 2 < size; ++i) f[i] = static_cast<std::uint8_t>(rng() % 255);  // no blank block
    const std::uint16_t crc = Crc16::of({f.data(), size - 2});
    f[size - 2] = static_cast<std::uint8_t>(crc >> 8);
    f[size - 1] = static_cast<std::uint8_t>(crc);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "paced";
    const bool paced = mode == "paced";
    if (!paced && mode != "unpaced") {
        std::fprintf(stderr, "usage: %s paced [KiB] [baud] | unpaced [KiB]\n", argv[0]);
        return 2;
    }
    const std::size_t kib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : (paced ? 64 : 4096);
    const std::uint32_t baud = argc > 3 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 38400;

    const auto dir = std::filesystem::temp_directory_path() / ("ul-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string library = (dir / "px417.so").string();
    const std::string imagePath = (dir / "image.bin").string();
    if (!extractLibrary(library)) {
        std::fprintf(stderr, "cannot write the library\n");
        return 1;
    }
    const auto image = makeImage(kib * 1024);
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    unitsim::SimConfig config;
    config.unit.eraseBusyPolls = 0;
    config.unit.blockBusyPolls = 0;
    config.unit.verifyBusyPolls = 0;
    config.pacing.enabled = paced;
    config.pacing.baud = baud;
    config.pacing.eraseTime = config.pacing.blockWriteTime = config.pacing.verifyTime = {};
    config.frameLogLimit = 1u << 20;

    const auto before = threadIds();
    unitsim::UnitSimulator sim(config);
    sim.start();
    std::string simThread;
    for (const auto& t : threadIds())
        if (!before.count(t)) simThread = t;

    QueuedWindow window;
    QuietFeedback feedback(&window);
    int rc = 0;
    {
        DialogCore core(feedback, window, library);
        if (!core.SelectDownloadFile(imagePath)) return 1;

        const double cpu0 = processCpuSeconds();
        const double simCpu0 = threadCpuSeconds(simThread);
        const auto t0 = Clock::now();
        core.StartDownload({sim.devicePath(), static_cast<std::int32_t>(baud)});
        while (core.isRunning())
            if (!core.pumpOne(window.queue(), std::chrono::seconds(10))) break;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double simCpu = threadCpuSeconds(simThread) - simCpu0;
        const double loaderCpu = processCpuSeconds() - cpu0 - simCpu;

        const bool ok = core.lastReport().outcome == Outcome::Success && sim.image() == image;
        std::printf("%s download of %zu KiB (%u blocks): %s\n", paced ? "paced" : "unpaced", kib, core.blockCount(),
                    ok ? "ok, unit holds the file" : "FAILED");
        if (!ok) rc = 1;
        std::printf("wall time         %.3f s\n", wall);
        if (paced) {
            std::uint64_t bytes = 0;
            for (const auto& r : sim.frameLog())
                if (r.direction != unitsim::FrameRecord::Direction::Event) bytes += r.bytes.size();
            const double floor = bytes * 11.0 / baud;
            std::printf("bytes on the wire %llu (both directions)\n", static_cast<unsigned long long>(bytes));
            std::printf("floor             %.3f s (bytes x 11 / %u)\n", floor, baud);
            std::printf("wall / floor      %.4f (%+.2f %%)\n", wall / floor, (wall / floor - 1) * 100);
            std::printf("loader CPU        %.3f s = %.2f %% of wall (simulator thread %.3f s not counted)\n", loaderCpu,
                        loaderCpu / wall * 100, simCpu);
        } else {
            std::printf("per block         %.1f us\n", wall / core.blockCount() * 1e6);
            std::printf("loader CPU        %.3f s\n", loaderCpu);
        }
    }
    sim.stop();
    std::filesystem::remove_all(dir);
    return rc;
}
