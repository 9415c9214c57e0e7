#include "station/JobFile.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "SafeText.h"
#include "download/DownloadImage.h"
#include "record/AttemptOf.h"
#include "record/RecordServer.h"

namespace station {
namespace {

struct Problem {
    std::string text;
};

std::string where(const std::string& origin, const toml::source_region& at) {
    return origin + ":" + std::to_string(at.begin.line) + ": ";
}

template <typename T>
T required(const toml::table& table, const char* key, const std::string& origin, const char* what) {
    const toml::node* node = table.get(key);
    if (!node) throw Problem{where(origin, table.source()) + "\"" + key + "\" is missing (" + what + ")"};
    auto value = node->value<T>();
    if (!value) throw Problem{where(origin, node->source()) + "\"" + key + "\" must be " + what};
    return *value;
}

template <typename T>
T optional(const toml::table& table, const char* key, T fallback, const std::string& origin, const char* what) {
    const toml::node* node = table.get(key);
    if (!node) return fallback;
    auto value = node->value<T>();
    if (!value) throw Problem{where(origin, node->source()) + "\"" + key + "\" must be " + what};
    return *value;
}

int count(const toml::table& table, const char* key, std::int64_t low, std::int64_t high, std::int64_t fallback,
          const std::string& origin) {
    const std::int64_t value = optional<std::int64_t>(table, key, fallback, origin, "a whole number");
    if (value < low || value > high)
        throw Problem{where(origin, table.get(key)->source()) + "\"" + key + "\" must be from " + std::to_string(low) +
                      " to " + std::to_string(high)};
    return static_cast<int>(value);
}

void recordText(const toml::table& table, const char* key, const std::string& text, std::size_t maxBytes,
                const std::string& origin) {
    if (const auto problem = safetext::givenTextProblem(text, maxBytes))
        throw Problem{where(origin, table.get(key)->source()) + "\"" + key + "\" " + *problem};
}

bool isHash(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Job readJob(const toml::table& root, const std::string& origin) {
    static const std::set<std::string> known{"name",     "image",   "image_sha256",        "expect_version", "baud",
                                             "presence", "retries", "stop_after_failures", "quota",          "operator",
                                             "unit_id",  "slot",    "records_server"};
    for (const auto& [key, node] : root)
        if (!known.count(std::string(key.str())))
            throw Problem{where(origin, node.source()) + "unknown key \"" + std::string(key.str()) + "\""};

    Job job;
    job.name = required<std::string>(root, "name", origin, "a text");
    // Both go into every record of the job.
    recordText(root, "name", job.name, safetext::kJobNameMax, origin);
    job.image = required<std::string>(root, "image", origin, "a file name");
    job.imageSha256 = lower(required<std::string>(root, "image_sha256", origin, "a text"));
    if (!isHash(job.imageSha256))
        throw Problem{where(origin, root.get("image_sha256")->source()) +
                      "\"image_sha256\" must be 64 hexadecimal digits (the image's SHA-256)"};
    job.expectVersion = required<std::string>(root, "expect_version", origin, "a text");
    if (job.expectVersion.empty())
        throw Problem{where(origin, root.get("expect_version")->source()) + "\"expect_version\" is empty"};
    job.baud = static_cast<std::uint32_t>(count(root, "baud", 1, 4'000'000, 9600, origin));
    const std::string presence = optional<std::string>(root, "presence", "poll", origin, "a text");
    if (presence == "poll")
        job.presence = Presence::Poll;
    else if (presence == "hotplug")
        job.presence = Presence::Hotplug;
    else
        throw Problem{where(origin, root.get("presence")->source()) + "\"presence\" must be \"poll\" or \"hotplug\""};
    job.retries = count(root, "retries", 0, 10, 0, origin);
    job.stopAfterFailures = count(root, "stop_after_failures", 0, 1000, 0, origin);
    job.quota = count(root, "quota", 0, 1'000'000, 0, origin);
    job.operatorName = optional<std::string>(root, "operator", "", origin, "a text");
    recordText(root, "operator", job.operatorName, safetext::kOperatorMax, origin);
    const std::string unitId = optional<std::string>(root, "unit_id", "none", origin, "a text");
    if (unitId != "scan" && unitId != "none")
        throw Problem{where(origin, root.get("unit_id")->source()) + "\"unit_id\" must be \"scan\" or \"none\""};
    job.scanUnitId = unitId == "scan";
    job.recordsServer = optional<std::string>(root, "records_server", "", origin, "a text (a connection URL)");
    // A job file is read by everyone at the line: a password belongs in the station's PGPASSFILE.
    if (urlHasPassword(job.recordsServer))
        throw Problem{where(origin, root.get("records_server")->source()) +
                      "\"records_server\": " + passwordInUrlText()};

    const toml::node* slots = root.get("slot");
    if (!slots) throw Problem{origin + ": no [[slot]]: a job needs at least one slot"};
    const toml::array* list = slots->as_array();
    if (!list || list->empty())
        throw Problem{where(origin, slots->source()) + "\"slot\" must be a list of [[slot]] tables"};
    std::set<std::string> names, ports;
    for (const toml::node& node : *list) {
        const toml::table* table = node.as_table();
        if (!table) throw Problem{where(origin, node.source()) + "a slot must be a [[slot]] table"};
        for (const auto& [key, value] : *table)
            if (key.str() != "name" && key.str() != "port")
                throw Problem{where(origin, value.source()) + "unknown key \"" + std::string(key.str()) +
                              "\" in a slot"};
        Slot slot{required<std::string>(*table, "name", origin, "a text"),
                  required<std::string>(*table, "port", origin, "a device path")};
        slot.line = static_cast<int>(table->get("port")->source().begin.line);
        if (slot.name.empty() || slot.port.empty())
            throw Problem{where(origin, table->source()) + "a slot's name and port must not be empty"};
        if (!names.insert(slot.name).second)
            throw Problem{where(origin, table->source()) + "slot name \"" + slot.name + "\" is used twice"};
        if (!ports.insert(slot.port).second)
            throw Problem{where(origin, table->source()) + "port \"" + slot.port + "\" is used by two slots"};
        job.slots.push_back(std::move(slot));
    }
    std::filesystem::path image(job.image);
    if (image.is_relative()) image = std::filesystem::path(origin).parent_path() / image;
    job.imagePath = image.string();
    return job;
}

}  // namespace

JobResult parseJob(const std::string& text, const std::string& origin) {
    JobResult result;
    try {
        toml::table root = toml::parse(text, origin);
        result.job = readJob(root, origin);
    } catch (const toml::parse_error& e) {
        result.error = origin + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    } catch (const Problem& p) {
        result.error = p.text;
    }
    return result;
}

JobResult readJobFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {std::nullopt, path + ": cannot read the job file"};
    std::ostringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    JobResult result = parseJob(bytes, path);
    if (result.job)
        result.job->fileSha256 = sha256Hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    return result;
}

std::optional<Image> loadImage(const Job& job, std::string& error) {
    // A device (/dev/zero) or a FIFO has no end to read to: only a file of a size a unit can take.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(job.imagePath, ec)) {
        error = job.imagePath + (std::filesystem::exists(job.imagePath, ec)
                                     ? ": not a regular file (a device, a pipe or a folder is no image)"
                                     : ": cannot read the image");
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(job.imagePath, ec);
    if (ec || size > DownloadImage::kMaxFileSize) {
        error = job.imagePath + (ec ? ": cannot read the image" : ": larger than 4 GiB, the unit's address space");
        return std::nullopt;
    }
    std::ifstream in(job.imagePath, std::ios::binary);
    if (!in) {
        error = job.imagePath + ": cannot read the image";
        return std::nullopt;
    }
    Image image;
    // Read as far as the size taken, and never further, should the file grow meanwhile.
    image.bytes.resize(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(image.bytes.data()), static_cast<std::streamsize>(size));
    image.bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        error = job.imagePath + ": cannot read the image";
        return std::nullopt;
    }
    image.sha256 = sha256Hex(image.bytes);
    if (image.sha256 != job.imageSha256) {
        error = job.imagePath + " is not the job's image:\n  image_sha256 in the job: " + job.imageSha256 +
                "\n  SHA-256 of the file:     " + image.sha256;
        return std::nullopt;
    }
    return image;
}

}  // namespace station
