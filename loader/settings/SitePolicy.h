#pragma once

#include <string>

// What a site sets once for every user of a machine, in a file only an administrator can write:
// "Key,value" lines as in the settings file. Today one key: "Records,required" refuses
// --no-record, so that no download or version check goes unrecorded.
struct SitePolicy {
    bool recordsRequired = false;
    std::string source;  // the file that required records
};

// The system-wide file (Linux: /etc/unit-loader/policy; the Windows build has none), then the
// file UNIT_LOADER_POLICY names, which may add a requirement but never lift one.
SitePolicy readSitePolicy();
// The system-wide file's path; empty where there is none.
std::string systemPolicyPath();
