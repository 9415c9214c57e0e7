#include "session/LibraryClient.h"

#include <algorithm>
#include <boost/format.hpp>
#include <cstring>
#include <vector>

#include "MailslotTrace.h"
#include "platform/GlobalMemory.h"

LibraryClient::~LibraryClient() {
    release();
    results_.clear();
}

bool LibraryClient::bind(const std::string& path) {
    release();
    if (library_.open(path)) {
        load_ = reinterpret_cast<LoadFn>(library_.symbol("load"));
        request_ = reinterpret_cast<RequestFn>(library_.symbol("request"));
        unload_ = reinterpret_cast<UnloadFn>(library_.symbol("unload"));
        if (load_ && request_ && unload_) return load_();
    }
    library_.close();
    load_ = nullptr;
    request_ = nullptr;
    unload_ = nullptr;
    return false;
}

void LibraryClient::release() {
    if (!library_.isOpen()) return;
    if (unload_) unload_();
    library_.close();
    load_ = nullptr;
    request_ = nullptr;
    unload_ = nullptr;
}

CommMessage LibraryClient::exchange(const std::string& requestText) {
    CommMessage response;
    if (!request_) return response;
    char* block = platform::globalAlloc(requestText.size() + 1);
    if (!block) return response;
    std::memcpy(block, requestText.data(), requestText.size());
    int length = static_cast<int>(requestText.size());
    char* reply = request_(block, &length);  // the request block now belongs to the library
    if (reply) {
        const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
        const char* end = static_cast<const char*>(std::memchr(reply, '\0', n));
        response.parse(std::string_view(reply, end ? static_cast<std::size_t>(end - reply) : n));
        platform::globalFree(reply);
    }
    return response;
}

std::string LibraryClient::openRequest(const std::string& portName, std::int32_t baudRate) {
    CommMessage request(px417proto::kRequestLine);
    request["Method"] = "Open";
    request["Argument0"] = portName;
    request["Argument1"] = writeNumber(baudRate);
    request["Argument2"] = "8";
    return request.serialise();
}

std::string LibraryClient::closeRequest() {
    CommMessage request(px417proto::kRequestLine);
    request["Method"] = "Close";
    return request.serialise();
}

std::string LibraryClient::commandRequest(const ByteBuffer& frame) {
    std::string hex;
    hex.reserve(frame.size() * 3);
    for (std::uint8_t b : frame.bytes()) hex += (boost::format("%02X ") % static_cast<unsigned>(b)).str();
    CommMessage request(px417proto::kRequestLine);
    request["Method"] = "Command";
    request["Argument0"] = writeNumber(frame.size());
    request["Argument1"] = base64Encode(frame.data(), frame.size());
    request["Argument2"] = hex;
    return request.serialise();
}

void LibraryClient::keepStatus(const CommMessage& response) {
    results_["ResultCode"] = response.get("ResultCode");
    results_["ResultMessage"] = response.get("ResultMessage");
}

bool LibraryClient::open(const std::string& portName, std::int32_t baudRate) {
    if (!isBound()) return false;
    CommMessage response = exchange(openRequest(portName, baudRate));
    keepStatus(response);
    results_["ErrorCode"] = response.get("Argument0");
    MailslotTrace trace;
    if (trace.open(kLoaderTraceName)) trace.write("Result = " + response.serialise() + "\n");
    return true;
}

void LibraryClient::close() {
    if (!isBound()) return;
    CommMessage response = exchange(closeRequest());
    keepStatus(response);
    results_["ErrorCode"] = response.get("Argument0");
}

namespace {
// What a failed Command response says went wrong: px417's transaction result, or that it
// never got as far as the port.
LinkError errorOf(const std::string& resultCode, const std::string& errorCode) {
    if (resultCode == "401") return LinkError::NotOpen;
    if (resultCode != "403") return LinkError::Malformed;
    if (errorCode == "102") return LinkError::NoReply;
    if (errorCode == "105") return LinkError::BadCheckCode;
    if (errorCode == "107") return LinkError::SendFailed;
    return LinkError::Malformed;
}
}  // namespace

bool LibraryClient::command(ByteBuffer& frame) {
    lastError_ = LinkError::NotOpen;
    if (!isBound()) return false;
    CommMessage response = exchange(commandRequest(frame));
    keepStatus(response);
    if (response.get("ResultCode") != "200") {
        results_["ErrorCode"] = response.get("Argument0");
        lastError_ = errorOf(response.get("ResultCode"), response.get("Argument0"));
        return false;
    }
    results_["ResponseLength"] = response.get("Argument0");
    results_["ResponseText"] = response.get("Argument1");
    // A length that is not a number means a response we cannot trust: report failure, keep the frame.
    lastError_ = LinkError::Malformed;
    if (!readNumber(response.get("Argument0"))) return false;
    lastError_ = LinkError::None;
    const std::vector<std::uint8_t> reply = base64Decode(response.get("Argument1"));
    frame.clear();
    if (frame.append(reply.data(), reply.size())) return true;
    lastError_ = LinkError::Malformed;
    return false;
}

std::string LibraryClient::result(const std::string& key) { return results_[key]; }
