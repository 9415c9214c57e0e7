// Drives "Unit Loader ver1.21.exe" from outside, as an operator would, through the window
// system only: finds the dialog, checks it against the template, browses to a download file,
// presses Start Download and Version Check, answers the boxes and closes with Escape.
//   gui_driver MODE GUI-DIR BUILT-PX417 IMAGE FILE-CRC VERSION SHOT-FLAG
// MODE "whole" runs all of it; "abandon" presses Escape while the unit is still erasing (the
// simulated unit is made to erase for minutes). Prints one line per step; exit code 0 when every check held.
// scripts/test-windows.sh starts the window and the simulated unit, takes the screenshot when told "SHOT" and checks
// the exit code and the files the window leaves behind. "SHOT WxH+X+Y" gives the window's place on the screen.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "download/OperatorFeedback.h"
#include "window/DialogTemplate.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int failures = 0;

void say(const std::string& line) {
    std::printf("gui_driver: %s\n", line.c_str());
    std::fflush(stdout);
}

void expect(bool ok, const std::string& what) {
    if (!ok) ++failures;
    say((ok ? "ok   " : "FAIL ") + what);
}

// Waits for `ready` with a bound; everything here crosses process boundaries under emulation.
bool waitFor(const std::function<bool()>& ready, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string textOf(HWND window) {
    char buffer[1024] = {};
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                               5000, &copied))
        return {};
    return std::string(buffer, copied);
}

std::string classOf(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

void click(HWND dialog, int id) {
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// A dialog-class top-level window with this caption that is not `except`.
HWND findDialog(const char* caption, HWND except = nullptr) {
    HWND found = nullptr;
    while ((found = ::FindWindowExA(nullptr, found, "#32770", caption)))
        if (found != except && ::IsWindowVisible(found)) return found;
    return nullptr;
}

const char* classFor(dialog::Kind kind) {
    switch (kind) {
    case dialog::Kind::Edit: return "Edit";
    case dialog::Kind::Label: return "Static";
    case dialog::Kind::Button: return "Button";
    case dialog::Kind::DropList: return "ComboBox";
    case dialog::Kind::ProgressBar: return "msctls_progress32";
    }
    return "";
}

// The base unit whose conversion of `units` gives `pixels`. The window system converts each
// value of a template rectangle on its own: x, y, width and height, not the edges.
int baseFor(int units, int pixels, int divisor) {
    for (int base = 1; base < 64; ++base)
        if (::MulDiv(units, base, divisor) == pixels) return base;
    return 0;
}

void checkTemplate(HWND main) {
    const LONG style = ::GetWindowLongA(main, GWL_STYLE), exStyle = ::GetWindowLongA(main, GWL_EXSTYLE);
    expect((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_MINIMIZEBOX) &&
               !(style & WS_MAXIMIZEBOX) && !(style & WS_THICKFRAME) && (exStyle & WS_EX_ACCEPTFILES),
           "caption, close and minimize box, no maximize box, fixed size, takes dropped files");
    RECT client{};
    ::GetClientRect(main, &client);
    const int baseX = baseFor(dialog::kClientWidth, client.right, 4);
    const int baseY = baseFor(dialog::kClientHeight, client.bottom, 8);
    expect(baseX > 0 && baseY > 0, "client area of 383 x 173 dialog units (" + std::to_string(client.right) + " x " +
                                       std::to_string(client.bottom) + " pixels)");

    std::string wrong;
    for (const auto& spec : dialog::kControls) {
        if (spec.id == dialog::kNoId) continue;
        HWND control = ::GetDlgItem(main, spec.id);
        const std::string name = std::to_string(spec.id);
        if (!control || classOf(control) != classFor(spec.kind)) {
            wrong += " " + name + ":class";
            continue;
        }
        RECT r{};
        ::GetWindowRect(control, &r);
        ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
        // A closed drop-down list is as high as its field, not as its template rectangle.
        const bool heightOk =
            spec.kind == dialog::Kind::DropList || r.bottom - r.top == ::MulDiv(spec.height, baseY, 8);
        if (r.left != ::MulDiv(spec.x, baseX, 4) || r.top != ::MulDiv(spec.y, baseY, 8) ||
            r.right - r.left != ::MulDiv(spec.width, baseX, 4) || !heightOk)
            wrong += " " + name + ":geometry";
        if (spec.kind == dialog::Kind::Label && spec.text[0] != '\0' && textOf(control) != spec.text)
            wrong += " " + name + ":text";
    }
    expect(wrong.empty(), "controls of template 129 by id, class, place and caption" + wrong);
    expect(!::IsWindowVisible(::GetDlgItem(main, dialog::kConnect)), "Connect is hidden");

    HWND ports = ::GetDlgItem(main, dialog::kPortList), bauds = ::GetDlgItem(main, dialog::kBaudList);
    const bool portsOk = send(ports, CB_GETCOUNT) == 20 && send(ports, CB_GETCURSEL) == 0;
    expect(portsOk, "port list COM1 .. COM20, the stored COM1 selected");
    expect(send(bauds, CB_GETCOUNT) == 3 && send(bauds, CB_GETCURSEL) == 2,
           "baud-rate list, the stored 38400 selected");
    expect(textOf(::GetDlgItem(main, dialog::kCrcText)) == "0000", "CRC text 0000 before a file is chosen");
}

// The string table of the program's resources says what the boxes say: the texts live twice.
void checkStringTable(const std::string& program) {
    HMODULE module = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::string wrong;
    for (int id : {kStrTitle, kStrCommInitFailed, kStrFileOpenError, kStrMemoryError}) {
        char text[256] = {};
        if (!module || ::LoadStringA(module, id, text, sizeof text) <= 0 || stringResource(id) != text)
            wrong += " " + std::to_string(id);
    }
    if (module) ::FreeLibrary(module);
    expect(wrong.empty(), "string table 129, 133, 135, 136 as the boxes show them" + wrong);
}

bool sameFile(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    return std::string(std::istreambuf_iterator<char>(fa), {}) == std::string(std::istreambuf_iterator<char>(fb), {});
}

bool controlsEnabled(HWND main) {
    for (int id : dialog::kOperatorControls)
        if (!::IsWindowEnabled(::GetDlgItem(main, id))) return false;
    return true;
}

// The modal box the window shows; its text is the static with id 0xFFFF. Closed with OK.
bool answerBox(HWND main, std::string& text, std::chrono::seconds limit) {
    HWND box = nullptr;
    if (!waitFor([&] { return (box = findDialog(dialog::kTitle, main)) != nullptr; }, limit)) return false;
    text = textOf(::GetDlgItem(box, 0xFFFF));
    click(box, IDOK);
    return waitFor([&] { return !::IsWindow(box); }, 30s);
}

// Escape, as the dialog-key handling of the window's loop turns it into Cancel.
void pressEscape(HWND main) {
    ::PostMessageA(main, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    ::PostMessageA(main, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

// After a failed step: the window is still closed the operator's way, so that it deletes its
// px417.dll and saves its settings itself instead of being killed with them left behind. A
// chooser or box still open is cancelled first; each wait is bounded.
int endAfterFailure(HWND main) {
    say("closing the window after the failure");
    for (int round = 0; round < 3 && ::IsWindow(main); ++round) {
        HWND chooser = findDialog("Target File");
        if (!chooser) chooser = ::FindWindowExA(nullptr, nullptr, "#32770", "Target File");  // not shown yet
        if (chooser) {
            click(chooser, IDCANCEL);
            waitFor([&] { return !::IsWindow(chooser); }, 30s);
        }
        if (HWND box = findDialog(dialog::kTitle, main)) {
            click(box, IDOK);
            waitFor([&] { return !::IsWindow(box); }, 30s);
        }
        if (::IsWindowEnabled(main)) pressEscape(main);
        waitFor([&] { return !::IsWindow(main); }, 20s);
    }
    say(::IsWindow(main) ? "FAIL the window did not close" : "the window closed");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8 || (std::string(argv[1]) != "whole" && std::string(argv[1]) != "abandon")) {
        std::fprintf(stderr, "usage: gui_driver whole|abandon GUI-DIR BUILT-PX417 IMAGE FILE-CRC VERSION SHOT-FLAG\n");
        return 2;
    }
    const bool abandon = std::string(argv[1]) == "abandon";
    const std::string guiDir = argv[2], builtLibrary = argv[3], image = argv[4], fileCrc = argv[5], version = argv[6],
                      shotFlag = argv[7];

    HWND main = nullptr;
    if (!waitFor([&] { return (main = findDialog(dialog::kTitle)) != nullptr; }, 300s)) {
        say("FAIL the window did not appear");
        return 1;
    }
    say("the window is up");
    checkTemplate(main);
    checkStringTable(guiDir + "\\Unit Loader ver1.21.exe");
    expect(sameFile(guiDir + "\\px417.dll", builtLibrary), "px417.dll beside the program, the built library unchanged");

    // BROWSE: the open-file dialog titled "Target File"; its file-name field takes the path.
    // Its first start loads much of the system under emulation: the owner is disabled as soon
    // as the modal chooser begins, and it may take minutes to show on a busy machine.
    click(main, dialog::kBrowse);
    HWND chooser = nullptr;
    const bool modal = waitFor([&] { return !::IsWindowEnabled(main) || findDialog("Target File"); }, 120s);
    const bool chooserUp = modal && waitFor([&] { return (chooser = findDialog("Target File")) != nullptr; }, 180s);
    // Which event did not come: the chooser's start, or its showing (made, never shown).
    const char* why = !modal ? " (the window stayed enabled)"
                      : !chooserUp && ::FindWindowExA(nullptr, nullptr, "#32770", "Target File")
                          ? " (made, but not shown)"
                          : "";
    expect(chooserUp, std::string("BROWSE opens \"Target File\"") + why);
    if (!chooserUp) return endAfterFailure(main);
    HWND nameField = ::GetDlgItem(chooser, 0x47c);  // the file-name combo of the newer dialog
    if (!nameField) nameField = ::GetDlgItem(chooser, 0x480);
    send(nameField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(image.c_str()));
    click(chooser, IDOK);
    expect(waitFor([&] { return textOf(::GetDlgItem(main, dialog::kFileName)) == image; }, 60s),
           "the chosen file in the file field");
    expect(textOf(::GetDlgItem(main, dialog::kCrcText)) == fileCrc, "file CRC " + fileCrc + " beside it");

    // Start Download: runs to the success box, then the controls come back.
    const auto started = Clock::now();
    click(main, dialog::kStartDownload);
    expect(waitFor([&] { return !::IsWindowEnabled(::GetDlgItem(main, dialog::kStartDownload)); }, 30s),
           "operator controls disabled while the download runs");
    if (abandon) {
        expect(waitFor([&] { return textOf(::GetDlgItem(main, dialog::kStatusLine)) == "Deleting"; }, 120s),
               "the status line says Deleting while the unit erases");
        pressEscape(main);
        expect(waitFor([&] { return !::IsWindow(main); }, 120s), "Escape during the download closes the window");
        return failures == 0 ? 0 : endAfterFailure(main);
    }
    std::string box;
    const bool answered = answerBox(main, box, 600s);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
    expect(answered && box.rfind("The target file was downloaded successfully", 0) == 0,
           "download ends with the success box after " + std::to_string(seconds) + " s: " + box);
    expect(waitFor([&] { return controlsEnabled(main); }, 30s), "operator controls enabled again");

    // Version Check: the unit's version in its field.
    click(main, dialog::kVersionCheck);
    const bool shown = waitFor(
        [&] { return controlsEnabled(main) && textOf(::GetDlgItem(main, dialog::kVersionText)) == version; }, 300s);
    expect(shown, "Version Check shows \"" + version + "\" (shows \"" +
                      textOf(::GetDlgItem(main, dialog::kVersionText)) + "\")");
    std::string stray;
    if (findDialog(dialog::kTitle, main)) answerBox(main, stray, 1s);
    if (!stray.empty()) say("box after the version check: " + stray);

    RECT frame{};
    ::GetWindowRect(main, &frame);
    say("SHOT " + std::to_string(frame.right - frame.left) + "x" + std::to_string(frame.bottom - frame.top) + "+" +
        std::to_string(frame.left) + "+" + std::to_string(frame.top));
    if (!waitFor([&] { return ::GetFileAttributesA(shotFlag.c_str()) != INVALID_FILE_ATTRIBUTES; }, 120s))
        say("no screenshot taken; going on");

    pressEscape(main);
    expect(waitFor([&] { return !::IsWindow(main); }, 120s), "Escape closes the window");
    return failures == 0 ? 0 : endAfterFailure(main);
}
