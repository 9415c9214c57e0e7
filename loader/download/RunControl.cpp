#include "RunControl.h"

#include <boost/lexical_cast.hpp>

#include "OperatorFeedback.h"
#include "UnitLink.h"

namespace {
constexpr std::int32_t kDefaultBaud = 9600;
constexpr std::size_t kPortTextMax = 255;

const std::string kNoAck = "No Ack message from Acceptor";
const std::string kVerifyConnection = "Verify unit connection to PC";
const std::string kMayRestart = "Download process may need to be restarted";
const std::string kForced = "(Forced download method)";
const std::string kConnectedOn = "Make sure unit is connected and turned on.";
const std::string kNotEnabled = "Make sure unit is not enabled.";
}  // namespace

BoxText failureBox(Failure failure) {
    const BoxText noAck{"ERROR:Premature Termination",
                        kNoAck + "\n\n" + kVerifyConnection + "\n" + kMayRestart + "\n" + kForced};
    const std::string restart = kMayRestart + "\n" + kForced;
    switch (failure) {
    case Failure::NotDisabled: return {"ERROR:Unit is not disabled/connected", kConnectedOn + "\n" + kNotEnabled};
    case Failure::NoStartAck: return noAck;
    case Failure::NotErased: return {"ERROR:Unit is not disabled/connected", kNotEnabled + "\n" + kConnectedOn};
    case Failure::NoFirstBlockAck: return {"ERROR:Communication Error.", restart};
    case Failure::NoReady:
        return {"ERROR:Premature Termination",
                "No Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
                "Verify the unit has Flash ROM\n" +
                    kVerifyConnection + "\nDownload process need to be restarted\n" + kForced};
    case Failure::NoBlockAck: return noAck;
    case Failure::NoLastBlockAck: return noAck;
    case Failure::NotReadyAfterLast: return {"ERROR:Communication Error", restart};
    case Failure::NoVerifyAck: return {"ERROR:No Ack from Acceptor", kVerifyConnection + "\n" + restart};
    }
    return {};
}

RunControl::RunControl(UnitLink& link, OperatorFeedback& feedback, WindowPoster& window)
    : link_(link), feedback_(feedback), window_(window) {}

bool RunControl::connectUnit() {
    std::string port = feedback_.PortText();
    if (port.size() > kPortTextMax) port.resize(kPortTextMax);
    std::int32_t baud = kDefaultBaud;
    try {
        baud = boost::lexical_cast<std::int32_t>(feedback_.BaudText());
    } catch (const boost::bad_lexical_cast&) {
        baud = kDefaultBaud;
    }
    if (link_.connect(window_, port, baud)) {
        feedback_.DisablePortAndBaudLists();
        return true;
    }
    set(Outcome::ConnectionFailure);
    feedback_.ShowTableMessage(kStrCommInitFailed);
    return false;
}

void RunControl::close() {
    link_.disablePolling();
    link_.disconnect();
    feedback_.EnableOperatorControls();
    feedback_.SetStatusText("");
}

void RunControl::end(Outcome outcome) {
    close();
    set(outcome);
}

void RunControl::fail(Failure failure) {
    close();
    set(Outcome::Failed, failure);
    const BoxText box = failureBox(failure);
    feedback_.ShowMessagePair(box.caption, box.text);
}
