#include "window/QtStationWindow.h"

#include <unistd.h>

#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QValueAxis>
#include <cmath>
#include <cstdlib>

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// A station event, made on a slot's thread and run on the window's.
class StationEvent : public QEvent {
public:
    explicit StationEvent(std::function<void()> f) : QEvent(type()), run(std::move(f)) {}
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    std::function<void()> run;
};

// The tile's colours: what it says can be told from across the line by colour alone.
struct Look {
    const char* text;
    const char* background;
    const char* foreground;
};
Look lookOf(station::SlotState state) {
    switch (state) {
    case station::SlotState::Waiting: return {"WAITING", "#d9d9d9", "#303030"};
    case station::SlotState::Loading: return {"LOADING", "#9cc3ff", "#0b2545"};
    case station::SlotState::Checking: return {"CHECKING", "#9cc3ff", "#0b2545"};
    case station::SlotState::Pass: return {"PASS", "#2e9e44", "#ffffff"};
    case station::SlotState::Fail: return {"FAIL", "#c62828", "#ffffff"};
    case station::SlotState::Paused: return {"PAUSED", "#f2b632", "#3a2a00"};
    case station::SlotState::Stopped: return {"STOPPED", "#8a8a8a", "#ffffff"};
    }
    return {"?", "#ffffff", "#000000"};
}

// Lines shortened with "..." to the width the label is given, the whole text in its tool tip:
// it asks for no width of its own, so a long job name cannot widen the window past the screen.
class ElidedLabel : public QLabel {
public:
    ElidedLabel(QStringList lines, QWidget* parent) : QLabel(parent), lines_(std::move(lines)) {
        setTextFormat(Qt::PlainText);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setToolTip(lines_.join('\n'));
        setText(lines_.join('\n'));
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        const QFontMetrics metrics(font());
        QStringList shown;
        for (const QString& line : lines_) shown << metrics.elidedText(line, Qt::ElideRight, contentsRect().width());
        setText(shown.join('\n'));
    }

private:
    QStringList lines_;
};

// A tile's letters by how many tiles share the window: sixteen at 1280 x 800 still show their
// state, reason and counts whole.
struct TileSizes {
    int name, state, text, minHeight;
};
TileSizes tileSizes(int count) {
    if (count <= 4) return {18, 48, 14, 150};
    if (count <= 9) return {16, 34, 13, 120};
    return {14, 24, 12, 100};
}

// The chart's time axis in whole units: seconds for the first two minutes (a minute at least),
// then minutes, with ticks on whole values, at most 8 intervals.
struct TimeScale {
    bool seconds;
    double end, tick;
};
TimeScale timeScale(double minutes) {
    const bool seconds = minutes < 2.0;
    const double span = seconds ? std::max(60.0, minutes * 60.0) : minutes;
    double tick = 1;
    for (const double step : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0})
        if ((tick = step) * 8 >= span) break;
    return {seconds, std::max(tick, std::ceil(span / tick) * tick), tick};
}

// A tile's line that is empty takes no room: sixteen tiles share a screen.
void setLine(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

}  // namespace

// The station's events, from the slots' threads, carried to the window's thread as posted
// events: one that arrives after the window has gone is dropped with it.
class QtStationWindow::Relay : public station::StationObserver {
public:
    explicit Relay(QtStationWindow& window) : window_(window) {}
    void slotState(std::size_t slot, const station::SlotStatus& status) override {
        post([=, w = w()] { w->onState(slot, status); });
    }
    void unitStart(std::size_t slot, const std::string& unitId) override {
        post([=, w = w()] { w->onUnitStart(slot, unitId); });
    }
    void attemptStart(std::size_t, RunKind, int) override {}
    void progress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) override {
        post([=, w = w()] { w->onProgress(slot, done, blocks); });
    }
    void attemptEnd(std::size_t slot, const station::AttemptEnd& end) override {
        post([=, w = w()] { w->onAttemptEnd(slot, end); });
    }
    void unitEnd(std::size_t slot, const station::Verdict& verdict) override {
        post([=, w = w()] { w->onUnitEnd(slot, verdict); });
    }
    void alarm(std::size_t slot, const std::string& text) override {
        post([=, w = w()] { w->onAlarm(slot, text); });
    }
    // The window takes the totals itself once every slot has returned (checkEnded).
    void stationEnd(const station::Totals&) override {}

private:
    template <typename F>
    void post(F&& f) {
        window_.post(std::function<void()>(std::forward<F>(f)));
    }
    QtStationWindow* w() { return &window_; }

    QtStationWindow& window_;
};

QtStationWindow::QtStationWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle("Station");
    StationEvent::type();  // registered before any thread posts
    confirmClose = [](QWidget* window, int loading) {
        return QMessageBox::question(window, "Close the station",
                                     QString::number(loading) + (loading == 1 ? " unit is" : " units are") +
                                         " being loaded. Close the station?\n\nEach download is ended cleanly "
                                         "and recorded as interrupted.",
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    };
    connect(&clock_, &QTimer::timeout, this, [this] {
        checkEnded();
        refreshCounters();
    });
    // Closing waits for the runs to end without blocking the window: each run takes up to a
    // few seconds to end its exchange with the unit cleanly.
    connect(&ending_, &QTimer::timeout, this, [this] { checkEnded(); });
}

void QtStationWindow::post(std::function<void()> f) {
    auto* event = new StationEvent(std::move(f));
    // Published before Qt's queue takes it: the queue's own lock is invisible to the thread
    // checker, this is not.
    posted_.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

bool QtStationWindow::event(QEvent* event) {
    posted_.load(std::memory_order_acquire);
    if (event->type() == StationEvent::type()) {
        static_cast<StationEvent*>(event)->run();
        return true;
    }
    return QWidget::event(event);
}

QtStationWindow::~QtStationWindow() {
    // The slots' threads post to the relay: they end before it does.
    if (front_.started()) {
        front_.stop();
        front_.finish();
    }
}

bool QtStationWindow::start(const Setup& setup, std::string& error) {
    auto problem = front_.openJob(setup.jobPath);
    if (!problem && setup.records.empty())
        problem = station::StationFront::Problem{0, "this user has no home directory for the records file"};
    if (!problem) problem = front_.checkRecords(setup.records);
    if (!problem) problem = front_.prepare(setup.program, setup.records, front_.job().operatorName);
    if (problem) {
        error = problem->text;
        return false;
    }
    const std::vector<std::string> notes = front_.startForwarding();
    build();
    showServerNotes(notes);
    relay_ = std::make_unique<Relay>(*this);
    front_.start(*relay_, station::Ending::OnStopOrQuota);
    refreshButtons();
    clock_.start(1000);
    return true;
}

void QtStationWindow::build() {
    const station::Job& job_ = front_.job();
    setWindowTitle(qs("Station: " + job_.name));
    auto* top = new QVBoxLayout(this);

    auto* header = new QHBoxLayout;
    auto* job = new ElidedLabel(
        {qs(job_.name), qs("image " + front_.imageHash().substr(0, 12) + "   expects \"" + job_.expectVersion + "\"")},
        this);
    job->setObjectName("job");
    QFont big = job->font();
    big.setPixelSize(20);
    big.setBold(true);
    job->setFont(big);
    header->addWidget(job, 1);
    counters_ = new QLabel(this);
    counters_->setObjectName("counters");
    counters_->setTextFormat(Qt::RichText);
    QFont countersFont = counters_->font();
    countersFont.setPixelSize(22);
    counters_->setFont(countersFont);
    header->addWidget(counters_);
    auto* side = new QVBoxLayout;
    status_ = new QLabel("running", this);
    status_->setObjectName("status");
    status_->setAlignment(Qt::AlignRight);
    side->addWidget(status_);
    pauseStation_ = new QPushButton("Pause station", this);
    pauseStation_->setObjectName("pauseStation");
    connect(pauseStation_, &QPushButton::clicked, this, [this] { toggleStation(); });
    side->addWidget(pauseStation_);
    header->addLayout(side);
    top->addLayout(header);
    // Under the header: a records server not used and why, or what it was not sent.
    server_ = new QLabel(this);
    server_->setObjectName("server");
    server_->setTextFormat(Qt::PlainText);
    server_->setWordWrap(true);
    top->addWidget(server_);

    alarm_ = new QFrame(this);
    alarm_->setObjectName("alarm");
    alarm_->setStyleSheet("#alarm { background: #c62828; } #alarm QLabel { color: white; }");
    auto* alarmRow = new QHBoxLayout(alarm_);
    alarmText_ = new QLabel(alarm_);
    alarmText_->setObjectName("alarmText");
    alarmText_->setTextFormat(Qt::PlainText);
    alarmText_->setWordWrap(true);
    QFont alarmFont = alarmText_->font();
    alarmFont.setPixelSize(18);
    alarmFont.setBold(true);
    alarmText_->setFont(alarmFont);
    alarmRow->addWidget(alarmText_, 1);
    auto* acknowledgeButton = new QPushButton("Acknowledge", alarm_);
    acknowledgeButton->setObjectName("acknowledge");
    connect(acknowledgeButton, &QPushButton::clicked, this, [this] { acknowledge(); });
    alarmRow->addWidget(acknowledgeButton);
    alarm_->hide();
    top->addWidget(alarm_);

    // From one tile to a 4 x 4 grid; the letters shrink as the tiles do.
    const int count = static_cast<int>(job_.slots.size());
    const int columns = count <= 1 ? 1 : count <= 4 ? 2 : count <= 9 ? 3 : 4;
    auto* grid = new QGridLayout;
    tiles_.resize(job_.slots.size());
    for (int i = 0; i < count; ++i) {
        Tile& tile = tiles_[static_cast<std::size_t>(i)];
        grid->addWidget(makeTile(tile, job_.slots[static_cast<std::size_t>(i)].name, count), i / columns, i % columns);
        const auto slot = static_cast<std::size_t>(i);
        connect(tile.pause, &QPushButton::clicked, this, [this, slot] { togglePause(slot); });
        if (tile.scan) {
            connect(tile.scan, &QLineEdit::returnPressed, this, [this, slot] {
                Tile& t = tiles_[slot];
                const QString id = t.scan->text().trimmed();
                t.scan->clear();
                if (id.isEmpty() || !front_.started()) return;
                if (const auto refused = front_.setUnitId(slot, id.toStdString()))
                    setLine(t.unit, "refused: " + qs(*refused));
                else
                    setLine(t.unit, "next unit: " + id);
            });
        }
    }
    for (std::size_t i = 0; i < tiles_.size(); ++i) drawState(i);
    // Every tile the same size, however much text one holds.
    for (int c = 0; c < columns; ++c) grid->setColumnStretch(c, 1);
    for (int r = 0; r < (count + columns - 1) / columns; ++r) grid->setRowStretch(r, 1);
    top->addLayout(grid, 1);

    yield_ = new QLineSeries;
    yield_->setName("yield of this run, %");
    yield_->setPointsVisible(true);  // the first units are points before they are a line
    auto* chart = new QChart;
    chart->addSeries(yield_);
    chart->legend()->hide();
    chart->setTitle("Yield of this run");
    minutes_ = new QValueAxis;
    minutes_->setTickType(QValueAxis::TicksDynamic);
    minutes_->setTickAnchor(0);
    minutes_->setLabelFormat("%.0f");
    scaleTime(0);
    auto* percent = new QValueAxis;
    percent->setRange(0, 100);
    percent->setLabelFormat("%.0f%%");
    chart->addAxis(minutes_, Qt::AlignBottom);
    chart->addAxis(percent, Qt::AlignLeft);
    yield_->attachAxis(minutes_);
    yield_->attachAxis(percent);
    auto* view = new QChartView(chart, this);
    view->setObjectName("yieldChart");
    view->setRenderHint(QPainter::Antialiasing);
    chart->setMargins(QMargins(4, 4, 4, 4));
    // Many slots leave the chart less room.
    view->setMinimumHeight(count <= 4 ? 230 : 180);
    view->setMaximumHeight(count <= 4 ? 260 : 200);
    top->addWidget(view);

    refreshCounters();
    refreshButtons();
    QSize size(count <= 1 ? 520 : count <= 4 ? 900 : 1240, count <= 2 ? 560 : 760);
    if (const QScreen* shown = screen()) size = size.boundedTo(shown->availableGeometry().size());
    resize(size);
}

QFrame* QtStationWindow::makeTile(Tile& tile, const std::string& slotName, int count) {
    const TileSizes sizes = tileSizes(count);
    auto* frame = new QFrame(this);
    frame->setObjectName(qs("slot-" + slotName));
    frame->setFrameShape(QFrame::Box);
    frame->setMinimumSize(200, sizes.minHeight);
    auto* column = new QVBoxLayout(frame);
    column->setSpacing(2);
    column->setContentsMargins(6, 4, 6, 4);
    auto label = [&](const char* name, int pixels, bool bold, QBoxLayout* into = nullptr) {
        auto* l = new QLabel(frame);
        l->setObjectName(name);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignCenter);
        l->setWordWrap(true);
        QFont f = l->font();
        f.setPixelSize(pixels);
        f.setBold(bold);
        l->setFont(f);
        if (into)
            into->addWidget(l, 1);
        else
            column->addWidget(l);
        return l;
    };
    // The slot's name, the scan field and the button share the first line: sixteen tiles have
    // no line to spare.
    auto* head = new QHBoxLayout;
    column->addLayout(head);
    QLabel* name = label("name", sizes.name, true, head);
    name->setText(qs("Slot " + slotName));
    name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    name->setWordWrap(false);
    name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // a long name is cut, not widening
    name->setToolTip(name->text());
    if (front_.job().scanUnitId) {
        tile.scan = new QLineEdit(frame);
        tile.scan->setObjectName("scan");
        tile.scan->setPlaceholderText("scan the unit's id");
        head->addWidget(tile.scan, 1);
    }
    tile.pause = new QPushButton("Pause", frame);
    tile.pause->setObjectName("pause");
    head->addWidget(tile.pause);
    tile.state = label("state", sizes.state, true);
    tile.state->setWordWrap(false);
    // The state always fits: a small tile gives up its empty space first.
    tile.state->setMinimumHeight(QFontMetrics(tile.state->font()).height());
    tile.detail = label("detail", sizes.text, false);
    tile.bar = new QProgressBar(frame);
    tile.bar->setObjectName("progress");
    tile.bar->setRange(0, 1);
    tile.bar->setValue(0);
    tile.bar->setMaximumHeight(QFontMetrics(tile.detail->font()).height() + 4);
    column->addWidget(tile.bar);
    auto* unitLine = new QHBoxLayout;  // what is known of the unit in the slot
    column->addLayout(unitLine);
    tile.version = label("version", sizes.text, false, unitLine);
    tile.unit = label("unit", sizes.text, false, unitLine);
    tile.results = label("results", sizes.text, true);
    tile.results->setTextFormat(Qt::RichText);
    for (QLabel* line : {tile.version, tile.unit, tile.results}) setLine(line, {});
    column->addStretch(1);
    tile.frame = frame;
    return frame;
}

void QtStationWindow::onState(std::size_t slot, const station::SlotStatus& status) {
    front_.slotState(slot, status);
    drawState(slot);
    refreshButtons();
}

void QtStationWindow::drawState(std::size_t slot) {
    Tile& tile = tiles_.at(slot);
    const station::StationFront::Tile& shown = front_.tiles().at(slot);
    const station::SlotStatus& status = shown.status;
    const station::SlotState state = status.state;
    const Look look = lookOf(state);
    // By class, not by the tile's name: a name may hold anything a selector cannot (a space).
    // The tile alone is a plain QFrame; its labels are QFrames of a class of their own.
    tile.frame->setStyleSheet(
        QString(".QFrame { background: %1; } QLabel { color: %2; }").arg(look.background, look.foreground));
    tile.state->setText(look.text);
    QString words;
    switch (state) {
    case station::SlotState::Waiting:
        words = status.scan ? "scan the unit's id" : shown.held ? "pauses before the next unit" : "put a unit in";
        break;
    case station::SlotState::Loading:
        words = status.retry == 0 ? "downloading" : qs("downloading, " + status.detail());
        tile.bar->setRange(0, 1);
        tile.bar->setValue(0);
        setLine(tile.version, {});
        break;
    case station::SlotState::Checking: words = "reading the unit's version"; break;
    case station::SlotState::Pass: words = "take the unit out"; break;
    case station::SlotState::Fail: words = qs(status.detail()); break;
    case station::SlotState::Paused:
        words = status.pause == station::PauseCause::Alarm      ? "paused after an alarm"
                : status.pause == station::PauseCause::Operator ? "paused by the operator"
                                                                : "the station is paused";
        break;
    case station::SlotState::Stopped: words = "the station has stopped"; break;
    }
    setLine(tile.detail, words);
    tile.bar->setVisible(state == station::SlotState::Loading);
}

void QtStationWindow::onProgress(std::size_t slot, std::uint32_t done, std::uint32_t blocks) {
    front_.progress(slot, done, blocks);
    Tile& tile = tiles_.at(slot);
    if (blocks == 0) return;
    tile.bar->setRange(0, static_cast<int>(blocks));
    tile.bar->setValue(static_cast<int>(std::min(done, blocks)));
}

void QtStationWindow::onUnitStart(std::size_t slot, const std::string& unitId) {
    front_.unitStart(slot, unitId);
    setLine(tiles_.at(slot).unit, unitId.empty() ? QString() : "unit " + qs(unitId));
}

void QtStationWindow::onAttemptEnd(std::size_t slot, const station::AttemptEnd& end) {
    front_.attemptEnd(slot, end);
    const std::string& version = front_.tiles().at(slot).version;
    if (!version.empty()) setLine(tiles_.at(slot).version, "version \"" + qs(version) + "\"");
}

void QtStationWindow::onUnitEnd(std::size_t slot, const station::Verdict& verdict) {
    front_.unitEnd(slot, verdict);
    if (verdict.kind == station::Verdict::Kind::Interrupted) return;
    const station::StationFront::Tile& shown = front_.tiles().at(slot);
    // One line however many tiles: the counts, then the last results as marks, newest first.
    QString text = QString("%1 passed, %2 failed&nbsp; ").arg(shown.passes).arg(shown.fails);
    for (bool p : shown.last)
        text += p ? "<span style='color:#0a5d1a;background:#c8f0cf'>&nbsp;P&nbsp;</span>"
                  : "<span style='color:#7a0000;background:#ffd0d0'>&nbsp;F&nbsp;</span>";
    setLine(tiles_.at(slot).results, text);
    const auto& point = front_.yieldPoints().back();
    if (scaleTime(point.first)) yield_->append(point.first * (seconds_ ? 60.0 : 1.0), point.second);
    refreshCounters();
}

bool QtStationWindow::scaleTime(double minutes) {
    const TimeScale scale = timeScale(minutes);
    minutes_->setTitleText(scale.seconds ? "seconds" : "minutes");
    minutes_->setTickInterval(scale.tick);
    minutes_->setRange(0, scale.end);
    if (scale.seconds == seconds_) return true;
    // From seconds to minutes: the points so far are drawn again in the new unit.
    seconds_ = scale.seconds;
    QList<QPointF> points;
    for (const auto& [at, percent] : front_.yieldPoints()) points.append({at * (seconds_ ? 60.0 : 1.0), percent});
    yield_->replace(points);
    return false;
}

void QtStationWindow::onAlarm(std::size_t slot, const std::string& text) {
    front_.alarm(slot, text);
    std::string all = "ALARM";
    for (const auto& a : front_.alarms()) all += "\nSlot " + front_.tiles().at(a.slot).name + ": " + a.text;
    alarmText_->setText(qs(all));
    alarm_->show();
    refreshButtons();
}

void QtStationWindow::acknowledge() {
    front_.acknowledge();
    alarm_->hide();
    refreshButtons();
}

void QtStationWindow::checkEnded() {
    if (!front_.started() || front_.ended() || !front_.waitEnded(std::chrono::milliseconds(0))) return;
    const station::Totals totals = front_.finish();
    showServerNotes(front_.forwardNotes());
    front_.stationEnd(totals);
    ending_.stop();
    clock_.stop();
    refreshCounters();
    refreshButtons();
    // Whichever timer saw the end, a close that waited for it goes ahead.
    if (front_.stopping()) close();
}

void QtStationWindow::showServerNotes(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += (text.empty() ? "" : "\n") + note;
    setLine(server_, qs(text));
}

void QtStationWindow::togglePause(std::size_t slot) {
    if (!front_.started()) return;
    front_.togglePause(slot);
    const station::StationFront::Tile& shown = front_.tiles().at(slot);
    Tile& tile = tiles_.at(slot);
    if (shown.held && shown.busy()) setLine(tile.detail, tile.detail->text() + "; pauses after this unit");
    refreshButtons();
}

void QtStationWindow::toggleStation() {
    if (!front_.started()) return;
    front_.toggleStation();
    refreshButtons();
    refreshCounters();
}

void QtStationWindow::refreshButtons() {
    if (!pauseStation_) return;
    const bool over = front_.ended() || front_.stopping();
    for (std::size_t i = 0; i < tiles_.size(); ++i) {
        Tile& tile = tiles_[i];
        tile.pause->setText(front_.tiles()[i].paused() ? "Resume" : "Pause");
        tile.pause->setEnabled(front_.canTogglePause(i));
        if (tile.scan) tile.scan->setEnabled(!over);
    }
    pauseStation_->setText(front_.stationPaused() ? "Resume station" : "Pause station");
    pauseStation_->setEnabled(front_.canToggleStation());
}

void QtStationWindow::refreshCounters() {
    if (!counters_) return;
    counters_->setText(QString("<span style='color:#1f7a32'><b>PASS %1</b></span>&nbsp;&nbsp;"
                               "<span style='color:#b71c1c'><b>FAIL %2</b></span>&nbsp;&nbsp;"
                               "YIELD <b>%3</b>&nbsp;&nbsp;QUOTA <b>%4</b>")
                           .arg(front_.passes())
                           .arg(front_.fails())
                           .arg(qs(front_.yield()), qs(front_.quota())));
    const QString clock = qs(station::elapsedText(front_.elapsed()));
    QString state = front_.stopping()        ? "stopping: ending the downloads"
                    : front_.ended()         ? qs("ended (" + front_.totals()->reason + ")")
                    : front_.stationPaused() ? "station paused"
                                             : "running";
    status_->setText(state + "   " + clock);
}

void QtStationWindow::closeEvent(QCloseEvent* event) {
    if (!front_.started() || front_.ended()) {
        event->accept();
        return;
    }
    event->ignore();
    if (front_.stopping()) return;  // already ending
    const int loading = front_.busyCount();
    if (loading > 0 && !confirmClose(this, loading)) return;
    stopAndClose();
}

void QtStationWindow::stopAndClose() {
    if (!front_.started() || front_.ended()) {
        close();
        return;
    }
    if (front_.stopping()) return;
    front_.stop();
    refreshButtons();
    refreshCounters();
    ending_.start(50);
}
