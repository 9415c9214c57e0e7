#pragma once

#include <chrono>
#include <cstdint>

// What the run loop waits on: rung from any thread when the worker posts, and also woken by a
// stop request (see Signals.h). One file per platform.
class Doorbell {
public:
    enum class Wake { Rung, Stop, Timeout, Error };

    Doorbell();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    void ring();
    // Rung (the rings so far are consumed), a stop request, the time-out, or a failed wait.
    Wake wait(std::chrono::milliseconds timeout);

private:
    std::intptr_t handle_;
};
