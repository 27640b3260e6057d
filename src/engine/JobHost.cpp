#include "engine/JobHost.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

int JobFields::TargetState(int64_t size) const {
    struct stat status {};
    // Never through a link, as every part is opened.
    if (size < 1 || ::lstat(targetPath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    if (status.st_size > size) return 2;
    if (status.st_size != size) return 0;
    for (int i = 1; i < threadCount; ++i) {
        if (::lstat(PartFileName(targetPath, i).c_str(), &status) == 0) return 0;
    }
    return 1;
}

std::string JobFields::FindRoomProblem(int64_t size) const {
    int64_t held = 0;
    struct stat status {};
    for (int i = 0; i < std::max(threadCount, 1); ++i) {
        if (::lstat(PartFileName(targetPath, i).c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            held += status.st_size;
        }
    }
    const int64_t needed = size - std::min(held, size);
    struct statvfs room {};
    // The target exists (its lock made it), so its file system can be asked.
    if (needed <= 0 || ::statvfs(targetPath.c_str(), &room) != 0) return "";
    const auto free = static_cast<int64_t>(room.f_bavail) * static_cast<int64_t>(room.f_frsize);
    if (needed <= free) return "";
    char text[160];
    std::snprintf(text, sizeof text,
                  "needs %" PRId64 " bytes more on disk and only %" PRId64 " are free", needed,
                  free);
    return "Not enough room for " + targetPath + ": the file " + text;
}
