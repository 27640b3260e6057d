#include "cli/TargetNames.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "job/PartFiles.h"
#include "job/TargetLock.h"
#include "net/AsciiText.h"

std::string SafeServerName(const std::string& suggested) {
    // Both separators: a name from a Windows server may use either.
    const size_t slash = suggested.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? suggested : suggested.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." || HasControlChar(name)) return "";
    return name;
}

std::string RenameToServerName(const std::string& target, const std::string& name, bool clobber,
                               std::string& finalPath) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    finalPath = folder + name;
    if (finalPath == target) return "";
    // Without --clobber the check and the rename are one step, so a file that appears
    // meanwhile is not replaced either.
    const unsigned flags = clobber ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, finalPath.c_str(), flags) == 0) return "";
    const int error = errno;
    const std::string wanted = finalPath;
    finalPath = target;
    if (error == EEXIST) {
        return wanted + " already exists: the file stays " + target + " (--clobber overwrites)";
    }
    return "cannot rename " + target + " to " + wanted + ": " + std::strerror(error) +
           "; the file stays " + target;
}

std::string ClearForClobber(const std::string& target, int threadCount) {
    if (HeldByAnotherJob(target)) return "";
    std::vector<std::string> files;
    for (int i = 0; i < threadCount; ++i) files.push_back(PartFileName(target, i));
    for (const std::string& taken : TakenPartFiles(target)) files.push_back(taken);
    for (const std::string& file : files) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            return "cannot delete " + file + " (--clobber): " + std::strerror(errno);
        }
    }
    return "";
}
