#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "download/DownloadImage.h"
#include "download/DownloadSequencer.h"
#include "download/OperatorFeedback.h"
#include "download/RunControl.h"
#include "download/RunWatch.h"
#include "download/UnitLink.h"
#include "download/VersionCheck.h"
#include "session/Messages.h"

// The toolkit-free heart of the loader's window: the unit session, the download file, the
// download sequencer and the version check, and the routing of the window's messages to them.
//
// A front (the Qt window, the command-line program, a test) supplies two things:
//  - an OperatorFeedback, which shows what the engine reports, takes the report of each run as
//    it ends, and posts "Orlo::DLG::Message::SENDCANCEL" to the front's own queue;
//  - a WindowPoster, the front's queue, into which the communication worker posts its
//    StatusUpdate, Response and Alarm messages.
// The front then hands every message it takes from that queue to handleMessage, one at a
// time, on one thread. Nothing here blocks except the message boxes the front shows.
//
// Typical command-line use:
//
//     QueuedWindow window;                 // the queue
//     MyFeedback feedback(window);         // PostSendCancel posts into window; RunEnded keeps
//     DialogCore core(feedback, window);   // the report
//     if (!core.SelectDownloadFile(path)) return 1;
//     core.StartDownload({"/dev/ttyUSB0", 9600});
//     while (core.isRunning()) {
//         core.pumpOne(window.queue(), core.watch().nextCheck(std::chrono::seconds(5)));
//         if (auto reason = core.dueStop()) core.stopRun(*reason);
//     }
//     // the feedback's RunEnded has had the report; drainQueued(window.queue()) before the next
//     // run.
class DialogCore {
public:
    // Reaches the unit through a session of its own (ul_dialog). `libraryFile`: where the px417
    // library file is (written beforehand with extractLibrary); empty means the library beside
    // the running program. `feedback` and `window` must outlive the core: its session's worker
    // posts into `window` until the session is ended.
    DialogCore(OperatorFeedback& feedback, WindowPoster& window, std::string libraryFile = {});
    // Reaches the unit through `link`, which must outlive the core (ul_dialog_core).
    DialogCore(OperatorFeedback& feedback, WindowPoster& window, UnitLink& link);
    ~DialogCore();
    DialogCore(const DialogCore&) = delete;
    DialogCore& operator=(const DialogCore&) = delete;

    // --- Window messages -------------------------------------------------------------------
    // Routes one message taken from the window's queue. StatusUpdate and Response rewrite the
    // status line and go on to the version check (while it runs) or the sequencer; Alarm takes
    // the same route without touching the status line; SENDCANCEL passes over a blank block,
    // and only in state 13. The payload is consumed. False for any other message id.
    bool handleMessage(Message& message);
    // Waits up to `timeout` for one message on `queue` and handles it; false if none came.
    bool pumpOne(MessageQueue& queue, std::chrono::milliseconds timeout);
    // Handles every message already on `queue`, without waiting. A run can end with a reply
    // still queued (the poll that went out with the verify acknowledgement); a window handles
    // it at once, idle. A front that stops pumping when a run ends should drain before it
    // starts the next run, or that stale reply meets the new run's first state.
    void drainQueued(MessageQueue& queue);

    // --- Operator commands -----------------------------------------------------------------
    // Loads the file (its failures show their own boxes). On success sets the progress range
    // to the block count, the CRC text to the file CRC ("%04X") and the file-name text to the
    // path. On failure nothing is loaded, and the displayed name and CRC are left alone.
    // While the operator controls are disabled (a download or check runs) all three commands
    // are ignored, as the disabled buttons of the window would be; SelectDownloadFile then
    // returns false without a box.
    bool SelectDownloadFile(const std::string& path);
    // SelectDownloadFile in its three steps, for a front that reads the file off its UI thread
    // (a large file takes seconds). beginDownloadFile: false while the operator controls are
    // disabled; otherwise the image held so far is let go, so that two are never held at once.
    // Then DownloadImage::read, on any thread; then finishDownloadFile with what it read, which
    // does all the rest (boxes, outcome, progress range, CRC and file-name texts).
    bool beginDownloadFile();
    bool finishDownloadFile(const std::string& path, DownloadImage::File file);
    // The Start Download button: refuses without a file, connects with `connection` if needed,
    // starts.
    void StartDownload(const Connection& connection);
    // The Version Check button.
    void StartVersionCheck(const Connection& connection);
    // Ends any session (as closing the window does). The core is reusable afterwards.
    void Shutdown();

    // --- State for fronts --------------------------------------------------------------------
    // A download or a version check is under way.
    bool isRunning() const { return sequencer_.state() != DownloadSequencer::kIdle || versionCheck_.active(); }
    std::uint32_t state() const { return sequencer_.state(); }
    bool versionCheckActive() const { return versionCheck_.active(); }
    // 1 while the version check waits for Disable, 2 while it waits for the version reply.
    int versionStep() const { return versionCheck_.step(); }
    bool operatorControlsEnabled() const { return controlsEnabled_; }
    bool isConnected() const { return link_.isConnected(); }

    // How the last download or version check ended (Running while one runs), and which failure
    // when it failed. A file that could not be selected leaves FileError.
    Outcome outcome() const { return run_.outcome(); }
    std::optional<Failure> failure() const { return run_.failure(); }
    // The report of the last run that ended, as RunEnded had it.
    const RunReport& lastReport() const { return lastReport_; }

    // --- Supervision ------------------------------------------------------------------------
    // The run's limits and stop request. The core feeds it with every message it handles; the
    // front asks dueStop() at least as often as watch().nextCheck() says and then calls stopRun.
    RunWatch& watch() { return watch_; }
    const RunWatch& watch() const { return watch_; }
    std::optional<StopReason> dueStop() const { return watch_.due(); }
    // Ends the run under way for `reason`: the session is closed (once the exchange in progress
    // has ended), then the report goes out with the reason's box. Nothing while none runs.
    void stopRun(StopReason reason);

    bool isLoaded() const { return image_.isLoaded(); }
    const std::string& filePath() const { return filePath_; }  // last file loaded successfully
    std::uint32_t fileSize() const { return image_.size(); }
    std::uint16_t fileCrc() const { return image_.fileCrc(); }
    std::uint32_t blockCount() const { return image_.blockCount(); }
    std::uint32_t blocksDone() const { return sequencer_.blocksDone(); }

    const DownloadSequencer& sequencer() const { return sequencer_; }
    const DownloadImage& image() const { return image_; }

private:
    // Passes everything on to the front's feedback and keeps what the core needs of it.
    struct Recorder : OperatorFeedback {
        explicit Recorder(OperatorFeedback& f, DialogCore& c) : front(f), core(c) {}
        void EnableOperatorControls() override;
        void DisableOperatorControls() override;
        void ShowUnitStatus(std::uint8_t code, std::uint8_t data, std::uint32_t state) override;
        void SetStatusText(const std::string& text) override { front.SetStatusText(text); }
        void SetProgressRange(std::uint32_t maximum) override { front.SetProgressRange(maximum); }
        void SetProgress(std::uint32_t position) override { front.SetProgress(position); }
        void SetVersionText(const std::string& text) override { front.SetVersionText(text); }
        void SetFileNameText(const std::string& path) override { front.SetFileNameText(path); }
        void SetCrcText(const std::string& text) override { front.SetCrcText(text); }
        void ShowTableMessage(int id) override { front.ShowTableMessage(id); }
        void ShowInfoMessage(const std::string& text) override { front.ShowInfoMessage(text); }
        void ShowMessagePair(const std::string& caption, const std::string& text) override {
            front.ShowMessagePair(caption, text);
        }
        void DisablePortAndBaudLists() override { front.DisablePortAndBaudLists(); }
        void PostSendCancel() override { front.PostSendCancel(); }
        void RunEnded(const RunReport& report) override;

        OperatorFeedback& front;
        DialogCore& core;
    };

    DialogCore(OperatorFeedback& feedback, WindowPoster& window, std::unique_ptr<UnitLink> owned, UnitLink* link);
    void replyMessage(Message& message, bool alarm);

    RunWatch::Position position() const;

    bool controlsEnabled_ = true;
    bool answered_ = false;  // the unit has answered this run with something other than Reset
    Recorder recorder_;
    std::unique_ptr<UnitLink> ownedLink_;
    UnitLink& link_;
    RunControl run_;
    DownloadImage image_;
    DownloadSequencer sequencer_;
    VersionCheck versionCheck_;
    RunWatch watch_;
    RunReport lastReport_;
    std::string filePath_;

    MessageId statusUpdate_;
    MessageId response_;
    MessageId alarm_;
    MessageId sendCancel_;
};
