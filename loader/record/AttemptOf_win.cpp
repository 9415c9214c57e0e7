// What an attempt takes from a Windows machine: the image's hash (the system's CNG, as the
// MinGW build has no OpenSSL), the port as given, the user and the host.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>

#include "AttemptOf.h"

namespace {

// The algorithm provider and one hash object, closed on every way out.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider() {
        if (handle) ::BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct Hash {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~Hash() {
        if (handle) ::BCryptDestroyHash(handle);
    }
};

bool ok(NTSTATUS status) { return status >= 0; }

}  // namespace

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    Provider provider;
    if (!ok(::BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
    Hash hash;
    if (!ok(::BCryptCreateHash(provider.handle, &hash.handle, nullptr, 0, nullptr, 0, 0))) return {};
    // BCryptHashData takes at most a ULONG at a time.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (!ok(::BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes.data() + done), n, 0))) return {};
        done += n;
    }
    unsigned char digest[32];
    if (!ok(::BCryptFinishHash(hash.handle, digest, sizeof digest, 0))) return {};
    return hexDigits(digest, sizeof digest);
}

// A COM port's name is what Windows keeps stable for an adapter.
std::string stablePortId(const std::string& port) { return port; }

std::string loginName() {
    char name[257] = {};
    DWORD size = sizeof name;
    if (::GetUserNameA(name, &size)) return name;
    return "unknown";
}

std::string stationName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return name;
    return "unknown";
}
