#include "engine/LastPieceRace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/AttemptState.h"
#include "engine/DataPipeline.h"
#include "engine/HttpChunked.h"
#include "engine/JobHost.h"
#include "engine/PartFileWriter.h"
#include "engine/PartRecord.h"
#include "engine/SegmentSetup.h"
#include "engine/TextFormat.h"
#include "net/WSocket.h"

RaceTarget NewRaceTarget(const RaceInfo& race) {
    RaceTarget t;
    t.race = race;
    t.requestStart = race.from - std::min(kLeadBytes, race.from);
    return t;
}

bool ReceiveRace(AttemptState& state, BodySource& body) {
    RaceTarget& target = *state.race;
    RangeTable& ranges = state.job.knowledge.ranges;
    const auto want = static_cast<size_t>(target.Wanted());
    target.bytes = body.leftover.substr(0, want);
    body.leftover.clear();
    ranges.SetRaceWake(target.race.ownerId, [&body] { CloseSource(body); });
    std::vector<char> buffer(64 * 1024);
    bool bad = false;
    while (target.bytes.size() < want && body.socket != nullptr && !state.stopRequested &&
           state.job.wholeFile.load() == JobFields::WholeFile::No &&
           !ranges.RaceOver(target.race.ownerId)) {
        const size_t room = std::min(buffer.size(), want - target.bytes.size());
        int n = body.socket->Receive(buffer.data(), static_cast<int>(room), static_cast<int>(room));
        if (n <= 0) break;
        // A chunked body decodes to no more bytes than were read: never past the piece.
        if (body.chunks != nullptr) {
            n = static_cast<int>(body.chunks->Decode(buffer.data(), static_cast<size_t>(n)));
            if (body.chunks->GetState() == HttpChunkDecoder::State::Bad) {
                state.Log("Bad chunked body: " + body.chunks->Error() + "\r\n");
                bad = true;
                break;
            }
            if (n == 0 && body.chunks->GetState() == HttpChunkDecoder::State::Done) break;
        }
        target.bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    ranges.SetRaceWake(target.race.ownerId, nullptr);
    CloseSource(body);
    return !bad && target.bytes.size() == want && !state.stopRequested;
}

RaceOutcome CommitRace(JobHost& host, int threadNumber, RaceTarget& target, RangeInfo& won) {
    JobFields& job = host.Fields();
    std::optional<RangeInfo> claimed =
        job.knowledge.ranges.WinRace(target.race.ownerId, threadNumber, target.race.from);
    if (!claimed) return RaceOutcome::Lost;
    won = *claimed;
    const int64_t lead = std::min(kLeadBytes, won.start);
    const char* bytes = target.bytes.data() + (won.start - target.requestStart);
    const auto size = static_cast<size_t>(won.end - won.start);
    PartRecord record{
        job.knowledge.Size(), job.threadCount, won.start, job.knowledge.Validator(), {}};
    record.lead = SegmentLead{lead, WindowDigest(bytes - lead, static_cast<size_t>(lead))};
    // A part of that name from a killed job is replaced, never appended to.
    EmptyPartFile(won.partName);
    PartFileWriter part;
    bool ok = part.Open(won.partName);
    if (ok) {
        WritePartRecord(part.Descriptor(), record);
        ok = part.Append(bytes, size);
        ok = part.Close() && ok;
    }
    if (!ok) {
        host.LogLine(FormatText("Cannot write to %s: %s\r\n", won.partName.c_str(),
                                std::strerror(part.Error())),
                     threadNumber);
        return RaceOutcome::Failed;
    }
    job.knowledge.leads.Set(won.id, record.lead);
    return RaceOutcome::Won;
}
