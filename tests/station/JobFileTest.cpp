// The job file: what an operator gets wrong is refused with the file and line, before any unit
// is touched; the image is the one the job names or nothing.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "TestBytes.h"
#include "record/AttemptOf.h"
#include "station/JobFile.h"

using namespace station;

namespace {

const std::string kHash(64, 'a');

std::string job(const std::string& extra,
                const std::string& slots = "[[slot]]\nname = \"A\"\nport = \"/dev/ttyUSB0\"\n") {
    return "name = \"Line 2\"\nimage = \"fw.bin\"\nimage_sha256 = \"" + kHash +
           "\"\nexpect_version = \"SIM-UNIT 2.07\"\n" + extra + slots;
}

TEST(JobFile, AGoodJobReadsEveryKey) {
    const auto r =
        parseJob(job("baud = 38400\npresence = \"hotplug\"\nretries = 1\nstop_after_failures = 3\n"
                     "quota = 5\noperator = \"Ann\"\nunit_id = \"scan\"\n",
                     "[[slot]]\nname = \"A\"\nport = \"/dev/a\"\n[[slot]]\nname = \"B\"\nport = \"/dev/b\"\n"),
                 "/jobs/line2.toml");
    ASSERT_TRUE(r.job) << r.error;
    EXPECT_EQ(r.job->imagePath, "/jobs/fw.bin");
    EXPECT_EQ(r.job->baud, 38400u);
    EXPECT_EQ(r.job->presence, Presence::Hotplug);
    EXPECT_EQ(r.job->retries, 1);
    EXPECT_EQ(r.job->stopAfterFailures, 3);
    EXPECT_EQ(r.job->quota, 5);
    EXPECT_EQ(r.job->operatorName, "Ann");
    EXPECT_TRUE(r.job->scanUnitId);
    ASSERT_EQ(r.job->slots.size(), 2u);
    EXPECT_EQ(r.job->slots[1].port, "/dev/b");
}

TEST(JobFile, MistakesAreRefusedWithTheirLine) {
    const std::string a = "[[slot]]\nname = \"A\"\nport = \"/dev/a\"\n";
    struct Case {
        std::string text, error;
    } cases[] = {
        {"name = \"x\"\n", "\"image\" is missing"},
        {job("", ""), "no [[slot]]"},
        {job("bauds = 9600\n"), "j.toml:5: unknown key \"bauds\""},
        {job("retries = -1\n"), "\"retries\" must be from 0 to 10"},
        {job("presence = \"udev\"\n"), "\"presence\" must be \"poll\" or \"hotplug\""},
        {job("baud = \"fast\"\n"), "\"baud\" must be a whole number"},
        {job("unit_id = \"barcode\"\n"), "\"unit_id\" must be \"scan\" or \"none\""},
        {job("", a + a), "slot name \"A\" is used twice"},
        {job("", a + "[[slot]]\nname = \"B\"\nport = \"/dev/a\"\n"), "port \"/dev/a\" is used by two slots"},
        {job("", "[[slot]]\nname = \"A\"\nport = \"/dev/a\"\nbaud = 1\n"), "unknown key \"baud\" in a slot"},
        {"name = \"x\"\nimage = \"fw.bin\"\nimage_sha256 = \"abc\"\n", "must be 64 hexadecimal digits"},
        {"name = \"x\n", "j.toml:1:"},
        // Into every record of the job: plain text of a bounded length.
        {"name = \"L\\u001b[2J\"\n" + job("").substr(job("").find('\n') + 1), "j.toml:1: \"name\" holds a control"},
        {"name = \"" + std::string(129, 'n') + "\"\n", "j.toml:1: \"name\" is longer than 128 bytes"},
        {job("operator = \"Ann\\r\"\n"), "j.toml:5: \"operator\" holds a control"},
    };
    for (const auto& c : cases) {
        const auto r = parseJob(c.text, "j.toml");
        EXPECT_FALSE(r.job) << c.text;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << "got: " << r.error << "\nwanted: " << c.error;
    }
}

TEST(JobFile, TheImageIsHeldAsReadAndAWrongOneNamesBothHashes) {
    TempDir dir;
    const Bytes image = makeImage(1000);
    writeFile(dir.file("fw.bin"), image);
    auto r = parseJob(job(""), dir.file("job.toml"));
    ASSERT_TRUE(r.job) << r.error;
    std::string error;
    EXPECT_FALSE(loadImage(*r.job, error));
    EXPECT_NE(error.find(kHash), std::string::npos) << error;
    EXPECT_NE(error.find(sha256Hex(image)), std::string::npos) << error;

    r.job->imageSha256 = sha256Hex(image);
    const auto held = loadImage(*r.job, error);
    ASSERT_TRUE(held) << error;
    EXPECT_EQ(held->bytes, image);
    r.job->imagePath = dir.file("missing.bin");
    EXPECT_FALSE(loadImage(*r.job, error));
    EXPECT_NE(error.find("cannot read the image"), std::string::npos) << error;
    r.job->imagePath = "/dev/zero";  // read for ever, were it read
    EXPECT_FALSE(loadImage(*r.job, error));
    EXPECT_EQ(error, "/dev/zero: not a regular file (a device, a pipe or a folder is no image)");
}

}  // namespace
