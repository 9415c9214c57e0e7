#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "download/RunReport.h"

// What the download engine needs from the window it runs in. The Qt window, the command-line
// front and the tests each implement it; the engine itself never touches a toolkit.
// Every call happens on the thread that pumps the window's messages.
class OperatorFeedback {
public:
    virtual ~OperatorFeedback() = default;

    // The six operator controls (Start Download, BROWSE, file name, port list, baud-rate list,
    // Version Check), switched together in that order.
    virtual void EnableOperatorControls() = 0;
    virtual void DisableOperatorControls() = 0;

    // Rewrites the status line from a reply's code byte, first data byte and the sequencer's
    // state. The default applies the shared status table through SetStatusText.
    virtual void ShowUnitStatus(std::uint8_t code, std::uint8_t data, std::uint32_t state);

    virtual void SetStatusText(const std::string& text) = 0;
    // Progress positions and range are full 32-bit: an image may have more than 65535 blocks.
    virtual void SetProgressRange(std::uint32_t maximum) = 0;  // minimum is always 0
    virtual void SetProgress(std::uint32_t position) = 0;
    virtual void SetVersionText(const std::string& text) = 0;
    virtual void SetFileNameText(const std::string& path) = 0;
    virtual void SetCrcText(const std::string& text) = 0;

    // Message boxes. Each is modal: the call returns once the operator has closed it.
    // Caption 129, text = string `id`, OK button, no icon.
    virtual void ShowTableMessage(int id) = 0;
    // Caption 129, the given text, information icon.
    virtual void ShowInfoMessage(const std::string& text) = 0;
    // The given caption and text, information icon.
    virtual void ShowMessagePair(const std::string& caption, const std::string& text) = 0;

    // Once the port is open: the port and baud-rate lists are disabled.
    virtual void DisablePortAndBaudLists() = 0;

    // A run has ended (or a file would not load): called once, with everything about it. The
    // default shows the report's box through the three calls above, as the windows do.
    virtual void RunEnded(const RunReport& report);

    // Posts "Orlo::DLG::Message::SENDCANCEL" (no payload) to the window's own queue, the same
    // queue the worker's replies arrive in, so that it is handled after what is already queued.
    virtual void PostSendCancel() = 0;
};

class WindowPoster;

// A front without controls on screen (the command-line loader, benches): every display call does
// nothing and the skip message goes to `window`. Fronts override only what they show.
class HeadlessFeedback : public OperatorFeedback {
public:
    explicit HeadlessFeedback(WindowPoster* window = nullptr) : window_(window) {}

    void EnableOperatorControls() override {}
    void DisableOperatorControls() override {}
    void SetStatusText(const std::string&) override {}
    void SetProgressRange(std::uint32_t) override {}
    void SetProgress(std::uint32_t) override {}
    void SetVersionText(const std::string&) override {}
    void SetFileNameText(const std::string&) override {}
    void SetCrcText(const std::string&) override {}
    void ShowTableMessage(int) override {}
    void ShowInfoMessage(const std::string&) override {}
    void ShowMessagePair(const std::string&, const std::string&) override {}
    void DisablePortAndBaudLists() override {}
    void PostSendCancel() override;

private:
    WindowPoster* window_;
};

// Shows a report's box through `feedback`'s box calls (nothing for a box of kind None).
void showReportBox(const ReportBox& box, OperatorFeedback& feedback);

// String table entries of the program; empty for an id it does not hold.
inline constexpr int kStrTitle = 129;
inline constexpr int kStrCommInitFailed = 133;
inline constexpr int kStrFileOpenError = 135;
inline constexpr int kStrMemoryError = 136;
std::string stringResource(int id);

// The status line for a reply: the new text, or nothing when the line stays as it is.
std::optional<std::string> statusLineFor(std::uint8_t code, std::uint8_t data, std::uint32_t state);
