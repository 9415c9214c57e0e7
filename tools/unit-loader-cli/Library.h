#pragma once

#include <string>

// The embedded px417 written out for this run under a name no other run uses, so that
// concurrent runs never replace or delete each other's copy; removed again when destroyed.
class ExtractedLibrary {
public:
    ExtractedLibrary() = default;
    ~ExtractedLibrary() { remove(); }
    ExtractedLibrary(const ExtractedLibrary&) = delete;
    ExtractedLibrary& operator=(const ExtractedLibrary&) = delete;

    // Beside the program as "px417.<pid>.so" (or .dll); in a private temporary directory when
    // the program's directory cannot be written, or on Linux when others could write it too.
    // False when neither works.
    bool extract();
    void remove();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string tempDir_;
};
