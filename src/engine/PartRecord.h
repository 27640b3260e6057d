#pragma once
// PartRecord: what a part file's bytes are, kept beside them in extended attributes
// (user.brindle.*) so that a later job can tell whether they still belong to the remote file
// and the segment it is about to resume. The part file itself stays plain bytes of its
// segment; where the file system keeps no user attributes there is no record, and the seam
// check of the data loop alone guards a resume. Any thread; each call opens nothing it keeps.
#include <cstdint>
#include <string>

#include "engine/SegmentLeads.h"

struct PartRecord {
    int64_t fileSize = -1;      // size of the remote file
    int threadCount = 0;        // of the job that wrote the part
    int64_t segmentStart = -1;  // offset in the remote file of the part's first byte
    // The server's identity of the file: "ETag <value>", "Last-Modified <value>" or
    // "MDTM <value>"; "" when the server gave none.
    std::string validator;
    // The bytes before the segment's start as the server sent them with it (not part of the
    // match: they are checked against the previous part when the parts are joined).
    SegmentLead lead;
};

// Writes the record onto an open part file. False when the file system refuses (no user
// attributes, or no room for them): the part is then guarded by the seam check alone.
bool WritePartRecord(int fd, const PartRecord& record);

// Reads the record of a part file (never following a symbolic link). False when the file has
// none, or only part of one.
bool ReadPartRecord(const std::string& path, PartRecord& record);

// Removes the record, so a finished file carries nothing of ours. Absent records are fine.
void ClearPartRecord(const std::string& path);

// Why bytes recorded as `recorded` are not bytes of the segment `now` describes; "" when they
// are. The thread count alone does not decide: bytes from the same start of the same remote
// file are the same bytes whatever the split.
std::string PartRecordMismatch(const PartRecord& recorded, const PartRecord& now);
