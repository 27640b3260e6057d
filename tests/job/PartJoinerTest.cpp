// The early join: parts go onto the target as soon as every part before them is complete,
// whatever order the threads finish in, and a job that fails, or is abandoned, after some parts
// went on leaves the target cut back to segment 0 with every part kept, so the next job
// resumes to the same bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "job/DownloadJob.h"
#include "settings/Settings.h"
#include "support/TempDir.h"

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// The worker side of the job, as a worker holds it.
JobHost& Worker(DownloadJob& job) {
    return job;
}

const std::vector<std::string> kSegments = {"AAAA", "BBBB", "CCCC", "DDDDD"};
const std::string kWhole = "AAAABBBBCCCCDDDDD";

class PartJoinerTest : public ::testing::Test {
protected:
    void WriteParts() {
        for (size_t i = 0; i < kSegments.size(); ++i) {
            WriteFileBytes(i == 0 ? target : target + std::to_string(i), kSegments[i]);
        }
    }
    void StartJob() {
        job.ResetJob("http://127.0.0.1/f", target, 4);
        Worker(job).Fields().knowledge.LearnSize(static_cast<int64_t>(kWhole.size()));
        Worker(job).Fields().knowledge.LearnRangeSupport(1);
    }
    void ExpectPartsKept() {
        for (size_t i = 1; i < kSegments.size(); ++i) {
            EXPECT_EQ(ReadFileBytes(target + std::to_string(i)), kSegments[i]) << i;
        }
    }

    TempDir dir;
    std::string target = dir.File("file.bin");
    SharedSettings settings;
    DownloadJob job{settings, nullptr};
};

struct FinishOrder {
    std::string name;
    std::vector<int> order;
    // The target after each finish but the last, which gives the verdict.
    std::vector<std::string> targetAfter;
};

class PartJoinerOrderTest : public PartJoinerTest,
                            public ::testing::WithParamInterface<FinishOrder> {};

TEST_P(PartJoinerOrderTest, AppendsEachPartOnceEverythingBeforeItIsComplete) {
    WriteParts();
    StartJob();
    const FinishOrder& param = GetParam();
    for (size_t step = 0; step + 1 < param.order.size(); ++step) {
        Worker(job).ThreadFinished(true, param.order[step]);
        EXPECT_FALSE(job.IsFinished());
        EXPECT_EQ(ReadFileBytes(target), param.targetAfter[step]) << "after step " << step;
        ExpectPartsKept();  // nothing is deleted before the verdict
    }
    Worker(job).ThreadFinished(true, param.order.back());
    ASSERT_TRUE(job.WaitFinished(0));
    EXPECT_TRUE(job.Snapshot().succeeded);
    EXPECT_EQ(ReadFileBytes(target), kWhole);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(FileExists(target + std::to_string(i)));
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PartJoinerOrderTest,
    ::testing::Values(FinishOrder{"InOrder", {0, 1, 2, 3}, {"AAAA", "AAAABBBB", "AAAABBBBCCCC"}},
                      // Later parts wait for part 0, then go on together with the one between.
                      FinishOrder{"LastFirst", {3, 2, 0, 1}, {"AAAA", "AAAA", "AAAA"}},
                      FinishOrder{"MiddleFirst", {2, 0, 1, 3}, {"AAAA", "AAAA", "AAAABBBBCCCC"}}),
    [](const ::testing::TestParamInfo<FinishOrder>& param) { return param.param.name; });

TEST_F(PartJoinerTest, FailureAfterAppendsCutsBackAndTheNextJobResumesExactly) {
    WriteParts();
    StartJob();
    Worker(job).ThreadFinished(true, 0);
    Worker(job).ThreadFinished(true, 1);
    ASSERT_EQ(ReadFileBytes(target), "AAAABBBB");
    Worker(job).ThreadFinished(false, 2);
    Worker(job).ThreadFinished(true, 3);
    ASSERT_TRUE(job.IsFinished());
    EXPECT_EQ(job.Snapshot().text, "Job failed");
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    ExpectPartsKept();

    StartJob();  // the resume: every part found complete
    for (int i : {1, 0, 3, 2}) Worker(job).ThreadFinished(true, i);
    ASSERT_TRUE(job.IsFinished());
    EXPECT_TRUE(job.Snapshot().succeeded);
    EXPECT_EQ(ReadFileBytes(target), kWhole);
}

TEST_F(PartJoinerTest, ClosingMidJobCutsBackWithoutAVerdict) {
    WriteParts();
    StartJob();
    Worker(job).ThreadFinished(true, 0);
    Worker(job).ThreadFinished(true, 1);
    Worker(job).ThreadFinished(true, 2);
    ASSERT_EQ(ReadFileBytes(target), "AAAABBBBCCCC");
    job.SetClosing();
    Worker(job).ThreadFinished(false, 3);
    EXPECT_FALSE(job.IsFinished());
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    ExpectPartsKept();
}

TEST_F(PartJoinerTest, UnreadablePartFailsTheVerdictAndCutsBack) {
    WriteParts();
    ::unlink((target + "2").c_str());
    ASSERT_EQ(::mkdir((target + "2").c_str(), 0755), 0);  // no copy path can read it
    StartJob();
    (void)job.TakeLogLines();
    for (int i = 0; i < 3; ++i) Worker(job).ThreadFinished(true, i);
    EXPECT_EQ(ReadFileBytes(target), "AAAABBBB");  // part 1 went on, part 2 could not
    Worker(job).ThreadFinished(true, 3);
    ASSERT_TRUE(job.IsFinished());
    EXPECT_EQ(job.Snapshot().text, "Job failed");
    const auto logs = job.TakeLogLines();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].second.find("Job failed: cannot read part file " + target + "2"),
              std::string::npos)
        << logs[0].second;
    EXPECT_NE(logs[0].second.find("; part files kept\r\n"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_EQ(ReadFileBytes(target + "1"), "BBBB");
    EXPECT_EQ(ReadFileBytes(target + "3"), "DDDDD");
}

}  // namespace
