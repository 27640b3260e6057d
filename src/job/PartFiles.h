#pragma once
// Part files of a job: their names, the question about files left by an earlier job, and the
// joining of the parts into the target at a successful verdict, with the target's size
// verified. The question is built on the front end's thread before a job starts; the joining
// (PartJoiner) runs on worker threads as parts complete, and is finished by the worker thread
// that gives the verdict, when every worker has closed its part.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/JobHost.h"  // PartFileName

// True when the file system reports a status for the name itself (a link, even a dangling
// one, exists).
bool PathExists(const std::string& path);

// Highest thread number a part file name can carry (two digits in the window).
inline constexpr int kMaxPartNumber = 99;

// Part files of the target numbered threadCount .. kMaxPartNumber that exist: left by a job
// with more threads, never used, joined or deleted by this one. A file whose record says it
// belongs to a run with too few threads to have written it (a part of "<target><digit>"), or
// that another job holds, is not counted.
std::vector<std::string> StrayPartFiles(const std::string& targetPath, int threadCount);
// How many first segments the part files of targetPath were begun with, by their records:
// threadCount when there are none, or when they do not agree.
int PartLayout(const std::string& targetPath, int threadCount);

// The existing-files question: "Files:\r\n", each existing file among the target and parts
// 1..threadCount-1 on its own line in thread order, then "already exist.\r\nNOTE: If server
// doesn't support pumping,\r\n" + target + " will be deleted". "" when none exists (no
// question is asked then).
std::string ExistingFilesQuestion(const std::string& targetPath, int threadCount);
inline constexpr const char* kExistingFilesCaption = "To continue using existing files";

// What a file operation at the end of a job came to: ok, or what went wrong.
struct FileResult {
    bool ok = true;
    std::string error;  // one line, without a line break; empty when ok
};

// "what path: reason" for a failed file operation.
std::string DescribeFileError(const std::string& what, const std::string& path, int error);
// Size of a file (a link is not followed), or -1 with errno set.
int64_t FileSize(const std::string& path);
// "" when the target holds exactly expectedSize bytes (or expectedSize < 0: nothing to check).
std::string CheckSize(const std::string& targetPath, int64_t expectedSize);
// Deletes parts 1..threadCount-1 (those that exist).
void DeleteParts(const std::string& targetPath, int threadCount);
// Part files of ranges taken during a job on this target (this one or one that was killed):
// "<target>.r<digits>.part", regular files only.
std::vector<std::string> TakenPartFiles(const std::string& targetPath);

class PartJoiner;

// Appends parts 1..threadCount-1 to the target in thread order: a clone of their blocks where
// the file system shares them, else the kernel copy, else one 10240-byte buffer.
// A part that does not exist is skipped (its segment held no bytes). Then, when expectedSize
// is 0 or more, the target must hold exactly that many bytes. Only when all of this succeeded
// are the parts deleted (delfiles). On any failure (a part that cannot be opened or read, a
// target that cannot be opened or written, a short write, a wrong size) the target is cut back
// to the size it had before the join and every part is kept, so a later job can resume.
FileResult JoinPartFiles(const std::string& targetPath, int threadCount, bool delfiles,
                         int64_t expectedSize = -1);

// The end of a job whose workers all succeeded. rangeSupport 0 means thread 0 fetched the
// whole file into the target: nothing is appended, the target's size is verified and stale
// parts 1..threadCount-1 are deleted when delfiles is set (and only when the size is right).
// Otherwise the joiner finishes what it appended early, with JoinPartFiles's checks and texts,
// against the job's file size. A finished target loses its part record.
FileResult FinishJobFiles(const std::string& targetPath, int threadCount, bool delfiles,
                          int rangeSupport, int64_t fileSize, PartJoiner& joiner);
// The same with nothing appended early.
FileResult FinishJobFiles(const std::string& targetPath, int threadCount, bool delfiles,
                          int rangeSupport, int64_t fileSize);
