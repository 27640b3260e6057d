#pragma once
// AttemptState: what every part of one attempt shares (the conversation, the segment set-up and
// the data pipeline): who runs it, the settings it works with, the segment, the stop flag, and
// its log page and failure. Owned by the WTransferSession; only stopRequested is touched from
// another thread.
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/Failure.h"
#include "engine/Segment.h"
#include "engine/SegmentLeads.h"
#include "settings/Settings.h"

class JobHost;
struct JobFields;
struct RaceTarget;

// The engine's own reply code for a connection that failed or closed, or a stop request (a
// failure like every code from 400). Sockets are closed with Close(false, kConnectionFailed):
// without lingering, so the time is not used.
inline constexpr int kConnectionFailed = 600;

class AttemptState {
public:
    AttemptState(JobHost& host, const Settings& settings);
    AttemptState(const AttemptState&) = delete;
    AttemptState& operator=(const AttemptState&) = delete;

    JobHost& host;
    JobFields& job;
    const Settings settings;  // the snapshot this attempt works with

    // Copied in by the worker before the attempt (progressAnnounced also out after it).
    std::string partFileName;
    int threadNumber = 0;
    int rangeId = -1;  // the job's range this attempt fetches; -1: the thread's first segment
    int RangeId() const { return rangeId < 0 ? threadNumber : rangeId; }
    int attemptIndex = 0;
    // The part's bytes from before were announced to the job (once per worker).
    bool progressAnnounced = false;

    std::atomic<bool> stopRequested{false};
    int scheme = 0;  // of the URL being fetched (a redirect may change it)
    // What this attempt fetches, and the lead its part's record carries.
    Segment segment;
    SegmentLead lead;
    bool targetComplete = false;  // the job keeps a target that holds the whole file
    // The seam check found the part stale and emptied it: the worker's next attempt fetches
    // the segment from its start and is not counted against the attempts.
    bool partFoundStale = false;
    // The body has no size known beforehand; it ends with its framing or the server's close.
    bool bodyToEnd = false;
    // Set for a race for another range's last piece: the bytes go to memory, not a part file.
    RaceTarget* race = nullptr;

    // A command as sent or a reply as received, credentials included: the log page is the
    // conversation itself.
    void LogVerbatim(const std::string& text);
    // A text of the engine's own (URLs without passwords).
    void Log(const std::string& text);
    // Records why the attempt fails, after the log line that says so: the latest one counts.
    void Fail(Failure::Kind kind, const std::string& text, bool permanent);
    void Fail(const Failure& value);
    const Failure& Recorded() const { return failure; }
    void MarkPermanent() { failure.permanent = true; }
    void ClearFailure() { failure = {}; }
    // Counts Fail calls: a step can tell whether a deeper one said why already.
    int FailureCount() const { return failureCount; }
    // After the attempt: why it failed (kind None after a success or a stop); the session's
    // own last word when nothing more telling was recorded.
    Failure Conclude(bool ok);

    // Progress for this thread; the total is -1 while the body's size is unknown.
    void Report(int64_t done, int64_t total, int64_t delta);
    int64_t ReportTotal() const;

private:
    Failure failure;
    std::string lastLogged;
    bool loggedSinceFailure = false;
    int failureCount = 0;
};
