#include "CommService.h"

#include <new>

#include "ByteBuffer.h"
#include "CommMessage.h"
#include "MailslotTrace.h"
#include "UnitPort.h"

namespace {

std::unique_ptr<UnitPort> makePort() {
    try {
        return std::make_unique<UnitPort>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

CommService::CommService()
    : methods_{{{"Open", &CommService::handleOpen},
                {"Close", &CommService::handleClose},
                {"Command", &CommService::handleCommand}}} {}

CommService::~CommService() { releasePort(); }

std::string CommService::dispatch(std::string_view request) {
    std::string response;
    MailslotTrace::line(kTraceName, request);
    CommMessage message;
    message.parse(request);
    const std::string method = message.get("Method");
    for (const auto& m : methods_) {
        if (method == m.name) {
            response = (this->*m.handler)(message);
            break;
        }
    }
    MailslotTrace::line(kTraceName, response);
    return response;
}

void CommService::releasePort() {
    if (!port_) return;
    port_->close();
    port_.reset();
}

std::string CommService::handleOpen(CommMessage& request) {
    const std::string portName = request["Argument0"];
    const auto baudRate = readNumber(request["Argument1"]);
    if (!baudRate) return CommMessage(px417proto::kMemoryFailureLine).serialise();
    const auto dataBits = readNumber(request["Argument2"]);
    if (!dataBits) return CommMessage(px417proto::kMemoryFailureLine).serialise();

    // An earlier port would otherwise stay held, and a new Open of its device would fail.
    releasePort();
    port_ = makePort();
    if (!port_) return CommMessage(px417proto::kMemoryFailureLine).serialise();

    const bool opened = port_->open(portName, *baudRate, *dataBits);
    return CommMessage(opened ? px417proto::kOkLine : px417proto::kMemoryFailureLine).serialise();
}

std::string CommService::handleClose(CommMessage&) {
    releasePort();
    return CommMessage(px417proto::kOkLine).serialise();
}

std::string CommService::handleCommand(CommMessage& request) {
    if (!port_) return CommMessage(px417proto::kMemoryFailureLine).serialise();
    if (!readNumber(request["Argument0"])) return CommMessage(px417proto::kMemoryFailureLine).serialise();

    const auto bytes = base64Decode(request["Argument1"]);
    ByteBuffer command(bytes.data(), bytes.size());
    ByteBuffer reply;
    const std::int32_t result = port_->transact(command, reply);

    if (result == TRANSACT_OK) {
        CommMessage response(px417proto::kOkLine);
        response["Argument0"] = writeNumber(reply.size());
        response["Argument1"] = base64Encode(reply.data(), reply.size());
        return response.serialise();
    }
    CommMessage response(px417proto::kProtocolErrorLine);
    response["Argument0"] = writeNumber(result);
    return response.serialise();
}
