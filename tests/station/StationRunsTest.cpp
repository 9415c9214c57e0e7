// A slot's runs as the station makes them, with a real records file: a run whose process could
// not be started still leaves a failed attempt, under the unit's verdict.
#include <gtest/gtest.h>

#include "TempDir.h"
#include "download/ExitCode.h"
#include "record/RecordStore.h"
#include "station/StationRuns.h"

TEST(StationRuns, ARunWhoseProcessCannotStartIsAFailedAttemptUnderTheUnitsVerdict) {
    TempDir dir;
    station::Job job;
    job.name = "Line 2";
    job.imagePath = dir.file("fw.bin");
    job.imageSha256 = std::string(64, 'a');
    job.expectVersion = "SIM-UNIT 2.07";
    job.slots = {{"A", dir.file("no-such-port")}};
    const std::string records = dir.file("records.sqlite");
    StationRuns runs;
    std::string error;
    ASSERT_TRUE(runs.prepare(job, {1, 2, 3}, {dir.file("no-such-program"), records, "Ann"}, error)) << error;

    const auto link = runs.link(0);
    ASSERT_FALSE(link->unitBegin("U-17"));
    const station::RunOutcome run = link->run(RunKind::Download, 1, "U-17", {});
    EXPECT_EQ(run.exitCode, exitcode::kInternal);
    ASSERT_EQ(run.recordId.size(), 32u);
    station::Verdict verdict;
    verdict.kind = station::Verdict::Kind::RunFailed;
    verdict.exitCode = run.exitCode;
    verdict.headline = run.headline;
    ASSERT_FALSE(link->unitEnd(verdict));

    const auto read = openRecordStore(records, RecordAccess::Read)->query({});
    ASSERT_EQ(read.size(), 2u);
    const Attempt& unit = read[0].kind == "unit" ? read[0] : read[1];
    const Attempt& attempt = read[0].kind == "unit" ? read[1] : read[0];
    EXPECT_EQ(attempt.id, run.recordId);
    EXPECT_EQ(attempt.kind, "download");
    EXPECT_EQ(attempt.outcome, "internal error");
    EXPECT_FALSE(attempt.ended_at.empty());
    EXPECT_NE(attempt.box_text.find("could not be started"), std::string::npos) << attempt.box_text;
    EXPECT_EQ(attempt.unit_id, "U-17");
    EXPECT_EQ(attempt.verdict_id, unit.id);
    EXPECT_EQ(unit.verdict, "fail");
    EXPECT_EQ(unit.verdict_reason, "run failed");
    EXPECT_EQ(unit.download_id, attempt.id);
    EXPECT_EQ(unit.job, "Line 2");
    EXPECT_EQ(unit.slot, "A");
    EXPECT_EQ(unit.operator_, "Ann");
}
