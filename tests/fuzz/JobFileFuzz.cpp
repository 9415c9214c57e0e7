// Fuzz target: the station's job file reader, which reads files a person wrote. Whatever the
// bytes, the result is a job or an error that names where, never a crash; a job it takes has its
// slots and an image to load, and reads the same a second time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "station/JobFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const station::JobResult result = station::parseJob(text, "/fuzz/job.toml");
    if (!result.job) {
        FUZZ_CHECK(!result.error.empty());
        return 0;
    }
    FUZZ_CHECK(result.error.empty());
    FUZZ_CHECK(!result.job->slots.empty());
    const station::JobResult again = station::parseJob(text, "/fuzz/job.toml");
    FUZZ_CHECK(again.job && again.job->slots.size() == result.job->slots.size());
    return 0;
}
