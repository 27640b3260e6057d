#pragma once
// The race for the last piece of a range whose connection is far behind: a finished thread
// fetches the same bytes into memory on its own connection. Nothing is written while both
// run; if the racer has them all before the owner gets there, the part past the owner's
// position becomes a range of the racer's (its own part file, written once), the owner stops
// there, and the racer's other bytes are dropped. A racer that loses writes nothing.
#include <cstdint>
#include <string>

#include "engine/RangeTable.h"

class AttemptState;
class JobHost;
struct BodySource;

struct RaceTarget {
    RaceInfo race;
    // The request starts a lead window before race.from, so the winning range's lead (the
    // bytes before its start, checked at the join) is in hand wherever it starts.
    int64_t requestStart = 0;
    std::string bytes;  // [requestStart, requestStart + bytes.size())
    int64_t Wanted() const { return race.end - requestStart; }
};

RaceTarget NewRaceTarget(const RaceInfo& race);

// The data pipeline's stage for a racer: reads the body into target.bytes until all of it is
// in or the race is over. True when all of it is in.
bool ReceiveRace(AttemptState& state, BodySource& body);

enum class RaceOutcome { Won, Lost, Failed };
// After all bytes are in: claims the piece from the table and writes it to its part file with
// its record. Won: `won` is the new range, complete on disk (the caller completes it in the
// table). Failed: the piece was claimed but could not be written (logged); the caller drops
// it.
RaceOutcome CommitRace(JobHost& host, int threadNumber, RaceTarget& target, RangeInfo& won);
