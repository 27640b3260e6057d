#pragma once
// PartJoiner: joins a job's part files into its target while later threads still download.
// Part i goes onto the target as soon as parts 0..i are complete, so at the verdict only the
// parts that finished last are left to append. Appending runs on the thread whose report made
// a part due, outside the job's locks; one thread appends at a time and the others leave their
// parts to it. Until the verdict every part file is kept, so a failed or abandoned job cuts the
// target back to segment 0 and a later job resumes from the parts as if nothing had been
// appended.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/RangeTable.h"
#include "job/PartFiles.h"

class PartJoiner {
public:
    PartJoiner() = default;
    PartJoiner(const PartJoiner&) = delete;
    PartJoiner& operator=(const PartJoiner&) = delete;
    ~PartJoiner();

    // A new job (no worker running, nothing appending). With fields, each part whose lead is
    // known must fit after the bytes before it; a part that does not stops the joining and
    // turns the job to one whole-file connection (SeamReason says why).
    void Reset(const std::string& targetPath, int threadCount, JobFields* fields = nullptr);
    // Range rangeId's part is complete and closed (the id is the thread number unless the
    // job's range table says otherwise). With ranges (each part its own segment) it appends
    // every part that is now next in line, in byte order.
    void PartDone(int rangeId, bool ranges);
    // A thread failed or the job is going away: nothing more is appended early.
    void Abandon();
    // After the last worker of a job whose workers all succeeded: appends the parts not yet
    // appended, then checks the target's size (when expectedSize >= 0) and deletes the parts
    // (delfiles) only when all of it succeeded. On any failure the target is cut back to
    // segment 0 and every part is kept. JoinPartFiles's texts.
    FileResult Finish(bool delfiles, int64_t expectedSize);
    // After the last worker of a job that failed or was abandoned: cuts the target back to
    // segment 0 when anything was appended. "" or what went wrong.
    std::string Undo();
    // Why a part did not fit after the one before it; "" when none was found.
    std::string SeamReason();

private:
    // Appends parts next.. while they are complete (the lock held on entry and exit, released
    // around each part; no other append running). Sets error on a failure.
    void AppendDue(std::unique_lock<std::mutex>& guard);
    // Opens the target at its end on the first append, noting its size for the undo.
    std::string OpenTarget();
    // "" when part i's lead equals the target's last bytes (or no lead is known), else why
    // not (appending thread only).
    std::string CheckLead(int i, const std::string& part);
    // The job's ranges are in its table (else one per thread, by number).
    bool Planned() const;
    // Every range by its first byte, with its part file.
    std::vector<RangeInfo> Order() const;
    // Cuts the target back and closes it (no append running).
    std::string CutBack();

    std::mutex lock;
    std::condition_variable idle;  // appending went false
    std::string target;
    int count = 0;
    std::vector<bool> done;
    int next = 1;  // the next part to append
    bool ranges = false;
    bool abandoned = false;
    bool appending = false;
    std::string error;
    std::string seamReason;
    JobFields* job = nullptr;
    int targetFd = -1;
    int64_t sizeBefore = -1;  // the target's size before the first append
    std::vector<char> buffer;
};
