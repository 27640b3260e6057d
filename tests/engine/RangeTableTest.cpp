// The range table's arithmetic: where a remainder is cut, which range is shared, and that the
// ranges always tile the file and an owner never loses what it may already have read.
#include <gtest/gtest.h>

#include "engine/RangeTable.h"

namespace {

struct SplitCase {
    int64_t from, left;
    double owner, taker;
    int64_t cut;
};

TEST(RangeSplit, BothEndTogether) {
    const SplitCase cases[] = {
        {1000, 900, 1.0, 2.0, 1300},                          // the faster taker gets two thirds
        {0, 1000, 1.0, 1.0, 500},    {0, 1000, 0.0, 5.0, 0},  // a stalled owner keeps nothing
        {0, 1000, 5.0, 0.0, 1000},   {0, 1000, 0.0, 0.0, 500}, {7, 0, 1.0, 1.0, 7},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(SplitPoint(c.from, c.left, c.owner, c.taker), c.cut)
            << c.from << " " << c.left << " " << c.owner << " " << c.taker;
    }
}

// Small sizes and short watches; slow connections are replaced only where a case says so.
ResplitRules Rules() {
    ResplitRules rules{1000, 1, 100};
    rules.replaceSlow = false;
    return rules;
}

// Tiling: the ranges by start, each ending where the next begins, the last at the size.
void ExpectTiles(const RangeTable& table, int64_t size) {
    int64_t at = 0;
    for (const RangeInfo& r : table.Ordered()) {
        EXPECT_EQ(r.start, at) << r.id;
        EXPECT_LE(r.start, r.end) << r.id;
        at = r.end;
    }
    EXPECT_EQ(at, size);
}

TEST(RangeTable, TakesFromTheSlowestAndNeverWhatTheOwnerMayHaveRead) {
    RangeTable table;
    table.Reset(Rules());
    table.Plan("/t/f", 3, 300000);
    // Thread 0 done fast; thread 1 slow (10 KB/s), thread 2 faster (50 KB/s).
    table.Advance(0, 0, 0);
    table.Advance(0, 100000, 1000);
    table.Complete(0, 1000);
    table.Advance(1, 100000, 0);
    table.Advance(1, 110000, 1000);
    EXPECT_EQ(table.Allow(1, 110000, 20000), 20000);  // claimed up to 130000
    table.Advance(2, 200000, 0);
    table.Advance(2, 250000, 1000);

    const auto taken = table.Take(0, 1000);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->takenFrom, 1);
    EXPECT_EQ(taken->thread, 0);
    EXPECT_GE(taken->start, 130000);
    EXPECT_EQ(taken->end, 200000);
    EXPECT_EQ(taken->partName, "/t/f.r" + std::to_string(taken->start) + ".part");
    EXPECT_EQ(table.Get(1).end, taken->start);
    ExpectTiles(table, 300000);
    // The owner reaches its new end and is told to stop there.
    int64_t end = 0;
    EXPECT_EQ(table.Allow(1, 130000, 1 << 20, &end), taken->start - 130000);
    EXPECT_EQ(end, taken->start);
}

TEST(RangeTable, NothingWorthTakingIsLeftAlone) {
    RangeTable table;
    table.Reset(Rules());
    table.Plan("/t/f", 2, 4000);
    table.Advance(1, 2000, 0);
    // Too young to be judged, then too little left.
    EXPECT_FALSE(table.Take(0, 50).has_value());
    table.Advance(1, 3500, 1000);
    EXPECT_FALSE(table.Take(0, 1000).has_value());
    // Never from a finished range, nor from itself.
    table.Complete(1, 1000);
    EXPECT_FALSE(table.Take(0, 2000).has_value());
    EXPECT_FALSE(table.Take(1, 2000).has_value());
    ExpectTiles(table, 4000);
}

TEST(RangeTable, AStalledOwnerIsWokenAtTheCut) {
    RangeTable table;
    table.Reset(Rules());
    table.Plan("/t/f", 2, 100000);
    table.Advance(0, 0, 0);
    table.Advance(0, 50000, 100);
    table.Complete(0, 100);
    table.Advance(1, 50000, 0);
    EXPECT_EQ(table.Allow(1, 60000, 0), 0);  // nothing claimed past 60000
    table.Advance(1, 60000, 500);
    int woken = 0;
    table.SetWake(1, [&] { ++woken; });
    const auto taken = table.Take(0, 5000);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->start, 60000);  // no byte for 4.5 s: stalled, it keeps nothing more
    EXPECT_EQ(woken, 1);
    ExpectTiles(table, 100000);
}

// Parts begun by four threads, resumed by two: the segments without a thread go out whole,
// once each, before any range is cut.
TEST(RangeTable, SegmentsWithoutAThreadGoFirst) {
    RangeTable table;
    table.Reset(Rules());
    table.Plan("/t/f", 4, 400000, 2);
    EXPECT_EQ(table.Get(2).thread, -1);
    const auto first = table.TakeUnbegun(1);
    const auto second = table.TakeUnbegun(0);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->id, 2);
    EXPECT_EQ(first->partName, "/t/f2");
    EXPECT_EQ(second->id, 3);
    EXPECT_EQ(table.Get(3).thread, 0);
    EXPECT_FALSE(table.TakeUnbegun(0).has_value());
    EXPECT_FALSE(table.TakeUnbegun(2).has_value());  // no such worker
    ExpectTiles(table, 400000);
}

TEST(RangeTable, ClaimsFollowTheRate) {
    RangeTable table;
    table.Reset(Rules());
    table.Plan("/t/f", 2, 1LL << 32);
    const int64_t want = 1LL << 30;
    // Unmeasured: the smallest claim; 8 MB/s: the most; 400 KB/s: a quarter second's worth.
    EXPECT_EQ(table.Allow(0, 0, want), 64 * 1024);
    table.Advance(0, 0, 0);
    table.Advance(0, 8000000, 1000);
    EXPECT_EQ(table.Allow(0, 8000000, want), 1 << 20);
    table.Advance(1, 1LL << 31, 0);
    table.Advance(1, (1LL << 31) + 400000, 1000);
    EXPECT_EQ(table.Allow(1, (1LL << 31) + 400000, want), 100000);
}

// Thread 0 reads at 1 MB/s throughout; thread 1's connections at `slowRate`, each watched for
// `watchedMs` before it asks again: replaced only when far slower, watched long enough, with
// enough left, and at most twice.
TEST(RangeTable, FarSlowerConnectionsAreReplacedAFewTimes) {
    struct Case {
        int64_t slowRate, watchedMs, size;
        int restarts;
    };
    const Case cases[] = {
        {100000, 4000, 40000000, 2},  // 10x slower: twice, then it keeps its connection
        {300000, 4000, 40000000, 0},  // a third of the rate: not far enough behind
        {100000, 500, 40000000, 0},   // not watched long enough
        {100000, 4000, 1200000, 0},   // what is left takes it less than three seconds
    };
    for (const Case& c : cases) {
        RangeTable table;
        ResplitRules rules = Rules();
        rules.minSecondsLeft = 3;
        rules.replaceSlow = true;
        table.Reset(rules);
        table.Plan("/t/f", 2, c.size);
        int64_t tick = 0, pos = c.size / 2;
        table.BeginConnection(0, 0, 0);
        int restarts = 0;
        for (int round = 0; round < 4; ++round) {
            table.BeginConnection(1, pos, tick);
            tick += c.watchedMs;
            pos += c.slowRate * c.watchedMs / 1000;
            table.Advance(0, tick * 1000, tick);
            table.Advance(1, pos, tick);
            const bool stopped = table.Allow(1, pos, 65536) == 0;
            if (table.TakeWoken(1) == RangeTable::Woken::Slow) {
                EXPECT_TRUE(stopped);
                ++restarts;
            }
        }
        EXPECT_EQ(restarts, c.restarts) << c.slowRate << " " << c.watchedMs << " " << c.size;
        EXPECT_EQ(table.TakeWoken(0), RangeTable::Woken::No);
        ExpectTiles(table, c.size);
    }
}

}  // namespace

namespace {

// A 2000-byte remainder of range 1, too small to take, at 100 bytes/s: 20 s left.
void SlowLastPiece(RangeTable& table) {
    ResplitRules rules = Rules();
    rules.minTakeBytes = 4000;
    table.Reset(rules);
    table.Plan("/t/f", 2, 100000);
    table.Advance(0, 0, 0);
    table.Advance(0, 50000, 100);
    table.Complete(0, 100);
    table.Advance(1, 97900, 0);
    table.Advance(1, 98000, 1000);
}

}  // namespace

TEST(RangeTable, TheLastPieceIsRacedAndKeptOnlyPastTheOwner) {
    RangeTable table;
    SlowLastPiece(table);
    ASSERT_FALSE(table.Take(0, 1000).has_value());
    const auto race = table.Race(0, 1000);
    ASSERT_TRUE(race.has_value());
    EXPECT_EQ(race->ownerId, 1);
    EXPECT_EQ(race->from, 98000);
    EXPECT_EQ(race->end, 100000);
    EXPECT_FALSE(table.Race(0, 1000).has_value());  // one racer at a time
    EXPECT_FALSE(table.RaceOver(1));
    // The owner claims 500 more meanwhile: the racer keeps only what lies past them.
    EXPECT_EQ(table.Allow(1, 98000, 500), 500);
    int woken = 0;
    table.SetRaceWake(1, [&] { ++woken; });
    const auto won = table.WinRace(1, 0, race->from);
    ASSERT_TRUE(won.has_value());
    EXPECT_EQ(won->start, 98500);
    EXPECT_EQ(won->end, 100000);
    EXPECT_EQ(table.Get(1).end, 98500);
    EXPECT_EQ(woken, 0);
    ExpectTiles(table, 100000);
}

TEST(RangeTable, ARaceTheOwnerWinsKeepsNothing) {
    for (const bool complete : {true, false}) {
        RangeTable table;
        SlowLastPiece(table);
        const auto race = table.Race(0, 1000);
        ASSERT_TRUE(race.has_value());
        int woken = 0;
        table.SetRaceWake(1, [&] { ++woken; });
        if (complete) {
            table.Complete(1, 1200);  // the owner got there first: the racer is woken
            EXPECT_EQ(woken, 1);
        } else {
            EXPECT_EQ(table.Allow(1, 98000, 1 << 20), 2000);  // it claimed the rest
        }
        EXPECT_TRUE(table.RaceOver(1));
        EXPECT_FALSE(table.WinRace(1, 0, race->from).has_value());
        EXPECT_EQ(table.Get(1).end, 100000);
        ExpectTiles(table, 100000);
    }
}
