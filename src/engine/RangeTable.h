#pragma once
// RangeTable: the job's byte ranges while it runs. Each thread starts with its own segment
// (range id = thread number); a thread that has finished takes the upper part of the range
// with the most time left, on its own connection, into a part file of its own, and the owner
// stops at the new end. The split point comes from the measured rates, so that both end
// together. Any thread; one lock inside.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// When a range is worth sharing: what the taker would get, and how long the owner still has.
struct ResplitRules {
    int64_t minTakeBytes = 256 * 1024;
    double minSecondsLeft = 0.5;
    // How long a range's rate is watched before it is trusted (a connection still in slow
    // start looks slower than it is).
    int64_t minWatchMs = 1000;
    // A range that has not moved for this long counts as stalled (rate 0).
    int64_t stalledMs = 2000;
    // How often a thread without work looks again for a range worth taking.
    int pollMs = 250;
    // The most a range's owner reads past what it has before asking again (it asks for about
    // a quarter second at its rate): a cut comes no nearer, and bigger reads cost fewer
    // system calls.
    int64_t claimBytes = 1 << 20;
    // A connection this many times slower than the fastest of the others, watched this long,
    // is replaced by a new one (at most slowRestarts times per range): on real networks a slow
    // route or a throttled stream seldom mends itself, and a new connection often fares better.
    // Off under a rate limit, which may hold one connection back on purpose.
    bool replaceSlow = true;
    double slowFactor = 4;
    int64_t slowWatchMs = 1000;
    int slowRestarts = 2;
    // A remainder too small to split, on a connection that still needs this long for it (or
    // has stalled), is raced: a finished thread fetches the same bytes into memory, and if
    // they are all in before the owner gets there, they become a range of the racer's from
    // wherever the owner has got to. Off under a rate limit, like replaceSlow.
    bool race = true;
    int64_t raceMaxBytes = 1 << 20;
    double raceMinSeconds = 1.0;
};

// A race for the last piece of a range: the bytes [from, end) of range ownerId.
struct RaceInfo {
    int ownerId = -1;
    int ownerThread = -1;
    int64_t from = 0;
    int64_t end = 0;
};

struct RangeInfo {
    int id = -1;
    int thread = -1;  // who fetches it
    int64_t start = 0;
    int64_t end = 0;     // one past the last byte; moves down when the range is split
    int takenFrom = -1;  // the thread whose range it was cut from; -1 for a first segment
    std::string partName;
    bool complete = false;
};

// Name of the part file for a range taken during the job. It ends in a letter, so it can
// never be the numbered part of this target or of another one.
std::string TakenPartName(const std::string& target, int64_t start);

// Where to cut a remainder of `left` bytes (from `from`) between an owner at `ownerRate` and
// a taker at `takerRate` (bytes per second) so that both end together; the cut is no earlier
// than `from`. Pure; rates of 0 or less count as nothing.
int64_t SplitPoint(int64_t from, int64_t left, double ownerRate, double takerRate);

class RangeTable {
public:
    // With a lock of its own, or sharing the lock of what it is part of.
    RangeTable() : lock(ownLock) {}
    explicit RangeTable(std::mutex& shared) : lock(shared) {}
    RangeTable(const RangeTable&) = delete;
    RangeTable& operator=(const RangeTable&) = delete;

    // Owner thread, no worker running: a new job.
    void Reset(const ResplitRules& rules);
    // The first segments of a file of this size, parts named after the target (the first
    // caller plans; later calls keep it). Segment i is thread i's; with fewer workers than
    // segments, the rest wait for a thread that has finished (Take hands them out first).
    void Plan(const std::string& target, int threadCount, int64_t fileSize, int workers = 0);
    bool Planned() const;

    RangeInfo Get(int id) const;
    // How many bytes the range's owner, now at `pos`, may read next (at most `want`); what it
    // may read is never given away. 0 at the range's end.
    // `end` (if given) gets the range's end.
    int64_t Allow(int id, int64_t pos, int64_t want, int64_t* end = nullptr);
    // The owner has `pos` bytes of the file up to (exclusive); feeds the rate.
    void Advance(int id, int64_t pos, int64_t tickMs);
    // The owner reads on a new connection from `pos`: its rate is measured afresh.
    void BeginConnection(int id, int64_t pos, int64_t tickMs);
    // Called by the owner while it reads: how to make a blocked read return when the range is
    // cut at the owner's position (nullptr when not reading).
    void SetWake(int id, std::function<void()> wake);
    void Complete(int id, int64_t tickMs);
    // Why the range's connection was ended by the table since the last call, if it was (then
    // the attempt that ended is not the server's fault).
    enum class Woken { No, Stalled, Slow };
    Woken TakeWoken(int id);
    // The range's thread gave up on it: no one takes from it (the job fails anyway).
    void Drop(int id);
    // Whether a range of another thread is still running (it may stall or become worth
    // sharing).
    bool WorthWaiting(int thread) const;

    // A first segment that no thread has begun (there were fewer workers than segments), now
    // `thread`'s; none when every one has its thread.
    std::optional<RangeInfo> TakeUnbegun(int thread);
    // A range for `thread` cut from the one with the most time left, or none worth taking.
    // Wakes, on the way, every reading range that has stalled, so it starts again.
    std::optional<RangeInfo> Take(int thread, int64_t tickMs);

    // A range whose remainder is not worth a Take but keeps its owner long (or has stalled),
    // for `thread` to race; one race per range at a time. None when there is no such range.
    std::optional<RaceInfo> Race(int thread, int64_t tickMs);
    // The race is over for the racer: the owner has completed, dropped or claimed the whole
    // remainder, so nothing the racer fetches can be kept.
    bool RaceOver(int ownerId) const;
    // Called by the racer while it reads: how to make its blocked read return once the race
    // is over (nullptr when not reading).
    void SetRaceWake(int ownerId, std::function<void()> wake);
    // The racer holds [from, end) of the owner's range: the part past what the owner may have
    // read becomes a new range of `thread`, complete, and the owner stops there (as with
    // Take). None when the owner got there first; the race ends either way.
    std::optional<RangeInfo> WinRace(int ownerId, int thread, int64_t from);
    // The racer gave up (a failed fetch, a stop): the range may be raced again.
    void LoseRace(int ownerId);

    // Waits at most ms, or until a range completes or is dropped, or Wake is called, or stop
    // is set (Wake must follow setting it). An idle thread waits here between looks.
    void WaitForChange(int ms, const std::atomic<bool>& stop);
    void Wake();

    // Every range by its first byte: they tile the file.
    std::vector<RangeInfo> Ordered() const;

private:
    struct Entry {
        RangeInfo info;
        int64_t pos = 0;      // bytes in hand up to
        int64_t claimed = 0;  // bytes the owner may have read up to
        int64_t watchTick = -1;
        int64_t watchPos = 0;
        int64_t lastTick = -1;
        bool dropped = false;
        Woken woken = Woken::No;
        int slowRestarts = 0;
        std::function<void()> wake;
        bool raced = false;  // a racer is fetching its last piece
        std::function<void()> raceWake;
    };
    // No byte for rules.stalledMs (a range that has just begun is not stalled).
    bool Stalled(const Entry& e, int64_t tickMs) const;
    double RateOf(const Entry& e, int64_t tickMs) const;
    // Whether a remainder of `left` bytes that takes its owner `seconds` is worth another
    // connection (a taker's, or a new one for the owner).
    bool WorthSharing(int64_t left, double seconds) const;
    // The racer's wake, called once the race is over (lock held).
    void EndRace(Entry& e);
    // Whether e's connection is far slower than the fastest other one (lock held).
    bool FarSlower(const Entry& e) const;

    std::mutex ownLock;
    std::mutex& lock;
    std::condition_variable changed;
    uint64_t generation = 0;  // counts completions, drops and wakes
    std::string target;
    int threadCount = 1;  // first segments
    int workers = 1;      // threads that take ranges
    ResplitRules rules;
    bool planned = false;
    std::vector<Entry> entries;       // index = id
    std::vector<double> threadRates;  // last finished range's rate per thread
};
