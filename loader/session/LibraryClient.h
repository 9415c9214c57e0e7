#pragma once

#include <map>
#include <string>

#include "ByteBuffer.h"
#include "CommMessage.h"
#include "TraceNames.h"
#include "session/LinkError.h"
#include "session/platform/System.h"

// Owns one loaded copy of px417 and speaks the request texts to it. One per connection.
class LibraryClient {
public:
    using LoadFn = bool (*)();
    using RequestFn = char* (*)(char*, int*);
    using UnloadFn = unsigned char (*)();

    LibraryClient() = default;
    virtual ~LibraryClient();
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;

    // Loads the library at `path` and calls its `load`. False when it cannot be loaded or lacks
    // an entry point (nothing stays loaded) or when `load` says no (released on destruction).
    bool bind(const std::string& path);
    void release();
    bool isBound() const { return library_.isOpen(); }

    // One request text in, the parsed response out.
    CommMessage exchange(const std::string& requestText);

    // True whatever the port did; the caller reads result("ResultCode").
    bool open(const std::string& portName, std::int32_t baudRate);
    void close();
    // On success `frame` holds the reply; on failure it keeps the frame that was sent, and
    // lastError() says why it failed.
    bool command(ByteBuffer& frame);
    LinkError lastError() const { return lastError_; }
    // Reading a key never written gives the empty text (and records it).
    std::string result(const std::string& key);

    static std::string openRequest(const std::string& portName, std::int32_t baudRate);
    static std::string closeRequest();
    static std::string commandRequest(const ByteBuffer& frame);

private:
    void keepStatus(const CommMessage& response);

    platform::DynamicLibrary library_;
    LoadFn load_ = nullptr;
    RequestFn request_ = nullptr;
    UnloadFn unload_ = nullptr;
    std::map<std::string, std::string> results_;
    LinkError lastError_ = LinkError::None;
};

inline constexpr const char* kLoaderTraceName = tracename::kLoader;
