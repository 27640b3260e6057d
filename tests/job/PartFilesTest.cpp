// Part file names, the existing-files question, joining and the end-of-job size check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "job/PartFiles.h"
#include "support/TempDir.h"

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

TEST(PartFiles, Names) {
    EXPECT_EQ(PartFileName("/dl/setup.exe", 0), "/dl/setup.exe");
    EXPECT_EQ(PartFileName("/dl/setup.exe", 1), "/dl/setup.exe1");
    EXPECT_EQ(PartFileName("/dl/setup.exe", 12), "/dl/setup.exe12");
    EXPECT_EQ(PartFileName("f", 2), "f2");
}

TEST(ExistingFilesQuestion, ListsExistingFilesInThreadOrder) {
    TempDir dir;
    const std::string target = dir.File("setup.exe");
    EXPECT_EQ(ExistingFilesQuestion(target, 3), "");

    WriteFileBytes(target, "abc");
    EXPECT_EQ(ExistingFilesQuestion(target, 3),
              "Files:\r\n" + target +
                  "\r\nalready exist.\r\nNOTE: If server doesn't support pumping,\r\n" + target +
                  " will be deleted");

    WriteFileBytes(target + "2", "x");
    WriteFileBytes(target + "1", "x");
    WriteFileBytes(target + "3", "x");  // beyond threadCount: neither listed nor used
    EXPECT_EQ(ExistingFilesQuestion(target, 3),
              "Files:\r\n" + target + "\r\n" + target + "1\r\n" + target +
                  "2\r\nalready exist.\r\nNOTE: If server doesn't support pumping,\r\n" + target +
                  " will be deleted");
}

TEST(ExistingFilesQuestion, PartsWithoutTarget) {
    TempDir dir;
    const std::string target = dir.File("f.bin");
    WriteFileBytes(target + "2", "x");
    EXPECT_EQ(ExistingFilesQuestion(target, 3),
              "Files:\r\n" + target +
                  "2\r\nalready exist.\r\nNOTE: If server doesn't support pumping,\r\n" + target +
                  " will be deleted");
    // With one thread only the target counts.
    EXPECT_EQ(ExistingFilesQuestion(target, 1), "");
    // A dangling link is a file in the way, listed like any other.
    ASSERT_EQ(::symlink("nowhere", (target + "1").c_str()), 0);
    EXPECT_EQ(ExistingFilesQuestion(target, 3).find("Files:\r\n" + target + "1\r\n"), 0u);
}

// Parts numbered at or above the thread count are found (for the report), never below it.
TEST(PartFiles, StrayPartsOfMoreThreads) {
    TempDir dir;
    const std::string target = dir.File("f.bin");
    for (const char* n : {"1", "2", "3", "10"}) WriteFileBytes(target + n, "x");
    EXPECT_EQ(StrayPartFiles(target, 2),
              (std::vector<std::string>{target + "2", target + "3", target + "10"}));
    EXPECT_TRUE(StrayPartFiles(target, 11).empty());
    // "f.bin13" as part 3 of a 4-thread job on "f.bin1" is not f.bin's part 13; as a part of a
    // 14-thread run it is.
    WriteFileBytes(target + "13", "x");
    for (int threads : {4, 14}) {
        if (!testsupport::WriteRecord(target + "13", {100, threads, 0, "", {}})) {
            GTEST_SKIP() << "no extended attributes here";
        }
        const auto strays = StrayPartFiles(target, 11);
        EXPECT_EQ(strays.size(), threads == 4 ? 0u : 1u) << threads;
    }
}

class JoinTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string target = dir.File("out.bin");
};

TEST_F(JoinTest, AppendsInOrderAndDeletesWhenAsked) {
    WriteFileBytes(target, "AAAA");
    WriteFileBytes(target + "1", "BBBB");
    WriteFileBytes(target + "2", std::string(25000, 'C'));  // several buffers' worth
    const FileResult result = JoinPartFiles(target, 3, true, 4 + 4 + 25000);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFileBytes(target), "AAAABBBB" + std::string(25000, 'C'));
    EXPECT_FALSE(FileExists(target + "1"));
    EXPECT_FALSE(FileExists(target + "2"));
}

TEST_F(JoinTest, KeepsPartsWithoutDelfiles) {
    WriteFileBytes(target, "A");
    WriteFileBytes(target + "1", "B");
    WriteFileBytes(target + "2", "C");
    ASSERT_TRUE(JoinPartFiles(target, 3, false, 3).ok);
    EXPECT_EQ(ReadFileBytes(target), "ABC");
    EXPECT_EQ(ReadFileBytes(target + "1"), "B");
    EXPECT_EQ(ReadFileBytes(target + "2"), "C");
}

TEST_F(JoinTest, MissingPartOfAnEmptySegmentIsSkipped) {
    // A file smaller than the thread count: thread 0's and 1's segments were empty.
    WriteFileBytes(target + "2", "xy");
    const FileResult result = JoinPartFiles(target, 3, true, 2);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFileBytes(target), "xy");
    EXPECT_FALSE(FileExists(target + "2"));
}

TEST_F(JoinTest, OneThreadOnlyChecksTheSize) {
    WriteFileBytes(target, "whole");
    WriteFileBytes(target + "1", "stale");
    EXPECT_TRUE(JoinPartFiles(target, 1, true, 5).ok);
    EXPECT_EQ(ReadFileBytes(target), "whole");
    EXPECT_TRUE(FileExists(target + "1"));  // not a part of a one-thread job
    EXPECT_FALSE(JoinPartFiles(target, 1, true, 6).ok);
}

TEST_F(JoinTest, UnreadablePartFailsAndNothingIsLost) {
    WriteFileBytes(target, "AAAA");
    WriteFileBytes(target + "1", "BBBB");
    // A directory opens but cannot be read, even for root.
    ASSERT_EQ(::mkdir((target + "2").c_str(), 0755), 0);
    WriteFileBytes(target + "3", "DDDD");
    const FileResult result = JoinPartFiles(target, 4, true, 16);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot read part file " + target + "2"), std::string::npos)
        << result.error;
    EXPECT_EQ(result.error.find('\n'), std::string::npos);
    // The target is segment 0 again and every part is kept for a later resume.
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_EQ(ReadFileBytes(target + "1"), "BBBB");
    EXPECT_TRUE(FileExists(target + "2"));
    EXPECT_EQ(ReadFileBytes(target + "3"), "DDDD");
}

TEST_F(JoinTest, UnwritableTargetFails) {
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    WriteFileBytes(target + "1", "BBBB");
    const FileResult result = JoinPartFiles(target, 2, true, 4);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot open target file"), std::string::npos) << result.error;
    EXPECT_EQ(ReadFileBytes(target + "1"), "BBBB");
}

TEST_F(JoinTest, WrongSizeAfterJoinFailsAndRestoresTheTarget) {
    WriteFileBytes(target, "AAAA");
    WriteFileBytes(target + "1", "BB");  // short part: the job's bytes are not all there
    const FileResult result = JoinPartFiles(target, 2, true, 8);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("holds 6 bytes instead of 8"), std::string::npos) << result.error;
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_EQ(ReadFileBytes(target + "1"), "BB");
}

TEST_F(JoinTest, WholeFileFromThreadZeroNeverAppendsStaleParts) {
    // The server could not resume: thread 0 fetched the whole file into the target.
    WriteFileBytes(target, "0123456789");
    WriteFileBytes(target + "1", "stale1");
    WriteFileBytes(target + "2", "stale2");
    FileResult result = FinishJobFiles(target, 3, false, /*rangeSupport=*/0, 10);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFileBytes(target), "0123456789");
    EXPECT_TRUE(FileExists(target + "1"));
    EXPECT_TRUE(FileExists(target + "2"));

    result = FinishJobFiles(target, 3, true, 0, 10);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFileBytes(target), "0123456789");
    EXPECT_FALSE(FileExists(target + "1"));
    EXPECT_FALSE(FileExists(target + "2"));
}

TEST_F(JoinTest, WholeFileOfWrongSizeFailsAndKeepsParts) {
    WriteFileBytes(target, "01234");
    WriteFileBytes(target + "1", "stale");
    const FileResult result = FinishJobFiles(target, 2, true, 0, 10);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(ReadFileBytes(target), "01234");
    EXPECT_TRUE(FileExists(target + "1"));
}

TEST_F(JoinTest, RangedJobJoinsAndChecksTheSize) {
    WriteFileBytes(target, "ab");
    WriteFileBytes(target + "1", "cd");
    EXPECT_TRUE(FinishJobFiles(target, 2, true, 1, 4).ok);
    EXPECT_EQ(ReadFileBytes(target), "abcd");
    EXPECT_FALSE(FileExists(target + "1"));
    // A size never learnt cannot be verified.
    EXPECT_FALSE(FinishJobFiles(target, 1, true, 1, -1).ok);
}
