// Segment arithmetic with resume from the part file (no network).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/WTransferSession.h"
#include "net/WInternet.h"
#include "support/FakeJobHost.h"
#include "support/TempDir.h"

using testsupport::FakeJobHost;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

struct Segment {
    bool ok;
    int64_t start;
    int64_t remaining;
    int64_t alreadyDone;
};

class SegmentTest : public ::testing::Test {
protected:
    Segment Compute(int threadNumber, int threadCount, int64_t fileSize, int rangeSupport = 1) {
        host.Fields().threadCount = threadCount;
        host.Fields().knowledge.LearnSize(fileSize);
        host.Fields().knowledge.LearnRangeSupport(rangeSupport);
        WTransferSession session(host, Settings{});
        session.threadNumber = threadNumber;
        session.partFileName = PartName(threadNumber);
        bool ok = session.ComputeSegment(false);
        return {ok, session.segmentStart, session.remaining, session.alreadyDone};
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
        Segment s = Compute(i, 4, 1003);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.start, expected[i][0]) << i;
        EXPECT_EQ(s.remaining, expected[i][1]) << i;
        EXPECT_EQ(s.alreadyDone, 0);
    }
}

TEST_F(SegmentTest, FileSmallerThanThreadCount) {
    for (int i = 0; i < 4; ++i) {
        Segment s = Compute(i, 5, 3);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.remaining, 0) << i;
    }
    Segment last = Compute(4, 5, 3);
    EXPECT_EQ(last.start, 0);
    EXPECT_EQ(last.remaining, 3);
}

TEST_F(SegmentTest, SizesBeyond32Bits) {
    const int64_t size = 6LL << 30;
    Segment s = Compute(2, 3, size);
    EXPECT_EQ(s.start, 4LL << 30);
    EXPECT_EQ(s.remaining, 2LL << 30);
}

TEST_F(SegmentTest, ResumesAfterThePartFile) {
    WriteFileBytes(PartName(1), std::string(200, 'p'));
    Segment s = Compute(1, 2, 1000);
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
    Segment s = Compute(0, 2, 1000);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(ReadFileBytes(target), std::string(500, 'a'));
    EXPECT_EQ(s.remaining, 0);
    EXPECT_EQ(s.alreadyDone, 500);
    EXPECT_NE(host.LogText(0).find("cut to the segment"), std::string::npos);
}

TEST_F(SegmentTest, LongPartOfOtherThreadsIsFetchedAgain) {
    WriteFileBytes(PartName(1), std::string(700, 'x'));
    Segment s = Compute(1, 2, 1000);
    ASSERT_TRUE(s.ok);
    EXPECT_FALSE(FileExists(PartName(1)));
    EXPECT_EQ(s.start, 500);
    EXPECT_EQ(s.alreadyDone, 0);
    EXPECT_EQ(s.remaining, 500);
    EXPECT_NE(host.LogText(1).find("fetching the segment again"), std::string::npos);
}

TEST_F(SegmentTest, WithoutRangesALongPartMeansTheWholeFileAgain) {
    WriteFileBytes(target, std::string(600, 'a'));
    Segment s = Compute(0, 2, 1000, 0);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.remaining, 1000);
    EXPECT_EQ(SizeOf(target), 600);  // the data loop deletes it before fetching
}

TEST_F(SegmentTest, SizeComesFromTheReplyOnlyWhenItParses) {
    host.Fields().threadCount = 2;
    WTransferSession session(host, Settings{});
    session.partFileName = target;
    for (const char* bad : {"Content-Length: abc", "Content-Length: -5", "Server: x"}) {
        session.lastReply = std::string("HTTP/1.0 200 OK\r\n") + bad + "\r\n\r\n";
        EXPECT_FALSE(session.ComputeSegment(false)) << bad;
        EXPECT_EQ(host.Fields().knowledge.Size(), -1) << bad;
    }
    session.lastReply = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_FALSE(session.ComputeSegment(false));  // no positive size

    host.Fields().knowledge.Reset(2, {});
    session.lastReply = "HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n";
    ASSERT_TRUE(session.ComputeSegment(false));
    EXPECT_EQ(host.Fields().knowledge.Size(), 1234);
    EXPECT_EQ(session.remaining, 617);

    // Once stored, the job's size serves every later computation.
    session.lastReply = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n";
    ASSERT_TRUE(session.ComputeSegment(false));
    EXPECT_EQ(session.remaining, 617);
}

TEST_F(SegmentTest, FtpSizeReplyIsParsedAsFtp) {
    WTransferSession session(host, Settings{});
    session.partFileName = target;
    session.scheme = WInternet::kSchemeFtp;
    session.lastReply = "213 48213\r\n";
    ASSERT_TRUE(session.ComputeSegment(true));
    EXPECT_EQ(host.Fields().knowledge.Size(), 48213);
    EXPECT_EQ(session.remaining, 48213);
}
