#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "session/LinkError.h"

class ByteBuffer;

// The nine ways a download gives up, each when its waiting state's retry limit is reached; the
// version check gives up in the first two ways. Operators know them as F1 to F9 (the numbers
// below), as the command-line loader's exit codes name them.
enum class Failure {
    NotDisabled = 1,        // F1: no Disable before the download start (or the version request)
    NoStartAck = 2,         // F2: download start (or version request) not answered
    NotErased = 3,          // F3: no ready after erasing
    NoFirstBlockAck = 4,    // F4: first block not acknowledged
    NoReady = 5,            // F5: no ready or busy after a block
    NoBlockAck = 6,         // F6: a middle block not acknowledged
    NoLastBlockAck = 7,     // F7: the short last block not acknowledged
    NotReadyAfterLast = 8,  // F8: no ready after the last block
    NoVerifyAck = 9,        // F9: verify command not acknowledged
};
inline constexpr int failureNumber(Failure failure) { return static_cast<int>(failure); }

// How the last download or version check ended, as a front needs to know it without reading
// the box texts.
enum class Outcome {
    None,               // nothing has run yet
    Running,            // a download or version check is under way
    Success,            // verified and Disable again, or the version shown
    Warning,            // verify result D3 80, then Disable
    Failed,             // gave up; the report's failure says which way
    ConnectionFailure,  // the port could not be opened (message 133)
    FileError,          // the download file could not be loaded
    NoFileSelected,     // Start Download without a loaded file
    TimedOut,           // stopped by the run's total limit
    Stalled,            // stopped after no progress for the stall limit
    Interrupted,        // stopped on request (a signal, the operator)
};

// What a run was stopped for by its watch (RunWatch).
enum class StopReason { TimedOut, Stalled, Interrupted };

enum class RunKind { Download, VersionCheck };

// Why a download file could not be loaded; each has its own box.
enum class FileProblem { None, OpenError, MemoryError, Invalid };

struct BoxText {
    std::string caption;
    std::string text;
};

// The port and baud rate a run connects with, as the front chose them.
struct Connection {
    static constexpr std::int32_t kDefaultBaud = 9600;
    std::string port;
    std::int32_t baud = kDefaultBaud;

    // From the texts of the port and baud-rate lists: the port cut at 255 characters, a baud
    // rate that is not a whole decimal number read as 9600.
    static Connection fromTexts(const std::string& port, const std::string& baudText);
};

// The message box a run ended with, as the operator is shown it.
struct ReportBox {
    enum class Kind {
        None,   // nothing shown (a version check that read the version)
        Table,  // caption 129, string `stringId`, no icon
        Info,   // caption 129, the text, information icon
        Pair,   // the caption and text, information icon
    };
    Kind kind = Kind::None;
    int stringId = 0;
    std::string caption;
    std::string text;
};

// Everything about one run as plain values, delivered once when it ends (OperatorFeedback::
// RunEnded). Fronts show, print or record it; none reads the engine's state for it.
struct RunReport {
    static constexpr std::size_t kStates = 14;  // the download sequencer's states 0..13

    RunKind kind = RunKind::Download;
    Outcome outcome = Outcome::None;
    std::optional<Failure> failure;  // while the outcome is Failed
    FileProblem fileProblem = FileProblem::None;
    ReportBox box;
    Connection connection;

    // The download file: as chosen, and what was read of it (nothing when it would not load).
    std::string file;
    bool imageLoaded = false;
    std::uint32_t fileSize = 0;
    std::uint16_t fileCrc = 0;
    std::uint32_t blockCount = 0;
    std::uint32_t blankBlocks = 0;  // all 0xFF: passed over, never sent

    // How far it came.
    std::uint32_t blocksDone = 0;  // blocks passed, sent or blank
    std::uint32_t blocksSent = 0;  // blocks the unit acknowledged
    // Replies that counted against a waiting state's retry limit, by state (the version check
    // counts its wait for Disable under state 1, its wait for the version under state 2).
    std::array<std::uint32_t, kStates> retries{};
    std::uint32_t lastState = 0;  // the sequencer's state when the run ended (or was stopped)
    int versionStep = 0;          // the version check's step then (1 Disable, 2 version reply)

    // What the unit said.
    std::optional<std::uint8_t> verifyResult;  // 0x00 or 0x80, from the verify result D3 xx
    std::uint8_t unitCrc5 = 0;                 // the verify result's bytes 5 and 4, shown as CRC
    std::uint8_t unitCrc4 = 0;
    std::string unitVersion;                    // a version check's reply text
    LinkError lastLinkError = LinkError::None;  // of the last Alarm of the run
    std::string lastReply = "nothing";          // the last reply in words (for a stall's text)

    std::chrono::system_clock::time_point startedAt{};
    std::chrono::system_clock::time_point endedAt{};
    std::chrono::steady_clock::duration duration{};

    // When the run's watch stopped it: why, the limit, who asked (a stop request's cause, "because
    // unit-loader-cli got SIGINT"), and how long the exchange in progress took to end after that.
    struct Stop {
        StopReason reason = StopReason::Interrupted;
        std::chrono::milliseconds limit{0};
        std::string cause;
        std::chrono::steady_clock::duration took{};
    };
    std::optional<Stop> stop;

    double seconds() const { return std::chrono::duration<double>(duration).count(); }
    // True for the outcomes whose verify result bytes say something (success and warning).
    bool verified() const { return outcome == Outcome::Success || outcome == Outcome::Warning; }
};

// The box a report ends with: the one function that turns an outcome into caption and text.
ReportBox reportBox(const RunReport& report);
// A box in one line, for a table of several runs: its caption, or the first line of its text when
// the caption is only the program's title (Table and Info boxes).
std::string boxHeadline(const ReportBox& box);
// The box of an attempt whose record could not be begun (nothing was sent), and of one whose end
// could not be recorded; `why` says what to do about it.
ReportBox recordRefusedBox(const std::string& why);
// A download file whose bytes are not the image expected: nothing was sent.
ReportBox imageMismatchBox(const std::string& expectedSha256, const std::string& foundSha256);
ReportBox recordEndFailedBox(const std::string& why);
// The box of a download file that would not load ("File Open Error", ...).
ReportBox fileProblemBox(FileProblem problem);
// The failure boxes, as reportBox shows them.
BoxText failureBox(Failure failure);
// What the run was waiting for when it ended or was stopped, in an operator's words.
std::string waitingFor(const RunReport& report);
// One reply from the worker in an operator's words: the unit's code, named where the loader
// knows it, or that the exchange failed (an Alarm).
std::string replyInWords(const ByteBuffer& reply, bool alarm);
