// unit-sim: a simulated unit on a pseudo-terminal, for trying the loader without hardware.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "UnitSimulator.h"

using namespace unitsim;

namespace {

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (auto b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        text += cell;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

// Replaces an earlier link of ours, but never a file that is not a link.
bool makeLink(const std::string& target, const std::string& link) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::cerr << "unit-sim: " << link << " exists and is not a symbolic link\n";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        std::cerr << "unit-sim: cannot link " << link << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

void removeLink(const std::string& target, const std::string& link) {
    char buffer[4096];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

void addSelector(CLI::App& app, const std::string& name, ReplySelector& selector, const std::string& what) {
    app.add_option("--" + name + "-reply", selector.nth, what + " on reply N only (replies counted from 1)")
        ->group("Faults");
    app.add_option("--" + name + "-every", selector.every, what + " on every K-th reply")->group("Faults");
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    std::string link;
    std::string imageOut;
    bool log = false;
    bool silent = false;
    std::uint32_t silentAfter = 0;
    std::uint32_t dropAfterBlock = 0;
    std::uint32_t eraseMs = 100, blockMs = 2, verifyMs = 50;
    std::uint32_t gapMs = 1500;
    std::uint32_t partialMs = 500;
    std::uint32_t enabledMs = 0;
    std::uint32_t enabledStatus = kEnabledIdle;
    std::string stream;
    auto& unit = config.unit;
    auto& faults = config.faults;

    CLI::App app{
        "Simulated unit on a pseudo-terminal. Prints the slave device path on the first line of\n"
        "standard output, answers the unit's serial protocol on it and runs until SIGINT or SIGTERM,\n"
        "then prints a summary. Healthy defaults: status Disable (0x1A) after the optional Reset\n"
        "(0x40) and enabled (0x15) replies; download start is acknowledged (0x50) and erases the\n"
        "memory to 0xFF; blocks are stored and acknowledged; verify answers D3 00 or D3 80 with the\n"
        "check code over the image less its two trailer bytes in data bytes 4 (low) and 5 (high),\n"
        "repeated until acknowledged; version request 0x84 answers four data bytes and a text."};
    app.add_option("--link", link, "Also make a symbolic link to the device at PATH (replaced; removed at exit)")
        ->option_text("PATH");
    app.add_flag("--log", log, "Log frames in and out to standard error with time stamps");
    app.add_option("--image-out", imageOut, "At exit, write the memory up to the highest written byte to FILE")
        ->option_text("FILE");

    app.add_flag("--pace", config.pacing.enabled,
                 "Keep to the line rate: frames arrive and replies leave at 11 bits a byte, and flash\n"
                 "work takes the times below (status requests answer busy meanwhile)")
        ->group("Pacing");
    app.add_option("--baud", config.pacing.baud, "Line rate for --pace and for byte streams")
        ->capture_default_str()
        ->check(CLI::Range(300u, 4000000u))
        ->group("Pacing");
    app.add_option("--erase-ms", eraseMs, "Erase time with --pace")->capture_default_str()->group("Pacing");
    app.add_option("--block-ms", blockMs, "Write time per block with --pace")->capture_default_str()->group("Pacing");
    app.add_option("--verify-ms", verifyMs, "Verify time with --pace")->capture_default_str()->group("Pacing");

    app.add_option("--memory-size", unit.memorySize, "Memory size in bytes")
        ->capture_default_str()
        ->check(CLI::Range(1u, 0x7FFFFFFFu))
        ->group("Unit");
    app.add_option("--reset-polls", unit.resetPolls, "Status replies Reset (0x40) after power-up")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--enabled-polls", unit.enabledPolls, "Then this many enabled replies before Disable")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--enabled-ms", enabledMs, "Also enabled until this long after the first frame received")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--enabled-status", enabledStatus, "Status code of an enabled unit (decimal or 0x..)")
        ->default_str("0x15")
        ->check(CLI::Range(0u, 255u))
        ->group("Unit");
    app.add_option("--erase-polls", unit.eraseBusyPolls, "Busy replies (D4 80) while erasing")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--block-polls", unit.blockBusyPolls, "Busy replies after each block")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--verify-polls", unit.verifyBusyPolls, "Busy replies before the verify result")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--version-text", unit.versionText, "Text of the version reply (at most 246 characters)")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--partial-ms", partialMs, "Drop an incomplete frame after this long without a byte")
        ->capture_default_str()
        ->group("Unit");

    app.add_flag("--silent", silent, "Never answer")->group("Faults");
    app.add_option("--silent-after", silentAfter, "Answer the first N good frames, then nothing")->group("Faults");
    addSelector(app, "bad-crc", faults.badCheck, "Wrong check code");
    addSelector(app, "noise", faults.noise, "Noise bytes before the reply");
    app.add_option("--noise-bytes", faults.noiseBytes, "Number of noise bytes")->capture_default_str()->group("Faults");
    addSelector(app, "cut", faults.cut, "Reply cut off");
    app.add_option("--cut-bytes", faults.cutAfterBytes, "Bytes sent of a cut reply")
        ->capture_default_str()
        ->group("Faults");
    addSelector(app, "gap", faults.gap, "Pause halfway through the reply");
    app.add_option("--gap-ms", gapMs, "Length of that pause")->capture_default_str()->group("Faults");
    addSelector(app, "double", faults.duplicate, "Reply sent twice");
    app.add_flag("--never-disable", faults.neverDisable, "Stay enabled, never report Disable")->group("Faults");
    app.add_flag("--busy-erase", faults.busyForeverErase, "Busy for ever while erasing")->group("Faults");
    app.add_flag("--busy-block", faults.busyForeverBlock, "Busy for ever after a block")->group("Faults");
    app.add_flag("--busy-verify", faults.busyForeverVerify, "Busy for ever while verifying")->group("Faults");
    app.add_flag("--result-80", faults.forceResult80, "Verify result D3 80 whatever the image")->group("Faults");
    app.add_flag("--stuck-after-result", faults.stuckAfterResult,
                 "Keep repeating the verify result after its acknowledgement")
        ->group("Faults");
    app.add_option("--drop-after-block", dropAfterBlock,
                   "Close the line once block K (counted from 1) has been acknowledged")
        ->group("Faults");
    const std::map<std::string, StreamFault> streams{{"nosync", StreamFault::NoSync},
                                                     {"shortlen", StreamFault::ShortLength}};
    app.add_option("--stream", stream,
                   "Babble a stream that never forms a frame instead of answering: nosync (never 0xFC)\n"
                   "or shortlen (0xFC followed by a length byte below 3)")
        ->option_text("KIND")
        ->check(CLI::IsMember({"nosync", "shortlen"}))
        ->group("Faults");

    CLI11_PARSE(app, argc, argv);

    config.pacing.eraseTime = std::chrono::milliseconds(eraseMs);
    config.pacing.blockWriteTime = std::chrono::milliseconds(blockMs);
    config.pacing.verifyTime = std::chrono::milliseconds(verifyMs);
    config.partialFrameTimeout = std::chrono::milliseconds(partialMs);
    unit.enabledTime = std::chrono::milliseconds(enabledMs);
    faults.gapTime = std::chrono::milliseconds(gapMs);
    if (!stream.empty()) faults.stream = streams.at(stream);
    unit.enabledStatus = static_cast<std::uint8_t>(enabledStatus);
    if (silent)
        faults.silentAfterFrames = 0;
    else if (app.count("--silent-after") != 0)
        faults.silentAfterFrames = silentAfter;
    if (app.count("--drop-after-block") != 0) faults.dropLineAfterBlock = dropAfterBlock;

    // Signals are taken by sigwait below; block them before any thread exists so none inherits them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    UnitSimulator sim(config);
    const auto started = Clock::now();
    if (log) {
        sim.setLogSink([started](const FrameRecord& r) {
            const double t = std::chrono::duration<double>(r.time - started).count();
            const char* arrow = r.direction == FrameRecord::Direction::In    ? "<-"
                                : r.direction == FrameRecord::Direction::Out ? "->"
                                                                             : "--";
            std::fprintf(stderr, "%12.6f %s %s%s%s\n", t, arrow, hex(r.bytes).c_str(), r.note.empty() ? "" : "  # ",
                         r.note.c_str());
        });
    }
    try {
        sim.start();
    } catch (const std::exception& e) {
        std::cerr << "unit-sim: " << e.what() << "\n";
        return 1;
    }
    const std::string device = sim.devicePath();
    std::cout << device << std::endl;
    if (!link.empty() && !makeLink(device, link)) {
        sim.stop();
        return 1;
    }

    int signal = 0;
    sigwait(&signals, &signal);
    sim.stop();
    if (!link.empty()) removeLink(device, link);

    const auto counters = sim.counters();
    const auto blocks = sim.blocks();
    const auto verify = sim.verifyOutcome();
    std::uint64_t bytes = 0;
    for (const auto& b : blocks) bytes += b.length;
    std::printf("frames received: %llu (bad check code %llu, dropped incomplete %llu, unanswered %llu)\n",
                static_cast<unsigned long long>(counters.framesReceived),
                static_cast<unsigned long long>(counters.badCheckFrames),
                static_cast<unsigned long long>(counters.partialFramesDropped),
                static_cast<unsigned long long>(counters.unanswered));
    std::printf("replies sent: %llu\n", static_cast<unsigned long long>(counters.repliesSent));
    std::printf("blocks written: %zu (%llu bytes, image end %zu)\n", blocks.size(),
                static_cast<unsigned long long>(bytes), sim.image().size());
    if (verify)
        std::printf("verify result: D3 %02X, check code %04X, trailer %04X\n", verify->resultCode, verify->computed,
                    verify->stored);
    else
        std::printf("verify result: none\n");
    if (counters.streamBytesSent != 0)
        std::printf("stream bytes sent: %llu\n", static_cast<unsigned long long>(counters.streamBytesSent));
    if (counters.lineDropped) std::printf("line dropped\n");
    std::fflush(stdout);

    if (!imageOut.empty()) {
        const auto image = sim.image();
        std::ofstream out(imageOut, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!out) {
            std::cerr << "unit-sim: cannot write " << imageOut << "\n";
            return 1;
        }
    }
    return 0;
}
