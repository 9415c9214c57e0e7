#pragma once

#include <chrono>
#include <memory>
#include <string>

// Whether a device path is there, woken by its folder's changes: an adapter per unit comes and
// goes with its unit. One file per platform (PathWatch_posix.cpp: inotify).
namespace station {

class PathWatch {
public:
    explicit PathWatch(std::string path);
    ~PathWatch();
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    // The path is there, and has not gone since the last look: a unit swapped faster than the
    // looks come is still seen leaving.
    bool present();
    // Until the path's folder changes or `limit` passes.
    void wait(std::chrono::milliseconds limit);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace station
