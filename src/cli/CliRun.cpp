#include "cli/CliRun.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/FailureSummary.h"
#include "cli/FileDigest.h"
#include "cli/OutputTarget.h"
#include "cli/ProxyConfig.h"
#include "cli/RunSummary.h"
#include "cli/StreamPump.h"
#include "cli/TargetNames.h"
#include "cli/TerminalDisplay.h"
#include "cli/UrlList.h"
#include "job/DownloadJob.h"
#include "job/JobInputs.h"
#include "job/PartFiles.h"
#include "net/AsciiText.h"
#include "net/WInternet.h"
#include "settings/SettingsFile.h"

namespace {

// The signal that asked us to stop (0: none).
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int signal) {
    interrupted = signal;
}

// Set by SIGWINCH (on whichever thread takes it): the display reads the width again.
std::atomic<bool> resized{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only use it so");

void OnResize(int) {
    resized.store(true, std::memory_order_relaxed);
}

// Ctrl-C, a closed terminal (SIGHUP), Ctrl-\ and kill all stop the job the same way: the
// handler only records the signal and the main loop stops the workers, so the part files are
// written out. The handler is removed after the first signal, so a second one ends the
// process at once (part files stay either way). No SA_RESTART: a read of the question's
// answer must return.
void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A resize must not cut a read short.
    struct sigaction resize {};
    resize.sa_handler = OnResize;
    sigemptyset(&resize.sa_mask);
    resize.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resize, nullptr);
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// 130 for Ctrl-C, as shells report it; 128 + the number for the others.
int InterruptedExit() {
    return interrupted == SIGINT || interrupted == 0 ? kExitInterrupted : 128 + interrupted;
}

std::string ToLf(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

enum class Answer { Continue, Declined, Interrupted };

// Asks on the terminal; stderr shows the question, the answer is read from the tty.
Answer AskOnTerminal(const std::string& question) {
    const int tty = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (tty < 0) return Answer::Declined;
    std::fprintf(stderr, "%s\n%s? [y/n] ", ToLf(question).c_str(), kExistingFilesCaption);
    std::fflush(stderr);
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR && !interrupted) continue;
        if (n <= 0 || c == '\n' || line.size() > 64) break;
        line += c;
    }
    ::close(tty);
    if (interrupted) {
        std::fputc('\n', stderr);
        return Answer::Interrupted;
    }
    const std::string answer(TrimAscii(line));
    return (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes")
               ? Answer::Continue
               : Answer::Declined;
}

bool IsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

// A terminal that takes cursor movement: TERM=dumb (Emacs shells, some CI logs) prints escape
// sequences as they are.
bool DrawsOnTerminal(int fd) {
    const char* term = std::getenv("TERM");
    return IsTerminal(fd) && (term == nullptr || std::strcmp(term, "dumb") != 0);
}

// The verdict and what follows it, once the job has ended: the checksum, the stream, the
// texts and the exit status.
struct Ending {
    bool quiet = false;  // -q without -v: nothing on success
    FILE* verdictOut = stdout;
};

// Each thread's failure, in thread order.
std::vector<Failure> ThreadFailures(const JobView& view) {
    std::vector<Failure> out;
    for (const ThreadBarView& bar : view.threads) out.push_back(bar.failure);
    return out;
}

// "" when the file has the digest asked for, else why not (both digests).
std::string ChecksumProblem(const std::string& file, const std::optional<Checksum>& checksum) {
    if (!checksum) return "";
    std::string digest, error;
    if (!FileDigest(file, checksum->algorithm, digest, error)) return error;
    if (digest == checksum->hex) return "";
    return checksum->algorithm + " mismatch: expected " + checksum->hex + ", got " + digest;
}

}  // namespace

void PrintError(const std::string& message) {
    // Messages name URLs as given; their passwords stay unshown.
    std::fprintf(stderr, "brindle-get: %s\n", WInternet::RedactPasswords(message).c_str());
}

void PrintUsageHint() {
    std::fputs("Try 'brindle-get --help' for more information.\n", stderr);
}

namespace {

int RunOne(const CliOptions& given, const std::string& urlText, bool severalUrls) {
    CliOptions options = given;
    const std::string url(TrimAscii(urlText));
    int scheme = 0;
    std::string host, user, password, path, extra;
    uint16_t port = 0;
    WInternet splitter;
    if (!splitter.CrackUrl(url, scheme, host, port, user, password, path, extra)) {
        PrintError("not a URL: " + url);
        return kExitUsage;
    }
    if (scheme != WInternet::kSchemeFtp && scheme != WInternet::kSchemeHttp &&
        scheme != WInternet::kSchemeHttps) {
        PrintError("only ftp://, http:// and https:// URLs are supported: " + url);
        return kExitUsage;
    }
    if (scheme == WInternet::kSchemeFtp && HasControlChar(WInternet::PercentDecode(path))) {
        PrintError("the path of " + url + " holds a control character once decoded: refused");
        return kExitUsage;
    }
    if (!options.caFile.empty() && ::access(options.caFile.c_str(), R_OK) != 0) {
        PrintError("cannot read the CA file " + options.caFile + ": " + std::strerror(errno));
        return kExitUsage;
    }
    std::string target = options.output;
    if (target.empty()) {
        // "file%20name.bin" names "file name.bin"; an escaped "/" or ".." cannot lead elsewhere.
        target = SafeServerName(WInternet::PercentDecode(ProposeTargetName(url).value_or("")));
        // With -J the server names the file at the end; until then it needs some name.
        if (target.empty() && options.serverName) target = "download";
        if (target.empty()) {
            PrintError("cannot name the file after this URL; give a target with -o PATH");
            PrintUsageHint();
            return kExitUsage;
        }
    }

    const OutputTarget output = ClassifyOutput(target, options.threads);
    if (!output.refusal.empty()) {
        PrintError(output.refusal);
        return kExitUsage;
    }
    // A streamed job works in a directory of its own: nothing to ask, nothing to resume.
    std::unique_ptr<StreamDirectory> streamDir;
    if (output.stream) {
        streamDir = std::make_unique<StreamDirectory>();
        if (streamDir->Path().empty()) {
            PrintError(std::string("cannot make a temporary directory: ") + std::strerror(errno));
            return kExitJobFailed;
        }
        const std::string name = ProposeTargetName(url).value_or("");
        target = streamDir->Path() + "/" +
                 (name.empty() || name == "." || name == ".." ? "download" : name);
    }
    // With the file on standard output, the verdict goes with the other messages.
    FILE* verdictOut = output.toStdout ? stderr : stdout;
    const bool quiet = options.quiet && !options.verbose;

    Settings loaded;
    LoadSettings(loaded);
    EnvironmentProxies environmentProxies;
    const std::string proxyError = ChooseProxies(
        options, scheme, host, loaded.useproxy, [](const char* name) { return std::getenv(name); },
        environmentProxies);
    if (!proxyError.empty()) {
        PrintError(proxyError);
        return kExitUsage;
    }
    ApplyOptions(options, scheme == WInternet::kSchemeFtp, loaded);
    // Credentials in an http:// or https:// URL are meant to be sent (only to that server: a
    // redirect elsewhere does not take them along).
    if (scheme != WInternet::kSchemeFtp && !user.empty()) loaded.useauthorization = true;
    SharedSettings settings(loaded);
    if (options.insecure) {
        PrintError("warning: --insecure: https:// servers' certificates are not checked");
    }

    if (options.clobber && !output.stream) {
        const std::string problem = ClearForClobber(target, options.threads);
        if (!problem.empty()) {
            PrintError(problem);
            return kExitJobFailed;
        }
    }
    const std::string question =
        output.stream ? std::string() : ExistingFilesQuestion(target, options.threads);
    if (!question.empty()) {
        Answer answer = Answer::Declined;
        if (options.answer == FilesAnswer::Yes) {
            answer = Answer::Continue;
        } else if (options.answer == FilesAnswer::Ask && IsTerminal(STDERR_FILENO)) {
            answer = AskOnTerminal(question);
        }
        if (answer == Answer::Interrupted) {
            PrintError("interrupted");
            return InterruptedExit();
        }
        if (answer == Answer::Declined) {
            PrintError(target +
                       " or its part files already exist; not continuing (-c resumes from "
                       "them, --clobber starts over)");
            return kExitUsage;
        }
    }

    const bool live = DrawsOnTerminal(STDERR_FILENO) && !options.quiet;
    LiveDisplay display(stderr);
    RateWindow rates;
    int columns = TerminalColumns(STDERR_FILENO);
    // The width as of the last SIGWINCH (read again once per frame at most).
    auto width = [&] {
        if (resized.exchange(false)) columns = TerminalColumns(STDERR_FILENO);
        return columns;
    };
    LastLines lastLines;
    DownloadJob job(settings, nullptr);
    JobOptions jobOptions{options.connectTimeoutMs, options.stallTimeoutMs};
    if (options.retryDelayMs) jobOptions.retryPauseMs = *options.retryDelayMs;
    jobOptions.tls.caFile = options.caFile;
    jobOptions.tls.insecure = options.insecure;
    jobOptions.httpsAllowed = true;
    jobOptions.maxRedirects = options.maxRedirects;
    jobOptions.userAgent = options.userAgent;
    jobOptions.keepCompleteTarget = options.continueParts && !output.stream;
    jobOptions.rateLimit = options.limitRate;
    jobOptions.environmentProxies = environmentProxies;
    if (options.proxy) jobOptions.proxyCredentials = options.proxy->credentials;
    const int64_t startedMs = SteadyMs();
    job.Start(url, target, options.threads, jobOptions);
    // A streamed file goes out as it arrives, unless it must pass --checksum first.
    std::unique_ptr<StreamPump> pump;
    if (output.stream) pump = std::make_unique<StreamPump>(target, output);
    const std::string cannotStream = pump && !options.checksum ? pump->Start() : "";
    if (!cannotStream.empty()) {
        job.SetClosing();
        job.StopAllWorkers();
        PrintError(cannotStream);
        return kExitJobFailed;
    }
    const auto streamOver = [&] { return pump && (pump->ReaderGone() || pump->Failed()); };

    auto drainLogs = [&] {
        auto logs = job.TakeLogLines();
        if (logs.empty()) return;
        if (options.verbose && live) display.Erase(width());
        for (const auto& [thread, text] : logs) {
            lastLines.Note(thread, text);
            if (options.verbose) {
                const std::string out = FormatLogText(thread, text);
                std::fwrite(out.data(), 1, out.size(), stderr);
            }
        }
        if (options.verbose) std::fflush(stderr);
    };
    // WaitFinished's bound paces the loop: at most ten frames a second.
    while (!job.WaitFinished(100) && !interrupted && !streamOver()) {
        drainLogs();
        if (!live) continue;
        const JobView view = job.Snapshot();
        rates.Add(SteadyMs(), view.fetchedTotal);
        const int now = width();
        display.Draw(RenderDisplay(view, rates, now), now);
    }

    if (!job.IsFinished()) {
        // Like closing the window: no verdict, no join, no deletion; the workers stop.
        job.SetClosing();
        job.StopAllWorkers();
        drainLogs();
        if (live) display.Erase(width());
        if (!job.IsFinished() && streamOver()) {
            pump->Stop();
            // Whoever read the stream has gone: nothing is left to do, and nothing to say.
            if (pump->ReaderGone()) return kExitReaderGone;
            std::fprintf(stderr, "%s\n", "Job failed");
            PrintError(pump->Problem());
            return kExitJobFailed;
        }
        if (!job.IsFinished()) {
            PrintError(output.stream
                           ? "interrupted"
                           : "interrupted; part files kept (run again with -c to resume)");
            return InterruptedExit();
        }
    }
    job.StopAllWorkers();
    drainLogs();
    const JobView view = job.Snapshot();
    if (live) {
        // The last frame keeps the bars; the verdict below takes the job text's place.
        const int now = width();
        std::vector<std::string> lines = RenderDisplay(view, rates, now);
        lines.pop_back();
        display.Draw(lines, now);
        display.Finish();
    }
    std::string problem = view.succeeded ? ChecksumProblem(target, options.checksum) : "";
    if (!problem.empty() && !output.stream) problem += "; " + target + " kept";
    if (pump && (!problem.empty() || !view.succeeded)) pump->Stop();
    if (pump && problem.empty() && view.succeeded) {
        if (options.checksum) problem = pump->Start();
        if (problem.empty()) problem = pump->Finish(view.fileSize);
        if (pump->ReaderGone()) return kExitReaderGone;
    }
    if (!problem.empty()) {
        // Nothing checked or streamed is a success: the job's own verdict does not stand.
        std::fprintf(quiet ? stderr : verdictOut, "%s\n", "Job failed");
        std::fflush(quiet ? stderr : verdictOut);
        PrintError(problem);
        return kExitJobFailed;
    }
    // -J: the file takes the server's name once it is whole.
    std::string renameProblem;
    std::string saved = target;
    const std::string serverName = SafeServerName(view.serverFileName);
    if (view.succeeded && options.serverName && !output.stream && !serverName.empty()) {
        renameProblem = RenameToServerName(target, serverName, options.clobber, saved);
    }
    if (view.succeeded && view.targetWasComplete) {
        if (!quiet) {
            std::fprintf(verdictOut, "%s is already complete (%lld bytes): nothing fetched\n",
                         saved.c_str(), static_cast<long long>(view.fileSize));
        }
    } else if (!quiet || !view.succeeded) {
        std::fprintf(quiet ? stderr : verdictOut, "%s\n", view.text.c_str());
        if (view.succeeded) {
            RunFigures figures{output.toStdout ? "standard output"
                               : output.stream ? options.output
                                               : saved,
                               severalUrls ? url : "", view.fileSize, view.fetchedTotal,
                               SteadyMs() - startedMs};
            const std::string summary = WInternet::RedactPasswords(RunSummary(figures));
            std::fprintf(verdictOut, "%s\n", summary.c_str());
        }
    }
    std::fflush(verdictOut);
    if (!view.succeeded) {
        std::vector<bool> failed;
        std::vector<Failure> failures;
        for (const ThreadBarView& bar : view.threads) {
            failed.push_back(bar.failed);
            if (bar.failed) failures.push_back(bar.failure);
        }
        const std::vector<std::string> lines =
            FailureLines(failed, lastLines, ThreadFailures(view), url);
        for (const std::string& line : lines) PrintError(line);
        // Every thread succeeded but the file could not be finished: the job said why on #0.
        if (lines.empty() && view.failure.Known()) {
            PrintError(url + ": " + view.failure.text);
            return FailureExit({view.failure});
        }
        if (lines.empty() && !lastLines.Of(0).empty()) PrintError(lastLines.Of(0));
        return FailureExit(failures);
    }
    if (!renameProblem.empty()) {
        PrintError(renameProblem);
        return kExitUsage;
    }
    if (loaded.delfiles) {
        // Left by a run with more threads: not this job's to join or delete.
        for (const std::string& stray : StrayPartFiles(target, options.threads)) {
            PrintError("part file " + stray + " of a run with more threads was left as it is");
        }
    }
    return kExitSuccess;
}

// The URLs of the command line, then those of -i; false (message printed) when the list
// cannot be read.
bool CollectUrls(const CliOptions& options, std::vector<std::string>& urls) {
    urls = options.urls;
    if (options.inputFile.empty()) return true;
    std::vector<std::string> listed;
    if (options.inputFile == "-") {
        listed = ReadUrlList(std::cin);
    } else {
        std::ifstream in(options.inputFile);
        if (!in) {
            PrintError("cannot read " + options.inputFile + ": " + std::strerror(errno));
            return false;
        }
        listed = ReadUrlList(in);
    }
    urls.insert(urls.end(), listed.begin(), listed.end());
    if (urls.empty()) {
        PrintError("no URL in " +
                   (options.inputFile == "-" ? std::string("standard input") : options.inputFile));
        return false;
    }
    return true;
}

}  // namespace

int RunBrindleGet(const CliOptions& options) {
    std::vector<std::string> urls;
    if (!CollectUrls(options, urls)) return kExitUsage;
    if (urls.size() > 1 && !options.output.empty()) {
        PrintError("-o names one file: with several URLs each is named after its URL");
        PrintUsageHint();
        return kExitUsage;
    }
    if (urls.size() > 1 && options.checksum) {
        PrintError("--checksum gives one digest: use it with one URL");
        PrintUsageHint();
        return kExitUsage;
    }
    InstallSignalHandlers();
    int worst = kExitSuccess;
    for (const std::string& url : urls) {
        const int status = RunOne(options, url, urls.size() > 1);
        if (interrupted) return status;
        worst = std::max(worst, status);
    }
    return worst;
}
