#include "window/QtHistoryView.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <set>

#include "record/RecordStore.h"

namespace {

const QString kAllPorts = "All ports";
const QString kAllOutcomes = "All outcomes";

QString q(const std::string& text) { return QString::fromStdString(text); }

QString durationText(const Attempt& a) {
    if (!a.duration_ms) return {};
    return QString::number(static_cast<double>(*a.duration_ms) / 1000.0, 'f', 1) + " s";
}

}  // namespace

QtHistoryView::QtHistoryView(std::string recordsPath, QWidget* parent)
    : QDialog(parent),
      path_(std::move(recordsPath)),
      port_(new QComboBox(this)),
      outcome_(new QComboBox(this)),
      table_(new QTableWidget(this)),
      details_(new QPlainTextEdit(this)),
      summary_(new QLabel(this)) {
    setWindowTitle("History");
    setObjectName("history");
    port_->setObjectName("portFilter");
    outcome_->setObjectName("outcomeFilter");
    table_->setObjectName("attempts");
    details_->setObjectName("details");
    summary_->setObjectName("summary");
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    table_->setColumnCount(7);
    table_->setHorizontalHeaderLabels({"Started", "Kind", "Port", "Outcome", "Unit", "Duration", "File"});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    details_->setReadOnly(true);

    auto* refresh = new QPushButton("Refresh", this);
    refresh->setObjectName("refresh");
    auto* filters = new QHBoxLayout;
    filters->addWidget(new QLabel("Port:", this));
    filters->addWidget(port_, 1);
    filters->addWidget(new QLabel("Outcome:", this));
    filters->addWidget(outcome_, 1);
    filters->addWidget(refresh);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table_);
    split->addWidget(details_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addWidget(summary_);
    resize(820, 560);

    connect(port_, &QComboBox::currentIndexChanged, this, [this] { applyFilters(); });
    connect(outcome_, &QComboBox::currentIndexChanged, this, [this] { applyFilters(); });
    connect(table_, &QTableWidget::itemSelectionChanged, this, [this] { showDetails(); });
    connect(refresh, &QPushButton::clicked, this, [this] { reload(); });
    reload();
}

void QtHistoryView::reload() {
    all_.clear();
    std::string problem;
    std::error_code ec;
    if (path_.empty())
        problem = "No records file: this user has no home directory.";
    else if (!std::filesystem::exists(path_, ec))
        problem = "No attempts recorded yet in " + path_ + ".";
    else {
        try {
            all_ = openRecordStore(path_, RecordAccess::Read)->query({});
        } catch (const RecordError& e) {
            problem = std::string("The records could not be read: ") + e.what();
        }
    }
    fillFilters();
    applyFilters();
    if (!problem.empty()) summary_->setText(q(problem));
}

// The filters offer what the records hold; a choice made before a reload is kept where it can.
void QtHistoryView::fillFilters() {
    const QString port = port_->currentText();
    const QString outcome = outcome_->currentText();
    std::set<std::string> ports, outcomes;
    for (const auto& a : all_) {
        ports.insert(a.port);
        if (!a.outcome.empty()) outcomes.insert(a.outcome);
    }
    for (auto [box, all, values, keep] :
         {std::tuple{port_, kAllPorts, &ports, port}, std::tuple{outcome_, kAllOutcomes, &outcomes, outcome}}) {
        const QSignalBlocker quiet(box);
        box->clear();
        box->addItem(all);
        for (const auto& v : *values) box->addItem(q(v));
        const int at = box->findText(keep);
        box->setCurrentIndex(at < 0 ? 0 : at);
    }
}

void QtHistoryView::applyFilters() {
    shown_.clear();
    const bool anyPort = port_->currentIndex() <= 0;
    const bool anyOutcome = outcome_->currentIndex() <= 0;
    const std::string port = port_->currentText().toStdString();
    const std::string outcome = outcome_->currentText().toStdString();
    for (const auto& a : all_)  // newest first, as the records give them
        if ((anyPort || a.port == port) && (anyOutcome || a.outcome == outcome)) shown_.push_back(a);

    const QSignalBlocker quiet(table_);
    table_->clearContents();
    table_->setRowCount(static_cast<int>(shown_.size()));
    for (int row = 0; row < static_cast<int>(shown_.size()); ++row) {
        const Attempt& a = shown_[static_cast<std::size_t>(row)];
        const QString cells[] = {
            q(a.started_at), q(a.kind),       q(a.port), q(a.outcome.empty() ? "running" : a.outcome),
            q(a.unit_id),    durationText(a), q(a.file)};
        for (int column = 0; column < 7; ++column) table_->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    table_->resizeColumnsToContents();
    int passes = 0;
    for (const auto& a : shown_) passes += a.outcome == "success";
    summary_->setText(QString("%1 attempts, %2 passed").arg(shown_.size()).arg(passes));
    if (!shown_.empty())
        table_->selectRow(0);
    else
        details_->clear();
    showDetails();
}

void QtHistoryView::showDetails() {
    const int row = table_->currentRow();
    if (row < 0 || row >= static_cast<int>(shown_.size())) {
        details_->clear();
        return;
    }
    const auto& names = attemptFieldNames();
    const auto values = attemptFieldValues(shown_[static_cast<std::size_t>(row)]);
    QString text;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        QString value = q(values[i]);
        value.replace('\n', " / ");  // a box text of several lines, on one
        text += q(names[i]) + ": " + value + "\n";
    }
    details_->setPlainText(text);
}
