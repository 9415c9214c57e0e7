#include "download/RunControl.h"

#include "download/OperatorFeedback.h"
#include "download/UnitLink.h"

RunControl::RunControl(UnitLink& link, OperatorFeedback& feedback, WindowPoster& window)
    : link_(link), feedback_(feedback), window_(window) {}

void RunControl::open(RunKind kind, const Connection& connection) {
    report_ = RunReport{};
    report_.kind = kind;
    report_.connection = connection;
    report_.startedAt = std::chrono::system_clock::now();
    startedAt_ = std::chrono::steady_clock::now();
}

bool RunControl::connectUnit() {
    if (link_.connect(window_, report_.connection.port, report_.connection.baud)) {
        feedback_.DisablePortAndBaudLists();
        return true;
    }
    report_.outcome = Outcome::ConnectionFailure;
    deliver();
    return false;
}

void RunControl::close() {
    link_.disablePolling();
    link_.disconnect();
    feedback_.EnableOperatorControls();
    feedback_.SetStatusText("");
}

void RunControl::deliver() {
    report_.endedAt = std::chrono::system_clock::now();
    report_.duration = std::chrono::steady_clock::now() - startedAt_;
    report_.box = reportBox(report_);
    feedback_.RunEnded(report_);
}

void RunControl::refuse(Outcome outcome) {
    report_.outcome = outcome;
    deliver();
}

void RunControl::end(Outcome outcome) {
    close();
    report_.outcome = outcome;
    deliver();
}

void RunControl::fail(Failure failure) {
    close();
    report_.outcome = Outcome::Failed;
    report_.failure = failure;
    deliver();
}

void RunControl::stopped(RunReport::Stop stop, std::chrono::steady_clock::time_point stoppedAt) {
    close();
    stop.took = std::chrono::steady_clock::now() - stoppedAt;
    switch (stop.reason) {
    case StopReason::TimedOut: report_.outcome = Outcome::TimedOut; break;
    case StopReason::Stalled: report_.outcome = Outcome::Stalled; break;
    case StopReason::Interrupted: report_.outcome = Outcome::Interrupted; break;
    }
    report_.stop = std::move(stop);
    deliver();
}
