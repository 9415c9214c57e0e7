#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A station's job: which image goes into every unit, which version the unit must report after
// it, and the slots (one cable each). Read from a TOML file; every problem is reported with the
// line it is on, so an operator can fix the file without guessing.
namespace station {

enum class Presence { Poll, Hotplug };

struct Slot {
    std::string name;
    std::string port;
    int line = 0;  // of its port in the job file, for what is said of the port
};

struct Job {
    std::string name;
    std::string fileSha256;   // of the job file as read (empty for a job parsed from text)
    std::string image;        // as written in the file
    std::string imagePath;    // resolved against the job file's folder
    std::string imageSha256;  // lower-case hex
    std::string expectVersion;
    std::uint32_t baud = 9600;
    Presence presence = Presence::Poll;
    int retries = 0;
    int stopAfterFailures = 0;  // 0: never pause
    int quota = 0;              // 0: no quota
    std::string operatorName;
    bool scanUnitId = false;    // unit_id = "scan": no unit is loaded before its id is scanned
    std::string recordsServer;  // the records server the station forwards to; empty: the settings'
    std::vector<Slot> slots;
};

struct JobResult {
    std::optional<Job> job;
    std::string error;  // "FILE:LINE: what" when the job could not be read
};

// Reads and checks the job file at `path`. The image itself is not read here.
JobResult readJobFile(const std::string& path);
// The same from text, `origin` naming it in errors and resolving the image's path.
JobResult parseJob(const std::string& text, const std::string& origin);

// The image as the station holds it: read once at start, hashed, never read again.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::string sha256;  // lower-case hex
};
// Reads the job's image and checks its hash. An error (naming both hashes on a mismatch) when
// it cannot be read or is not the image the job names.
std::optional<Image> loadImage(const Job& job, std::string& error);

}  // namespace station
