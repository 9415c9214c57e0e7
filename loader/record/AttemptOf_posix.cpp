// What an attempt takes from a Linux machine: the image's hash, the port's stable name, the
// user and the host.
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "AttemptOf.h"
#include "session/SerialDevices.h"
#include "session/platform/System.h"

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr)) return {};
    return hexDigits(digest, n);
}

std::string stablePortId(const std::string& port) {
    std::error_code ec;
    const auto device = std::filesystem::weakly_canonical(port, ec);
    if (ec) return {};
    for (const SerialPortInfo& info : listSerialPorts()) {
        if (info.device != device.string()) continue;
        std::string id = info.byId.empty() ? info.device : info.byId.front();
        if (!info.description.empty()) id += " (" + info.description + ")";
        return id;
    }
    return device.string();
}

std::string loginName() {
    // A station's slots ask from threads of their own at once.
    if (std::string name = platform::userNameOf(::getuid()); !name.empty()) return name;
    if (const char* user = std::getenv("USER"); user && *user) return user;
    return std::to_string(::getuid());
}

std::string stationName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}
