#include <cstdlib>
#include <filesystem>

#include "RecordStore.h"

StoreKind recordStoreKind(const std::string& path) {
    return path.size() > 6 && path.ends_with(".jsonl") ? StoreKind::Journal : StoreKind::Sqlite;
}

std::unique_ptr<RecordStore> openRecordStore(const std::string& path, RecordAccess access) {
    if (recordStoreKind(path) == StoreKind::Journal) return openJournalStore(path, access);
    return openSqliteStore(path, access);
}

std::string defaultRecordsPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/unit-loader/records.sqlite";
    // A user without a home (a service account such as nobody) has no default place.
    const char* home = std::getenv("HOME");
    std::error_code ec;
    if (!home || *home != '/' || !std::filesystem::is_directory(home, ec)) return {};
    return std::string(home) + "/.local/share/unit-loader/records.sqlite";
}
