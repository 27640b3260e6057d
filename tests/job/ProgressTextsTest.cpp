// Progress arithmetic and the texts of the bars and the verdict.
#include <gtest/gtest.h>

#include "job/ProgressTexts.h"

TEST(ProgressTexts, ThreadBarPositionTruncatesAndStaysInRange) {
    EXPECT_EQ(ThreadBarPosition(0, 400), 0);
    EXPECT_EQ(ThreadBarPosition(399, 400), 99);  // truncated, never rounded up to 100
    EXPECT_EQ(ThreadBarPosition(400, 400), 100);
    EXPECT_EQ(ThreadBarPosition(1, 3), 33);
    // An empty segment is complete, not a division by zero.
    EXPECT_EQ(ThreadBarPosition(0, 0), 100);
    EXPECT_EQ(ThreadBarPosition(500, 400), 100);
    // Sizes past 2 GiB do not overflow.
    EXPECT_EQ(ThreadBarPosition(int64_t{3} << 31, int64_t{6} << 31), 50);
}

TEST(ProgressTexts, ThreadTooltipPrints64BitValues) {
    EXPECT_EQ(ThreadBarTooltip(10, 250), "10 b of 250");
    EXPECT_EQ(ThreadBarTooltip(5000000000LL, 6000000000LL), "5000000000 b of 6000000000");
    EXPECT_EQ(ThreadBarTooltip(INT64_MIN, INT64_MAX),
              "-9223372036854775808 b of 9223372036854775807");
    std::string reused = "a longer text than the tooltip";
    ThreadBarTooltip(1, 2, reused);
    EXPECT_EQ(reused, "1 b of 2");
}

TEST(ProgressTexts, ElapsedIsOneSecondBeforeDataAndAtLeastOneMs) {
    EXPECT_EQ(ElapsedMs(0, 123456), 1000);
    EXPECT_EQ(ElapsedMs(5000, 7500), 2500);
    EXPECT_EQ(ElapsedMs(5000, 5000), 1);  // less than one millisecond has passed
    EXPECT_EQ(ElapsedMs(5000, 4999), 1);
}

TEST(ProgressTexts, JobPercent) {
    EXPECT_EQ(JobPercent(0, 1000), 0);
    EXPECT_EQ(JobPercent(999, 1000), 99);
    EXPECT_EQ(JobPercent(1000, 1000), 100);
    // Unknown or empty size: no division.
    EXPECT_EQ(JobPercent(500, -1), 0);
    EXPECT_EQ(JobPercent(500, 0), 0);
    // Resumed bytes of an earlier whole-file fetch can exceed the size: the text shows it.
    EXPECT_EQ(JobPercent(1500, 1000), 150);
    // Kept as a 16-bit unsigned value.
    EXPECT_EQ(JobPercent(70000, 100), static_cast<uint16_t>(70000));
    EXPECT_EQ(JobPercent(int64_t{5} << 32, int64_t{10} << 32), 50);
    EXPECT_EQ(JobBarPosition(150), 100);
    EXPECT_EQ(JobBarPosition(42), 42);
}

TEST(ProgressTexts, SpeedOverTheWholeJob) {
    // Resumed bytes reported before any data arrived count over the assumed 1000 ms.
    EXPECT_EQ(JobSpeed(123456, ElapsedMs(0, 999999)), 123456);
    EXPECT_EQ(JobSpeed(1000, 3), 333333);
    EXPECT_EQ(JobSpeed(1000, 0), 1000000);  // never divides by zero
    EXPECT_EQ(JobSpeed(int64_t{8} << 32, 2000), int64_t{4} << 32);
}

TEST(ProgressTexts, JobText) {
    EXPECT_EQ(JobProgressText(512, 1024, 50, 2048), "512 b of 1024 (50%) at 2048 bps");
    EXPECT_EQ(JobProgressText(3000000000LL, 6000000000LL, 50, 3000000000LL),
              "3000000000 b of 6000000000 (50%) at 3000000000 bps");
    EXPECT_EQ(JobProgressText(1, -1, 0, 1), "1 b of -1 (0%) at 1 bps");
    EXPECT_EQ(JobProgressText(INT64_MAX, INT64_MIN, 65535, INT64_MAX),
              "9223372036854775807 b of -9223372036854775808 (65535%) at 9223372036854775807 bps");
}

TEST(ProgressTexts, VerdictTexts) {
    EXPECT_EQ(VerdictText(true, "512 b of 1024 (50%) at 2048 bps"),
              "Job completed successfully at 2048 bps");
    // No report was ever made: the text keeps its trailing blank.
    EXPECT_EQ(VerdictText(true, ""), "Job completed successfully ");
    // The tail starts at the first "at", case-sensitive.
    EXPECT_EQ(VerdictText(true, "AT the gate at 5"), "Job completed successfully ate at 5");
    EXPECT_EQ(VerdictText(true, "no tail here"), "Job completed successfully ");
    EXPECT_EQ(VerdictText(false, "512 b of 1024 (50%) at 2048 bps"), "Job failed");
}
