#pragma once

#include <cstdint>

#include "UnitLoaderVersion.h"

// Dialog template 129, the operator's window, as data: every front lays its controls out from
// it. Positions and sizes are dialog units of the template font (x in quarters of its average
// character width, y in eighths of its height).
namespace dialog {

inline constexpr const char* kTitle = UL_TITLE;
inline constexpr int kClientWidth = 383;
inline constexpr int kClientHeight = 173;
inline constexpr const char* kFontFace = "Arial";
inline constexpr int kFontPoints = 8;

// Control ids.
inline constexpr int kIdOk = 1;      // the Enter key
inline constexpr int kIdCancel = 2;  // Escape, the close box, the system menu's Close
inline constexpr int kFileName = 1000;
inline constexpr int kBrowse = 1001;
inline constexpr int kPortList = 1002;
inline constexpr int kBaudList = 1003;
inline constexpr int kStatusLine = 1004;
inline constexpr int kProgress = 1005;
inline constexpr int kStartDownload = 1006;
inline constexpr int kVersionText = 1007;
inline constexpr int kFileNameLabel = 1008;
inline constexpr int kPortLabel = 1009;
inline constexpr int kBaudLabel = 1010;
inline constexpr int kStatusLabel = 1011;
inline constexpr int kConnect = 1012;
inline constexpr int kCrcText = 1013;
inline constexpr int kVersionLabel = 1014;
inline constexpr int kVersionCheck = 1015;
inline constexpr int kNoId = -1;  // the "CRC:" caption

enum class Kind { Edit, Label, Button, DropList, ProgressBar };
enum class Align { Left, Centre, Right };

struct Control {
    int id;
    Kind kind;
    const char* text;
    int x, y, width, height;  // for drop lists the height includes the dropped-down list
    Align align;
    bool border;
};

// In template order, which is also the tab order. Edits are read-only and scroll sideways.
inline constexpr Control kControls[] = {
    {kFileName, Kind::Edit, "", 103, 33, 122, 12, Align::Left, true},
    {kFileNameLabel, Kind::Label, "File Name", 49, 35, 49, 8, Align::Centre, false},
    {kBrowse, Kind::Button, "BROWSE", 230, 33, 50, 12, Align::Centre, false},
    {kPortList, Kind::DropList, "", 73, 57, 62, 82, Align::Left, false},
    {kPortLabel, Kind::Label, "Port", 54, 59, 14, 8, Align::Right, false},
    {kBaudLabel, Kind::Label, "Baudrate", 153, 59, 41, 8, Align::Right, false},
    {kBaudList, Kind::DropList, "", 207, 57, 76, 81, Align::Left, false},
    {kStatusLabel, Kind::Label, "Status", 41, 85, 59, 11, Align::Right, false},
    {kStatusLine, Kind::Label, "", 111, 85, 235, 10, Align::Left, true},
    {kProgress, Kind::ProgressBar, "", 41, 144, 308, 15, Align::Left, true},
    {kStartDownload, Kind::Button, "Start Download", 43, 104, 307, 32, Align::Centre, false},
    {kConnect, Kind::Button, "Connect", 295, 58, 46, 11, Align::Centre, false},
    {kNoId, Kind::Label, "CRC:", 285, 35, 17, 8, Align::Right, false},
    {kCrcText, Kind::Label, "", 312, 35, 28, 8, Align::Left, false},
    {kVersionText, Kind::Edit, "", 103, 15, 167, 12, Align::Left, true},
    {kVersionLabel, Kind::Label, "Software Version", 25, 18, 70, 8, Align::Centre, false},
    {kVersionCheck, Kind::Button, "Version Check", 285, 15, 62, 12, Align::Centre, false},
};

// Switched to the system's default GUI font at start-up, in this order; the rest keep the
// template font.
inline constexpr int kGuiFontControls[] = {kFileNameLabel, kPortLabel, kBaudLabel, kStatusLabel,
                                           kStartDownload, kBrowse,    kConnect};

// Enabled and disabled together, in this order.
inline constexpr int kOperatorControls[] = {kStartDownload, kBrowse, kFileName, kPortList, kBaudList, kVersionCheck};

// Pixels from dialog units, as the window system converts a dialog rectangle: each edge on its
// own, rounded to the nearest pixel.
struct PixelRect {
    int x, y, width, height;
};
inline constexpr int toPixels(int units, int base, int divisor) {
    return (units * base + (units >= 0 ? divisor / 2 : -divisor / 2)) / divisor;
}
inline constexpr PixelRect toPixels(int x, int y, int width, int height, int baseX, int baseY) {
    const int left = toPixels(x, baseX, 4), top = toPixels(y, baseY, 8);
    return {left, top, toPixels(x + width, baseX, 4) - left, toPixels(y + height, baseY, 8) - top};
}

}  // namespace dialog
