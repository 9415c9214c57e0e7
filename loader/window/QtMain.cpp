// unit-loader: the operator's window. The command line is not used.
#include <QApplication>

#include "QtMainWindow.h"
#include "QuitSignals.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
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
