#include "RecordStore.h"
#include "platform/ProgramDirectory.h"

// The MinGW build has no SQLite: the journal is the records.
StoreKind recordStoreKind(const std::string&) { return StoreKind::Journal; }
std::unique_ptr<RecordStore> openRecordStore(const std::string& path, RecordAccess access) {
    return openJournalStore(path, access);
}

// Beside the program, where its settings file is.
std::string defaultRecordsPath() {
    const std::string dir = platform::programDirectory();
    return dir.empty() ? std::string() : dir + "records.jsonl";
}
