#pragma once
// WTransferSession: one attempt of one worker. Splits the URL, then hands over to the FTP or
// HTTP conversation, which sets up the segment (SegmentSetup) and pumps the body into the part
// file (DataPipeline). Created, run (RunAttempt) and deleted on the worker's thread; Stop may
// be called from the job's owner thread at any time while the session exists.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/AttemptState.h"
#include "net/WLocks.h"

class Conversation;
class JobHost;

class WTransferSession {
public:
    // settings: the snapshot this attempt works with.
    WTransferSession(JobHost& host, const Settings& settings);
    virtual ~WTransferSession();
    WTransferSession(const WTransferSession&) = delete;
    WTransferSession& operator=(const WTransferSession&) = delete;

    // Copied in by the worker before RunAttempt.
    void SetPartFile(const std::string& name) { state.partFileName = name; }
    void SetThread(int threadNumber, int rangeId, int attemptIndex) {
        state.threadNumber = threadNumber;
        state.rangeId = rangeId;
        state.attemptIndex = attemptIndex;
    }
    // The part's bytes from before were announced already (in and out, once per worker).
    void SetProgressAnnounced(bool announced) { state.progressAnnounced = announced; }
    bool ProgressAnnounced() const { return state.progressAnnounced; }

    // Race mode: the attempt fetches the race's bytes into target (nothing is written to a
    // part file, nothing announced); true when all of them are in.
    void SetRace(RaceTarget* target) {
        state.race = target;
        state.progressAnnounced = true;
    }

    // One attempt; true when the segment is complete.
    bool RunAttempt();
    // Any thread: sets the stop flag and closes the conversation's sockets, which makes a
    // blocked Connect, Receive or Accept of the worker return. Never waits for that call.
    void Stop();

    // After RunAttempt: why it failed (kind None after a success or a stop).
    const Failure& LastFailure() const { return failure; }
    // The seam check found the part stale and emptied it (the next attempt is not counted).
    bool PartFoundStale() const { return state.partFoundStale; }

private:
    bool RunSteps();

    AttemptState state;
    Failure failure;
    // The conversation while it runs; Stop closes its sockets.
    WCriticalSection activeLock;
    Conversation* active = nullptr;
};
