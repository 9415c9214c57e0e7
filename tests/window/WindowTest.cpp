// The operator's window driven as an operator drives it: Qt's offscreen platform, the real
// px417 library and worker thread, the simulated unit in this process. Every message box is
// closed by the test, and every wait has a deadline.
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QValueAxis>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <memory>

#include "CliTestSupport.h"
#include "HostPort.h"
#include "TempDir.h"
#include "TestBytes.h"
#include "UnitSimulator.h"
#include "platform/Mailslot.h"
#include "record/AttemptOf.h"
#include "record/RecordServer.h"
#include "record/RecordStore.h"
#include "window/DialogTemplate.h"
#include "window/QtHistoryView.h"
#include "window/QtMainWindow.h"
#include "window/QtStationWindow.h"

using namespace unitsim;
namespace fs = std::filesystem;

namespace {

const QString kTitle = "UNIT LOADER Ver.1.21";
constexpr int kDeadlineMs = 30000;

struct ShownBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    int progress;  // where the bar stood while the box was up
    int width;
};

// Closes each message box of the window with its OK button as soon as it is up, and keeps
// what it said. Boxes run their own event loop, in which this timer keeps firing.
class BoxCloser {
public:
    explicit BoxCloser(QtMainWindow& window) : window_(window) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { closeOpenBox(); });
        timer_.start(5);
    }
    std::vector<ShownBox> boxes;

private:
    void closeOpenBox() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        const auto* bar = qobject_cast<QProgressBar*>(window_.control(dialog::kProgress));
        boxes.push_back({box->windowTitle(), box->text(), box->icon(), bar->value(), box->width()});
        box->button(QMessageBox::Ok)->click();
    }
    QtMainWindow& window_;
    QTimer timer_;
};

// A window on a program directory of the test's own, its exit code caught.
struct Window {
    // Its attempts are recorded beside it (or in `records`), never in the home directory of
    // whoever runs the tests.
    explicit Window(const std::string& programDirectory, const std::string& records = {})
        : recordsSet(
              qputenv("UNIT_LOADER_RECORDS",
                      QByteArray::fromStdString(records.empty() ? programDirectory + "records.sqlite" : records))),
          window(programDirectory),
          closer(window) {
        window.quit = [this](int code) { exitCode = code; };
        window.show();
    }
    QString text(int id) const {
        QWidget* w = window.control(id);
        if (auto* list = qobject_cast<QComboBox*>(w)) return list->currentText();
        if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
        return qobject_cast<QLabel*>(w)->text();
    }
    bool enabled(int id) const { return window.control(id)->isEnabled(); }
    QProgressBar* bar() const { return qobject_cast<QProgressBar*>(window.control(dialog::kProgress)); }
    void click(int id) { QTest::mouseClick(window.control(id), Qt::LeftButton); }
    // Keys go where the keyboard focus is, as typed.
    void key(Qt::Key key) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &window, key);
    }
    // A dropped or chosen file is read on a thread of the window's; `wait` for it as the
    // operator would, before the next step.
    void drop(const std::vector<std::string>& paths, bool wait = true) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const auto& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
        mime.setUrls(urls);
        const QPoint at = window.rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &dropped);
        if (wait) QVERIFY(waitForTheFile());
    }
    bool reading() const { return window.dialog().readingFile(); }
    bool waitForTheFile() {
        return QTest::qWaitFor([this] { return !reading(); }, kDeadlineMs);
    }
    bool running() const { return window.dialog().core()->isRunning(); }
    bool waitUntilIdle() {
        return QTest::qWaitFor([this] { return !running(); }, kDeadlineMs);
    }

    bool recordsSet;
    QtMainWindow window;
    BoxCloser closer;
    int exitCode = -1;
};

void writeText(const std::string& path, const std::string& text) { writeFile(path, Bytes(text.begin(), text.end())); }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

QString successText(const UnitSimulator& sim, const Bytes& file) {
    return QString::fromStdString("The target file was downloaded successfully\nCRC:" +
                                  hex4(sim.verifyOutcome()->computed) + "\nFILE-CRC:" + hex4(Crc16::of(file)));
}

// An environment variable set for one test and put back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnv() { had_ ? (void)qputenv(name_, old_) : (void)qunsetenv(name_); }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

}  // namespace

#if defined(__SANITIZE_THREAD__)
// Qt is not built with the thread sanitizer, so the locks inside it are invisible: what Qt
// allocates or waits on in one of its threads and releases in another would read as a race.
// Only calls made from Qt's own code into the sanitizer's hooks are left out; every access of
// this program's code, in Qt's call stacks too, is still checked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libQt6Test.so.6\n";
}
#endif

class WindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUpPreselectsAndClosingWritesBack_data();
    void startUpPreselectsAndClosingWritesBack();
    void browseAndDropLoadTheFirstFile();
    void downloadAtAnUnlistedRateRunsAt9600WithTheRealBoxes();
    void failureBoxThenASecondDownloadSucceeds();
    void escapeDuringADownloadEndsAtOnce();
    void aDownloadWithoutProgressStopsAtTheStallLimit();
    void installedCopyWorksAndNoLibraryPlaceIsExplained();
    void errorBoxesShowTheirWholeCaption();
    void portAndFileFailuresSayWhyBelowTheBox_data();
    void portAndFileFailuresSayWhyBelowTheBox();
    void aLargeFileIsReadWhileTheWindowStaysAlive();
    void signalsCloseTheProgramAsTheCloseBoxDoes_data();
    void signalsCloseTheProgramAsTheCloseBoxDoes();
    void everyRunIsRecordedAndTheHistoryShowsIt();
    void theSettingsRecordsServerGetsTheWindowsAttempts();
    void aStationOfTwoSlotsScansPausesAlarmsAndClosesCleanly();
    void theStationProgramEndsItsDownloadOnASignal();
    void sixteenSlotsWithSpacedNamesShowTheirColoursAndWordsWhole_data();
    void sixteenSlotsWithSpacedNamesShowTheirColoursAndWordsWhole();
};

void WindowTest::startUpPreselectsAndClosingWritesBack_data() {
    QTest::addColumn<QString>("stored");  // none: no settings file; {dir}: the program directory
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("chooseBaud");  // -1: leave the lists alone
    QTest::addColumn<bool>("byEscape");
    QTest::addColumn<QString>("written");

    QTest::newRow("COM3 at 19200, close box") << "Port,COM3\r\nBaudrate,19200\r\n"
                                              << "COM3"
                                              << "19200" << -1 << false << "Baudrate,19200\r\nPort,COM3\r\n";
    QTest::newRow("lower case, another rate chosen, Escape")
        << "Port,com3\nBaudrate,38400\n"
        << "COM3"
        << "38400" << 0 << true << "Baudrate,9600\r\nPort,COM3\r\n";
    QTest::newRow("COM1 is not COM10") << "Baudrate,9600\nPort,COM1\n"
                                       << "COM1"
                                       << "9600" << -1 << true << "Baudrate,9600\r\nPort,COM1\r\n";
    // A port the list does not hold works all the same (COM21 is /dev/ttyS20): it stays in the
    // field; a baud rate that matches nothing leaves its list empty, and both are kept.
    QTest::newRow("nothing matches: stored values kept")
        << "Port,COM21\nBaudrate,4800\nZeta,1\n"
        << "COM21"
        << "" << -1 << true << "Baudrate,4800\r\nPort,COM21\r\nZeta,1\r\n";
    QTest::newRow("a bare device name") << "Port,ttyS0\nBaudrate,38400\n"
                                        << "ttyS0"
                                        << "38400" << -1 << false << "Baudrate,38400\r\nPort,ttyS0\r\n";
    QTest::newRow("no file: defaults") << "none"
                                       << "COM1"
                                       << "9600" << -1 << false << "Baudrate,9600\r\nPort,COM1\r\n";
    QTest::newRow("a device path not in the list") << "Port,{dir}unit0\nBaudrate,19200\n"
                                                   << "{dir}unit0"
                                                   << "19200" << -1 << true << "Baudrate,19200\r\nPort,{dir}unit0\r\n";
}

void WindowTest::startUpPreselectsAndClosingWritesBack() {
    QFETCH(QString, stored);
    QFETCH(QString, port);
    QFETCH(QString, baud);
    QFETCH(int, chooseBaud);
    QFETCH(bool, byEscape);
    QFETCH(QString, written);
    TempDir dir;
    const QString programDir = QString::fromStdString(dir.path().string() + "/");
    for (QString* text : {&stored, &port, &written}) text->replace("{dir}", programDir);
    const std::string settings = dir.file("vsk_download_config.txt");
    if (stored != "none") writeText(settings, stored.toStdString());

    Window w(programDir.toStdString());
    QVERIFY(w.window.dialog().hasSession());
    const std::string library = w.window.dialog().libraryPath();
    QCOMPARE(fs::path(library).parent_path(), dir.path());
    QVERIFY(fs::exists(library));
    if (stored == "none") QCOMPARE(slurp(settings), std::string("Baudrate,9600\r\nPort,COM1\r\n"));

    QCOMPARE(w.text(dialog::kPortList), port);
    QCOMPARE(w.text(dialog::kBaudList), baud);
    QCOMPARE(w.text(dialog::kFileName), QString());
    QCOMPARE(w.text(dialog::kStatusLine), QString());
    QCOMPARE(w.text(dialog::kCrcText), QString("0000"));
    QCOMPARE(w.bar()->value(), 0);
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));
    QVERIFY(!w.window.control(dialog::kConnect)->isVisible());
    QCOMPARE(w.window.windowTitle(), kTitle);
    QCOMPARE(w.window.minimumSize(), w.window.maximumSize());
    QVERIFY(!(w.window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.window.windowIcon().availableSizes().contains(QSize(32, 32)));

    // What a person reads is whole: no caption is wider or taller than its box.
    for (const auto& spec : dialog::kControls) {
        auto* label = qobject_cast<QLabel*>(w.window.control(spec.id));
        if (!label || label->text().isEmpty()) continue;
        const QFontMetrics metrics(label->font());
        QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->contentsRect().width() &&
                     metrics.height() <= label->contentsRect().height(),
                 qPrintable(label->text()));
    }

    // The template's tab order; Enter does nothing, there being no default button.
    QStringList order;
    QWidget* next = w.window.control(dialog::kFileName);
    do {
        if (next->focusPolicy() & Qt::TabFocus && next->objectName().toInt() >= 1000) order << next->objectName();
        next = next->nextInFocusChain();
    } while (next != w.window.control(dialog::kFileName));
    QCOMPARE(order, QStringList({"1000", "1001", "1002", "1003", "1006", "1012", "1007", "1015"}));
    w.key(Qt::Key_Return);
    QCOMPARE(w.exitCode, -1);
    QVERIFY(w.closer.boxes.empty());

    if (chooseBaud >= 0) qobject_cast<QComboBox*>(w.window.control(dialog::kBaudList))->setCurrentIndex(chooseBaud);
    if (byEscape)
        w.key(Qt::Key_Escape);
    else
        w.window.close();
    QCOMPARE(w.exitCode, 2);
    QVERIFY(!w.window.isVisible());
    QCOMPARE(QString::fromStdString(slurp(settings)), written);
    QVERIFY(!fs::exists(library));
}

void WindowTest::browseAndDropLoadTheFirstFile() {
    TempDir dir;
    const Bytes first = makeImage(1000, 1), second = makeImage(500, 2), third = makeImage(300, 3);
    writeFile(dir.file("first.bin"), first);
    writeFile(dir.file("second.bin"), second);
    writeFile(dir.file("third.bin"), third);
    Window w(dir.path().string() + "/");

    std::vector<std::string> titles;
    std::optional<std::string> choice;
    w.window.fileChooser = [&](QWidget*, const std::string& title) {
        titles.push_back(title);
        return choice;
    };
    w.click(dialog::kBrowse);  // cancelled: nothing changes
    QCOMPARE(w.text(dialog::kFileName), QString());
    QCOMPARE(w.text(dialog::kCrcText), QString("0000"));

    choice = dir.file("first.bin");
    w.click(dialog::kBrowse);
    QVERIFY(w.waitForTheFile());
    QCOMPARE(titles, std::vector<std::string>({"Target File", "Target File"}));
    QCOMPARE(w.text(dialog::kFileName).toStdString(), dir.file("first.bin"));
    QCOMPARE(w.text(dialog::kCrcText).toStdString(), hex4(Crc16::of(first)));
    QCOMPARE(w.bar()->maximum(), 5);  // 1000 bytes: four blocks of 246 and one of 16

    w.drop({dir.file("second.bin"), dir.file("first.bin"), dir.file("third.bin")});
    QCOMPARE(w.text(dialog::kFileName).toStdString(), dir.file("second.bin"));
    QCOMPARE(w.text(dialog::kCrcText).toStdString(), hex4(Crc16::of(second)));
    QCOMPARE(w.bar()->maximum(), 3);
    QVERIFY(w.closer.boxes.empty());
    w.key(Qt::Key_Escape);
}

void WindowTest::downloadAtAnUnlistedRateRunsAt9600WithTheRealBoxes() {
    TempDir dir;
    ScopedEnv mailslots("XDG_RUNTIME_DIR", dir.path().string());
    platform::MailslotListener trace;
    QVERIFY(trace.create("DebugComm_px417"));
    UnitSimulator sim;
    sim.start();
    const std::string stored = "Port," + sim.devicePath() + "\r\nBaudrate,4800\r\n";
    writeText(dir.file("vsk_download_config.txt"), stored);
    Bytes body = makeImage(1500);
    std::fill(body.begin() + 492, body.begin() + 738, 0xFF);  // a blank block, passed over
    const Bytes file = sealed(Bytes(body.begin(), body.end() - 2));
    writeFile(dir.file("image.bin"), file);
    writeFile(dir.file("other.bin"), makeImage(600));

    Window w(dir.path().string() + "/");
    QCOMPARE(w.text(dialog::kPortList).toStdString(), sim.devicePath());
    QCOMPARE(w.text(dialog::kBaudList), QString());
    w.drop({dir.file("image.bin")});
    w.click(dialog::kStartDownload);
    QVERIFY(w.running());
    for (int id : dialog::kOperatorControls) QVERIFY(!w.enabled(id));
    w.drop({dir.file("other.bin")});  // ignored while the download runs
    // The library traces every request; a listener that stops reading would slow it down.
    std::vector<std::string> opens;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (std::string m;
                 trace.receive(m, std::chrono::milliseconds(0)) == platform::MailslotListener::Receive::Message;)
                if (m.find("Method: Open\r\n") != std::string::npos) opens.push_back(m);
            return !w.running();
        },
        kDeadlineMs));

    QCOMPARE(w.closer.boxes.size(), std::size_t{1});
    const ShownBox& box = w.closer.boxes.front();
    QCOMPARE(box.caption, kTitle);
    QCOMPARE(box.text, successText(sim, file));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.progress, 6);  // the short last block moves the bar no further
    QCOMPARE(w.bar()->value(), 0);
    QCOMPARE(sim.memory(0, static_cast<std::uint32_t>(file.size())), file);
    QCOMPARE(sim.blocks().size(), std::size_t{6});
    QCOMPARE(w.text(dialog::kFileName).toStdString(), dir.file("image.bin"));
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));

    // Opened at the rate used without a selection.
    QCOMPARE(opens.size(), std::size_t{1});
    QVERIFY2(opens[0].find("Argument1: 9600\r\n") != std::string::npos, opens[0].c_str());

    w.key(Qt::Key_Escape);
    QCOMPARE(slurp(dir.file("vsk_download_config.txt")), "Baudrate,4800\r\nPort," + sim.devicePath() + "\r\n");
}

void WindowTest::failureBoxThenASecondDownloadSucceeds() {
    TempDir dir;
    SimConfig config;
    config.faults.neverDisable = true;
    UnitSimulator sim(config);
    sim.start();
    const std::string stored = "Port," + sim.devicePath() + "\r\nBaudrate,38400\r\n";
    writeText(dir.file("vsk_download_config.txt"), stored);
    const Bytes file = makeImage(800);
    writeFile(dir.file("image.bin"), file);

    Window w(dir.path().string() + "/");
    w.drop({dir.file("image.bin")});
    w.click(dialog::kStartDownload);
    QVERIFY(w.waitUntilIdle());
    QCOMPARE(w.closer.boxes.size(), std::size_t{1});
    QCOMPARE(w.closer.boxes[0].caption, QString("ERROR:Unit is not disabled/connected"));
    QCOMPARE(w.closer.boxes[0].text,
             QString("Make sure unit is connected and turned on.\nMake sure unit is not enabled."));
    QCOMPARE(w.closer.boxes[0].icon, QMessageBox::Information);
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));
    QCOMPARE(w.text(dialog::kStatusLine), QString());
    QVERIFY(!w.window.dialog().core()->isConnected());

    sim.setFaults({});
    w.click(dialog::kStartDownload);
    QVERIFY(w.waitUntilIdle());
    QCOMPARE(w.closer.boxes.size(), std::size_t{2});
    QCOMPARE(w.closer.boxes[1].text, successText(sim, file));
    QCOMPARE(sim.memory(0, static_cast<std::uint32_t>(file.size())), file);
    w.key(Qt::Key_Escape);
}

// The settings' StallTimeout stops a unit that stays busy, as the command line's option does.
void WindowTest::aDownloadWithoutProgressStopsAtTheStallLimit() {
    TempDir dir;
    SimConfig config;
    config.faults.busyForeverBlock = true;
    UnitSimulator sim(config);
    sim.start();
    const std::string stored = "Baudrate,38400\r\nPort," + sim.devicePath() + "\r\nStallTimeout,1\r\n";
    writeText(dir.file("vsk_download_config.txt"), stored);
    writeFile(dir.file("image.bin"), makeImage(1000));

    Window w(dir.path().string() + "/");
    w.drop({dir.file("image.bin")});
    w.click(dialog::kStartDownload);
    QVERIFY(w.waitUntilIdle());
    QCOMPARE(w.closer.boxes.size(), std::size_t{1});
    QCOMPARE(w.closer.boxes[0].caption, QString("No progress"));
    QVERIFY2(w.closer.boxes[0].text.startsWith("The download made no progress for 1 s, waiting for ready after a "
                                               "block; the unit kept answering busy (D4 80).\nThe session was closed."),
             qPrintable(w.closer.boxes[0].text));
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));
    QVERIFY(!w.window.dialog().core()->isConnected());
    w.key(Qt::Key_Escape);
    QCOMPARE(slurp(dir.file("vsk_download_config.txt")), stored);
}

void WindowTest::escapeDuringADownloadEndsAtOnce() {
    TempDir dir;
    SimConfig config;
    config.faults.busyForeverBlock = true;  // the download waits in state 5 for ever
    UnitSimulator sim(config);
    sim.start();
    const std::string stored = "Port," + sim.devicePath() + "\r\nBaudrate,38400\r\n";
    writeText(dir.file("vsk_download_config.txt"), stored);
    writeFile(dir.file("image.bin"), makeImage(1000));

    Window w(dir.path().string() + "/");
    const std::string library = w.window.dialog().libraryPath();
    w.drop({dir.file("image.bin")});
    w.click(dialog::kStartDownload);
    QVERIFY(QTest::qWaitFor([&] { return sim.blocks().size() >= 1; }, kDeadlineMs));
    QVERIFY(w.running());

    w.key(Qt::Key_Escape);
    QCOMPARE(w.exitCode, 2);
    QVERIFY(w.closer.boxes.empty());  // no question asked
    QVERIFY(!w.window.dialog().core()->isConnected());
    QVERIFY(!fs::exists(library));
    // The worker has ended and the library has closed the port: another program may open it now.
    HostPort host(sim.devicePath());
    QVERIFY(host.isOpen());
    QCOMPARE(slurp(dir.file("vsk_download_config.txt")), "Baudrate,38400\r\nPort," + sim.devicePath() + "\r\n");
    // Ended, not left begun: this process is still alive, so nobody else would mark it.
    const auto attempts = openRecordStore(dir.file("records.sqlite"))->query({});
    QCOMPARE(attempts.size(), std::size_t{1});
    QCOMPARE(attempts[0].outcome, std::string("interrupted"));
    QVERIFY(!attempts[0].ended_at.empty());
}

// An installed copy: the program's directory takes no files, so the library goes to a private
// directory and the settings to the user's configuration directory. With no place at all for
// the library, the two commands say why nothing can happen.
void WindowTest::installedCopyWorksAndNoLibraryPlaceIsExplained() {
    TempDir dir;
    const std::string programDir = dir.file("not-writable") + "/";  // missing: even root cannot write there
    fs::create_directory(dir.path() / "tmp");
    ScopedEnv config("XDG_CONFIG_HOME", dir.file("config"));
    const std::string settings = dir.file("config/unit-loader/vsk_download_config.txt");
    UnitSimulator sim;
    sim.start();
    {
        ScopedEnv tmp("TMPDIR", dir.file("tmp"));
        Window w(programDir, dir.file("records.sqlite"));
        QVERIFY(w.window.dialog().hasSession());
        QCOMPARE(w.window.dialog().settingsPath(), settings);
        QCOMPARE(slurp(settings), std::string("Baudrate,9600\r\nPort,COM1\r\n"));
        const fs::path library = w.window.dialog().libraryPath();
        QCOMPARE(library.parent_path().parent_path(), dir.path() / "tmp");
        QCOMPARE(fs::status(library.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

        qobject_cast<QComboBox*>(w.window.control(dialog::kPortList))
            ->setEditText(QString::fromStdString(sim.devicePath()));  // typed by the operator
        qobject_cast<QComboBox*>(w.window.control(dialog::kBaudList))->setCurrentIndex(2);
        w.click(dialog::kVersionCheck);
        QVERIFY(w.waitUntilIdle());
        QCOMPARE(w.text(dialog::kVersionText), QString("SIM-UNIT 2.07"));
        w.key(Qt::Key_Escape);
        QVERIFY(!fs::exists(library.parent_path()));
        QCOMPARE(slurp(settings), "Baudrate,38400\r\nPort," + sim.devicePath() + "\r\n");
    }
    {
        ScopedEnv tmp("TMPDIR", dir.file("missing"));
        Window w(programDir, dir.file("records.sqlite"));
        QVERIFY(!w.window.dialog().hasSession());
        QVERIFY(w.window.dialog().libraryPath().empty());
        writeFile(dir.file("image.bin"), makeImage(600));
        w.drop({dir.file("image.bin")});
        QCOMPARE(w.text(dialog::kFileName).toStdString(), dir.file("image.bin"));
        w.click(dialog::kStartDownload);
        w.click(dialog::kVersionCheck);
        QCOMPARE(w.closer.boxes.size(), std::size_t{2});
        for (const auto& box : w.closer.boxes) {
            QCOMPARE(box.caption, kTitle);
            QVERIFY2(box.text.startsWith("The protocol library could not be written"), qPrintable(box.text));
            QCOMPARE(box.icon, QMessageBox::NoIcon);
        }
        QVERIFY(!w.running());
        w.window.close();
        QCOMPARE(w.exitCode, 2);
    }
}

// Two boxes that differ only in their captions: each box leaves room for its whole caption in a
// bold title font beside a frame's icon and buttons, which a window manager would otherwise cut
// ("ERROR: Dow...ot selected").
void WindowTest::errorBoxesShowTheirWholeCaption() {
    TempDir dir;
    Bytes broken = makeImage(600);
    broken.back() ^= 1;
    writeFile(dir.file("broken.bin"), broken);
    Window w(dir.path().string() + "/");
    w.click(dialog::kStartDownload);
    w.drop({dir.file("broken.bin")});
    QCOMPARE(w.closer.boxes.size(), std::size_t{2});
    QCOMPARE(w.closer.boxes[0].caption, QString("ERROR: Download file is not selected"));
    QCOMPARE(w.closer.boxes[1].caption, QString("ERROR: Invalid download file"));
    QFont title = QApplication::font();
    title.setBold(true);
    const QFontMetrics metrics(title);
    for (const auto& box : w.closer.boxes) {
        QCOMPARE(box.text, QString("Select a valid software."));
        // An icon and three buttons of a line's height each.
        const int frame = metrics.horizontalAdvance(box.caption) + 4 * metrics.height();
        QVERIFY2(box.width >= frame, qPrintable(QString("%1: %2 < %3").arg(box.caption).arg(box.width).arg(frame)));
    }
    w.key(Qt::Key_Escape);
}

void WindowTest::portAndFileFailuresSayWhyBelowTheBox_data() {
    QTest::addColumn<QString>("port");  // {sim}: the simulated unit's device; {dir}: the test's directory
    QTest::addColumn<QString>("drop");  // a file to drop and load, else a version check
    QTest::addColumn<QString>("text");

    const QString portBox = "Failed in the initialization of the communication port.\n\n";
    QTest::newRow("missing device") << "{dir}/ttyNone"
                                    << "" << portBox + "Port {dir}/ttyNone: no such device.";
    QTest::newRow("a bare name") << "ttyNoSuch7"
                                 << "" << portBox + "Port ttyNoSuch7 (/dev/ttyNoSuch7): no such device.";
    QTest::newRow("held by another program") << "{sim}"
                                             << "" << portBox + "Port {sim}: in use by another program.";
    QTest::newRow("file is a directory") << "{sim}"
                                         << "{dir}"
                                         << "File Open Error\n\nFile {dir}: a directory, not a file.";
}

void WindowTest::portAndFileFailuresSayWhyBelowTheBox() {
    QFETCH(QString, port);
    QFETCH(QString, drop);
    QFETCH(QString, text);
    TempDir dir;
    UnitSimulator sim;
    sim.start();
    for (QString* s : {&port, &drop, &text}) {
        s->replace("{sim}", QString::fromStdString(sim.devicePath()));
        s->replace("{dir}", QString::fromStdString(dir.path().string()));
    }
    writeText(dir.file("vsk_download_config.txt"), "Port," + port.toStdString() + "\nBaudrate,38400\n");
    HostPort holder(sim.devicePath());  // another program's hold on the unit's line
    QVERIFY(holder.isOpen());

    Window w(dir.path().string() + "/");
    QCOMPARE(w.text(dialog::kPortList), port);
    if (drop.isEmpty()) {
        w.click(dialog::kVersionCheck);
    } else {
        w.drop({drop.toStdString()});
    }
    QCOMPARE(w.closer.boxes.size(), std::size_t{1});
    QCOMPARE(w.closer.boxes[0].caption, kTitle);
    QCOMPARE(w.closer.boxes[0].text, text);
    QCOMPARE(w.closer.boxes[0].icon, QMessageBox::NoIcon);
    w.key(Qt::Key_Escape);
}

// A large file takes seconds to read: the window stays drawn and answers meanwhile, with its
// controls off, and Escape still closes it at once.
void WindowTest::aLargeFileIsReadWhileTheWindowStaysAlive() {
    TempDir dir;
    // Zeros: a valid download file (the CRC of zeros is zero), sparse on disk.
    const std::string big = dir.file("big.bin");
    const std::uint32_t size = 128u << 20;
    { std::ofstream create(big); }
    fs::resize_file(big, size);
    writeFile(dir.file("small.bin"), makeImage(1000));
    Window w(dir.path().string() + "/");
    const std::string library = w.window.dialog().libraryPath();

    w.drop({big}, false);
    // The drop has returned before the file was read: the window can be drawn.
    QVERIFY(w.reading());
    for (int id : dialog::kOperatorControls) QVERIFY(!w.enabled(id));
    QCOMPARE(w.text(dialog::kStatusLine), QString("Reading the download file"));
    QCOMPARE(w.window.cursor().shape(), Qt::BusyCursor);
    QCOMPARE(w.text(dialog::kFileName), QString());
    w.drop({dir.file("small.bin")}, false);  // ignored meanwhile
    w.click(dialog::kStartDownload);
    QVERIFY(w.waitForTheFile());
    QCOMPARE(w.text(dialog::kFileName).toStdString(), big);
    QCOMPARE(w.text(dialog::kCrcText), QString("0000"));
    QCOMPARE(w.bar()->maximum(), static_cast<int>((size + 245) / 246));
    QCOMPARE(w.text(dialog::kStatusLine), QString());
    QCOMPARE(w.window.cursor().shape(), Qt::ArrowCursor);
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));
    QVERIFY(w.closer.boxes.empty());
    QVERIFY(!w.running());

    w.drop({big}, false);
    QVERIFY(w.reading());
    w.key(Qt::Key_Escape);
    QCOMPARE(w.exitCode, 2);
    QVERIFY(!w.reading());
    QVERIFY(!fs::exists(library));
    QTest::qWait(50);  // anything the reader had posted comes to nothing
    QVERIFY(w.closer.boxes.empty());
}

void WindowTest::signalsCloseTheProgramAsTheCloseBoxDoes_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int{SIGTERM};
    QTest::newRow("SIGHUP, the desktop session ends") << int{SIGHUP};
    QTest::newRow("SIGINT") << int{SIGINT};
}

// The program itself, in a directory of its own: a signal saves the settings and deletes the
// library file, as the close box does, and the exit code is the close box's.
void WindowTest::signalsCloseTheProgramAsTheCloseBoxDoes() {
    QFETCH(int, signal);
    TempDir dir;
    const std::string program = dir.file("unit-loader");
    fs::copy_file(UL_WINDOW_PROGRAM, program);
    writeText(dir.file("vsk_download_config.txt"), "Port,ttyS0\nBaudrate,19200\n");
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen"};
#if defined(__SANITIZE_THREAD__)
    // The program is built with the thread sanitizer too, and Qt's own locks are as invisible to
    // it there: it gets this test's suppressions.
    writeText(dir.file("tsan.supp"), __tsan_default_suppressions());
    const char* options = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") + (options ? options : "") + ":suppressions=" + dir.file("tsan.supp"));
#endif
    clitest::Process p({program}, env);
    const std::string library = dir.file("px417." + std::to_string(p.pid()) + ".so");
    QVERIFY(QTest::qWaitFor([&] { return fs::exists(library); }, kDeadlineMs));

    p.signal(signal);
    const clitest::Finished f = p.finish(std::chrono::milliseconds(kDeadlineMs));
    QVERIFY(!f.timedOut);
    QVERIFY2(f.exited, qPrintable(QString("ended by signal %1").arg(f.code)));
    QCOMPARE(f.code, 2);
    QVERIFY(!fs::exists(library));
    QCOMPARE(slurp(dir.file("vsk_download_config.txt")), std::string("Baudrate,19200\r\nPort,ttyS0\r\n"));
}

// A records file that cannot be made stops the run before anything is sent; then a failed and a
// passed download and a version check are recorded, and History shows them newest first, filters
// them and shows every field of one.
void WindowTest::everyRunIsRecordedAndTheHistoryShowsIt() {
    TempDir dir;
    SimConfig config;
    config.faults.neverDisable = true;
    UnitSimulator sim(config);
    sim.start();
    writeText(dir.file("vsk_download_config.txt"), "Port," + sim.devicePath() + "\r\nBaudrate,38400\r\n");
    const Bytes file = makeImage(800);
    writeFile(dir.file("image.bin"), file);
    writeText(dir.file("not-a-folder"), "x");
    const std::string records = dir.file("records.sqlite");

    Window w(dir.path().string() + "/");
    w.window.showHistory();
    auto* history = w.window.history();
    QVERIFY(history);
    QCOMPARE(history->findChild<QTableWidget*>("attempts")->rowCount(), 0);
    QVERIFY(history->findChild<QLabel*>("summary")->text().startsWith("No attempts recorded yet"));
    QVERIFY(!fs::exists(records));  // looking makes no file
    history->close();

    w.drop({dir.file("image.bin")});
    {
        ScopedEnv unusable("UNIT_LOADER_RECORDS", dir.file("not-a-folder") + "/records.sqlite");
        w.click(dialog::kStartDownload);
        QVERIFY(w.waitUntilIdle());
    }
    QCOMPARE(w.closer.boxes.size(), std::size_t{1});
    QCOMPARE(w.closer.boxes[0].caption, QString("Record error"));
    QVERIFY(sim.frameLog().empty());
    for (int id : dialog::kOperatorControls) QVERIFY(w.enabled(id));

    w.click(dialog::kStartDownload);  // the unit never disables
    QVERIFY(w.waitUntilIdle());
    sim.setFaults({});
    w.click(dialog::kStartDownload);
    QVERIFY(w.waitUntilIdle());
    w.click(dialog::kVersionCheck);
    QVERIFY(w.waitUntilIdle());
    QCOMPARE(w.closer.boxes.size(), std::size_t{3});
    QCOMPARE(w.closer.boxes[2].text, successText(sim, file));

    w.window.showHistory();
    history = w.window.history();
    auto* table = history->findChild<QTableWidget*>("attempts");
    auto* outcomes = history->findChild<QComboBox*>("outcomeFilter");
    auto* details = history->findChild<QPlainTextEdit*>("details");
    QCOMPARE(table->rowCount(), 3);
    auto cell = [&](int row, int column) { return table->item(row, column)->text(); };
    QCOMPARE(cell(0, 1), QString("version"));
    QCOMPARE(cell(1, 1), QString("download"));
    QCOMPARE(cell(1, 3), QString("success"));
    QCOMPARE(cell(2, 1), QString("download"));
    QVERIFY(cell(2, 3) != "success");
    QCOMPARE(cell(0, 2), QString::fromStdString(sim.devicePath()));
    QVERIFY(cell(0, 0) > cell(1, 0) && cell(1, 0) > cell(2, 0));
    QVERIFY2(details->toPlainText().contains("unit_version: " + QString::fromStdString(config.unit.versionText)),
             qPrintable(details->toPlainText()));

    outcomes->setCurrentIndex(outcomes->findText(cell(2, 3)));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(cell(0, 1), QString("download"));
    const QString text = details->toPlainText();
    QVERIFY2(text.contains("box_caption: ERROR:Unit is not disabled/connected"), qPrintable(text));
    QVERIFY(text.contains("file_size: 800\n"));
    QVERIFY(text.contains("baud: 38400\n"));
    history->close();
    w.key(Qt::Key_Escape);
}

// The settings' "RecordsServer" line: the window's attempt is on the server by the time the
// window has closed.
void WindowTest::theSettingsRecordsServerGetsTheWindowsAttempts() {
    QString state = QString::fromStdString(slurp(qEnvironmentVariable("UL_PG_STATE").toStdString())).trimmed();
    if (state.isEmpty()) {
        if (qEnvironmentVariableIsSet("CI")) QFAIL("no PostgreSQL 15 (Debian package postgresql-15)");
        QSKIP("SKIPPED: no PostgreSQL 15 (Debian package postgresql-15)");
    }
    const std::string server = state.toStdString();
    ScopedEnv pgpass("PGPASSFILE", server + "/pgpass");
    const std::string url = "postgresql://ul@/postgres?host=" + server;
    TempDir dir;
    UnitSimulator sim;
    sim.start();
    writeText(dir.file("vsk_download_config.txt"),
              "Port," + sim.devicePath() + "\r\nBaudrate,38400\r\nRecordsServer," + url + "\r\n");
    {
        Window w(dir.path().string() + "/");
        w.click(dialog::kVersionCheck);
        QVERIFY(w.waitUntilIdle());
        w.key(Qt::Key_Escape);
        QCOMPARE(w.exitCode, 2);
    }
    const auto local = openRecordStore(dir.file("records.sqlite"))->query({});
    QCOMPARE(local.size(), std::size_t{1});
    AttemptFilter one;
    one.id = local[0].id;
    const auto remote = connectRecordServer(url, std::chrono::seconds(10))->query(one);
    QCOMPARE(remote.size(), std::size_t{1});
    QCOMPARE(remote[0].outcome, std::string("success"));
    QCOMPARE(remote[0].unit_version, local[0].unit_version);
}

// The station's window driven as an operator at the line would: units put in and taken out,
// ids typed by a scanner (text and Enter), an alarm acknowledged, the station paused and
// resumed, and the window closed while a unit loads. The runs are the built command line's.
void WindowTest::aStationOfTwoSlotsScansPausesAlarmsAndClosesCleanly() {
    TempDir dir;
    const Bytes image = makeImage(3000);
    writeFile(dir.file("fw.bin"), image);
    std::vector<std::unique_ptr<UnitSimulator>> sims;
    for (int i = 0; i < 2; ++i) {
        SimConfig config;
        config.startAbsent = true;
        sims.push_back(std::make_unique<UnitSimulator>(config));
        sims.back()->start();
    }
    writeText(dir.file("job.toml"),
              "name = \"Line 2 refurbish\"\nimage = \"fw.bin\"\nimage_sha256 = \"" + sha256Hex(image) +
                  "\"\nexpect_version = \"SIM-UNIT 2.07\"\nbaud = 38400\n"
                  "stop_after_failures = 1\nunit_id = \"scan\"\n"
                  "[[slot]]\nname = \"A\"\nport = \"" +
                  sims[0]->devicePath() + "\"\n[[slot]]\nname = \"B\"\nport = \"" + sims[1]->devicePath() + "\"\n");
    // Opened from the loader's window, as an operator would (Ctrl+J): its records go where the
    // window's go, its runs through the command line of this build.
    Window w(dir.path().string() + "/");
    w.window.fileChooser = [&](QWidget*, const std::string&) { return std::optional(dir.file("job.toml")); };
    w.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    QTest::keySequence(&w.window, QKeySequence(Qt::CTRL | Qt::Key_J));
    QPointer<QtStationWindow> opened = w.window.station();
    QVERIFY(opened);
    QtStationWindow& station = *opened;

    auto tile = [&](const char* slot) { return station.findChild<QFrame*>(QString("slot-") + slot); };
    auto label = [&](const char* slot, const char* name) { return tile(slot)->findChild<QLabel*>(name)->text(); };
    auto reach = [&](const char* slot, const QString& state) {
        const bool reached = QTest::qWaitFor([&] { return label(slot, "state") == state; }, kDeadlineMs);
        if (!reached) qWarning() << slot << "is" << label(slot, "state") << label(slot, "detail");
        return reached;
    };
    auto scan = [&](const char* slot, const char* id) {
        auto* field = tile(slot)->findChild<QLineEdit*>("scan");
        QTest::keyClicks(field, id);
        QTest::keyClick(field, Qt::Key_Return);
    };
    auto button = [&](const char* slot) { return tile(slot)->findChild<QPushButton*>("pause"); };
    auto* banner = station.findChild<QFrame*>("alarm");
    auto* pauseStation = station.findChild<QPushButton*>("pauseStation");
    auto* counters = station.findChild<QLabel*>("counters");

    // Both units in; only B's id is scanned. A, in place all along, waits for its scan.
    Faults badVerify;
    badVerify.forceResult80 = true;
    sims[0]->connect({}, badVerify);
    sims[1]->connect({}, {});
    QVERIFY(reach("A", "WAITING"));
    scan("B", "SN-B-1");
    QVERIFY(reach("B", "PASS"));
    QCOMPARE(label("A", "state"), QString("WAITING"));
    QCOMPARE(label("A", "detail"), QString("scan the unit's id"));
    QCOMPARE(label("B", "version"), QString("version \"SIM-UNIT 2.07\""));

    // A fails: the reason in words, an alarm, and the slot paused once the unit is out; it
    // cannot be resumed before the alarm is acknowledged.
    scan("A", "SN-A-1");
    QVERIFY(reach("A", "FAIL"));
    QCOMPARE(label("A", "detail"), QString("warning: Premature Termination"));
    QVERIFY(QTest::qWaitFor([&] { return banner->isVisible(); }, kDeadlineMs));
    QVERIFY2(station.findChild<QLabel*>("alarmText")->text().contains("Slot A: 1 failures in a row"),
             qPrintable(station.findChild<QLabel*>("alarmText")->text()));
    sims[0]->remove();
    QVERIFY(reach("A", "PAUSED"));
    QCOMPARE(label("A", "detail"), QString("paused after an alarm"));
    QCOMPARE(button("A")->text(), QString("Resume"));
    QVERIFY(!button("A")->isEnabled());
    QTest::mouseClick(station.findChild<QPushButton*>("acknowledge"), Qt::LeftButton);
    QVERIFY(!banner->isVisible());
    QVERIFY(button("A")->isEnabled());

    // The whole station paused: B takes no new unit once its last one is out; resuming the
    // station resumes A too.
    QTest::mouseClick(pauseStation, Qt::LeftButton);
    sims[1]->remove();
    QVERIFY(reach("B", "PAUSED"));
    QCOMPARE(label("B", "detail"), QString("the station is paused"));
    sims[0]->connect({}, {});
    scan("A", "SN-A-2");
    QCOMPARE(label("A", "state"), QString("PAUSED"));
    QTest::mouseClick(pauseStation, Qt::LeftButton);
    QVERIFY(reach("A", "PASS"));
    QVERIFY(reach("B", "WAITING"));
    QVERIFY2(counters->text().contains("PASS 2") && counters->text().contains("FAIL 1") &&
                 counters->text().contains("66.7%"),
             qPrintable(counters->text()));
    auto* chart = station.findChild<QChartView*>("yieldChart")->chart();
    auto* yield = qobject_cast<QLineSeries*>(chart->series().at(0));
    QCOMPARE(yield->count(), 3);
    QCOMPARE(yield->at(0).y(), 100.0);
    QCOMPARE(yield->at(1).y(), 50.0);

    // Closed while B loads (a unit that stays busy after its first block): asked first, then the
    // download ends cleanly and is recorded as interrupted.
    Faults stuck;
    stuck.busyForeverBlock = true;
    const auto blocksBefore = sims[1]->counters().blocksStored;
    sims[1]->connect({}, stuck);
    scan("B", "SN-B-2");
    QVERIFY(reach("B", "LOADING"));
    QVERIFY(sims[1]->waitForBlocks(blocksBefore + 1, std::chrono::milliseconds(kDeadlineMs)));
    int asked = -1;
    station.confirmClose = [&](QWidget*, int loading) {
        asked = loading;
        return true;
    };
    station.close();
    QCOMPARE(asked, 1);
    QVERIFY(QTest::qWaitFor([&] { return !opened; }, kDeadlineMs));
    w.key(Qt::Key_Escape);
    QCOMPARE(w.exitCode, 2);

    // unit id: the outcomes of its runs, then its verdict (begun before them)
    std::map<std::string, std::vector<std::string>> outcomes;
    for (const Attempt& a : openRecordStore(dir.file("records.sqlite"))->query({}))
        outcomes[a.unit_id].push_back(a.kind + " " + (a.kind == "unit" ? a.verdict + " " : "") + a.outcome);
    using Runs = std::vector<std::string>;
    QCOMPARE(outcomes["SN-B-1"], (Runs{"version success", "download success", "unit pass success"}));
    QCOMPARE(outcomes["SN-A-1"], (Runs{"download warning", "unit fail warning"}));
    QCOMPARE(outcomes["SN-A-2"], (Runs{"version success", "download success", "unit pass success"}));
    QCOMPARE(outcomes["SN-B-2"], (Runs{"download interrupted", "unit interrupted interrupted"}));
    QCOMPARE(outcomes.size(), std::size_t{4});
}

// `unit-loader --station JOB` as a desktop session's end meets it: SIGTERM mid-download ends the
// download cleanly, records it, and the program exits 0.
void WindowTest::theStationProgramEndsItsDownloadOnASignal() {
    TempDir dir;
    const Bytes image = makeImage(3000);
    writeFile(dir.file("fw.bin"), image);
    UnitSimulator sim;
    Faults stuck;
    stuck.busyForeverBlock = true;
    sim.setFaults(stuck);
    sim.start();
    writeText(dir.file("job.toml"), "name = \"Bench\"\nimage = \"fw.bin\"\nimage_sha256 = \"" + sha256Hex(image) +
                                        "\"\nexpect_version = \"SIM-UNIT 2.07\"\nbaud = 38400\n[[slot]]\nname = "
                                        "\"A\"\nport = \"" +
                                        sim.devicePath() + "\"\n");
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "UNIT_LOADER_RECORDS=" + dir.file("records.sqlite")};
#if defined(__SANITIZE_THREAD__)
    writeText(dir.file("tsan.supp"), __tsan_default_suppressions());
    const char* options = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") + (options ? options : "") + ":suppressions=" + dir.file("tsan.supp"));
#endif
    clitest::Process p({UL_WINDOW_PROGRAM, "--station", dir.file("job.toml")}, env);
    QVERIFY(sim.waitForBlocks(1, std::chrono::milliseconds(kDeadlineMs)));
    p.signal(SIGTERM);
    const clitest::Finished f = p.finish(std::chrono::milliseconds(kDeadlineMs));
    QVERIFY(!f.timedOut);
    QVERIFY2(f.exited && f.code == 0, f.err.c_str());
    const auto rows = openRecordStore(dir.file("records.sqlite"))->query({});
    QCOMPARE(rows.size(), std::size_t{2});  // the download (the newer), and the unit's verdict
    QCOMPARE(rows[0].outcome, std::string("interrupted"));
    QVERIFY(rows[0].note.find("station job \"Bench\", slot A") != std::string::npos);
    QCOMPARE(rows[1].kind, std::string("unit"));
    QCOMPARE(rows[1].verdict, std::string("interrupted"));
    QCOMPARE(rows[0].verdict_id, rows[1].id);
}

// Sixteen slots named as a line names them (with spaces), a job name longer than the screen,
// a window of 1280 x 800: every tile is green on PASS and red on FAIL, and its state, reason
// and counts are whole and apart. The runs are the built command line's.
void WindowTest::sixteenSlotsWithSpacedNamesShowTheirColoursAndWordsWhole_data() {
    QTest::addColumn<bool>("scan");
    QTest::newRow("no ids") << false;
    QTest::newRow("scanned ids, a field and a line more") << true;
}

void WindowTest::sixteenSlotsWithSpacedNamesShowTheirColoursAndWordsWhole() {
    QFETCH(bool, scan);
    TempDir dir;
    const Bytes image = makeImage(3000);
    writeFile(dir.file("fw.bin"), image);
    const std::string jobName = "Refurbish line 2, night shift, " + std::string(90, 'x');
    std::string job = "name = \"" + jobName + "\"\nimage = \"fw.bin\"\nimage_sha256 = \"" + sha256Hex(image) +
                      "\"\nexpect_version = \"SIM-UNIT 2.07\"\nbaud = 38400\n" + (scan ? "unit_id = \"scan\"\n" : "");
    std::vector<std::unique_ptr<UnitSimulator>> sims;
    for (int i = 0; i < 16; ++i) {
        SimConfig config;
        config.startAbsent = true;
        sims.push_back(std::make_unique<UnitSimulator>(config));
        sims.back()->start();
        job += "[[slot]]\nname = \"Bay " + std::to_string(i + 1) + "\"\nport = \"" + sims.back()->devicePath() + "\"\n";
    }
    writeText(dir.file("job.toml"), job);

    QtStationWindow station;
    std::string error;
    QVERIFY2(station.start({dir.file("job.toml"), dir.file("records.sqlite"), ""}, error), error.c_str());
    // A 1280 x 800 screen less a title bar.
    const QSize screen(1280, 760);
    QVERIFY(station.minimumSizeHint().width() <= screen.width() &&
            station.minimumSizeHint().height() <= screen.height());
    station.resize(screen);
    station.show();
    QVERIFY(QTest::qWaitForWindowExposed(&station));
    QCOMPARE(station.size(), screen);
    QCOMPARE(station.findChild<QLabel*>("job")->toolTip().split('\n').at(0).toStdString(), jobName);

    Faults badVerify;
    badVerify.forceResult80 = true;
    for (int i = 0; i < 16; ++i) sims[static_cast<std::size_t>(i)]->connect({}, i % 4 == 3 ? badVerify : Faults{});
    auto tile = [&](int i) { return station.findChild<QFrame*>(QString("slot-Bay %1").arg(i + 1)); };
    auto label = [&](int i, const char* name) { return tile(i)->findChild<QLabel*>(name); };
    for (int i = 0; i < 16 && scan; ++i) {
        auto* field = tile(i)->findChild<QLineEdit*>("scan");
        QTest::keyClicks(field, QString("SN-%1").arg(i + 1));
        QTest::keyClick(field, Qt::Key_Return);
    }
    const bool ended = QTest::qWaitFor(
        [&] {
            for (int i = 0; i < 16; ++i)
                if (label(i, "state")->text() != (i % 4 == 3 ? "FAIL" : "PASS")) return false;
            return true;
        },
        3 * kDeadlineMs);
    for (int i = 0; i < 16 && !ended; ++i) qWarning() << i << label(i, "state")->text() << label(i, "detail")->text();
    QVERIFY(ended);
    QTest::qWait(50);  // the last events laid out

    for (int i = 0; i < 16; ++i) {
        const bool pass = i % 4 != 3;
        const QImage shot = tile(i)->grab().toImage();
        const QRgb colour = pass ? qRgb(0x2e, 0x9e, 0x44) : qRgb(0xc6, 0x28, 0x28);
        int coloured = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) coloured += (shot.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
        QVERIFY2(coloured * 2 > shot.width() * shot.height(), qPrintable(QString("tile %1").arg(i + 1)));

        // Every line shown whole, inside the tile, none over another.
        QList<QLabel*> shown;
        for (QLabel* l : tile(i)->findChildren<QLabel*>())
            if (l->isVisible()) shown << l;
        QVERIFY(shown.size() >= (scan ? 5 : 4));  // name, state, reason or version, counts, the id
        for (QLabel* l : shown) {
            const QString what = QString("tile %1, %2: %3").arg(i + 1).arg(l->objectName(), l->text());
            QVERIFY2(tile(i)->contentsRect().contains(l->geometry()), qPrintable(what));
            const int needed = l->wordWrap() ? l->heightForWidth(l->width()) : l->sizeHint().height();
            QVERIFY2(l->height() >= needed, qPrintable(what));
            if (!l->wordWrap() && l->objectName() != "name")
                QVERIFY2(l->width() >= l->sizeHint().width(), qPrintable(what));
            for (QLabel* other : shown)
                QVERIFY2(other == l || !other->geometry().intersects(l->geometry()), qPrintable(what));
        }
        QVERIFY(label(i, "results")->text().contains(pass ? "1 passed, 0 failed" : "0 passed, 1 failed"));
        if (!pass) QCOMPARE(label(i, "detail")->text(), QString("warning: Premature Termination"));
    }
    // A run this short counts its time in seconds, on whole ticks.
    auto* chart = station.findChild<QChartView*>("yieldChart")->chart();
    auto* time = qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).at(0));
    QCOMPARE(time->titleText(), QString("seconds"));
    QCOMPARE(time->tickInterval(), std::round(time->tickInterval()));
    station.stopAndClose();
    QVERIFY(QTest::qWaitFor([&] { return station.ended(); }, kDeadlineMs));
}

int main(int argc, char** argv) {
    // No display needed; a display still works when the platform is named.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowTest.moc"
