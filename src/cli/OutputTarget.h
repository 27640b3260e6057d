#pragma once
// Where brindle-get puts the file. A regular file (or a name not yet taken) is the job's
// target as usual. Standard output ("-o -", or a path that names it, such as /dev/stdout), a
// pipe (FIFO) or a character device cannot hold part files or be resumed: the job then runs in
// a private temporary directory and the file goes out as it arrives (StreamPump). Anything else
// (a directory, a block device, a socket, a symbolic link, a part file that is not a regular
// file) is refused before anything is touched. Main thread only.
#include <string>

struct OutputTarget {
    std::string refusal;     // one line when refused; empty otherwise
    bool stream = false;     // the job runs in a temporary directory, streamed as it arrives
    bool toStdout = false;   // streamed to file descriptor 1 (else opened at streamPath)
    std::string streamPath;  // the FIFO or device to stream into
};

// Decides for the target path given (or proposed) and the thread count.
OutputTarget ClassifyOutput(const std::string& target, int threadCount);

// A private temporary directory for a streamed job ($TMPDIR, else /tmp), removed with
// everything in it when the object goes.
class StreamDirectory {
public:
    StreamDirectory();
    ~StreamDirectory();
    StreamDirectory(const StreamDirectory&) = delete;
    StreamDirectory& operator=(const StreamDirectory&) = delete;
    // Empty when it could not be made.
    const std::string& Path() const { return path; }

private:
    std::string path;
};
