// Unit Loader ver1.21.exe: the operator's window on Windows. The command line is not used.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "window/Win32MainWindow.h"

namespace {

// Waits on; hands the dialog its keys (Tab, arrows, Enter as command 1, Escape as command 2).
int runMessageLoop(const Win32MainWindow& window) {
    MSG message;
    for (;;) {
        const BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(message.wParam);
        if (got == -1) continue;
        HWND dialog = window.handle();
        if (dialog && ::IsDialogMessageA(dialog, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showState) {
    ::CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    int result = 0;
    {
        Win32MainWindow window(instance);
        if (window.create()) {
            ::ShowWindow(window.handle(), showState);
            result = runMessageLoop(window);
        }
    }
    ::CoUninitialize();
    return result;
}
