#include "station/Station.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

#include "download/ExitCode.h"

namespace station {

namespace {
// Status polls answered only with a wrong check code before the slot raises its alarm: a few
// seconds at the usual pace, far more than line noise makes.
constexpr int kGarbledPolls = 10;
constexpr const char* kCannotTell =
    "an answer from the slot could not be read (bad check code): the unit in it cannot be told from the one "
    "just judged, whose verdict is no longer shown; take the unit out, and put a unit not yet loaded in again";
}  // namespace

const char* stateName(SlotState state) {
    switch (state) {
    case SlotState::Waiting: return "waiting";
    case SlotState::Loading: return "loading";
    case SlotState::Checking: return "checking";
    case SlotState::Pass: return "pass";
    case SlotState::Fail: return "fail";
    case SlotState::Paused: return "paused";
    case SlotState::Stopped: return "stopped";
    }
    return "?";
}

std::string RunOutcome::outcomeName() const { return exitcode::name(exitCode); }

std::string Verdict::why() const {
    switch (kind) {
    case Kind::Pass: return {};
    case Kind::WrongVersion: return "the unit reports \"" + version + "\", the job expects \"" + expected + "\"";
    case Kind::RunFailed:
    case Kind::RunCrashed:
    case Kind::Interrupted: return exitcode::name(exitCode) + (headline.empty() ? "" : ": " + headline);
    case Kind::Removed: return "unit removed";
    }
    return {};
}

const char* Verdict::verdictName() const {
    return kind == Kind::Pass ? "pass" : kind == Kind::Interrupted ? "interrupted" : "fail";
}

const char* Verdict::reasonName() const {
    switch (kind) {
    case Kind::Pass:
    case Kind::Interrupted: return "";
    case Kind::WrongVersion: return "wrong version";
    case Kind::RunFailed: return "run failed";
    case Kind::RunCrashed: return "run crashed";
    case Kind::Removed: return "removed";
    }
    return "";
}

const char* pauseCauseName(PauseCause cause) {
    switch (cause) {
    case PauseCause::None: return "";
    case PauseCause::Alarm: return "alarm";
    case PauseCause::Operator: return "operator";
    case PauseCause::Station: return "station";
    }
    return "";
}

std::string SlotStatus::detail() const {
    switch (state) {
    case SlotState::Waiting: return scan ? "scan" : "";
    case SlotState::Loading: return retry > 0 ? "retry " + std::to_string(retry) : "";
    case SlotState::Checking: return {};
    case SlotState::Pass: return verdict ? verdict->version : "";
    case SlotState::Fail: return verdict ? verdict->why() : "";
    case SlotState::Paused:
    case SlotState::Stopped: return pauseCauseName(pause);
    }
    return {};
}

std::string yieldText(int passes, int fails) {
    if (passes + fails == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * passes / (passes + fails));
    return text;
}

std::string elapsedText(std::chrono::seconds s) {
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s.count() / 3600),
                  static_cast<long long>(s.count() / 60 % 60), static_cast<long long>(s.count() % 60));
    return text;
}

struct Station::SlotRun {
    std::size_t index = 0;
    std::unique_ptr<SlotLink> link;  // swapped under the station's lock
    std::thread thread;
    int failsInRow = 0;
    bool alarmed = false;  // paused by the stop rule
    bool held = false;     // paused by the operator
    std::string unitId;    // scanned for the next unit
    std::string current;   // the scanned id of the unit in its runs, or waiting to be taken out
    bool returned = false;
    std::optional<SlotStatus> shown;  // the state the observer was last given
};

Station::Station(Job job, LinkMaker makeLink, StationObserver& observer, Timing timing, Ending ending)
    : job_(std::move(job)), makeLink_(std::move(makeLink)), observer_(observer), timing_(timing), endingRule_(ending) {}

Station::~Station() {
    stop();
    finish();
}

void Station::start() {
    for (std::size_t i = 0; i < job_.slots.size(); ++i) {
        auto run = std::make_unique<SlotRun>();
        run->index = i;
        slots_.push_back(std::move(run));
    }
    for (auto& run : slots_) run->thread = std::thread([this, i = run->index] { slotMain(i); });
}

void Station::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    for (auto& run : slots_)
        if (run->link) run->link->requestStop();
    changed_.notify_all();
}

bool Station::ending() const {
    if (stopRequested_ || quotaReached_) return true;
    if (endingRule_ != Ending::WhenAllAlarmed) return false;
    return recordAlarmed_ ||
           (!slots_.empty() && std::all_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->alarmed; }));
}

bool Station::paused(const SlotRun& run) const { return run.alarmed || run.held || stationPaused_; }

void Station::pauseSlot(std::size_t slot) {
    std::lock_guard lock(mutex_);
    if (slot >= slots_.size()) return;
    slots_[slot]->held = true;
    changed_.notify_all();
}

void Station::clearPause(SlotRun& run) {
    run.held = run.alarmed = false;
    run.failsInRow = 0;
}

void Station::resumeSlot(std::size_t slot) {
    std::lock_guard lock(mutex_);
    if (slot >= slots_.size()) return;
    clearPause(*slots_[slot]);
    changed_.notify_all();
}

void Station::pauseAll() {
    std::lock_guard lock(mutex_);
    stationPaused_ = true;
    changed_.notify_all();
}

void Station::resumeAll() {
    std::lock_guard lock(mutex_);
    stationPaused_ = recordAlarmed_ = false;
    for (auto& run : slots_) clearPause(*run);
    changed_.notify_all();
}

std::optional<ScanRefused> Station::setUnitId(std::size_t slot, std::string unitId) {
    std::lock_guard lock(mutex_);
    if (slot >= slots_.size()) return std::nullopt;
    // One unit is in one slot at a time, and a unit that passed is not loaded again: a label
    // scanned twice is the operator's slip, not a second unit.
    for (const auto& other : slots_) {
        if (unitId.empty()) break;
        if (other->index == slot || (other->unitId != unitId && other->current != unitId)) continue;
        return ScanRefused{ScanRefused::Why::InOtherSlot, other->index,
                           "unit " + unitId + " is in slot " + job_.slots[other->index].name};
    }
    if (!unitId.empty() && passedIds_.count(unitId))
        return ScanRefused{ScanRefused::Why::Passed, slot, "unit " + unitId + " has passed in this run already"};
    slots_[slot]->unitId = std::move(unitId);
    changed_.notify_all();
    return std::nullopt;
}

void Station::recordAlarm(SlotRun& run, const RunOutcome& outcome) {
    worstPausing_ = exitcode::worse(worstPausing_, exitcode::kRecord);
    if (recordAlarmed_) return;
    // Every slot at once: the next unit's record would fail the same way.
    recordAlarmed_ = stationPaused_ = true;
    const std::string why = outcome.headline.empty() ? "a record could not be kept" : outcome.headline;
    observer_.alarm(run.index, why + ". No unit is loaded without its record: " +
                                   (endingRule_ == Ending::WhenAllAlarmed
                                        ? "the station stops; start it again once the records file can be written"
                                        : "the station is paused; resume it once the records file can be written"));
    changed_.notify_all();
}

bool Station::waitEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] {
        return std::all_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->returned; });
    });
}

Totals Station::finish() {
    for (auto& run : slots_)
        if (run->thread.joinable()) run->thread.join();
    std::lock_guard lock(mutex_);
    if (finished_) return totals_;
    finished_ = true;
    totals_.passes = passes_;
    totals_.fails = fails_;
    totals_.crashes = crashes_;
    if (stopRequested_) {
        totals_.reason = "stopped";
        totals_.exitCode = exitcode::kInterrupted;
    } else if (quotaReached_) {
        totals_.reason = "quota";
        totals_.exitCode = exitcode::kSuccess;
    } else {
        totals_.reason = "all slots paused";
        totals_.exitCode = worstPausing_;
    }
    observer_.stationEnd(totals_);
    return totals_;
}

void Station::slotMain(std::size_t index) {
    SlotRun& run = *slots_[index];
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (ending()) break;
        }
        try {
            auto link = makeLink_(index);
            {
                std::lock_guard lock(mutex_);
                run.link = std::move(link);
                if (stopRequested_) run.link->requestStop();
            }
            cycle(run);
            break;
        } catch (const std::exception& e) {
            // The worker is restarted with a new connection; the unit in the slot counts as a
            // new one, as after any crash nobody knows what it holds.
            std::lock_guard lock(mutex_);
            ++crashes_;
            run.link.reset();
            observer_.alarm(run.index, std::string("the slot's worker crashed (") + e.what() + "); restarted");
        }
    }
    std::lock_guard lock(mutex_);
    run.link.reset();
    run.returned = true;
    run.current.clear();
    SlotStatus ended(run.alarmed || recordAlarmed_ ? SlotState::Paused : SlotState::Stopped);
    if (run.alarmed)
        ended.pause = PauseCause::Alarm;
    else if (recordAlarmed_)
        ended.pause = PauseCause::Station;
    show(run, ended);
    changed_.notify_all();
}

void Station::show(SlotRun& run, const SlotStatus& status) {
    run.shown = status;
    observer_.slotState(run.index, status);
}

bool Station::awaitNext(SlotRun& run, const SlotStatus& decided) {
    // A unit left in place is never loaded twice. The next one is a unit that powers up (its
    // status runs through Reset, which even a swap between two polls shows), one that reports
    // another version than this one, or any unit once nothing has answered for goneAfter; an
    // adapter's path going is the unit's end, however soon the next one's takes its place.
    // The verdict stays shown only while this unit can still be the one in the slot: a missed
    // poll shows the slot waiting, and the same unit answering again shows its verdict again.
    // An answer that cannot be read may have been a new unit's power-up: from then on the slot
    // cannot tell the unit in it from the one judged, so the verdict is not shown again and the
    // operator is asked to put the unit in afresh (its power-up then shows).
    const std::string known = decided.verdict ? decided.verdict->version : std::string();
    const bool hotplug = job_.presence == Presence::Hotplug;
    auto lastAnswer = std::chrono::steady_clock::now();
    bool there = true;
    bool doubt = false;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (ending()) return false;
        }
        const Sign sign = run.link->poll();
        const auto now = std::chrono::steady_clock::now();
        if (sign == Sign::PowerUp) return true;
        if (sign == Sign::None || sign == Sign::Garbled) {
            if (hotplug || now - lastAnswer >= timing_.goneAfter) return true;
            std::lock_guard lock(mutex_);
            if (there) {
                there = false;
                show(run, SlotStatus(SlotState::Waiting));
            }
            if (sign == Sign::Garbled && !doubt) {
                doubt = true;
                observer_.alarm(run.index, kCannotTell);
            }
        } else {
            if (!there) {
                if (!known.empty()) {
                    const auto version = run.link->version();
                    if (version && *version != known) return true;
                }
                if (!doubt) {
                    there = true;
                    std::lock_guard lock(mutex_);
                    show(run, decided);
                }
            }
            lastAnswer = now;
        }
        if (run.link->waitChange(timing_.removalPoll)) continue;
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, timing_.removalPoll, [this] { return ending(); })) return false;
    }
}

Station::Still Station::stillThere(SlotRun& run) {
    // A miss can be a lost reply, or a unit busy restarting: only silence for stillGoneAfter
    // (three of the protocol's one-second reply waits) is a unit taken out. An adapter's path
    // that went is gone for sure.
    const auto giveUp = std::chrono::steady_clock::now() + timing_.stillGoneAfter;
    for (bool first = true;; first = false) {
        if (!first) {
            if (job_.presence == Presence::Hotplug || std::chrono::steady_clock::now() >= giveUp) return Still::Gone;
            std::unique_lock lock(mutex_);
            if (changed_.wait_for(lock, timing_.removalPoll, [this] { return ending(); })) return Still::There;
        }
        switch (run.link->poll()) {
        case Sign::PowerUp: return Still::Replaced;
        case Sign::InDownload: return Still::InDownload;
        case Sign::Unit: return Still::There;
        case Sign::None:
        case Sign::Garbled: break;
        }
    }
}

bool Station::waitForUnit(SlotRun& run) {
    // Each state is reported once, when it changes.
    auto showOnce = [&](const SlotStatus& status) {
        const auto& shown = run.shown;
        if (shown && shown->state == status.state && shown->pause == status.pause && shown->scan == status.scan) return;
        show(run, status);
    };
    const auto ready = [&] { return !paused(run) && (!job_.scanUnitId || !run.unitId.empty()); };
    int garbled = 0;  // polls in a row answered with a wrong check code
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (ending()) return false;
            if (paused(run)) {
                SlotStatus held(SlotState::Paused);
                held.pause = run.alarmed ? PauseCause::Alarm : run.held ? PauseCause::Operator : PauseCause::Station;
                showOnce(held);
                // The port is free while the slot is paused.
                lock.unlock();
                run.link->release();
                lock.lock();
                changed_.wait_for(lock, timing_.pollInterval, [&] { return ending() || !paused(run); });
                continue;
            }
            SlotStatus waiting(SlotState::Waiting);
            waiting.scan = !ready();
            showOnce(waiting);
        }
        const Sign sign = run.link->poll();
        garbled = sign == Sign::Garbled ? garbled + 1 : 0;
        if (garbled == kGarbledPolls) {
            // Nothing will come of it by itself: a wrong baud rate, a bad cable, a damaged unit.
            std::lock_guard lock(mutex_);
            observer_.alarm(run.index, "the unit answers only with bad check codes (" + std::to_string(kGarbledPolls) +
                                           " polls): check the cable, and that the unit runs at the job's " +
                                           std::to_string(job_.baud) + " baud");
        }
        if (sign != Sign::None && sign != Sign::Garbled) {
            // Left in download mode by an earlier run (a stop, a crash): back to idle first, so
            // that its download does not meet it there.
            if (sign == Sign::InDownload) run.link->settle();
            std::unique_lock lock(mutex_);
            if (ready() && !ending()) return true;
            // Present, but not to be loaded yet: checked again as soon as that changes.
            changed_.wait_for(lock, timing_.pollInterval, [&] { return ending() || paused(run) || ready(); });
            continue;
        }
        if (run.link->waitChange(timing_.pollInterval)) continue;
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timing_.pollInterval, [&] { return ending() || paused(run); });
    }
}

void Station::cycle(SlotRun& run) {
    SlotLink& link = *run.link;
    const int tries = 1 + job_.retries;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            run.current.clear();
        }
        if (!waitForUnit(run)) return;
        std::string unitId;
        {
            std::lock_guard lock(mutex_);
            unitId = std::exchange(run.unitId, {});
            run.current = unitId;
            observer_.unitStart(run.index, unitId);
        }
        // Said once the unit's verdict is known, unless a record lost has paused the station already.
        const std::optional<std::string> unbegun = link.unitBegin(unitId);
        const auto verdictAlarm = [&](std::optional<std::string> unrecorded) {
            if (!unrecorded) unrecorded = unbegun;
            if (unrecorded && !recordAlarmed_)
                observer_.alarm(run.index, "the unit's verdict was not recorded: " + *unrecorded);
        };

        // The verdict of the unit's last try decides; a failure's code pauses the slot with it.
        Verdict verdict;
        bool interrupted = false;
        bool untouched = false;  // no record could be begun: nothing was sent to it
        // After a failed run: whether the unit that failed is still the one in the slot, and
        // (before a retry) ready for it. A unit taken out or swapped is a FAIL of its own, never
        // a retry of the next one; a unit that cannot be brought back from download mode keeps
        // the failure that left it there rather than meet its retry there.
        auto sameUnit = [&](bool retryNext) {
            const Still still = stillThere(run);
            if (still == Still::Gone || still == Still::Replaced) {
                verdict.kind = Verdict::Kind::Removed;
                return false;
            }
            return !(retryNext && still == Still::InDownload && !run.link->settle());
        };
        auto failed = [&](Verdict::Kind kind, RunKind which, const RunOutcome& o) {
            verdict = {};
            verdict.kind = o.crashed ? Verdict::Kind::RunCrashed : kind;
            verdict.run = which;
            verdict.exitCode = o.exitCode;
            verdict.headline = o.headline;
            verdict.version = o.version;
        };
        // A run whose record could not be kept stops the line. A unit none of whose runs began
        // is loaded once the station runs again; one its runs touched keeps its failure.
        auto recordLost = [&](RunKind which, const RunOutcome& o, int attempt) {
            {
                std::lock_guard lock(mutex_);
                recordAlarm(run, o);
            }
            if (o.record == RunOutcome::Record::NotBegun && which == RunKind::Download) {
                untouched = attempt == 1;
                return;
            }
            failed(Verdict::Kind::RunFailed, which, o);
        };
        for (int attempt = 1; attempt <= tries; ++attempt) {
            link.release();
            {
                std::lock_guard lock(mutex_);
                if (stopRequested_) {
                    interrupted = true;
                    break;
                }
                if (recordAlarmed_) {
                    untouched = attempt == 1;
                    break;
                }
                SlotStatus loading(SlotState::Loading);
                loading.retry = attempt - 1;
                show(run, loading);
                observer_.attemptStart(run.index, RunKind::Download, attempt);
            }
            const RunOutcome loaded =
                link.run(RunKind::Download, attempt, unitId, [&](std::uint32_t done, std::uint32_t all) {
                    std::lock_guard lock(mutex_);
                    observer_.progress(run.index, done, all);
                });
            {
                std::lock_guard lock(mutex_);
                observer_.attemptEnd(run.index, {RunKind::Download, attempt, loaded});
                if (loaded.crashed) {
                    ++crashes_;
                    observer_.alarm(run.index, "the download's worker crashed: " + loaded.headline);
                }
            }
            if (loaded.exitCode == exitcode::kInterrupted || stopRequested_) {
                interrupted = true;
                break;
            }
            if (loaded.record != RunOutcome::Record::Kept) {
                recordLost(RunKind::Download, loaded, attempt);
                break;
            }
            // A unit that powered up during the run took the place of the one it began with:
            // that one was taken out, and this one is new, to be loaded as a unit of its own.
            if (loaded.poweredUp) {
                failed(Verdict::Kind::Removed, RunKind::Download, loaded);
                break;
            }
            if (loaded.exitCode != exitcode::kSuccess) {
                failed(Verdict::Kind::RunFailed, RunKind::Download, loaded);
                if (!sameUnit(attempt < tries)) break;
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                show(run, SlotStatus(SlotState::Checking));
                observer_.attemptStart(run.index, RunKind::VersionCheck, attempt);
            }
            const RunOutcome checked = link.run(RunKind::VersionCheck, attempt, unitId, {});
            {
                std::lock_guard lock(mutex_);
                observer_.attemptEnd(run.index, {RunKind::VersionCheck, attempt, checked});
            }
            if (checked.exitCode == exitcode::kInterrupted || stopRequested_) {
                interrupted = true;
                break;
            }
            if (checked.record != RunOutcome::Record::Kept) {
                recordLost(RunKind::VersionCheck, checked, attempt);
                break;
            }
            if (checked.poweredUp) {
                failed(Verdict::Kind::Removed, RunKind::VersionCheck, checked);
                break;
            }
            // A run told the job's version ends as a mismatch of its own when the unit reports another.
            const bool mismatch = checked.exitCode == exitcode::kVersionMismatch && !checked.crashed;
            if (checked.exitCode != exitcode::kSuccess && !mismatch) {
                failed(Verdict::Kind::RunFailed, RunKind::VersionCheck, checked);
                if (!sameUnit(attempt < tries)) break;
                continue;
            }
            verdict = {};
            verdict.run = RunKind::VersionCheck;
            verdict.version = checked.version;
            verdict.headline = checked.headline;
            if (mismatch || checked.version != job_.expectVersion) {
                verdict.kind = Verdict::Kind::WrongVersion;
                verdict.exitCode = exitcode::kVersionMismatch;
                verdict.expected = job_.expectVersion;
                if (attempt < tries && !sameUnit(true)) break;
                continue;
            }
            verdict.kind = Verdict::Kind::Pass;
            verdict.exitCode = exitcode::kSuccess;
            break;
        }
        if (interrupted) {
            Verdict stopped;
            stopped.kind = Verdict::Kind::Interrupted;
            stopped.exitCode = exitcode::kInterrupted;
            const auto unrecorded = link.unitEnd(stopped);
            std::lock_guard lock(mutex_);
            verdictAlarm(unrecorded);
            observer_.unitEnd(run.index, stopped);
            return;
        }
        if (untouched) {
            // Counted neither way; its scan holds for when the station runs again.
            Verdict notLoaded;
            notLoaded.kind = Verdict::Kind::Interrupted;
            notLoaded.exitCode = exitcode::kRecord;
            notLoaded.headline = "not loaded: no record can be kept";
            const auto unrecorded = link.unitEnd(notLoaded);
            std::lock_guard lock(mutex_);
            if (run.unitId.empty()) run.unitId = unitId;
            verdictAlarm(unrecorded);
            observer_.unitEnd(run.index, notLoaded);
            continue;
        }

        const bool pass = verdict.pass();
        SlotStatus decided(pass ? SlotState::Pass : SlotState::Fail);
        decided.verdict.emplace(verdict);
        const auto unrecorded = link.unitEnd(verdict);
        {
            std::lock_guard lock(mutex_);
            verdictAlarm(unrecorded);
            if (pass) {
                ++passes_;
                if (!unitId.empty()) passedIds_.insert(unitId);
                run.failsInRow = 0;
                if (job_.quota > 0 && passes_ >= job_.quota) quotaReached_ = true;
            } else {
                ++fails_;
                ++run.failsInRow;
            }
            observer_.unitEnd(run.index, verdict);
            show(run, decided);
            // A record that could not be kept has paused the station with its own alarm.
            if (!pass && !recordAlarmed_ && job_.stopAfterFailures > 0 && run.failsInRow >= job_.stopAfterFailures) {
                run.alarmed = true;
                worstPausing_ = exitcode::worse(worstPausing_, verdict.exitCode);
                observer_.alarm(run.index, std::to_string(run.failsInRow) +
                                               " failures in a row: the slot is paused; check the fixture, the "
                                               "cable and the job");
            }
            changed_.notify_all();
            if ((run.alarmed || recordAlarmed_) && endingRule_ == Ending::WhenAllAlarmed) return;
        }
        // After an alarm too: a resumed slot takes a new unit. A unit known to be out already
        // needs no waiting for.
        if (verdict.kind != Verdict::Kind::Removed && !awaitNext(run, decided)) return;
    }
}

}  // namespace station
