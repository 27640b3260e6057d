#include "engine/AttemptState.h"

#include "engine/JobHost.h"
#include "net/WInternet.h"

AttemptState::AttemptState(JobHost& host_, const Settings& settings_)
    : host(host_), job(host_.Fields()), settings(settings_) {}

void AttemptState::LogVerbatim(const std::string& text) {
    host.LogLine(text, threadNumber);
}

void AttemptState::Log(const std::string& text) {
    // URLs in log lines (redirect targets, the job's URL) never show a password.
    const std::string redacted = WInternet::RedactPasswords(text);
    host.LogLine(redacted, threadNumber);
    lastLogged = redacted.substr(0, redacted.find_first_of("\r\n"));
    loggedSinceFailure = true;
}

void AttemptState::Fail(Failure::Kind kind, const std::string& text, bool permanent) {
    Failure value;
    value.kind = kind;
    value.text = text;
    value.permanent = permanent;
    Fail(value);
}

void AttemptState::Fail(const Failure& value) {
    failure = value;
    loggedSinceFailure = false;
    ++failureCount;
}

Failure AttemptState::Conclude(bool ok) {
    if (ok || stopRequested) {
        failure = {};
    } else if ((!failure.Known() || loggedSinceFailure) && !job.noMoreAttempts) {
        // Nothing more telling was recorded: the session's own last word is the reason.
        Fail(Failure::Kind::Other, lastLogged.empty() ? "the attempt failed" : lastLogged, false);
    }
    return failure;
}

void AttemptState::Report(int64_t done, int64_t total, int64_t delta) {
    host.ReportProgress(done, total, delta, threadNumber);
}

int64_t AttemptState::ReportTotal() const {
    return bodyToEnd ? -1 : segment.Length();
}
