#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "window/MainDialog.h"

// The operator's window on Windows: the modeless dialog of template 129 in the program's
// resources. The worker's replies and SENDCANCEL arrive as the window system's registered
// messages, posted with the ByteBuffer's address in the second parameter; the buffer belongs
// to the window from the post on.
class Win32MainWindow : public DialogWindow {
public:
    explicit Win32MainWindow(HINSTANCE instance);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // Creates the dialog without owner; InitDialog runs inside. False when no window came.
    bool create();
    // The dialog while it exists, for the loop's dialog-key handling; null before and after.
    HWND handle() const { return hwnd_.load(); }

    // Safe from any thread.
    bool post(Message message) override;

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR route(UINT message, WPARAM wParam, LPARAM lParam);
    HWND item(int id) const;
    bool isPayloadMessage(UINT message) const;

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

    // The one timer of the window: the run's watch.
    static constexpr UINT_PTR kWatchTimer = 1;

    HINSTANCE instance_;
    std::atomic<HWND> hwnd_{nullptr};
    HICON largeIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    // Registered at start-up; 0 (no message is numbered so) until then.
    UINT statusUpdate_ = 0, response_ = 0, alarm_ = 0, sendCancel_ = 0, fileRead_ = 0;
    MainDialog dialog_;  // last: it ends its session while the window still exists
};
