#pragma once

// A feedback that remembers everything the engine showed, and a link that records what would
// have gone to the unit.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "ByteBuffer.h"
#include "TempDir.h"
#include "TestBytes.h"
#include "download/OperatorFeedback.h"
#include "download/UnitLink.h"
#include "session/Messages.h"

struct RecordedBox {
    enum Kind { Table, Info, Pair } kind;
    std::string caption;
    std::string text;
    std::uint32_t progressWhileUp;  // where the bar stood while the box was open
    bool controlsEnabledWhileUp;
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
    void ShowTableMessage(int id) override { box(RecordedBox::Table, stringResource(kStrTitle), stringResource(id)); }
    void ShowInfoMessage(const std::string& text) override { box(RecordedBox::Info, stringResource(kStrTitle), text); }
    void ShowMessagePair(const std::string& caption, const std::string& text) override {
        box(RecordedBox::Pair, caption, text);
    }
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
    // When set, each box is also noted here as "box", e.g. among a RecordingLink's requests.
    std::vector<std::string>* events = nullptr;

private:
    void box(RecordedBox::Kind kind, const std::string& caption, const std::string& text) {
        boxes.push_back({kind, caption, text, position(), controlsEnabled});
        if (events) events->push_back("box");
    }

    WindowPoster& window_;
};

class RecordingLink : public UnitLink {
public:
    bool connect(WindowPoster&, const std::string& port, std::int32_t baud) override {
        requests.push_back("connect " + port + " " + std::to_string(baud));
        connected = connectWorks;
        return connectWorks;
    }
    bool isConnected() const override { return connected; }
    void disablePolling() override { requests.push_back("nopoll"); }
    void disconnect() override {
        requests.push_back("disconnect");
        connected = false;
    }
    void requestStatus() override { requests.push_back("poll"); }
    void retryStatus() override { requests.push_back("paced poll"); }
    void sendStartDownload() override { requests.push_back("start"); }
    void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) override {
        requests.push_back("block " + std::to_string(offset) + " " + std::to_string(data.size()));
    }
    void sendVerify(const std::array<std::uint8_t, 6>& record) override {
        requests.push_back(record == std::array<std::uint8_t, 6>{} ? "verify" : "verify?");
    }
    void sendAck() override { requests.push_back("ack"); }
    void sendVersionRequest() override { requests.push_back("version"); }

    std::vector<std::string> take() { return std::exchange(requests, {}); }

    bool connectWorks = true;
    bool connected = false;
    std::vector<std::string> requests;
};
