#pragma once

#include <optional>
#include <string>

#include "RecordStore.h"

// How the records file (an SQLite file and its -wal and -shm, or a journal) is made and opened,
// one file per platform: private to its user, and never through a symbolic link, which could
// send the evidence (or what is read as evidence) anywhere.
namespace recordfile {

// Makes the folders of `path` that are missing, each private to the user (0700).
void makeFolders(const std::string& path);
// The error for a records file (`what`: "records file", "records journal") that is a symbolic
// link; nothing for anything else, a file not there included.
std::optional<RecordError> refuseLink(const std::string& path, const std::string& what);
inline RecordError linkRefused(const std::string& path, const std::string& what) {
    return RecordError(RecordError::Kind::CannotOpen,
                       "the " + what + " " + path + " is a symbolic link, which is not followed; name the file itself");
}
// Makes `path` empty and private to the user (0600) when it is not there, not following a link.
void makePrivate(const std::string& path);

}  // namespace recordfile
