#pragma once

#include "TempDir.h"

// A feedback that remembers everything the engine showed, plus the files and replies the
// download tests are made of.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "Crc16.h"
#include "Messages.h"
#include "OperatorFeedback.h"

struct RecordedBox {
    enum Kind { Table, Info, Pair } kind;
    std::string caption;
    std::string text;
    std::uint32_t progressWhileUp;  // where the bar stood while the box was open
};

class RecordingFeedback : public OperatorFeedback {
public:
    explicit RecordingFeedback(WindowPoster& window) : window_(window) {}

    void EnableOperatorControls() override { controlsEnabled = true; }
    void DisableOperatorControls() override { controlsEnabled = false; }
    void SetStatusText(const std::string& text) override { status = text; }
    void SetProgressRange(std::uint32_t maximum) override { progressRange = maximum; }
    void SetProgress(std::uint32_t position) override { progress.push_back(position); }
    void SetVersionText(const std::string& text) override { version = text; }
    void SetFileNameText(const std::string& path) override { fileName = path; }
    void SetCrcText(const std::string& text) override { crcText = text; }
    void ShowTableMessage(int id) override {
        boxes.push_back({RecordedBox::Table, stringResource(kStrTitle), stringResource(id), position()});
    }
    void ShowInfoMessage(const std::string& text) override {
        boxes.push_back({RecordedBox::Info, stringResource(kStrTitle), text, position()});
    }
    void ShowMessagePair(const std::string& caption, const std::string& text) override {
        boxes.push_back({RecordedBox::Pair, caption, text, position()});
    }
    std::string PortText() override { return port; }
    std::string BaudText() override { return baud; }
    void DisablePortAndBaudLists() override { listsEnabled = false; }
    void PostSendCancel() override { window_.postMessage(registerMessage(msgname::kSendCancel), nullptr); }

    std::uint32_t position() const { return progress.empty() ? 0 : progress.back(); }

    std::string port;
    std::string baud = "38400";
    bool controlsEnabled = true;
    bool listsEnabled = true;
    std::string status = "untouched";
    std::uint32_t progressRange = 0;
    std::vector<std::uint32_t> progress;
    std::string version = "untouched";
    std::string fileName;
    std::string crcText = "0000";
    std::vector<RecordedBox> boxes;

private:
    WindowPoster& window_;
};

using Bytes = std::vector<std::uint8_t>;

// A body of `size` - 2 bytes with the trailer appended (CRC high byte first).
inline Bytes withTrailer(Bytes body) {
    const std::uint16_t crc = Crc16::of(body);
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return body;
}

// A valid download file of `size` bytes (at least 2) with no blank block.
inline Bytes makeImage(std::size_t size, unsigned seed = 1) {
    std::mt19937 rng(seed);
    Bytes body(size - 2);
    for (auto& b : body) b = static_cast<std::uint8_t>(rng() % 255);  // never 0xFF
    return withTrailer(std::move(body));
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string hex4(std::uint16_t value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", value);
    return buf;
}
