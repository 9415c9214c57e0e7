// unit-loader: the operator's window. The command line is not used, but for --help and
// --version, answered before Qt looks for a display (for man pages and for people at a console),
// --history, which shows the records without the loader's window, and --station JOB, which
// runs a production station's job in a window of its own.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

#include "UnitLoaderVersion.h"
#include "window/QtHistoryView.h"
#include "window/QtMainWindow.h"
#include "window/QtStationWindow.h"
#include "window/QuitSignals.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("unit-loader " UL_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::puts(
            "Usage: unit-loader [--history | --station JOB.toml]\n"
            "The operator's window of Unit Loader: downloads a firmware file into the unit over a\n"
            "serial port and reads the unit's software version. Pick the download file (BROWSE, or\n"
            "drop it on the window), the port and the baud rate, then press Start Download; the\n"
            "outcome comes as a message box with the unit's CRC and the file's CRC. Version Check\n"
            "reads the unit's software version. Escape or the close box closes the window (exit\n"
            "code 2).\n"
            "\n"
            "Every download and version check is recorded (who, when, which file, which unit, the\n"
            "outcome); Ctrl+H, or \"History...\" on the window's context menu, shows the records.\n"
            "\n"
            "A production station (several slots, one job file: see unit-loader-cli station) runs\n"
            "in a window of its own: --station JOB.toml, or Ctrl+J, \"Station job...\" on the\n"
            "context menu. Each slot's runs go through unit-loader-cli, found beside this program.\n"
            "\n"
            "Options:\n"
            "  --history  show the recorded attempts only, without the loader's window\n"
            "  --station JOB.toml\n"
            "             run the station job in its window, without the loader's window\n"
            "  --help     show this text and exit\n"
            "  --version  show the version and exit\n"
            "\n"
            "Files:\n"
            "The port and baud rate are kept in vsk_download_config.txt, read at start and\n"
            "written when the window closes: beside the program for a copy in a folder of its\n"
            "own; for an installed program (/usr/bin) in $XDG_CONFIG_HOME/unit-loader/, else in\n"
            "~/.config/unit-loader/.\n"
            "The records are in $UNIT_LOADER_RECORDS when set, else in the file the settings'\n"
            "\"Records\" value names, else in $XDG_DATA_HOME/unit-loader/records.sqlite (else\n"
            "~/.local/share/unit-loader/records.sqlite); unit-loader-cli records lists and\n"
            "exports them.\n"
            "\n"
            "Serial devices belong to the group dialout: join it to use them\n"
            "(sudo usermod -aG dialout $USER, then log in again).");
        return 0;
    }
    const bool historyOnly = argc == 2 && std::strcmp(argv[1], "--history") == 0;
    const bool stationOnly = argc == 3 && std::strcmp(argv[1], "--station") == 0;
    QApplication app(argc, argv);
    if (stationOnly) {
        QtStationWindow station;
        // A signal ends the station without asking: the downloads end cleanly and are
        // recorded, then the window closes and the loop with it. Set up before the station
        // writes its private copies, as for the loader's window.
        const QuitSignals quitSignals([&station](int) { station.stopAndClose(); });
        std::string error;
        if (!station.start({argv[2], recordsPathFor({}), {}}, error)) {
            std::fprintf(stderr, "unit-loader: %s\n", error.c_str());
            QMessageBox::critical(nullptr, "Station", QString::fromStdString(error));
            return 2;
        }
        station.show();
        return app.exec();
    }
    if (historyOnly) {
        // The loader's own settings say where the records are, as they do for the window.
        QtHistoryView view(recordsPathFor({}));
        view.show();
        QObject::connect(&view, &QDialog::finished, &app, &QApplication::quit);
        return app.exec() == 0 ? 0 : 1;
    }
    // The window ends the loop itself, with its exit code, once it has saved and cleaned up.
    app.setQuitOnLastWindowClosed(false);
    // Before the window writes its library file, so that no moment is left in which a signal
    // would end the program with the file left behind. Handled once the loop runs.
    QtMainWindow* window = nullptr;
    const QuitSignals quitSignals([&window](int) {
        if (window) window->close();
    });
    QtMainWindow mainWindow;
    window = &mainWindow;
    mainWindow.show();
    return app.exec();
}
