// The forwarder's thread: opens its own connection to the records file, sends the queue in
// batches, marks a batch sent once the server committed it, and waits between tries while the
// server is away. Stopping cuts a call in progress with the server, so the join is bounded.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "AttemptOf.h"
#include "RecordServer.h"
#include "SafeText.h"

namespace {
// Between two rounds while the queue still holds attempts.
constexpr std::chrono::milliseconds kRequeuedPause{50};

// The queue's length now (read without the forwarder's lock); nothing when the file cannot say.
std::optional<int> queueLength(RecordStore* store) {
    if (!store || !store->queues()) return std::nullopt;
    try {
        return static_cast<int>(store->unsentCount());
    } catch (const RecordError&) {
        return std::nullopt;
    }
}
}  // namespace

struct Forwarder::State {
    Options options;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool poked = false;
    int rounds = 0;                  // tries ended
    bool lastFailed = false;         // the last try could not reach the server or failed in it
    bool lastRefused = false;        // ... and failed while connecting
    RecordServer* server = nullptr;  // while connected, so that stop can cut it
    Tally tally;
    std::thread thread;

    void run();
    // One try: connect when not connected, then send until the queue is empty. False when it
    // was stopped before it could end.
    bool once(std::unique_ptr<RecordStore>& store, std::unique_ptr<RecordServer>& connection);
    bool connecting = false;  // the forwarder's thread only: once() is still connecting
};

bool Forwarder::State::once(std::unique_ptr<RecordStore>& store, std::unique_ptr<RecordServer>& connection) {
    if (!store) store = openRecordStore(options.recordsPath);
    if (!connection) {
        connecting = true;
        auto fresh = connectRecordServer(options.url, options.connectTimeout);
        connecting = false;
        {
            // Published before its first call, so that stop can cut a server that answers no more.
            std::lock_guard lock(mutex);
            if (stopping) return false;
            connection = std::move(fresh);
            server = connection.get();
        }
        connection->migrate();
    }
    for (;;) {
        const std::vector<Attempt> attempts = store->unsent(options.batch);
        if (attempts.empty()) break;
        const RecordServer::Sent sent = connection->send(attempts);
        std::vector<Attempt> acknowledged;
        for (const Attempt& a : attempts)
            if (std::none_of(sent.refused.begin(), sent.refused.end(),
                             [&](const RecordStore::Refusal& r) { return r.id == a.id; }))
                acknowledged.push_back(a);
        store->markSent(acknowledged);
        // Set aside after the others are marked: a crash between the two resends the refused
        // ones, which the server refuses again.
        store->setAside(sent.refused);
        std::lock_guard lock(mutex);
        tally.sent += static_cast<int>(acknowledged.size());
        tally.duplicates += static_cast<int>(acknowledged.size()) - sent.added;
        tally.setAside.insert(tally.setAside.end(), sent.refused.begin(), sent.refused.end());
        if (stopping) return false;
    }
    // Then the file's chain, which speaks of those attempts. An event the server refuses is kept
    // there as a conflict: sent, as far as this file is concerned.
    if (const std::string fileId = store->chainFileId(); !fileId.empty()) {
        for (;;) {
            const std::vector<recordchain::Event> events = store->unsentEvents(options.batch);
            if (events.empty()) break;
            const RecordServer::EventsSent sent = connection->sendEvents(fileId, stationName(), events);
            store->markEventsSent(events.back().seq);
            std::lock_guard lock(mutex);
            tally.eventsSent += static_cast<int>(events.size());
            tally.eventsRefused.insert(tally.eventsRefused.end(), sent.refused.begin(), sent.refused.end());
            if (stopping) return false;
        }
    }
    const auto left = static_cast<int>(store->unsentCount());
    const auto eventsLeft = store->unsentEventCount();
    std::lock_guard lock(mutex);
    tally.queued = left;
    tally.idle = left == 0 && eventsLeft == 0;
    return true;
}

void Forwarder::State::run() {
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<RecordServer> connection;
    for (;;) {
        bool failed = false;
        bool ended = false;
        std::string error;
        connecting = false;
        try {
            ended = once(store, connection);
        } catch (const RecordError& e) {
            failed = true;
            error = e.what();
        }
        std::unique_lock lock(mutex);
        if (failed) {
            // Connect again on the next try; what was not acknowledged stays queued.
            server = nullptr;
            lock.unlock();
            connection.reset();
            const auto left = queueLength(store.get());
            lock.lock();
            if (left) tally.queued = *left;
            // A call cut by stop() fails for that alone: the error before it is the one to tell.
            if (!stopping || tally.lastError.empty()) tally.lastError = error;
            tally.idle = false;
        } else if (ended) {
            tally.lastError.clear();  // it is back
        }
        // A try cut short by stop() says nothing of the server: the last error stands.
        lastFailed = failed;
        lastRefused = failed && connecting;
        ++rounds;
        changed.notify_all();
        if (stopping) break;
        if (failed)
            changed.wait_for(lock, options.retryPause, [&] { return stopping || poked; });
        else if (!tally.idle)
            // Attempts queued by another process after this round's last batch: they go now,
            // not at the next poke, which a `records sync` never gives.
            changed.wait_for(lock, kRequeuedPause, [&] { return stopping; });
        else
            changed.wait(lock, [&] { return stopping || poked; });
        poked = false;
        if (stopping) break;
    }
    std::unique_lock lock(mutex);
    server = nullptr;
    lock.unlock();
    connection.reset();
    // Stopped in the middle of the queue: say what is left of it.
    if (const auto left = queueLength(store.get())) {
        lock.lock();
        tally.queued = *left;
        tally.idle = *left == 0;
    }
}

Forwarder::Forwarder(Options options) : state_(std::make_shared<State>()) { state_->options = std::move(options); }

Forwarder::~Forwarder() { stop(std::chrono::milliseconds(0)); }

void Forwarder::start() {
    if (state_->thread.joinable()) return;
    state_->thread = std::thread([s = state_] { s->run(); });
}

void Forwarder::poke() {
    std::lock_guard lock(state_->mutex);
    state_->poked = true;
    state_->changed.notify_all();
}

Forwarder::Tally Forwarder::stop(std::chrono::milliseconds grace) {
    State& s = *state_;
    if (!s.thread.joinable()) return tally();
    {
        std::unique_lock lock(s.mutex);
        // One more look at the queue, then wait for that try to end: sent, or failed. A refused
        // connection is tried again (after the forwarder's pause) for `refusedRetry`.
        const auto now = std::chrono::steady_clock::now();
        const auto end = now + grace;
        const auto refusedEnd = now + std::min(grace, s.options.refusedRetry);
        s.poked = true;
        int from = s.rounds;
        s.changed.notify_all();
        while (s.changed.wait_until(lock, end, [&] { return s.rounds > from && (s.tally.idle || s.lastFailed); })) {
            if (s.tally.idle || !s.lastRefused || std::chrono::steady_clock::now() >= refusedEnd) break;
            from = s.rounds;
        }
        s.stopping = true;
        s.changed.notify_all();
        if (s.server) s.server->cut();
    }
    // Bounded: a call in progress was cut, and a connect in progress ends within its time-out.
    s.thread.join();
    return tally();
}

Forwarder::Tally Forwarder::tally() const {
    std::lock_guard lock(state_->mutex);
    return state_->tally;
}

std::vector<std::string> forwardEndNotes(const Forwarder::Tally& t, const std::string& url) {
    std::vector<std::string> notes;
    const std::string server = urlWithoutPassword(url);
    if (t.queued > 0 || !t.lastError.empty()) {
        std::string text = t.queued > 0 ? std::to_string(t.queued) + (t.queued == 1 ? " attempt" : " attempts") +
                                              " queued for the records server " + server +
                                              "; the next run or records sync sends them"
                                        : "the records server " + server;
        if (!t.lastError.empty()) text += " (" + t.lastError + ")";
        notes.push_back(text);
    }
    for (const RecordStore::Refusal& r : t.setAside)
        notes.push_back("attempt " + safetext::terminalSafe(r.id) + " is set aside, refused by the records server " +
                        server + " (" + safetext::terminalSafe(r.error) +
                        "); records list --unsent shows it, and records sync tries it again");
    return notes;
}

ForwardPlan forwardPlan(const std::string& path, const std::vector<ServerSource>& sources) {
    const auto named =
        std::find_if(sources.begin(), sources.end(), [](const ServerSource& s) { return !s.url.empty(); });
    if (named == sources.end() || path.empty()) return {};
    const std::string& url = named->url;
    if (urlHasPassword(url))
        return {false,
                {},
                named->origin.empty()
                    ? std::string()
                    : named->origin + " is not used, and nothing is forwarded: " + passwordInUrlText()};
    if (recordStoreKind(path) == StoreKind::Journal)
        return {false,
                {},
                "a journal keeps no queue for the records server; nothing is forwarded (records import reads the "
                "journal into an SQLite file, which does)"};
    if (!recordServerBuilt())
        return {false, {}, "this build cannot reach a records server; the attempts stay in " + path};
    return {true, url, {}};
}

ForwardPlan forwardPlan(const std::string& path, const std::string& url) { return forwardPlan(path, {{url, {}}}); }
