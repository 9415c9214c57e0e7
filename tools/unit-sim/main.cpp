// unit-sim: a simulated unit on a pseudo-terminal, for trying the loader without hardware.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// What a unit is and which faults it commits: given at start, and again on each "connect" of the
// control interface, which starts from the start's values.
struct UnitOptions {
    UnitBehaviour unit;
    Faults faults;
    bool silent = false;
    std::uint32_t silentAfter = 0;
    std::uint32_t dropAfterBlock = 0;
    std::uint32_t gapMs = 1500;
    std::uint32_t enabledMs = 0;
    std::uint32_t enabledStatus = kEnabledIdle;
    std::string stream;
    bool resetGiven = false;  // --reset-polls was given
};

// A unit that arrives has just been switched on, as a real one put into a slot: its status
// passes through Reset first, unless --reset-polls says otherwise.
UnitBehaviour arriving(const UnitOptions& o) {
    UnitBehaviour unit = o.unit;
    if (!o.resetGiven) unit.resetPolls = std::max<std::uint32_t>(unit.resetPolls, 1);
    return unit;
}

void addUnitOptions(CLI::App& app, UnitOptions& o) {
    auto& unit = o.unit;
    auto& faults = o.faults;
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
    app.add_option("--enabled-ms", o.enabledMs, "Also enabled until this long after the first frame received")
        ->capture_default_str()
        ->group("Unit");
    app.add_option("--enabled-status", o.enabledStatus, "Status code of an enabled unit (decimal or 0x..)")
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

    app.add_flag("--silent", o.silent, "Never answer")->group("Faults");
    app.add_option("--silent-after", o.silentAfter, "Answer the first N good frames, then nothing")->group("Faults");
    addSelector(app, "bad-crc", faults.badCheck, "Wrong check code");
    addSelector(app, "noise", faults.noise, "Noise bytes before the reply");
    app.add_option("--noise-bytes", faults.noiseBytes, "Number of noise bytes")->capture_default_str()->group("Faults");
    addSelector(app, "cut", faults.cut, "Reply cut off");
    app.add_option("--cut-bytes", faults.cutAfterBytes, "Bytes sent of a cut reply")
        ->capture_default_str()
        ->group("Faults");
    addSelector(app, "gap", faults.gap, "Pause halfway through the reply");
    app.add_option("--gap-ms", o.gapMs, "Length of that pause")->capture_default_str()->group("Faults");
    addSelector(app, "double", faults.duplicate, "Reply sent twice");
    app.add_flag("--never-disable", faults.neverDisable, "Stay enabled, never report Disable")->group("Faults");
    app.add_flag("--busy-erase", faults.busyForeverErase, "Busy for ever while erasing")->group("Faults");
    app.add_flag("--busy-block", faults.busyForeverBlock, "Busy for ever after a block")->group("Faults");
    app.add_flag("--busy-verify", faults.busyForeverVerify, "Busy for ever while verifying")->group("Faults");
    app.add_flag("--result-80", faults.forceResult80, "Verify result D3 80 whatever the image")->group("Faults");
    app.add_flag("--stuck-after-result", faults.stuckAfterResult,
                 "Keep repeating the verify result after its acknowledgement")
        ->group("Faults");
    app.add_option("--drop-after-block", o.dropAfterBlock,
                   "Close the line once block K (counted from 1) has been acknowledged")
        ->group("Faults");
    app.add_option("--stream", o.stream,
                   "Babble a stream that never forms a frame instead of answering: nosync (never 0xFC)\n"
                   "or shortlen (0xFC followed by a length byte below 3)")
        ->option_text("KIND")
        ->check(CLI::IsMember({"nosync", "shortlen"}))
        ->group("Faults");
}

// The values that need converting once the options are parsed.
void finishUnitOptions(const CLI::App& app, UnitOptions& o) {
    static const std::map<std::string, StreamFault> streams{{"nosync", StreamFault::NoSync},
                                                            {"shortlen", StreamFault::ShortLength}};
    o.unit.enabledTime = std::chrono::milliseconds(o.enabledMs);
    o.faults.gapTime = std::chrono::milliseconds(o.gapMs);
    if (!o.stream.empty()) o.faults.stream = streams.at(o.stream);
    o.unit.enabledStatus = static_cast<std::uint8_t>(o.enabledStatus);
    o.resetGiven = o.resetGiven || app.count("--reset-polls") != 0;
    if (o.silent)
        o.faults.silentAfterFrames = 0;
    else if (app.count("--silent-after") != 0)
        o.faults.silentAfterFrames = o.silentAfter;
    if (app.count("--drop-after-block") != 0) o.faults.dropLineAfterBlock = o.dropAfterBlock;
}

struct SimUnit {
    std::unique_ptr<UnitSimulator> sim;
    std::string link;
    std::string device;
};

void printSummary(UnitSimulator& sim, const std::string& prefix) {
    const auto counters = sim.counters();
    const auto blocks = sim.blocks();
    const auto verify = sim.verifyOutcome();
    std::uint64_t bytes = 0;
    for (const auto& b : blocks) bytes += b.length;
    const char* p = prefix.c_str();
    std::printf("%sframes received: %llu (bad check code %llu, dropped incomplete %llu, unanswered %llu)\n", p,
                static_cast<unsigned long long>(counters.framesReceived),
                static_cast<unsigned long long>(counters.badCheckFrames),
                static_cast<unsigned long long>(counters.partialFramesDropped),
                static_cast<unsigned long long>(counters.unanswered));
    std::printf("%sreplies sent: %llu\n", p, static_cast<unsigned long long>(counters.repliesSent));
    std::printf("%sblocks written: %zu (%llu bytes, image end %zu)\n", p, blocks.size(),
                static_cast<unsigned long long>(bytes), sim.image().size());
    if (verify)
        std::printf("%sverify result: D3 %02X, check code %04X, trailer %04X\n", p, verify->resultCode,
                    verify->computed, verify->stored);
    else
        std::printf("%sverify result: none\n", p);
    if (counters.streamBytesSent != 0)
        std::printf("%sstream bytes sent: %llu\n", p, static_cast<unsigned long long>(counters.streamBytesSent));
    if (counters.lineDropped) std::printf("%sline dropped\n", p);
    if (counters.unitsConnected != 0)
        std::printf("%sunits connected: %llu\n", p, static_cast<unsigned long long>(counters.unitsConnected));
}

std::mutex outputLock;

void say(const std::string& line) {
    std::lock_guard lock(outputLock);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// One control line: "connect [K] [OPTIONS]", "remove [K]", "quit". The answer is one line.
void controlLine(const std::string& line, std::vector<SimUnit>& units, const UnitOptions& base) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb.empty() || verb[0] == '#') return;
    if (verb == "quit") {
        say("quit");
        ::kill(::getpid(), SIGTERM);
        return;
    }
    std::string rest;
    std::getline(in, rest);
    std::size_t number = 1;
    {
        std::istringstream words(rest);
        std::string first;
        words >> first;
        if (!first.empty() && std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            number = std::stoul(first);
            rest.clear();
            std::getline(words, rest);
        }
    }
    if (number < 1 || number > units.size()) {
        say("error: no unit " + std::to_string(number) + " (1 to " + std::to_string(units.size()) + ")");
        return;
    }
    UnitSimulator& sim = *units[number - 1].sim;
    const std::string name = "unit " + std::to_string(number);
    if (verb == "remove") {
        sim.remove();
        say("removed " + std::to_string(number));
    } else if (verb == "connect") {
        UnitOptions o = base;
        CLI::App app{"connect"};
        addUnitOptions(app, o);
        try {
            app.parse(rest, false);
        } catch (const CLI::ParseError& e) {
            say("error: " + name + ": " + e.what());
            return;
        }
        finishUnitOptions(app, o);
        sim.connect(arriving(o), o.faults);
        say("connected " + std::to_string(number));
    } else {
        say("error: unknown command \"" + verb + "\" (connect, remove, quit)");
    }
}

// Reads control lines from standard input until it ends or the program does; every wait is
// bounded so that the thread can be joined.
void controlLoop(std::vector<SimUnit>& units, const UnitOptions& base, const std::atomic<bool>& done) {
    std::string pending;
    while (!done) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // no more commands; the units stay as they are
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            controlLine(pending.substr(0, end), units, base);
            pending.erase(0, end + 1);
        }
    }
}

// Units that come and go by themselves: each stays for a random time around `stay`, is away for
// one around `away` (half to one and a half times each), over and over, with the same times for
// the same seed. Every change is said on standard output as a control command's answer.
void comeAndGo(std::vector<SimUnit>& units, const UnitOptions& base, std::chrono::milliseconds stay,
               std::chrono::milliseconds away, unsigned seed, const std::atomic<bool>& done) {
    std::mt19937 random(seed);
    auto around = [&](std::chrono::milliseconds t) {
        std::uniform_int_distribution<long long> d(t.count() / 2, t.count() * 3 / 2);
        return std::chrono::milliseconds(d(random));
    };
    const auto now = Clock::now();
    std::vector<Clock::time_point> next(units.size());
    for (std::size_t i = 0; i < units.size(); ++i)
        next[i] = now + (units[i].sim->present() ? around(stay) : around(away) / 4);
    while (!done) {
        const auto t = Clock::now();
        for (std::size_t i = 0; i < units.size(); ++i) {
            if (t < next[i]) continue;
            UnitSimulator& sim = *units[i].sim;
            if (sim.present()) {
                sim.remove();
                say("removed " + std::to_string(i + 1));
                next[i] = t + around(away);
            } else {
                sim.connect(arriving(base), base.faults);
                say("connected " + std::to_string(i + 1));
                next[i] = t + around(stay);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    UnitOptions unitOptions;
    std::string link;
    std::string imageOut;
    std::string fleetDir;
    std::uint32_t fleet = 0;
    bool log = false;
    bool control = false;
    std::uint32_t eraseMs = 100, blockMs = 2, verifyMs = 50;
    std::uint32_t partialMs = 500;

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

    app.add_flag("--absent", config.startAbsent,
                 "Start with no unit on the line: frames go unanswered until a \"connect\" (see --control)")
        ->group("Presence");
    app.add_flag("--control", control,
                 "Take commands on standard input, one a line, each answered with one line on standard\n"
                 "output: \"connect [K] [UNIT AND FAULT OPTIONS]\" (a fresh unit K arrives, with the options\n"
                 "given at start unless overridden), \"remove [K]\" (it leaves), \"quit\"")
        ->group("Presence");
    app.add_option("--fleet", fleet,
                   "Start N units, each on a pseudo-terminal of its own, linked as DIR/unit1 .. DIR/unitN\n"
                   "(--dir); standard output starts with one line \"LINK DEVICE\" for each")
        ->option_text("N")
        ->check(CLI::Range(1u, 256u))
        ->group("Presence");
    std::string comeGo;
    unsigned seed = 1;
    app.add_option("--come-and-go", comeGo,
                   "Units arrive and leave by themselves: each stays about STAY ms and is away about AWAY ms\n"
                   "(each time drawn from half to one and a half times that), said on standard output as\n"
                   "\"connected K\" and \"removed K\"; with --absent the first arrivals come soon")
        ->option_text("STAY,AWAY")
        ->check([](const std::string& text) {
            unsigned a = 0, b = 0;
            char comma = 0, extra = 0;
            return std::sscanf(text.c_str(), "%u%c%u%c", &a, &comma, &b, &extra) == 3 && comma == ',' && a > 0 && b > 0
                       ? std::string()
                       : std::string("must be STAY,AWAY: two numbers of milliseconds");
        })
        ->group("Presence");
    app.add_option("--seed", seed, "Seed of --come-and-go's times")->capture_default_str()->group("Presence");
    app.add_option("--dir", fleetDir, "The folder of the fleet's links (made if missing)")
        ->option_text("DIR")
        ->group("Presence");

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
    app.add_option("--partial-ms", partialMs, "Drop an incomplete frame after this long without a byte")
        ->capture_default_str()
        ->group("Unit");
    addUnitOptions(app, unitOptions);

    CLI11_PARSE(app, argc, argv);

    config.pacing.eraseTime = std::chrono::milliseconds(eraseMs);
    config.pacing.blockWriteTime = std::chrono::milliseconds(blockMs);
    config.pacing.verifyTime = std::chrono::milliseconds(verifyMs);
    config.partialFrameTimeout = std::chrono::milliseconds(partialMs);
    finishUnitOptions(app, unitOptions);
    config.unit = unitOptions.unit;
    config.faults = unitOptions.faults;
    if (fleet != 0 && (fleetDir.empty() || !link.empty())) {
        std::cerr << "unit-sim: --fleet needs --dir, and takes no --link\n";
        return 2;
    }
    if (fleet != 0 && !imageOut.empty()) {
        std::cerr << "unit-sim: --image-out is for a single unit\n";
        return 2;
    }

    // Signals are taken by sigwait below; block them before any thread exists so none inherits them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<SimUnit> units(fleet == 0 ? 1 : fleet);
    const auto started = Clock::now();
    if (fleet != 0) {
        std::error_code ec;
        std::filesystem::create_directories(fleetDir, ec);
    }
    bool ok = true;
    for (std::size_t i = 0; i < units.size() && ok; ++i) {
        SimUnit& u = units[i];
        u.sim = std::make_unique<UnitSimulator>(config);
        u.link = fleet == 0 ? link : (std::filesystem::path(fleetDir) / ("unit" + std::to_string(i + 1))).string();
        if (log) {
            const std::string who = fleet == 0 ? "" : "unit" + std::to_string(i + 1) + " ";
            u.sim->setLogSink([started, who](const FrameRecord& r) {
                const double t = std::chrono::duration<double>(r.time - started).count();
                const char* arrow = r.direction == FrameRecord::Direction::In    ? "<-"
                                    : r.direction == FrameRecord::Direction::Out ? "->"
                                                                                 : "--";
                std::fprintf(stderr, "%12.6f %s%s %s%s%s\n", t, who.c_str(), arrow, hex(r.bytes).c_str(),
                             r.note.empty() ? "" : "  # ", r.note.c_str());
            });
        }
        try {
            u.sim->start();
        } catch (const std::exception& e) {
            std::cerr << "unit-sim: " << e.what() << "\n";
            ok = false;
            break;
        }
        u.device = u.sim->devicePath();
        if (!u.link.empty() && !makeLink(u.device, u.link)) ok = false;
    }
    if (ok) {
        std::lock_guard lock(outputLock);
        for (const auto& u : units) std::cout << (fleet == 0 ? u.device : u.link + " " + u.device) << "\n";
        std::cout.flush();
    }

    std::atomic<bool> done{false};
    std::thread controller;
    if (ok && control) controller = std::thread([&] { controlLoop(units, unitOptions, done); });
    std::thread wanderer;
    if (ok && !comeGo.empty()) {
        unsigned stay = 0, away = 0;
        std::sscanf(comeGo.c_str(), "%u,%u", &stay, &away);
        wanderer = std::thread([&, stay, away] {
            comeAndGo(units, unitOptions, std::chrono::milliseconds(stay), std::chrono::milliseconds(away), seed, done);
        });
    }

    int signal = 0;
    if (ok) sigwait(&signals, &signal);
    done = true;
    if (controller.joinable()) controller.join();
    if (wanderer.joinable()) wanderer.join();
    for (auto& u : units) {
        if (!u.sim) continue;
        u.sim->stop();
        if (!u.link.empty() && !u.device.empty()) removeLink(u.device, u.link);
    }
    if (!ok) return 1;

    for (std::size_t i = 0; i < units.size(); ++i)
        printSummary(*units[i].sim, fleet == 0 ? "" : "unit" + std::to_string(i + 1) + ": ");
    std::fflush(stdout);

    if (!imageOut.empty()) {
        const auto image = units.front().sim->image();
        std::ofstream out(imageOut, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!out) {
            std::cerr << "unit-sim: cannot write " << imageOut << "\n";
            return 1;
        }
    }
    return 0;
}
