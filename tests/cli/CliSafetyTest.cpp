// What the built unit-loader-cli does with what others could tamper with or a user could get
// wrong: where it puts the code it loads, and download files of any size.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "CliTestSupport.h"
#include "UnitSimulator.h"

using namespace clitest;
using namespace unitsim;

namespace {

const std::string kCli = UL_CLI_PROGRAM;

// The protocol library mapped into process `pid`, or empty.
std::string mappedLibrary(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        const std::filesystem::path path = line.substr(slash);
        const std::string name = path.filename();
        if (name.rfind("px417.", 0) == 0 && path.extension() == ".so") return path.string();
    }
    return {};
}

// A directory that nobody but this user (or root) could write into, itself no symbolic link.
bool onlyUserCanWrite(const std::filesystem::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
           (st.st_mode & 022) == 0;
}

// Code loaded from a directory others can write could be swapped between writing and loading.
TEST(CliSafety, LibraryIsLoadedByFullPathFromADirectoryOnlyTheUserCanWrite) {
    struct Case {
        const char* where;
        mode_t mode;
        bool otherOwner;
        bool beside;  // the program's directory is fit to hold it
    };
    const std::vector<Case> cases = {
        {"private program directory", 0755, false, true},
        {"group-writable", 0775, false, false},
        {"writable by all", 0777, false, false},
        {"writable by all, sticky", 01777, false, false},
        {"another user's", 0755, true, false},
    };
    // Replies slow enough to look at the running program, from a unit that never reports Disable,
    // so that the run cannot end before the test stops it (F1 after 11 replies, about 4.4 s).
    SimConfig config;
    config.faults.gap.every = 1;
    config.faults.gapTime = 400ms;
    config.faults.neverDisable = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        TempDir dir, tmp;
        const auto programDir = dir.path() / "bin";
        std::filesystem::create_directory(programDir);
        const std::string program = (programDir / "unit-loader-cli").string();
        std::filesystem::copy_file(kCli, program);
        ASSERT_EQ(::chmod(programDir.c_str(), c.mode), 0);
        if (c.otherOwner && ::chown(programDir.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0) {
            continue;  // only root can give a directory away
        }
        UnitSimulator sim(config);
        sim.start();
        Process p({program, "version", "--port", sim.devicePath()}, {"TMPDIR=" + tmp.path().string()});
        ASSERT_TRUE(sim.waitForFrames(1, 10s));
        const std::filesystem::path library = mappedLibrary(p.pid());
        const bool fit = !library.empty() && onlyUserCanWrite(library.parent_path());
        p.signal(SIGINT);
        const Finished f = p.finish(10s);
        EXPECT_EQ(f.code, 130) << f.out << f.err;

        ASSERT_FALSE(library.empty());
        EXPECT_TRUE(library.is_absolute()) << library;
        EXPECT_TRUE(fit) << library;
        EXPECT_EQ(library.parent_path() == programDir, c.beside) << library;
        EXPECT_FALSE(std::filesystem::exists(library));
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));  // its private directory went with it
    }
}

// Whatever its size, a download file is read whole or refused with the loader's box; a valid
// file of 100 MiB (sparse: zeros, whose CRC is 0000) goes to the unit like any other.
TEST(CliSafety, DownloadFilesOfAnySize) {
    TempDir dir;
    const std::string invalid = "ERROR: Invalid download file\nSelect a valid software.\n";
    const std::string title = "UNIT LOADER Ver.1.21\n";
    auto sparse = [&](const std::string& name, std::uintmax_t size) {
        const std::string path = dir.file(name);
        std::ofstream(path).close();
        std::filesystem::resize_file(path, size);
        return path;
    };
    writeFile(dir.file("empty.bin"), {});
    writeFile(dir.file("one.bin"), {0x00});
    writeFile(dir.file("trailer.bin"), {0x00, 0x00});  // no body: the trailer of nothing
    const std::string big = sparse("big.bin", 100u << 20);
    const std::string huge = sparse("huge.bin", (std::uintmax_t{1} << 32) + 246);  // beyond any 32-bit size
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);                        // would block a reader

    struct Case {
        std::string file;
        bool neverDisable;
        int code;
        std::string out;  // what it starts with
    };
    const std::vector<Case> cases = {
        {dir.file("empty.bin"), false, 3, invalid},
        {dir.file("one.bin"), false, 3, invalid},
        {dir.file("trailer.bin"), false, 0, title + "The target file was downloaded successfully\nCRC:0000\n"},
        {big, true, 11, "ERROR:Unit is not disabled/connected\n"},
        {huge, false, 3, title + "Memory Allocate Error\n"},
        {dir.file("fifo"), false, 3,
         title + "File Open Error\nFile " + dir.file("fifo") + ": a FIFO, not a regular file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        SimConfig config;
        config.faults.neverDisable = c.neverDisable;
        UnitSimulator sim(config);
        sim.start();
        const Finished f = run({kCli, "download", c.file, "--port", sim.devicePath(), "--baud", "38400"}, 60s);
        ASSERT_TRUE(f.exited) << "signal " << f.code << (f.timedOut ? " after the deadline" : "");
        EXPECT_EQ(f.code, c.code) << f.out << f.err;
        EXPECT_EQ(f.out.rfind(c.out, 0), 0u) << f.out;
        if (c.code == 0) {
            EXPECT_EQ(sim.image(), readFile(c.file));
        }
    }
    const Finished check = run({kCli, "check", big}, 60s);
    EXPECT_EQ(check.code, 0) << check.err;
    EXPECT_NE(
        check.out.find("Size:         104857600 bytes\nBlocks:       426251 of 246 bytes (last block 100 bytes)\n"),
        std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("File CRC:     0000\n"), std::string::npos) << check.out;
}

}  // namespace
