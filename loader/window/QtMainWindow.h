#pragma once

#include <QFont>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "window/DialogTemplate.h"
#include "window/MainDialog.h"

class QLabel;
class QtHistoryView;
class QtStationWindow;

// The operator's window in Qt Widgets: the controls of the dialog template, laid out in
// dialog units of the template font, and the event plumbing. Messages posted to the window
// (the worker's replies from its thread, SENDCANCEL from the window itself) travel as Qt
// posted events and reach MainDialog one at a time on the window's thread.
//
// Constructing it runs InitDialog; the window's widgets and names: each control's object name
// is its decimal id ("1006"), "-1" for the "CRC:" caption.
class QtMainWindow : public QWidget, public DialogWindow {
public:
    // `programDirectory`: see MainDialog (empty: the running program's directory).
    explicit QtMainWindow(std::string programDirectory = {});
    ~QtMainWindow() override;

    using QWidget::show;

    MainDialog& dialog() { return dialog_; }
    const MainDialog& dialog() const { return dialog_; }
    QWidget* control(int id) const;

    // The chooser of BROWSE; the toolkit's own file dialog unless replaced (tests).
    std::function<std::optional<std::string>(QWidget* parent, const std::string& title)> fileChooser;
    // Called with the exit code once the window has closed; ends the application's event loop
    // unless replaced.
    std::function<void(int)> quit;

    // Dialog base units of the template font, in pixels.
    int baseUnitX() const { return baseX_; }
    int baseUnitY() const { return baseY_; }

    // The recorded attempts, in a window of their own beside this one (Ctrl+H, or "History..."
    // on the window's context menu); read again each time it is opened.
    void showHistory();
    QtHistoryView* history() const { return history_; }

    // A production station's job, chosen as BROWSE chooses (Ctrl+J, or "Station job..." on the
    // context menu), in a window of its own beside this one; the one open is raised.
    void openStation();
    QtStationWindow* station() const { return station_; }

    // Safe from any thread; the payload belongs to the window from here on.
    bool post(Message message) override;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void centreOnDesktop() override;
    void setWindowIcons() override;
    void setDefaultGuiFont(int id) override;
    void setText(int id, const std::string& text) override;
    std::string text(int id) const override;
    void enable(int id, bool enabled) override;
    void show(int id, bool shown) override;
    void addListEntry(int id, const std::string& entry) override;
    void selectListEntry(int id, int index) override;
    void setProgressRange(int id, std::uint32_t maximum) override;
    void setProgressPosition(int id, std::uint32_t position) override;
    void messageBox(const std::string& caption, const std::string& text, BoxIcon icon) override;
    std::optional<std::string> chooseFile(const std::string& title) override;
    void destroyAndQuit(int exitCode) override;
    void setWatchTimer(std::optional<std::chrono::milliseconds> after) override;
    void showBusy(bool busy) override;

    void createControls();
    void placeLabel(QLabel* label);

    QFont templateFont_;
    QFont guiFont_;
    int baseX_ = 0;
    int baseY_ = 0;
    std::map<int, QWidget*> controls_;
    std::map<QLabel*, const dialog::Control*> labelTemplates_;
    // Qt hands a posted event over under a lock of its own that the thread sanitizer cannot see;
    // a release by the poster and an acquire by the receiver show it the same ordering.
    std::atomic<std::uint64_t> posted_{0};
    QTimer watchTimer_;
    QPointer<QtHistoryView> history_;
    QPointer<QtStationWindow> station_;
    MainDialog dialog_;  // last: it ends its session while the widgets still exist
};
