// Joining through the kernel copy: parts of odd sizes land in order after the target's own
// bytes, a part the kernel will not copy goes through the buffer instead, and a target that
// stops taking bytes partway is cut back with every part kept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "job/PartFiles.h"
#include "support/FakeHttpServer.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

using testsupport::FileExists;
using testsupport::FileSizeLimit;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

class JoinCopyTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string target = dir.File("out.bin");
};

// Feeds `bytes` into the FIFO at path once a reader opens it; gives up after about 5 s
// without one, so the test ends even when the join never gets that far.
void FeedFifo(const std::string& path, const std::string& bytes) {
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);  // blocking from here: the reader is there
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace

TEST_F(JoinCopyTest, PartsOfOddSizesFollowTheTargetInOrder) {
    // Sizes off page and buffer boundaries, larger than one buffer, one segment empty.
    const std::string part0 = PatternBytes(5003, 1);
    const std::string part1 = PatternBytes(3 * 1024 * 1024 + 17, 2);
    const std::string part3 = PatternBytes(1024 * 1024 + 4095, 3);
    WriteFileBytes(target, part0);
    WriteFileBytes(target + "1", part1);
    WriteFileBytes(target + "2", "");
    WriteFileBytes(target + "3", part3);
    const std::string whole = part0 + part1 + part3;

    const FileResult result = JoinPartFiles(target, 4, true, static_cast<int64_t>(whole.size()));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(ReadFileBytes(target) == whole);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(FileExists(target + std::to_string(i))) << i;
}

TEST_F(JoinCopyTest, PartTheKernelWillNotCopyGoesThroughTheBuffer) {
    // The kernel copies between regular files only: a FIFO makes it refuse (EINVAL).
    WriteFileBytes(target, "head:");
    ASSERT_EQ(::mkfifo((target + "1").c_str(), 0644), 0);
    WriteFileBytes(target + "2", ":tail");
    const std::string piped = PatternBytes(50000, 4);  // several buffers' worth
    std::thread feeder(FeedFifo, target + "1", piped);

    const FileResult result = JoinPartFiles(target, 3, false, 5 + 50000 + 5);
    feeder.join();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(ReadFileBytes(target) == "head:" + piped + ":tail");
    EXPECT_EQ(ReadFileBytes(target + "2"), ":tail");
}

TEST_F(JoinCopyTest, TargetFullPartwayIsCutBackAndPartsAreKept) {
    const std::string part0 = PatternBytes(1000, 5);
    const std::string part1 = PatternBytes(100000, 6);
    const std::string part2 = PatternBytes(100000, 7);
    WriteFileBytes(target, part0);
    WriteFileBytes(target + "1", part1);
    WriteFileBytes(target + "2", part2);

    FileResult result;
    {
        // Part 1 fits, part 2 stops halfway.
        FileSizeLimit limit(150000);
        ASSERT_TRUE(limit.set);
        result = JoinPartFiles(target, 3, true, 201000);
    }
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot write target file " + target + ": " + std::strerror(EFBIG)),
              std::string::npos)
        << result.error;
    EXPECT_TRUE(ReadFileBytes(target) == part0);
    EXPECT_TRUE(ReadFileBytes(target + "1") == part1);
    EXPECT_TRUE(ReadFileBytes(target + "2") == part2);
}
