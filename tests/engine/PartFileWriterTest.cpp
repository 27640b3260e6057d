// The write-behind buffer of the data loop: whatever chunk sizes arrive and wherever a resumed
// part ends, the file only ever grows to block boundaries until Close, and then holds exactly
// what was appended after what it held; a file that stops taking bytes leaves a prefix the
// writer accounts for to the byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "engine/PartFileWriter.h"
#include "net/SocketTestHelpers.h"
#include "support/FakeHttpServer.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

using testsupport::FileSizeLimit;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr int64_t kBlock = static_cast<int64_t>(PartFileWriter::kBlock);

int64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

class PartFileWriterTest : public ::testing::TestWithParam<size_t> {
protected:
    TempDir dir;
    std::string path = dir.File("part1");
};

}  // namespace

TEST_P(PartFileWriterTest, ChunksOfAnySizeLandWholeAndOnlyAtBlockEnds) {
    const size_t resumed = GetParam();
    const std::string before = PatternBytes(resumed, 3);
    const std::string body = PatternBytes(3 * PartFileWriter::kBlock + 5555, 4);
    if (resumed > 0) WriteFileBytes(path, before);

    PartFileWriter writer;
    ASSERT_TRUE(writer.Open(path));
    std::mt19937 random(static_cast<uint32_t>(resumed) + 1);
    std::uniform_int_distribution<size_t> chunk(1, 20000);
    size_t at = 0;
    for (int steps = 0; at < body.size() && steps < 100000; ++steps) {
        const size_t n = std::min(chunk(random), body.size() - at);
        ASSERT_TRUE(writer.Append(body.data() + at, n));
        at += n;
        const int64_t size = SizeOf(path);
        if (size != static_cast<int64_t>(resumed)) {
            EXPECT_EQ(size % kBlock, 0) << "after " << at << " bytes";
        }
        EXPECT_LE(size, static_cast<int64_t>(resumed + at));
    }
    ASSERT_EQ(at, body.size());
    ASSERT_TRUE(writer.Close());
    EXPECT_EQ(writer.Error(), 0);
    EXPECT_EQ(writer.Written(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(ReadFileBytes(path), before + body);
}

INSTANTIATE_TEST_SUITE_P(ResumedAt, PartFileWriterTest,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{4095},
                                           size_t{PartFileWriter::kBlock},
                                           size_t{PartFileWriter::kBlock + 77}));

TEST(PartFileWriterFailureTest, AFileThatStopsTakingBytesLeavesAnAccountedPrefix) {
    TempDir dir;
    const std::string path = dir.File("part2");
    const std::string body = PatternBytes(3 * PartFileWriter::kBlock, 5);
    const int64_t limit = kBlock + 1000;  // inside the second block's write
    PartFileWriter writer;
    ASSERT_TRUE(writer.Open(path));
    bool appended = true;
    {
        FileSizeLimit hold(static_cast<rlim_t>(limit));
        if (!hold.set) GTEST_SKIP() << "cannot lower the file size limit";
        for (size_t at = 0; at < body.size() && appended; at += 4096) {
            appended = writer.Append(body.data() + at, 4096);
        }
        EXPECT_FALSE(appended);
        EXPECT_FALSE(writer.Close());
    }
    EXPECT_EQ(writer.Error(), EFBIG);
    EXPECT_EQ(writer.Written(), limit);
    EXPECT_EQ(ReadFileBytes(path), body.substr(0, static_cast<size_t>(limit)));
    // Closed and failed: nothing more goes in.
    EXPECT_FALSE(writer.Append("x", 1));
    EXPECT_FALSE(writer.Flush());
}

TEST(PartFileWriterFailureTest, OpenReportsWhyItFailed) {
    TempDir dir;
    PartFileWriter writer;
    EXPECT_FALSE(writer.Open(dir.File("")));
    EXPECT_EQ(writer.Error(), EISDIR);
    EXPECT_FALSE(writer.Open(dir.File("missing/part1")));
    EXPECT_EQ(writer.Error(), ENOENT);
    EXPECT_FALSE(writer.Append("x", 1));
}

TEST(PartFileWriterFailureTest, AFileWithoutAPositionStillTakesTheBytes) {
    TempDir dir;
    const std::string path = dir.File("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const std::string body = PatternBytes(PartFileWriter::kBlock + 300, 6);
    std::string got;
    std::thread reader([&] {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        char chunk[8192];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) got.append(chunk, n);
        ::close(fd);
    });
    PartFileWriter writer;
    const bool opened = writer.Open(path);
    const bool appended = opened && writer.Append(body.data(), body.size());
    const bool closed = opened && writer.Close();
    if (!opened) {
        // Unblock the reader's open.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    reader.join();
    ASSERT_TRUE(opened) << writer.Error();
    EXPECT_TRUE(appended);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, body);
}

// ReceiveFrom (the splice path) after buffered bytes, on a resumed part, and into a file that
// stops taking bytes part way: the file holds what it held, then exactly what was appended and
// received, and Written accounts for every byte that went in.
struct SpliceCase {
    size_t resumed;
    size_t appendedFirst;
    int64_t fileLimit;  // 0: none
};

class PartFileWriterSpliceTest : public ::testing::TestWithParam<SpliceCase> {};

TEST_P(PartFileWriterSpliceTest, SocketBytesFollowWhatTheFileHeld) {
    const SpliceCase c = GetParam();
    TempDir dir;
    const std::string path = dir.File("part3");
    const std::string before = PatternBytes(c.resumed, 7);
    const std::string first = PatternBytes(c.appendedFirst, 8);
    const std::string sent = PatternBytes(3 * 1024 * 1024 + 321, 9);
    if (c.resumed > 0) WriteFileBytes(path, before);
    sockettest::LoopbackPair pair;
    std::thread sender([&] { pair.accepted->Send(sent.data(), static_cast<int>(sent.size())); });

    PartFileWriter writer;
    ASSERT_TRUE(writer.Open(path));
    ASSERT_TRUE(writer.CanSplice());
    ASSERT_TRUE(writer.Append(first.data(), first.size()));
    size_t taken = 0;
    {
        FileSizeLimit hold(c.fileLimit > 0 ? static_cast<rlim_t>(c.fileLimit) : RLIM_INFINITY);
        for (int reads = 0; taken < sent.size() && writer.Error() == 0 && reads < 100000; ++reads) {
            const int got = writer.ReceiveFrom(*pair.client, sent.size() - taken);
            if (got <= 0) break;
            taken += static_cast<size_t>(got);
        }
        EXPECT_EQ(writer.Close(), c.fileLimit == 0);
    }
    pair.client->Close(false, 0);
    sender.join();
    const std::string all = before + first + sent;
    if (c.fileLimit == 0) {
        EXPECT_EQ(taken, sent.size());
        EXPECT_EQ(ReadFileBytes(path), all);
    } else {
        EXPECT_EQ(writer.Error(), EFBIG);
        EXPECT_EQ(ReadFileBytes(path), all.substr(0, static_cast<size_t>(c.fileLimit)));
    }
    EXPECT_EQ(writer.Written(), SizeOf(path) - static_cast<int64_t>(c.resumed));
}

INSTANTIATE_TEST_SUITE_P(Cases, PartFileWriterSpliceTest,
                         ::testing::Values(SpliceCase{0, 0, 0}, SpliceCase{4095, 100, 0},
                                           SpliceCase{0, 70000, 0},
                                           SpliceCase{1000, 10, 2 * 1024 * 1024 + 17}));
