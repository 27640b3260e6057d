#pragma once
// JobKnowledge: what the workers of one job learn of the remote file (its size, whether it
// serves byte ranges, its validator, where redirects led, the name it suggests), together with
// the job's range table and segment leads. One lock for all of it and one rule for every fact,
// FTP and HTTP alike: the first worker to learn it sets it, and later answers never change it
// (an answer that contradicts a stored one is the caller's to act on). Any thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/HostLookup.h"
#include "engine/RangeTable.h"
#include "engine/SegmentLeads.h"

class JobKnowledge {
public:
    // A consistent copy of the facts.
    struct Facts {
        int64_t size = -1;      // -1 while unknown
        int rangeSupport = -1;  // -1 unknown, 0 no, 1 yes
        // The server's identity of the file ("ETag ...", "Last-Modified ...", "MDTM ..."); ""
        // when it gave none.
        std::string validator;
        bool validatorKnown = false;
        std::string finalUrl;     // "" until the first worker's redirects are followed
        std::string disposition;  // the file name the server suggests, as sent
        // Neither HEAD nor the first GET gave a size: the body is fetched to its end.
        bool sizeless = false;
    };

    JobKnowledge();
    JobKnowledge(const JobKnowledge&) = delete;
    JobKnowledge& operator=(const JobKnowledge&) = delete;

    // Owner thread, no worker running: a new job.
    void Reset(int threadCount, const ResplitRules& rules);
    Facts Snapshot() const;
    int64_t Size() const;
    // 0 once the job is size-less: nothing to split.
    int RangeSupport() const;
    std::string Validator() const;
    std::string FinalUrl() const;
    std::string Disposition() const;
    bool Sizeless() const;

    // First writer wins; each returns the value stored after the call.
    int64_t LearnSize(int64_t size);
    int LearnRangeSupport(int support);
    void LearnValidator(const std::string& validator);
    std::string LearnFinalUrl(const std::string& url);
    void LearnDisposition(const std::string& filename);
    // True for the caller that made the job size-less.
    bool LearnSizeless();
    // What one reply says of the file, in one step: whoever finds the size finds the validator
    // and the range support with it. A negative size or support leaves that fact alone.
    void LearnFile(const std::string& validator, int rangeSupport, int64_t size);

    // Owner thread, no worker running: the whole-file pass, which trusts no offset.
    void ForgetRangeSupport();
    // Owner thread, no worker running: the next pass follows redirects afresh.
    void ForgetFinalUrl();

    // Thread 0 of a fresh HTTP job learns the size from the reply to its first GET; the other
    // threads, connected already, wait for that reply instead of each asking HEAD. Pending
    // from ExpectSizeProbe (owner thread, no worker running) until thread 0 has the reply or
    // its attempt has ended.
    void ExpectSizeProbe(bool expected);
    void EndSizeProbe();
    // Waits while the probe is pending, at most ms, or until stop is set (WakeSizeProbeWaiters
    // must follow setting it).
    void WaitForSizeProbe(int ms, const std::atomic<bool>& stop);
    void WakeSizeProbeWaiters();
    bool SizeProbePending() const;

private:
    // Declared first: the range table and the leads are built on it.
    mutable std::mutex lock;

public:
    RangeTable ranges;
    SegmentLeads leads;
    // Its own lock: a lookup runs on a thread of its own, which may outlive the job.
    HostLookup hosts;

private:
    std::condition_variable probeEnded;
    bool probePending = false;
    Facts facts;
};
