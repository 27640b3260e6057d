#include "engine/RangeTable.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace {
// The smallest claim: below this, asking costs more than a cut gains.
constexpr int64_t kMinClaimBytes = 64 * 1024;
}  // namespace

std::string TakenPartName(const std::string& target, int64_t start) {
    return target + ".r" + std::to_string(start) + ".part";
}

int64_t SplitPoint(int64_t from, int64_t left, double ownerRate, double takerRate) {
    if (left <= 0) return from;
    const double owner = std::max(ownerRate, 0.0);
    const double taker = std::max(takerRate, 0.0);
    if (owner + taker <= 0) return from + left / 2;
    // Both end together when the owner keeps its share of the combined rate.
    const auto keep = static_cast<int64_t>(static_cast<double>(left) * owner / (owner + taker));
    return from + std::clamp<int64_t>(keep, 0, left);
}

void RangeTable::Reset(const ResplitRules& r) {
    std::lock_guard<std::mutex> guard(lock);
    rules = r;
    planned = false;
    entries.clear();
    threadRates.clear();
}

void RangeTable::Plan(const std::string& targetPath, int threads, int64_t fileSize,
                      int workerCount) {
    std::lock_guard<std::mutex> guard(lock);
    if (planned || fileSize < 0) return;
    planned = true;
    target = targetPath;
    threadCount = std::max(threads, 1);
    workers = workerCount > 0 ? workerCount : threadCount;
    threadRates.assign(static_cast<size_t>(workers), 0.0);
    const int64_t length = fileSize / threadCount;
    for (int i = 0; i < threadCount; ++i) {
        Entry e;
        e.info.id = i;
        e.info.thread = i < workers ? i : -1;
        e.info.start = i * length;
        e.info.end = i == threadCount - 1 ? fileSize : (i + 1) * length;
        e.info.partName = i == 0 ? target : target + std::to_string(i);
        e.pos = e.claimed = e.info.start;
        entries.push_back(e);
    }
    // Threads without a segment wait for the plan.
    ++generation;
    changed.notify_all();
}

bool RangeTable::Planned() const {
    std::lock_guard<std::mutex> guard(lock);
    return planned;
}

RangeInfo RangeTable::Get(int id) const {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return {};
    return entries[static_cast<size_t>(id)].info;
}

int64_t RangeTable::Allow(int id, int64_t pos, int64_t want, int64_t* end) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) {
        if (end != nullptr) *end = pos + want;
        return want;
    }
    Entry& e = entries[static_cast<size_t>(id)];
    if (end != nullptr) *end = e.info.end;
    e.pos = pos;
    // A claim of about a quarter second at the range's own rate: a slow connection keeps
    // little out of reach of a taker, a fast one asks seldom.
    if (e.watchTick >= 0 && e.lastTick > e.watchTick) {
        const double rate = static_cast<double>(pos - e.watchPos) * 1000.0 /
                            static_cast<double>(e.lastTick - e.watchTick);
        const int64_t least = std::min<int64_t>(kMinClaimBytes, rules.claimBytes);
        want = std::min(want, std::clamp(static_cast<int64_t>(rate / 4), least, rules.claimBytes));
    } else {
        want = std::min(want, std::min<int64_t>(kMinClaimBytes, rules.claimBytes));
    }
    if (FarSlower(e)) {
        // The owner stops here and goes on from pos on a new connection.
        ++e.slowRestarts;
        e.woken = Woken::Slow;
        e.claimed = pos;
        return 0;
    }
    const int64_t allowed = std::clamp<int64_t>(e.info.end - pos, 0, std::max<int64_t>(want, 0));
    e.claimed = pos + allowed;
    return allowed;
}

bool RangeTable::FarSlower(const Entry& e) const {
    if (!rules.replaceSlow || e.slowRestarts >= rules.slowRestarts || e.watchTick < 0 ||
        e.lastTick - e.watchTick < rules.slowWatchMs) {
        return false;
    }
    const double rate = RateOf(e, e.lastTick);
    const int64_t left = e.info.end - e.pos;
    const double seconds =
        rate > 0 ? static_cast<double>(left) / rate : std::numeric_limits<double>::infinity();
    // Worth a new connection only while enough is left for it to matter.
    if (!WorthSharing(left, seconds)) return false;
    double fastest = 0;
    for (const Entry& other : entries) {
        if (&other == &e || other.info.complete || other.dropped || other.watchTick < 0 ||
            e.lastTick - other.watchTick < rules.minWatchMs) {
            continue;
        }
        fastest = std::max(fastest, RateOf(other, e.lastTick));
    }
    // Ranges that have ended count too: their rate is what a connection here can do.
    for (double r : threadRates) fastest = std::max(fastest, r);
    return fastest > 0 && rate * rules.slowFactor < fastest;
}

bool RangeTable::WorthSharing(int64_t left, double seconds) const {
    const double least = rules.minSecondsLeft;
    // Enough time left, and enough bytes for a connection of their own, or a connection so
    // slow that even a last piece keeps it long.
    return left >= std::min(kMinClaimBytes, rules.minTakeBytes) && seconds >= least &&
           (left >= rules.minTakeBytes || seconds >= 2 * least);
}

void RangeTable::BeginConnection(int id, int64_t pos, int64_t tickMs) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return;
    Entry& e = entries[static_cast<size_t>(id)];
    e.watchTick = tickMs;
    e.watchPos = pos;
    e.pos = pos;
    e.lastTick = tickMs;
}

void RangeTable::Advance(int id, int64_t pos, int64_t tickMs) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return;
    Entry& e = entries[static_cast<size_t>(id)];
    if (e.watchTick < 0) {
        e.watchTick = tickMs;
        e.watchPos = pos;
    }
    e.pos = pos;
    e.lastTick = tickMs;
}

void RangeTable::SetWake(int id, std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return;
    entries[static_cast<size_t>(id)].wake = std::move(wake);
}

void RangeTable::Complete(int id, int64_t tickMs) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return;
    Entry& e = entries[static_cast<size_t>(id)];
    e.info.complete = true;
    e.wake = nullptr;
    EndRace(e);
    ++generation;
    changed.notify_all();
    const double rate = RateOf(e, tickMs);
    if (rate > 0) threadRates[static_cast<size_t>(e.info.thread)] = rate;
}

RangeTable::Woken RangeTable::TakeWoken(int id) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return Woken::No;
    const Woken woken = entries[static_cast<size_t>(id)].woken;
    entries[static_cast<size_t>(id)].woken = Woken::No;
    return woken;
}

void RangeTable::Drop(int id) {
    std::lock_guard<std::mutex> guard(lock);
    if (id < 0 || static_cast<size_t>(id) >= entries.size()) return;
    entries[static_cast<size_t>(id)].dropped = true;
    entries[static_cast<size_t>(id)].wake = nullptr;
    EndRace(entries[static_cast<size_t>(id)]);
    ++generation;
    changed.notify_all();
}

bool RangeTable::WorthWaiting(int thread) const {
    std::lock_guard<std::mutex> guard(lock);
    // Any range still running may stall or turn out worth sharing.
    for (const Entry& e : entries) {
        if (!e.info.complete && !e.dropped && e.info.thread != thread) return true;
    }
    return false;
}

bool RangeTable::Stalled(const Entry& e, int64_t tickMs) const {
    return e.watchTick >= 0 && tickMs - e.lastTick > rules.stalledMs;
}

double RangeTable::RateOf(const Entry& e, int64_t tickMs) const {
    // A range that has not moved for a while is stalled, whatever it did before.
    if (e.watchTick < 0 || Stalled(e, tickMs)) return 0;
    const int64_t elapsed = std::max<int64_t>(tickMs - e.watchTick, 1);
    return static_cast<double>(e.pos - e.watchPos) * 1000.0 / static_cast<double>(elapsed);
}

std::optional<RangeInfo> RangeTable::Take(int thread, int64_t tickMs) {
    RangeInfo taken;
    {
        // The wake runs under the lock: the owner clears it here before its socket goes.
        std::lock_guard<std::mutex> guard(lock);
        if (!planned || thread < 0 || thread >= workers) return std::nullopt;
        Entry* best = nullptr;
        double bestSeconds = -1;
        for (Entry& e : entries) {
            // A connection that stalls with bytes still to come starts again on a fresh
            // one, whether or not anything of its range is worth taking.
            if (!e.info.complete && !e.dropped && e.wake && e.pos < e.info.end &&
                Stalled(e, tickMs)) {
                e.wake();
                e.wake = nullptr;
                e.woken = Woken::Stalled;
            }
            if (e.info.complete || e.dropped || e.info.thread == thread || e.watchTick < 0) {
                continue;
            }
            if (tickMs - e.watchTick < rules.minWatchMs) continue;
            const int64_t left = e.info.end - std::max(e.claimed, e.pos);
            const double rate = RateOf(e, tickMs);
            const double seconds = rate > 0 ? static_cast<double>(left) / rate
                                            : std::numeric_limits<double>::infinity();
            if (!WorthSharing(left, seconds)) continue;
            if (seconds > bestSeconds) {
                best = &e;
                bestSeconds = seconds;
            }
        }
        if (best == nullptr) return std::nullopt;
        const int64_t from = std::max(best->claimed, best->pos);
        const int64_t left = best->info.end - from;
        double takerRate = threadRates[static_cast<size_t>(thread)];
        const double ownerRate = RateOf(*best, tickMs);
        if (takerRate <= 0) takerRate = ownerRate;
        const int64_t cut = SplitPoint(from, left, ownerRate, takerRate);
        // A last piece on a slow connection is shared however small; otherwise the taker gets
        // enough to pay for its connection.
        const int64_t least = std::min(kMinClaimBytes, rules.minTakeBytes);
        if (best->info.end - cut < (left < rules.minTakeBytes ? least : rules.minTakeBytes)) {
            return std::nullopt;
        }
        Entry e;
        e.info.id = static_cast<int>(entries.size());
        e.info.thread = thread;
        e.info.start = cut;
        e.info.end = best->info.end;
        e.info.takenFrom = best->info.thread;
        e.info.partName = TakenPartName(target, cut);
        e.pos = e.claimed = cut;
        best->info.end = cut;
        // An owner already at the cut waits on a read it no longer needs; a stalled one
        // starts again on a fresh connection for what it still has to fetch.
        if (best->pos >= cut && best->wake) {
            best->wake();
            best->wake = nullptr;
            best->woken = Woken::Stalled;
        }
        taken = e.info;
        entries.push_back(std::move(e));
    }
    return taken;
}

std::optional<RangeInfo> RangeTable::TakeUnbegun(int thread) {
    std::lock_guard<std::mutex> guard(lock);
    if (!planned || thread < 0 || thread >= workers) return std::nullopt;
    for (Entry& e : entries) {
        if (e.info.thread == -1 && !e.info.complete && !e.dropped) {
            e.info.thread = thread;
            return e.info;
        }
    }
    return std::nullopt;
}

std::optional<RaceInfo> RangeTable::Race(int thread, int64_t tickMs) {
    std::lock_guard<std::mutex> guard(lock);
    if (!planned || !rules.race || thread < 0 || thread >= workers) return std::nullopt;
    Entry* best = nullptr;
    double bestSeconds = -1;
    const double takerRate = threadRates[static_cast<size_t>(thread)];
    for (Entry& e : entries) {
        if (e.info.complete || e.dropped || e.raced || e.info.thread < 0 ||
            e.info.thread == thread || e.watchTick < 0 || tickMs - e.watchTick < rules.minWatchMs) {
            continue;
        }
        const int64_t left = e.info.end - std::max(e.claimed, e.pos);
        if (left <= 0 || left > rules.raceMaxBytes) continue;
        const double rate = RateOf(e, tickMs);
        const double seconds =
            rate > 0 ? static_cast<double>(left) / rate : std::numeric_limits<double>::infinity();
        // Only where the racer can be expected to get there first.
        if (seconds < rules.raceMinSeconds ||
            (takerRate > 0 && static_cast<double>(left) / takerRate >= seconds)) {
            continue;
        }
        if (seconds > bestSeconds) {
            best = &e;
            bestSeconds = seconds;
        }
    }
    if (best == nullptr) return std::nullopt;
    best->raced = true;
    return RaceInfo{best->info.id, best->info.thread, std::max(best->claimed, best->pos),
                    best->info.end};
}

bool RangeTable::RaceOver(int ownerId) const {
    std::lock_guard<std::mutex> guard(lock);
    if (ownerId < 0 || static_cast<size_t>(ownerId) >= entries.size()) return true;
    const Entry& e = entries[static_cast<size_t>(ownerId)];
    return !e.raced || e.info.complete || e.dropped || e.claimed >= e.info.end;
}

void RangeTable::SetRaceWake(int ownerId, std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(lock);
    if (ownerId < 0 || static_cast<size_t>(ownerId) >= entries.size()) return;
    Entry& e = entries[static_cast<size_t>(ownerId)];
    // A race already over wakes at once: the racer must not wait for bytes it cannot keep.
    if (wake && (!e.raced || e.info.complete || e.dropped)) {
        wake();
        return;
    }
    e.raceWake = std::move(wake);
}

void RangeTable::EndRace(Entry& e) {
    if (e.raceWake) e.raceWake();
    e.raceWake = nullptr;
}

void RangeTable::LoseRace(int ownerId) {
    std::lock_guard<std::mutex> guard(lock);
    if (ownerId < 0 || static_cast<size_t>(ownerId) >= entries.size()) return;
    entries[static_cast<size_t>(ownerId)].raced = false;
    entries[static_cast<size_t>(ownerId)].raceWake = nullptr;
}

std::optional<RangeInfo> RangeTable::WinRace(int ownerId, int thread, int64_t from) {
    std::lock_guard<std::mutex> guard(lock);
    if (ownerId < 0 || static_cast<size_t>(ownerId) >= entries.size()) return std::nullopt;
    Entry& owner = entries[static_cast<size_t>(ownerId)];
    const bool open = owner.raced && !owner.info.complete && !owner.dropped;
    owner.raced = false;
    owner.raceWake = nullptr;
    // What the owner may have read stays its own, so no byte is written twice.
    const int64_t cut = std::max({owner.claimed, owner.pos, from});
    if (!open || cut >= owner.info.end) return std::nullopt;
    Entry e;
    e.info.id = static_cast<int>(entries.size());
    e.info.thread = thread;
    e.info.start = cut;
    e.info.end = owner.info.end;
    e.info.takenFrom = owner.info.thread;
    e.info.partName = TakenPartName(target, cut);
    e.pos = e.claimed = e.info.end;
    owner.info.end = cut;
    // An owner already at the cut waits on a read it no longer needs.
    if (owner.pos >= cut && owner.wake) {
        owner.wake();
        owner.wake = nullptr;
        owner.woken = Woken::Stalled;
    }
    const RangeInfo won = e.info;
    entries.push_back(std::move(e));
    return won;
}

std::vector<RangeInfo> RangeTable::Ordered() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<RangeInfo> out;
    out.reserve(entries.size());
    for (const Entry& e : entries) out.push_back(e.info);
    std::sort(out.begin(), out.end(),
              [](const RangeInfo& a, const RangeInfo& b) { return a.start < b.start; });
    return out;
}

void RangeTable::WaitForChange(int ms, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> guard(lock);
    const uint64_t seen = generation;
    changed.wait_for(guard, std::chrono::milliseconds(ms),
                     [&] { return generation != seen || stop.load(); });
}

void RangeTable::Wake() {
    {
        std::lock_guard<std::mutex> guard(lock);
        ++generation;
    }
    changed.notify_all();
}
