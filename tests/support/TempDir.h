#pragma once

// A private temporary directory, removed with everything in it when the test is done. Portable:
// the Windows build's tests use it under Wine too.
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir() {
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "ul-test-%08x", static_cast<unsigned>(random()));
            std::error_code ec;
            // Only a directory made here is ours: an existing one of that name is not taken.
            if (std::filesystem::create_directory(base / name, ec)) path_ = base / name;
        }
        if (path_.empty()) throw std::runtime_error("cannot make a temporary directory");
        // Nobody else's business, as mkdtemp would make it.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
    }
    ~TempDir() {
        std::error_code ec;
        // A test may have made it read-only to provoke a failure.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};
