// Segment arithmetic with resume from the part file (no network).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/FtpParse.h"
#include "engine/JobHost.h"
#include "engine/Segment.h"
#include "engine/SegmentSetup.h"
#include "support/FakeJobHost.h"
#include "support/TempDir.h"

using testsupport::FakeJobHost;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

struct Computed {
    bool ok;
    int64_t start;
    int64_t remaining;
    int64_t alreadyDone;
};

class SegmentTest : public ::testing::Test {
protected:
    Computed Compute(int threadNumber, int threadCount, int64_t fileSize, int rangeSupport = 1) {
        host.Fields().threadCount = threadCount;
        host.Fields().knowledge.LearnSize(fileSize);
        host.Fields().knowledge.LearnRangeSupport(rangeSupport);
        AttemptState state(host, Settings{});
        state.threadNumber = threadNumber;
        state.partFileName = PartName(threadNumber);
        const bool ok = ComputeSegment(state, -1);
        const Segment& s = state.segment;
        return {ok, s.Start(), s.Remaining(), s.done};
    }
    std::string PartName(int i) const { return i == 0 ? target : target + std::to_string(i); }
    int64_t SizeOf(const std::string& path) const {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }

    TempDir dir;
    std::string target = dir.File("file.bin");
    FakeJobHost host{Settings{}, "http://127.0.0.1/file.bin", target, 1};
};

}  // namespace

TEST_F(SegmentTest, RemainderGoesToTheLastThread) {
    const int64_t expected[4][2] = {{0, 250}, {250, 250}, {500, 250}, {750, 253}};
    for (int i = 0; i < 4; ++i) {
        Computed s = Compute(i, 4, 1003);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.start, expected[i][0]) << i;
        EXPECT_EQ(s.remaining, expected[i][1]) << i;
        EXPECT_EQ(s.alreadyDone, 0);
    }
}

TEST_F(SegmentTest, FileSmallerThanThreadCount) {
    for (int i = 0; i < 4; ++i) {
        Computed s = Compute(i, 5, 3);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.remaining, 0) << i;
    }
    Computed last = Compute(4, 5, 3);
    EXPECT_EQ(last.start, 0);
    EXPECT_EQ(last.remaining, 3);
}

TEST_F(SegmentTest, SizesBeyond32Bits) {
    const int64_t size = 6LL << 30;
    Computed s = Compute(2, 3, size);
    EXPECT_EQ(s.start, 4LL << 30);
    EXPECT_EQ(s.remaining, 2LL << 30);
}

TEST_F(SegmentTest, ResumesAfterThePartFile) {
    WriteFileBytes(PartName(1), std::string(200, 'p'));
    Computed s = Compute(1, 2, 1000);
    EXPECT_EQ(s.start, 700);
    EXPECT_EQ(s.alreadyDone, 200);
    EXPECT_EQ(s.remaining, 300);

    WriteFileBytes(PartName(1), std::string(500, 'p'));
    s = Compute(1, 2, 1000);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.remaining, 0);
}

TEST_F(SegmentTest, LongPartOfThreadZeroIsCutToItsSegment) {
    WriteFileBytes(target, std::string(500, 'a') + std::string(100, 'b'));
    Computed s = Compute(0, 2, 1000);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(ReadFileBytes(target), std::string(500, 'a'));
    EXPECT_EQ(s.remaining, 0);
    EXPECT_EQ(s.alreadyDone, 500);
    EXPECT_NE(host.LogText(0).find("cut to the segment"), std::string::npos);
}

TEST_F(SegmentTest, LongPartOfOtherThreadsIsFetchedAgain) {
    WriteFileBytes(PartName(1), std::string(700, 'x'));
    Computed s = Compute(1, 2, 1000);
    ASSERT_TRUE(s.ok);
    EXPECT_FALSE(FileExists(PartName(1)));
    EXPECT_EQ(s.start, 500);
    EXPECT_EQ(s.alreadyDone, 0);
    EXPECT_EQ(s.remaining, 500);
    EXPECT_NE(host.LogText(1).find("fetching the segment again"), std::string::npos);
}

TEST_F(SegmentTest, WithoutRangesALongPartMeansTheWholeFileAgain) {
    WriteFileBytes(target, std::string(600, 'a'));
    Computed s = Compute(0, 2, 1000, 0);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.remaining, 1000);
    EXPECT_EQ(SizeOf(target), 600);  // the data loop deletes it before fetching
}

TEST_F(SegmentTest, SizeComesFromTheReplyOnlyWhenItParses) {
    host.Fields().threadCount = 2;
    AttemptState state(host, Settings{});
    state.partFileName = target;
    EXPECT_FALSE(ComputeSegment(state, -1));
    EXPECT_EQ(host.Fields().knowledge.Size(), -1);
    EXPECT_FALSE(ComputeSegment(state, 0));  // no positive size

    host.Fields().knowledge.Reset(2, {});
    ASSERT_TRUE(ComputeSegment(state, 1234));
    EXPECT_EQ(host.Fields().knowledge.Size(), 1234);
    EXPECT_EQ(state.segment.Remaining(), 617);
    // Once stored, the job's size serves every later computation.
    ASSERT_TRUE(ComputeSegment(state, 10));
    EXPECT_EQ(state.segment.Remaining(), 617);
}

TEST_F(SegmentTest, FtpSizeReplyIsParsedAsFtp) {
    AttemptState state(host, Settings{});
    state.partFileName = target;
    ASSERT_TRUE(ComputeSegment(state, ParseFtpSizeReply("213 48213\r\n", true)));
    EXPECT_EQ(host.Fields().knowledge.Size(), 48213);
    EXPECT_EQ(state.segment.Remaining(), 48213);
}

// The pure planning: what is fetched for what the part holds.
TEST(SegmentPlan, WhatIsFetchedForWhatThePartHolds) {
    struct Case {
        const char* name;
        int64_t partSize;
        bool vouched;
        int rangeSupport;
        int64_t leadLength;
        int64_t start, end, done, seam;
        bool lead;
    };
    // Range [1000, 2000) of a 4000-byte file.
    const Case cases[] = {
        {"fresh, with a lead window", 0, false, 1, 4096, 1000, 2000, 0, 4096, true},
        {"fresh, first range", 0, false, 1, 0, 1000, 2000, 0, 0, false},
        {"resumed: the seam is checked", 300, false, 1, 0, 1300, 2000, 300, 300, false},
        {"resumed far: a window of the seam", 900, true, 1, 0, 1900, 2000, 900, 900, false},
        {"complete, unvouched: the seam only", 1000, false, 1, 0, 2000, 2000, 1000, 1000, false},
        {"complete and vouched: nothing", 1000, true, 1, 0, 2000, 2000, 1000, 0, false},
        {"no ranges: the whole file", 1000, true, 0, 0, 0, 4000, 0, 0, false},
        {"no ranges, vouched whole file", 4000, true, 0, 0, 4000, 4000, 4000, 0, false},
    };
    for (const Case& c : cases) {
        const Segment s = PlanFetch(RangeSegment(1000, 2000), 4000, c.partSize, c.vouched,
                                    c.rangeSupport, c.leadLength);
        EXPECT_EQ(s.Start(), c.start) << c.name;
        EXPECT_EQ(s.end, c.end) << c.name;
        EXPECT_EQ(s.done, c.done) << c.name;
        EXPECT_EQ(s.seamBytes, std::min<int64_t>(c.seam, kSeamBytes)) << c.name;
        EXPECT_EQ(s.seamIsLead, c.lead) << c.name;
    }
    EXPECT_EQ(ExcessOf(RangeSegment(0, 10), 11, true, 1), PartExcess::CutToRange);
    EXPECT_EQ(ExcessOf(RangeSegment(10, 20), 11, false, 1), PartExcess::FetchAgain);
    EXPECT_EQ(ExcessOf(RangeSegment(10, 20), 11, false, 0), PartExcess::None);
    EXPECT_EQ(ExcessOf(RangeSegment(10, 20), 10, false, 1), PartExcess::None);
}
