#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/DialogCore.h"
#include "download/OperatorFeedback.h"
#include "record/AttemptRecorder.h"
#include "record/RecordServer.h"
#include "session/ExtractedLibrary.h"
#include "session/Messages.h"
#include "settings/SettingsFile.h"

// What the operator's window needs of a widget toolkit: the controls of the dialog template,
// addressed by id, two kinds of modal box, and the window's own message queue (postMessage,
// which the communication worker calls from its thread as well). The Qt window and the Win32
// dialog each implement it; everything else about the window is MainDialog's.
class DialogWindow : public WindowPoster {
public:
    enum class BoxIcon { None, Information };

    // Start-up touches on the window itself.
    virtual void centreOnDesktop() = 0;
    virtual void setWindowIcons() = 0;
    // The system's default GUI font on a control, or on the window for id 0.
    virtual void setDefaultGuiFont(int id) = 0;

    // On an editable list: what the operator would have typed; a list that takes no typing
    // keeps its selection.
    virtual void setText(int id, const std::string& text) = 0;
    // For a list: the text of its selected entry, or what the operator typed; empty when none.
    virtual std::string text(int id) const = 0;
    virtual void enable(int id, bool enabled) = 0;
    virtual void show(int id, bool shown) = 0;
    virtual void addListEntry(int id, const std::string& entry) = 0;
    virtual void selectListEntry(int id, int index) = 0;               // -1: no selection
    virtual void setProgressRange(int id, std::uint32_t maximum) = 0;  // minimum 0
    virtual void setProgressPosition(int id, std::uint32_t position) = 0;

    // Modal to the window; returns once the operator has closed the box.
    virtual void messageBox(const std::string& caption, const std::string& text, BoxIcon icon) = 0;
    // The open-file chooser with this title, no filter and no initial directory, for one
    // existing file; nothing when cancelled.
    virtual std::optional<std::string> chooseFile(const std::string& title) = 0;

    // Destroys the window and ends the message loop with this exit code.
    virtual void destroyAndQuit(int exitCode) = 0;

    // Calls MainDialog::onWatchTimer once, `after` from now (replacing a call not yet made);
    // nothing: no call.
    virtual void setWatchTimer(std::optional<std::chrono::milliseconds> after) = 0;
    // The pointer shows that the window is busy (a file being read), or no longer.
    virtual void showBusy(bool) {}
};

// The stall limit of the settings' "StallTimeout" (whole seconds, 0 for none); a missing or
// unreadable value gives the default.
std::optional<std::chrono::milliseconds> stallLimitOf(const std::string& text);

// The port list: the serial devices present that go by a path (Linux), then "COM1" to "COM20".
std::vector<std::string> portListEntries(const std::vector<std::string>& devices);
// The entry a stored setting selects: the first that begins with it, case ignored, so that
// "COM1" is not taken for "COM10". A device path must match whole: "/dev/ttyUSB1" never picks
// "/dev/ttyUSB10". Nothing (-1) when none matches.
int listSelection(const std::vector<std::string>& entries, const std::string& stored);

// Where the attempts of the window for this program directory (empty: the running program's)
// are recorded: the settings' "Records" value, else the default place; empty when there is none.
std::string recordsPathFor(std::string programDirectory);

// The operator's window without its widgets: start-up and shutdown in their fixed orders, the
// lists, the settings file, the library file's life, file choice by browsing and dropping, the
// operator's commands and the routing of the window's messages into the DialogCore.
// Everything runs on the window's thread, but for the reading of a chosen file, which runs on a
// thread of its own while the operator controls are off, so that the window keeps being drawn.
class MainDialog : private OperatorFeedback {
public:
    // A run that has made no progress for this long is stopped (the command-line loader's
    // --stall-timeout); the settings key overrides it.
    static constexpr std::chrono::milliseconds kDefaultStallLimit{std::chrono::seconds(120)};
    static constexpr const char* kStallKey = "StallTimeout";
    // The longest the watch of a run waits between two looks.
    static constexpr std::chrono::milliseconds kWatchTick{1000};

    // `programDirectory` (ending with the separator) holds the library file and the settings
    // file; empty means the running program's directory.
    explicit MainDialog(DialogWindow& window, std::string programDirectory = {});
    ~MainDialog() override;
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    // Settings read, lists filled and preselected, library written, session made. False when
    // the library could not be written: the window works all the same, without a session.
    bool InitDialog();
    // Session ended, both selections saved, library file deleted, window gone, loop ended.
    void CloseAndQuit(int exitCode);

    // A command from a control or a key (the ids of the dialog template, 1 and 2 included);
    // others do nothing.
    void onCommand(int id);
    // Files dropped on the window: the first is loaded, unless a download or check is running
    // or a file is being read.
    void onDrop(const std::vector<std::string>& paths);
    // A message taken from the window's queue; its payload is consumed.
    void onMessage(Message& message);
    // The call setWatchTimer asked for: stops a run that is due to stop.
    void onWatchTimer();

    bool hasSession() const { return hasSession_; }
    // A chosen file is being read; the operator controls are off until it has been.
    bool readingFile() const { return reading_; }
    bool closed() const { return closed_; }
    const std::string& libraryPath() const { return library_.path(); }
    const std::string& settingsPath() const { return settings_.path; }
    const std::vector<std::string>& portEntries() const { return ports_; }
    // Present from InitDialog on.
    const DialogCore* core() const { return core_.get(); }
    // Where the window's attempts are recorded (the settings' "Records", else the default
    // place); empty when there is none.
    std::string recordsPath() const;

private:
    // What the engine shows, on the controls of the template.
    void EnableOperatorControls() override;
    void DisableOperatorControls() override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgress(std::uint32_t position) override;
    void SetVersionText(const std::string& text) override;
    void SetFileNameText(const std::string& path) override;
    void SetCrcText(const std::string& text) override;
    void ShowTableMessage(int id) override;
    void ShowInfoMessage(const std::string& text) override;
    void ShowMessagePair(const std::string& caption, const std::string& text) override;
    void DisablePortAndBaudLists() override;
    void PostSendCancel() override;
    void RunEnded(const RunReport& report) override;
    void showReport(const RunReport& report);

    void startRun(void (DialogCore::*command)(const Connection&), RunKind kind);
    // Begins the attempt's record; false (and a box) when it could not be begun.
    bool beginRecord(RunKind kind, const Connection& connection);

    SettingsFile openSettings() const;
    void fillList(int id, const std::vector<std::string>& entries, const std::string& stored);
    void noSessionBox();
    void startForwarding(SettingsFile& settings);
    void loadFile(const std::string& path);
    void fileRead();
    void stopReading();

    DialogWindow& window_;
    std::string programDirectory_;
    SettingsPlace settings_;
    ExtractedLibrary library_;
    std::unique_ptr<DialogCore> core_;
    std::unique_ptr<AttemptRecorder> recorder_;  // the run's attempt, from its start to its box
    std::unique_ptr<Forwarder> forwarder_;       // to the settings' records server, if any
    std::vector<std::string> ports_;
    std::optional<std::chrono::milliseconds> stallLimit_ = kDefaultStallLimit;
    bool hasSession_ = false;
    bool closed_ = false;

    // The file being read: its path (also while its box is up, for the explanation), the thread
    // that reads it, what it read, and the flag that makes it give up.
    MessageId fileReadMessage_ = 0;
    bool reading_ = false;
    std::string loadingPath_;
    std::thread reader_;
    DownloadImage::File read_;
    std::atomic<bool> stopReader_{false};
};
