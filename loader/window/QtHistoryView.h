#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "record/Attempt.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTableWidget;

// The recorded attempts of the records file, newest first: filters by port and by outcome, and
// every field of the attempt picked. It only reads: a records file that is not there yet is not
// made. Object names for those who look for the parts: "portFilter", "outcomeFilter",
// "attempts", "details", "summary".
class QtHistoryView : public QDialog {
public:
    explicit QtHistoryView(std::string recordsPath, QWidget* parent = nullptr);

    // Reads the records file again.
    void reload();
    const std::vector<Attempt>& shown() const { return shown_; }

private:
    void fillFilters();
    void applyFilters();
    void showDetails();

    std::string path_;
    std::vector<Attempt> all_;
    std::vector<Attempt> shown_;
    QComboBox* port_;
    QComboBox* outcome_;
    QTableWidget* table_;
    QPlainTextEdit* details_;
    QLabel* summary_;
};
