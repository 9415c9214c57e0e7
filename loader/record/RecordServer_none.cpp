// A build without libpqxx (the Windows flavour, the demo's): the records stay local.
#include "RecordServer.h"

bool recordServerBuilt() { return false; }

ServerUrlReading readServerUrl(const std::string&) { return {}; }

std::unique_ptr<RecordServer> connectRecordServer(const std::string&, std::chrono::seconds) {
    throw RecordError(RecordError::Kind::CannotOpen,
                      "this build of Unit Loader cannot reach a records server (it was built without libpqxx); "
                      "the attempts stay in the local records file");
}
