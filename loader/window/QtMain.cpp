// unit-loader: the operator's window. The command line is not used.
#include <QApplication>

#include "QtMainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window ends the loop itself, with its exit code, once it has saved and cleaned up.
    app.setQuitOnLastWindowClosed(false);
    QtMainWindow window;
    window.show();
    return app.exec();
}
