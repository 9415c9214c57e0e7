#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "Attempt.h"
#include "download/RunReport.h"

// What a front knows of an attempt beyond the run's report.
struct AttemptContext {
    std::string id;  // newAttemptId()
    std::string operatorName;
    std::string unitId;
    std::string port;    // as given
    std::string portId;  // stablePortId(port)
    std::string fileSha256;
    std::string note;
    std::string verdictId;  // a station's verdict on the unit, which judges this attempt
};

// Bytes as lower-case hex digits.
std::string hexDigits(const unsigned char* bytes, std::size_t n);
// A random 128-bit id, 32 lower-case hex digits.
std::string newAttemptId();
// UTC, ISO 8601 with milliseconds: "2026-12-08T23:58:39.123Z".
std::string isoTime(std::chrono::system_clock::time_point t);
// SHA-256 of the bytes as 64 lower-case hex digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);
// The stable name of a port: its /dev/serial/by-id name and, for a USB adapter, maker, ids and
// serial number; else the device it leads to.
std::string stablePortId(const std::string& port);
// The login name of the user running this program.
std::string loginName();
// This machine's host name.
std::string stationName();

// The attempt as it is begun: who, where, what file, before anything is sent.
Attempt begunAttempt(RunKind kind, const AttemptContext& context, std::int32_t baud, const std::string& file,
                     std::uint32_t fileSize, std::uint16_t fileCrc, std::uint32_t blankBlocks);
// The attempt as it ended, from the run's report; `outcome` and `exitCode` as the exit-code table
// names them.
Attempt endedAttempt(const RunReport& report, const AttemptContext& context, const std::string& outcome, int exitCode);
