#include "window/MainDialog.h"

#include <cctype>
#include <cstdio>
#include <system_error>
#include <utility>

#include "download/ExitCode.h"
#include "platform/ProgramDirectory.h"
#include "session/Diagnose.h"
#include "session/SerialDevices.h"
#include "window/DialogTemplate.h"

namespace {

bool beginsWithIgnoringCase(const std::string& entry, const std::string& prefix) {
    if (prefix.size() > entry.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(entry[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool isDevicePath(const std::string& text) { return !text.empty() && text[0] == '/'; }

// Devices named by a path (Linux). A Windows port is a COM name, which the list holds anyway.
std::vector<std::string> devicesPresent() {
    std::vector<std::string> devices;
    for (const auto& port : listSerialPorts())
        if (isDevicePath(port.device)) devices.push_back(port.device);
    return devices;
}

const std::vector<std::string> kBaudRates{"9600", "19200", "38400"};
const std::string kReadingText = "Reading the download file";

}  // namespace

std::optional<std::chrono::milliseconds> stallLimitOf(const std::string& text) {
    if (text.empty()) return MainDialog::kDefaultStallLimit;
    if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return MainDialog::kDefaultStallLimit;
    const long seconds = std::stol(text);
    if (seconds == 0) return std::nullopt;  // waits for ever
    return std::chrono::seconds(seconds);
}

namespace {}  // namespace

std::vector<std::string> portListEntries(const std::vector<std::string>& devices) {
    std::vector<std::string> entries = devices;
    for (int n = 1; n <= 20; ++n) entries.push_back("COM" + std::to_string(n));
    return entries;
}

int listSelection(const std::vector<std::string>& entries, const std::string& stored) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool match = isDevicePath(stored) ? entries[i] == stored : beginsWithIgnoringCase(entries[i], stored);
        if (match) return static_cast<int>(i);
    }
    return -1;
}

MainDialog::MainDialog(DialogWindow& window, std::string programDirectory)
    : window_(window), programDirectory_(std::move(programDirectory)) {}

MainDialog::~MainDialog() { stopReading(); }

SettingsFile MainDialog::openSettings() const {
    SettingsFile settings(settings_);
    if (!settings.readFile()) settings.applyDefaults();
    return settings;
}

void MainDialog::fillList(int id, const std::vector<std::string>& entries, const std::string& stored) {
    for (const auto& entry : entries) window_.addListEntry(id, entry);
    window_.selectListEntry(id, listSelection(entries, stored));
}

bool MainDialog::InitDialog() {
    window_.centreOnDesktop();
    window_.setWindowIcons();
    // The toolkit's own key handling stands in for the dialog-key handling of the loop.
    window_.setDefaultGuiFont(0);

    if (programDirectory_.empty()) programDirectory_ = platform::programDirectory();
    settings_ = settingsPlace(programDirectory_);
    SettingsFile settings = openSettings();

    for (int id : dialog::kGuiFontControls) window_.setDefaultGuiFont(id);
    window_.show(dialog::kConnect, false);
    window_.setText(dialog::kFileName, "");

    // A stored port that is not in the list is the operator's own entry, and it works: it is
    // kept. A device path (a simulated unit's pseudo-terminal, a device unplugged for now) is
    // added and selected; another name (ttyS0, COM21) stands in the field as typed, where the
    // list takes typing, and is saved again at the close.
    ports_ = portListEntries(devicesPresent());
    const std::string storedPort = settings.get(SettingsFile::kPortKey);
    if (isDevicePath(storedPort) && listSelection(ports_, storedPort) < 0) ports_.push_back(storedPort);
    fillList(dialog::kPortList, ports_, storedPort);
    if (!storedPort.empty() && listSelection(ports_, storedPort) < 0) window_.setText(dialog::kPortList, storedPort);
    fillList(dialog::kBaudList, kBaudRates, settings.get(SettingsFile::kBaudKey));
    stallLimit_ = stallLimitOf(settings.get(kStallKey));

    window_.setText(dialog::kStatusLine, "");
    window_.setText(dialog::kCrcText, "0000");
    window_.setProgressPosition(dialog::kProgress, 0);

    // The core registers the message names and holds the session; without a library file it
    // still loads files, but it never connects.
    hasSession_ = library_.extract(ExtractedLibrary::For::Window, programDirectory_);
    core_ = std::make_unique<DialogCore>(static_cast<OperatorFeedback&>(*this), window_, library_.path());
    core_->watch().setLimits({std::nullopt, stallLimit_});
    fileReadMessage_ = registerMessage(msgname::kFileRead);
    startForwarding(settings);
    return hasSession_;
}

// The settings' records server gets every ended attempt from a thread of its own; no run waits
// for it, and what it has not taken stays queued in the records file.
void MainDialog::startForwarding(SettingsFile& settings) {
    const std::string url = settings.get(kRecordsServerSettingsKey);
    const std::string path = recordsPath();
    // A password belongs in PGPASSFILE, never in a file others read; a journal keeps no queue.
    if (!forwardPlan(path, url).forward) return;
    Forwarder::Options options;
    options.recordsPath = path;
    options.url = url;
    forwarder_ = std::make_unique<Forwarder>(options);
    forwarder_->start();
}

void MainDialog::CloseAndQuit(int exitCode) {
    if (closed_) return;
    closed_ = true;
    stopReading();
    // A run closed with the window ends as interrupted, and its record says so; no box.
    if (core_ && recorder_ && core_->isRunning()) core_->stopRun(StopReason::Interrupted);
    if (core_ && hasSession_) core_->Shutdown();
    // The last attempt gets a moment to reach the records server; the queue keeps it otherwise.
    if (forwarder_) forwarder_->stop(Forwarder::kEndGrace);

    // A list without a selection (a stored value that matched nothing) keeps the stored value.
    const std::string port = window_.text(dialog::kPortList);
    SettingsFile settings = openSettings();
    if (!port.empty()) settings.set(SettingsFile::kPortKey, port);
    const std::string baud = window_.text(dialog::kBaudList);
    if (!baud.empty()) settings.set(SettingsFile::kBaudKey, baud);
    settings.writeFile();

    library_.remove();
    window_.destroyAndQuit(exitCode);
}

void MainDialog::onCommand(int id) {
    if (closed_ || !core_) return;
    if (reading_ && id != dialog::kIdCancel) return;  // the controls are off
    switch (id) {
    case dialog::kIdCancel: CloseAndQuit(2); break;
    case dialog::kBrowse:
        if (auto path = window_.chooseFile("Target File")) loadFile(*path);
        break;
    case dialog::kStartDownload:
        // Without a file the core answers with its own box before it would need the session.
        if (!hasSession_ && core_->isLoaded() && core_->operatorControlsEnabled())
            noSessionBox();
        else
            startRun(&DialogCore::StartDownload, RunKind::Download);
        break;
    case dialog::kVersionCheck:
        if (!hasSession_ && core_->operatorControlsEnabled())
            noSessionBox();
        else
            startRun(&DialogCore::StartVersionCheck, RunKind::VersionCheck);
        break;
    default: break;  // the Enter key (1) among them: there is no default button
    }
}

// The connection is the lists' at the press of the button; a run that starts is watched for the
// stall limit from the settings. Its attempt is recorded before anything can go to the unit.
void MainDialog::startRun(void (DialogCore::*command)(const Connection&), RunKind kind) {
    const Connection connection =
        Connection::fromTexts(window_.text(dialog::kPortList), window_.text(dialog::kBaudList));
    if (core_->operatorControlsEnabled() && !beginRecord(kind, connection)) return;
    (core_.get()->*command)(connection);
    if (core_->isRunning()) window_.setWatchTimer(core_->watch().nextCheck(kWatchTick));
}

std::string MainDialog::recordsPath() const { return recordsPathOf({}, openSettings().get(kRecordsSettingsKey)); }

std::string recordsPathFor(std::string programDirectory) {
    if (programDirectory.empty()) programDirectory = platform::programDirectory();
    SettingsFile settings(settingsPlace(programDirectory));
    if (!settings.readFile()) settings.applyDefaults();
    return recordsPathOf({}, settings.get(kRecordsSettingsKey));
}

bool MainDialog::beginRecord(RunKind kind, const Connection& connection) {
    recorder_.reset();
    const std::string path = recordsPath();
    if (path.empty()) return true;  // a user without a home directory: no place for records
    std::optional<std::string> why;
    try {
        recorder_ = std::make_unique<AttemptRecorder>(openRecordStore(path), AttemptPeople{}, connection.port);
        const bool withFile = kind == RunKind::Download && core_->isLoaded();
        why = recorder_->begin(kind, connection.baud, withFile ? core_->filePath() : std::string(),
                               withFile ? &core_->image() : nullptr);
    } catch (const RecordError& e) {
        why = e.what();
    }
    if (!why) return true;
    recorder_.reset();
    const ReportBox box = recordRefusedBox(*why);
    window_.messageBox(box.caption, box.text, DialogWindow::BoxIcon::None);
    return false;
}

void MainDialog::onWatchTimer() {
    if (closed_ || !core_ || !core_->isRunning()) return;
    if (auto reason = core_->dueStop()) {
        core_->stopRun(*reason);
        return;
    }
    window_.setWatchTimer(core_->watch().nextCheck(kWatchTick));
}

void MainDialog::RunEnded(const RunReport& report) {
    window_.setWatchTimer(std::nullopt);
    // The end is on disk before the operator sees the box, and so before the unit is taken away.
    std::optional<std::string> unrecorded;
    if (recorder_) {
        unrecorded = recorder_->end(report, exitcode::ofReport(report).code);
        recorder_.reset();
        if (forwarder_) forwarder_->poke();
    }
    if (closed_) return;  // the window is going: the operator sees no box
    showReport(report);
    if (unrecorded) {
        const ReportBox box = recordEndFailedBox(*unrecorded);
        window_.messageBox(box.caption, box.text, DialogWindow::BoxIcon::None);
    }
}

void MainDialog::showReport(const RunReport& report) {
    // The box says only that the port or the file did not open; the lines below say why, as far
    // as looking again can tell.
    std::string why;
    if (report.outcome == Outcome::ConnectionFailure) why = explainPortFailure(report.connection.port);
    if (report.fileProblem == FileProblem::OpenError) why = explainFileFailure(report.file);
    if (why.empty() || report.box.kind != ReportBox::Kind::Table) {
        OperatorFeedback::RunEnded(report);
        return;
    }
    window_.messageBox(report.box.caption, report.box.text + "\n\n" + why, DialogWindow::BoxIcon::None);
}

void MainDialog::onDrop(const std::vector<std::string>& paths) {
    if (closed_ || !core_ || reading_ || !core_->operatorControlsEnabled() || paths.empty()) return;
    loadFile(paths.front());
}

// A large file takes seconds to read and check (a 3 GB one tens of seconds), too long
// for a window that is not drawn meanwhile. The core's image is let go first, so that two are
// never held at once.
void MainDialog::loadFile(const std::string& path) {
    // The chooser may have returned after the window closed (a signal while it was up).
    if (closed_ || !core_->beginDownloadFile()) return;
    loadingPath_ = path;
    reading_ = true;
    stopReader_.store(false);
    try {
        reader_ = std::thread([this, path] {
            read_ = DownloadImage::read(path, &stopReader_);
            window_.postMessage(fileReadMessage_, nullptr);  // its last step: fileRead joins it
        });
    } catch (const std::system_error&) {
        // No thread to be had: read here, the window unpainted meanwhile.
        reading_ = false;
        core_->finishDownloadFile(path, DownloadImage::read(path));
        loadingPath_.clear();
        return;
    }
    DisableOperatorControls();
    SetStatusText(kReadingText);
    window_.showBusy(true);
}

void MainDialog::fileRead() {
    if (!reading_) return;
    reader_.join();
    reading_ = false;
    window_.showBusy(false);
    SetStatusText("");
    EnableOperatorControls();
    core_->finishDownloadFile(loadingPath_, std::exchange(read_, {}));
    loadingPath_.clear();
}

void MainDialog::stopReading() {
    if (!reader_.joinable()) return;
    stopReader_.store(true);
    reader_.join();
    reading_ = false;
    read_ = {};
}

void MainDialog::onMessage(Message& message) {
    // After the close the session is gone; what was still queued has nothing to drive.
    if (closed_ || !core_) {
        message.payload.reset();
        return;
    }
    if (message.id == fileReadMessage_) {
        message.payload.reset();
        fileRead();
        return;
    }
    core_->handleMessage(message);
}

void MainDialog::noSessionBox() {
    window_.messageBox(stringResource(kStrTitle),
                       "The protocol library could not be written beside the program or into a private "
                       "directory, so the unit cannot be reached.\nCheck the free space and the access "
                       "rights, then start the program again.",
                       DialogWindow::BoxIcon::None);
}

void MainDialog::EnableOperatorControls() {
    for (int id : dialog::kOperatorControls) window_.enable(id, true);
}

void MainDialog::DisableOperatorControls() {
    for (int id : dialog::kOperatorControls) window_.enable(id, false);
}

void MainDialog::SetStatusText(const std::string& text) { window_.setText(dialog::kStatusLine, text); }
void MainDialog::SetProgressRange(std::uint32_t maximum) { window_.setProgressRange(dialog::kProgress, maximum); }
void MainDialog::SetProgress(std::uint32_t position) { window_.setProgressPosition(dialog::kProgress, position); }
void MainDialog::SetVersionText(const std::string& text) { window_.setText(dialog::kVersionText, text); }
void MainDialog::SetFileNameText(const std::string& path) { window_.setText(dialog::kFileName, path); }
void MainDialog::SetCrcText(const std::string& text) { window_.setText(dialog::kCrcText, text); }

void MainDialog::ShowTableMessage(int id) {
    window_.messageBox(stringResource(kStrTitle), stringResource(id), DialogWindow::BoxIcon::None);
}

void MainDialog::ShowInfoMessage(const std::string& text) {
    window_.messageBox(stringResource(kStrTitle), text, DialogWindow::BoxIcon::Information);
}

void MainDialog::ShowMessagePair(const std::string& caption, const std::string& text) {
    window_.messageBox(caption, text, DialogWindow::BoxIcon::Information);
}

void MainDialog::DisablePortAndBaudLists() {
    window_.enable(dialog::kPortList, false);
    window_.enable(dialog::kBaudList, false);
}

void MainDialog::PostSendCancel() { window_.postMessage(registerMessage(msgname::kSendCancel), nullptr); }
