#include "cli/OutputTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "job/PartFiles.h"

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool Streamable(const struct stat& st) {
    return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
}

std::string Kind(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISBLK(st.st_mode)) return "a block device";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISFIFO(st.st_mode)) return "a pipe";
    if (S_ISCHR(st.st_mode)) return "a character device";
    return "not a regular file";
}

}  // namespace

OutputTarget ClassifyOutput(const std::string& target, int threadCount) {
    OutputTarget out;
    if (target == "-") {
        out.stream = out.toStdout = true;
        return out;
    }
    struct stat own {};
    if (::lstat(target.c_str(), &own) == 0 && !S_ISREG(own.st_mode)) {
        struct stat seen {
        }, standardOut{};
        const bool resolves = ::stat(target.c_str(), &seen) == 0;
        if (resolves && ::fstat(STDOUT_FILENO, &standardOut) == 0 && SameFile(seen, standardOut)) {
            // /dev/stdout and its kin: the bytes go where standard output goes.
            out.stream = out.toStdout = true;
        } else if (resolves && Streamable(seen)) {
            out.stream = true;
            out.streamPath = target;
        } else {
            out.refusal = target + " is " + Kind(own) +
                          (S_ISLNK(own.st_mode) ? ": give the path of the file itself" : "");
        }
        return out;
    }
    // The job writes every part without following links, so refuse what it would fail on.
    for (int i = 1; i < threadCount; ++i) {
        const std::string part = PartFileName(target, i);
        struct stat st {};
        if (::lstat(part.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            out.refusal = "part file " + part + " is " + Kind(st) + "; move it out of the way";
            return out;
        }
    }
    return out;
}

StreamDirectory::StreamDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brindle-get-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
}

StreamDirectory::~StreamDirectory() {
    if (path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
