#include "window/QtMainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QUrl>
#include <algorithm>
#include <climits>
#include <cmath>

#include "window/QtHistoryView.h"
#include "window/QtStationWindow.h"

namespace {

// One event type carries every message of the window, as one registered number would.
class PostedMessage : public QEvent {
public:
    explicit PostedMessage(Message m) : QEvent(type()), message(std::move(m)) {}
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    Message message;
};

QString qs(const std::string& text) { return QString::fromStdString(text); }

int clampToInt(std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, INT_MAX)); }

}  // namespace

QtMainWindow::QtMainWindow(std::string programDirectory) : dialog_(*this, std::move(programDirectory)) {
    // Caption, system menu and minimize box; no maximize box, no sizing border.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(qs(dialog::kTitle));
    setAcceptDrops(true);
    PostedMessage::type();  // registered before any thread posts
    watchTimer_.setSingleShot(true);
    connect(&watchTimer_, &QTimer::timeout, this, [this] { dialog_.onWatchTimer(); });
    createControls();
    auto* history = new QAction("History...", this);
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    history->setShortcutContext(Qt::WindowShortcut);
    connect(history, &QAction::triggered, this, [this] { showHistory(); });
    addAction(history);
    auto* station = new QAction("Station job...", this);
    station->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
    station->setShortcutContext(Qt::WindowShortcut);
    connect(station, &QAction::triggered, this, [this] { openStation(); });
    addAction(station);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    dialog_.InitDialog();
}

void QtMainWindow::showHistory() {
    if (!history_) {
        history_ = new QtHistoryView(dialog_.recordsPath(), this);
        history_->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        history_->reload();
    }
    history_->show();
    history_->raise();
    history_->activateWindow();
}

void QtMainWindow::openStation() {
    if (station_) {
        station_->raise();
        station_->activateWindow();
        return;
    }
    std::optional<std::string> job;
    if (fileChooser) {
        job = fileChooser(this, "Open a station job");
    } else {
        const QString path =
            QFileDialog::getOpenFileName(this, "Open a station job", QString(), "Station jobs (*.toml);;All files (*)");
        if (!path.isEmpty()) job = QFile::encodeName(path).toStdString();
    }
    if (!job) return;
    auto* window = new QtStationWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    std::string error;
    if (!window->start({*job, dialog_.recordsPath(), {}}, error)) {
        delete window;
        QMessageBox::critical(this, "Station", qs(error));
        return;
    }
    station_ = window;
    window->show();
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::createControls() {
    // The template font in pixels as the window system makes it: points at the screen's
    // logical resolution, rounded. The default GUI font is the desktop's family at that size.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    const int pixels = static_cast<int>(std::lround(dialog::kFontPoints * dpi / 72.0));
    templateFont_ = QFont(qs(dialog::kFontFace));
    templateFont_.setPixelSize(pixels);
    guiFont_ = QApplication::font();
    guiFont_.setPixelSize(pixels);

    // Dialog base units: the average width of the alphabet and the character height.
    const QFontMetrics metrics(templateFont_);
    const int alphabet = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (alphabet / 26 + 1) / 2;
    baseY_ = metrics.height();
    const auto client = dialog::toPixels(0, 0, dialog::kClientWidth, dialog::kClientHeight, baseX_, baseY_);
    setFixedSize(client.width, client.height);

    QWidget* previous = nullptr;
    for (const auto& spec : dialog::kControls) {
        const auto r = dialog::toPixels(spec.x, spec.y, spec.width, spec.height, baseX_, baseY_);
        QWidget* widget = nullptr;
        switch (spec.kind) {
        case dialog::Kind::Edit: {
            auto* edit = new QLineEdit(this);
            edit->setReadOnly(true);
            // Read-only edits look like the window, as the window system draws them.
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, palette.color(QPalette::Window));
            edit->setPalette(palette);
            widget = edit;
            break;
        }
        case dialog::Kind::Label: {
            auto* label = new QLabel(qs(spec.text), this);
            label->setTextFormat(Qt::PlainText);
            const Qt::Alignment horizontal = spec.align == dialog::Align::Right    ? Qt::AlignRight
                                             : spec.align == dialog::Align::Centre ? Qt::AlignHCenter
                                                                                   : Qt::AlignLeft;
            label->setAlignment(horizontal | Qt::AlignTop);
            if (spec.border) {
                label->setFrameStyle(QFrame::Box | QFrame::Plain);
                label->setLineWidth(1);
                label->setAlignment(horizontal | Qt::AlignVCenter);
            }
            labelTemplates_[label] = &spec;
            widget = label;
            break;
        }
        case dialog::Kind::Button: {
            auto* button = new QPushButton(qs(spec.text), this);
            button->setAutoDefault(false);
            const int id = spec.id;
            connect(button, &QPushButton::clicked, this, [this, id] { dialog_.onCommand(id); });
            widget = button;
            break;
        }
        case dialog::Kind::DropList: {
            auto* list = new QComboBox(this);
            if (spec.id == dialog::kPortList) {
                // The operator may type a device path, such as a simulated unit's terminal.
                list->setEditable(true);
                list->setInsertPolicy(QComboBox::NoInsert);
                list->lineEdit()->setAcceptDrops(false);
            }
            widget = list;
            break;
        }
        case dialog::Kind::ProgressBar: {
            auto* bar = new QProgressBar(this);
            bar->setTextVisible(false);
            bar->setRange(0, 100);  // the window system's default until a file sets it
            bar->setValue(0);
            widget = bar;
            break;
        }
        }
        widget->setObjectName(QString::number(spec.id));
        widget->setFont(templateFont_);
        widget->setAcceptDrops(false);  // files dropped anywhere go to the window
        if (auto* list = qobject_cast<QComboBox*>(widget)) {
            // The template's height includes the dropped-down list; the field keeps its own.
            const int field = list->sizeHint().height();
            list->setGeometry(r.x, r.y, r.width, field);
            const int item = QFontMetrics(templateFont_).height() + 2;
            list->setMaxVisibleItems(std::max(1, (r.height - field) / item));
        } else {
            widget->setGeometry(r.x, r.y, r.width, r.height);
        }
        if (auto* label = qobject_cast<QLabel*>(widget)) placeLabel(label);
        if (widget->focusPolicy() != Qt::NoFocus && !qobject_cast<QLabel*>(widget)) {
            if (previous) setTabOrder(previous, widget);
            previous = widget;
        }
        controls_[spec.id] = widget;
    }
}

// Labels of the window system paint into their parent, so a text wider than its box shows
// whole, growing to the side its alignment leaves open. Bordered ones keep their box.
void QtMainWindow::placeLabel(QLabel* label) {
    const auto it = labelTemplates_.find(label);
    if (it == labelTemplates_.end()) return;
    const auto& spec = *it->second;
    auto r = dialog::toPixels(spec.x, spec.y, spec.width, spec.height, baseX_, baseY_);
    if (!spec.border) {
        const QFontMetrics metrics(label->font());
        const int needed = metrics.horizontalAdvance(label->text());
        if (needed > r.width) {
            if (spec.align == dialog::Align::Right) r.x -= needed - r.width;
            if (spec.align == dialog::Align::Centre) r.x -= (needed - r.width + 1) / 2;
            r.width = needed;
        }
        r.height = std::max(r.height, metrics.height());
    }
    label->setGeometry(r.x, r.y, r.width, r.height);
}

QWidget* QtMainWindow::control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

bool QtMainWindow::post(Message message) {
    auto* event = new PostedMessage(std::move(message));
    posted_.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
    return true;
}

bool QtMainWindow::event(QEvent* event) {
    // Before the event is read at all: a worker's event was made on the worker's thread.
    posted_.load(std::memory_order_acquire);
    if (event->type() == PostedMessage::type()) {
        dialog_.onMessage(static_cast<PostedMessage*>(event)->message);
        return true;
    }
    return QWidget::event(event);
}

void QtMainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape: dialog_.onCommand(dialog::kIdCancel); break;
    case Qt::Key_Return:
    case Qt::Key_Enter: dialog_.onCommand(dialog::kIdOk); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (dialog_.closed()) {
        event->accept();
        return;
    }
    // The window goes away through CloseAndQuit, which hides it and ends the loop.
    event->ignore();
    dialog_.onCommand(dialog::kIdCancel);
}

void QtMainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void QtMainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void QtMainWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    event->acceptProposedAction();
    dialog_.onDrop(paths);
}

void QtMainWindow::centreOnDesktop() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void QtMainWindow::setWindowIcons() {
    // One 32 x 32 image; the toolkit scales it for the small and the large icon.
    setWindowIcon(QIcon(":/unit-loader/unit-loader.ico"));
}

void QtMainWindow::setDefaultGuiFont(int id) {
    if (id == 0) {
        setFont(guiFont_);
        return;
    }
    QWidget* widget = control(id);
    if (!widget) return;
    widget->setFont(guiFont_);
    if (auto* label = qobject_cast<QLabel*>(widget)) placeLabel(label);
}

void QtMainWindow::setText(int id, const std::string& text) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(qs(text));
        edit->setCursorPosition(0);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(qs(text));
        placeLabel(label);
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(qs(text));
    } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
        if (list->isEditable()) list->setEditText(qs(text));
    }
}

std::string QtMainWindow::text(int id) const {
    QWidget* widget = control(id);
    if (auto* list = qobject_cast<QComboBox*>(widget)) return list->currentText().toStdString();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text().toStdString();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text().toStdString();
    return {};
}

void QtMainWindow::enable(int id, bool enabled) {
    if (QWidget* widget = control(id)) widget->setEnabled(enabled);
}

void QtMainWindow::show(int id, bool shown) {
    if (QWidget* widget = control(id)) widget->setVisible(shown);
}

void QtMainWindow::addListEntry(int id, const std::string& entry) {
    if (auto* list = qobject_cast<QComboBox*>(control(id))) list->addItem(qs(entry));
}

void QtMainWindow::selectListEntry(int id, int index) {
    if (auto* list = qobject_cast<QComboBox*>(control(id))) list->setCurrentIndex(index);
}

void QtMainWindow::setProgressRange(int id, std::uint32_t maximum) {
    if (auto* bar = qobject_cast<QProgressBar*>(control(id))) bar->setRange(0, clampToInt(maximum));
}

void QtMainWindow::setProgressPosition(int id, std::uint32_t position) {
    // Out of range the bar stands at its end, as the window system's bar does.
    if (auto* bar = qobject_cast<QProgressBar*>(control(id)))
        bar->setValue(std::clamp(clampToInt(position), bar->minimum(), bar->maximum()));
}

void QtMainWindow::messageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
    QMessageBox box(icon == BoxIcon::Information ? QMessageBox::Information : QMessageBox::NoIcon, qs(caption),
                    qs(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // A box is only as wide as its text, and the window manager cuts a caption wider than the
    // frame, yet the caption is what tells "ERROR: Download file is not selected" from
    // "ERROR: Invalid download file" (the same text). Room for it in a bold title font, and on
    // both sides of it for a frame's icon and buttons, so that a centred caption fits too.
    QFont title = box.font();
    title.setBold(true);
    const QFontMetrics metrics(title);
    const int wanted = metrics.horizontalAdvance(qs(caption)) + 8 * metrics.height();
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    box.exec();
}

std::optional<std::string> QtMainWindow::chooseFile(const std::string& title) {
    if (fileChooser) return fileChooser(this, title);
    const QString path = QFileDialog::getOpenFileName(this, qs(title), QString(), QString());
    if (path.isEmpty()) return std::nullopt;
    return QFile::encodeName(path).toStdString();
}

void QtMainWindow::setWatchTimer(std::optional<std::chrono::milliseconds> after) {
    if (after)
        watchTimer_.start(*after);
    else
        watchTimer_.stop();
}

void QtMainWindow::showBusy(bool busy) {
    if (busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void QtMainWindow::destroyAndQuit(int exitCode) {
    hide();
    if (quit)
        quit(exitCode);
    else
        QCoreApplication::exit(exitCode);
}
