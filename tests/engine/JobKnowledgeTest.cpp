#include <gtest/gtest.h>

#include "engine/JobKnowledge.h"

// The first answer stands for the whole job, whichever protocol or request gave it.
TEST(JobKnowledge, FirstWriterWins) {
    JobKnowledge k;
    k.Reset(2, {});
    EXPECT_EQ(k.LearnRangeSupport(1), 1);
    EXPECT_EQ(k.LearnRangeSupport(0), 1);
    EXPECT_EQ(k.LearnSize(100), 100);
    EXPECT_EQ(k.LearnSize(7), 100);
    k.LearnFile("ETag \"b\"", 0, 5);
    k.LearnValidator("ETag \"c\"");
    EXPECT_EQ(k.LearnFinalUrl("http://a/f"), "http://a/f");
    EXPECT_EQ(k.LearnFinalUrl("http://b/f"), "http://a/f");
    k.LearnDisposition("one.bin");
    k.LearnDisposition("two.bin");
    const JobKnowledge::Facts f = k.Snapshot();
    EXPECT_EQ(f.size, 100);
    EXPECT_EQ(f.rangeSupport, 1);
    EXPECT_EQ(f.validator, "ETag \"b\"");
    EXPECT_EQ(f.disposition, "one.bin");
    // A validator learnt as "none" is an answer too.
    k.Reset(2, {});
    k.LearnValidator("");
    k.LearnValidator("ETag \"late\"");
    EXPECT_EQ(k.Validator(), "");
    EXPECT_EQ(k.Size(), -1);
}

TEST(JobKnowledge, SizelessMeansNoRangesAndComesOnlyBeforeASize) {
    JobKnowledge k;
    k.Reset(1, {});
    k.LearnRangeSupport(1);
    EXPECT_TRUE(k.LearnSizeless());
    EXPECT_FALSE(k.LearnSizeless());
    EXPECT_EQ(k.RangeSupport(), 0);
    k.Reset(1, {});
    k.LearnSize(10);
    EXPECT_FALSE(k.LearnSizeless());
    EXPECT_EQ(k.RangeSupport(), -1);
}
