#pragma once
// The segment an attempt fetches: the job's size (learnt from the reply when still unknown),
// the range from the job's table, and what the part file already holds of it (resume, with its
// record checked; a part longer than its range cut or fetched again; a stale one emptied).
#include <cstdint>
#include <string>

#include "engine/AttemptState.h"

// Sets state.segment, state.lead and state.targetComplete. replySize: the size the reply just
// read gives (-1 for none), stored when the job's is still unknown. False, with a log line, when
// no positive size is known or the part file cannot be used.
bool ComputeSegment(AttemptState& state, int64_t replySize);

// Empties the part file (never through a symbolic link) and drops its record and lead; false
// with a log line when it cannot.
bool EmptyPart(AttemptState& state, const std::string& why);

// The part loses what it held (a fetch from its start, or a piece written anew).
void EmptyPartFile(const std::string& name);
