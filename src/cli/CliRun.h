#pragma once
// brindle-get's run of one job: URL checks, settings, the existing-files question, the job
// with its live display and log output, Ctrl-C, and the verdict with its exit status.
// Main thread only; the job's workers report on their own threads into the DownloadJob.
#include "cli/CliOptions.h"

enum ExitStatus {
    kExitSuccess = 0,
    kExitJobFailed = 1,
    kExitUsage = 2,  // also a refused URL and a declined question
    // A failed job whose threads said why, by the failure's kind.
    kExitRefused = 3,    // the server's refusal: HTTP 4xx, FTP 5xx
    kExitNetwork = 4,    // lookup, connect, time-out, a connection that broke
    kExitTls = 5,        // handshake or certificate
    kExitLocalFile = 6,  // a part file or the target cannot be opened or written
    kExitInterrupted = 130,
    kExitReaderGone = 141,  // -o -: the reader closed the pipe (as a SIGPIPE death reads)
};

// Runs the job the options describe and returns the exit status.
int RunBrindleGet(const CliOptions& options);

// Prints "brindle-get: " + message + "\n" on stderr.
void PrintError(const std::string& message);
// After a usage error: "Try 'brindle-get --help' for more information." on stderr.
void PrintUsageHint();
