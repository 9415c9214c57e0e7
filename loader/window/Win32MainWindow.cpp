#include "window/Win32MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

#include "window/DialogTemplate.h"

namespace {

constexpr int kDialogTemplate = 129;
constexpr int kIconResource = 128;
constexpr DWORD kPathChars = 260;

}  // namespace

Win32MainWindow::Win32MainWindow(HINSTANCE instance) : instance_(instance), dialog_(*this) {}

Win32MainWindow::~Win32MainWindow() {
    if (HWND hwnd = hwnd_.exchange(nullptr)) ::DestroyWindow(hwnd);
    if (largeIcon_) ::DestroyIcon(largeIcon_);
    if (smallIcon_) ::DestroyIcon(smallIcon_);
}

bool Win32MainWindow::create() {
    return ::CreateDialogParamA(instance_, MAKEINTRESOURCEA(kDialogTemplate), nullptr, &Win32MainWindow::dialogProc,
                                reinterpret_cast<LPARAM>(this)) != nullptr;
}

INT_PTR CALLBACK Win32MainWindow::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32MainWindow*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32MainWindow*>(lParam);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->hwnd_.store(hwnd);
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) and after the close find no window object.
    if (!self || self->hwnd_.load() != hwnd) return FALSE;
    return self->route(message, wParam, lParam);
}

bool Win32MainWindow::isPayloadMessage(UINT message) const {
    return message != 0 && (message == statusUpdate_ || message == response_ || message == alarm_);
}

INT_PTR Win32MainWindow::route(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const bool ready = dialog_.InitDialog();
        statusUpdate_ = registerMessage(msgname::kStatusUpdate);
        response_ = registerMessage(msgname::kResponse);
        alarm_ = registerMessage(msgname::kAlarm);
        sendCancel_ = registerMessage(msgname::kSendCancel);
        fileRead_ = registerMessage(msgname::kFileRead);
        return ready ? TRUE : FALSE;
    }
    if (isPayloadMessage(message) || (message != 0 && (message == sendCancel_ || message == fileRead_))) {
        Message posted{static_cast<MessageId>(message), nullptr, static_cast<std::uint32_t>(wParam)};
        if (isPayloadMessage(message)) posted.payload.reset(reinterpret_cast<ByteBuffer*>(lParam));
        dialog_.onMessage(posted);
        return TRUE;
    }
    switch (message) {
    case WM_TIMER:
        if (wParam != kWatchTimer) return FALSE;
        ::KillTimer(hwnd_.load(), kWatchTimer);  // one call per setWatchTimer
        dialog_.onWatchTimer();
        return TRUE;
    case WM_DROPFILES: {
        auto drop = reinterpret_cast<HDROP>(wParam);
        std::vector<std::string> paths;
        char path[kPathChars] = {};
        if (::DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) > 0 && ::DragQueryFileA(drop, 0, path, kPathChars) > 0)
            paths.emplace_back(path);
        // Released before anything else runs: the load may show a modal box.
        ::DragFinish(drop);
        dialog_.onDrop(paths);
        return TRUE;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int notification = HIWORD(wParam);
        switch (id) {
        case dialog::kIdOk:
        case dialog::kIdCancel: dialog_.onCommand(id); return TRUE;
        case dialog::kBrowse:
        case dialog::kStartDownload:
        case dialog::kVersionCheck:
            if (notification == BN_CLICKED) dialog_.onCommand(id);
            return TRUE;
        case dialog::kPortList:
        case dialog::kFileName:
        case dialog::kStatusLabel: return TRUE;
        default: return FALSE;
        }
    }
    default: return FALSE;
    }
}

bool Win32MainWindow::post(Message message) {
    HWND hwnd = hwnd_.load();
    if (!hwnd || !::PostMessageA(hwnd, message.id, static_cast<WPARAM>(message.detail),
                                 reinterpret_cast<LPARAM>(message.payload.get())))
        return false;
    message.payload.release();  // the window's now
    return true;
}

void Win32MainWindow::setWatchTimer(std::optional<std::chrono::milliseconds> after) {
    HWND hwnd = hwnd_.load();
    if (!hwnd) return;
    if (after)
        ::SetTimer(hwnd, kWatchTimer, static_cast<UINT>(std::max<std::int64_t>(after->count(), USER_TIMER_MINIMUM)),
                   nullptr);
    else
        ::KillTimer(hwnd, kWatchTimer);
}

HWND Win32MainWindow::item(int id) const { return ::GetDlgItem(hwnd_.load(), id); }

void Win32MainWindow::centreOnDesktop() {
    RECT area{}, window{};
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0) || !::GetWindowRect(hwnd_.load(), &window)) return;
    const int width = window.right - window.left, height = window.bottom - window.top;
    ::SetWindowPos(hwnd_.load(), nullptr, area.left + (area.right - area.left - width) / 2,
                   area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainWindow::setWindowIcons() {
    largeIcon_ = static_cast<HICON>(::LoadImageA(instance_, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(::LoadImageA(instance_, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
    ::SendMessageA(hwnd_.load(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon_));
    ::SendMessageA(hwnd_.load(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
}

void Win32MainWindow::setDefaultGuiFont(int id) {
    HWND target = id == 0 ? hwnd_.load() : item(id);
    if (target) ::SendMessageA(target, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), TRUE);
}

void Win32MainWindow::setText(int id, const std::string& text) { ::SetDlgItemTextA(hwnd_.load(), id, text.c_str()); }

std::string Win32MainWindow::text(int id) const {
    HWND control = item(id);
    if (!control) return {};
    if (id == dialog::kPortList || id == dialog::kBaudList) {
        const LRESULT selected = ::SendMessageA(control, CB_GETCURSEL, 0, 0);
        if (selected == CB_ERR) return {};
        const LRESULT length = ::SendMessageA(control, CB_GETLBTEXTLEN, selected, 0);
        if (length == CB_ERR) return {};
        std::string entry(static_cast<std::size_t>(length) + 1, '\0');
        ::SendMessageA(control, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(entry.data()));
        entry.resize(static_cast<std::size_t>(length));
        return entry;
    }
    std::string content(static_cast<std::size_t>(::GetWindowTextLengthA(control)) + 1, '\0');
    content.resize(
        static_cast<std::size_t>(::GetWindowTextA(control, content.data(), static_cast<int>(content.size()))));
    return content;
}

void Win32MainWindow::enable(int id, bool enabled) { ::EnableWindow(item(id), enabled ? TRUE : FALSE); }

void Win32MainWindow::show(int id, bool shown) { ::ShowWindow(item(id), shown ? SW_SHOW : SW_HIDE); }

void Win32MainWindow::addListEntry(int id, const std::string& entry) {
    ::SendDlgItemMessageA(hwnd_.load(), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
}

void Win32MainWindow::selectListEntry(int id, int index) {
    ::SendDlgItemMessageA(hwnd_.load(), id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

// The 32-bit range: a file of more than 65535 blocks still fills the bar once.
void Win32MainWindow::setProgressRange(int id, std::uint32_t maximum) {
    ::SendDlgItemMessageA(hwnd_.load(), id, PBM_SETRANGE32, 0, static_cast<LPARAM>(maximum));
}

void Win32MainWindow::setProgressPosition(int id, std::uint32_t position) {
    ::SendDlgItemMessageA(hwnd_.load(), id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32MainWindow::messageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
    ::MessageBoxA(hwnd_.load(), text.c_str(), caption.c_str(),
                  MB_OK | (icon == BoxIcon::Information ? MB_ICONINFORMATION : 0));
}

std::optional<std::string> Win32MainWindow::chooseFile(const std::string& title) {
    char path[kPathChars] = {};
    OPENFILENAMEA request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = hwnd_.load();
    request.lpstrFile = path;
    request.nMaxFile = kPathChars;
    request.lpstrTitle = title.c_str();
    request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!::GetOpenFileNameA(&request)) return std::nullopt;
    return std::string(path);
}

void Win32MainWindow::destroyAndQuit(int exitCode) {
    HWND hwnd = hwnd_.exchange(nullptr);
    if (hwnd) {
        // Replies still queued would die with the window and their buffers with nobody.
        MSG queued;
        for (UINT id : {statusUpdate_, response_, alarm_})
            while (id != 0 && ::PeekMessageA(&queued, hwnd, id, id, PM_REMOVE))
                delete reinterpret_cast<ByteBuffer*>(queued.lParam);
        ::DestroyWindow(hwnd);
    }
    ::PostQuitMessage(exitCode);
}
