#include "engine/JobHost.h"

#include <sys/stat.h>

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
