#include "engine/JobKnowledge.h"

#include <chrono>

JobKnowledge::JobKnowledge() : ranges(lock), leads(lock) {}

void JobKnowledge::Reset(int threadCount, const ResplitRules& rules) {
    ranges.Reset(rules);
    leads.Reset(threadCount);
    hosts.Reset();
    std::lock_guard<std::mutex> guard(lock);
    facts = Facts{};
    probePending = false;
}

void JobKnowledge::ExpectSizeProbe(bool expected) {
    std::lock_guard<std::mutex> guard(lock);
    probePending = expected;
}

JobKnowledge::Facts JobKnowledge::Snapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts;
}

int64_t JobKnowledge::Size() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.size;
}

int JobKnowledge::RangeSupport() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.sizeless ? 0 : facts.rangeSupport;
}

std::string JobKnowledge::Validator() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.validator;
}

std::string JobKnowledge::FinalUrl() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.finalUrl;
}

std::string JobKnowledge::Disposition() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.disposition;
}

bool JobKnowledge::Sizeless() const {
    std::lock_guard<std::mutex> guard(lock);
    return facts.sizeless;
}

int64_t JobKnowledge::LearnSize(int64_t size) {
    std::lock_guard<std::mutex> guard(lock);
    if (facts.size < 0 && size >= 0) facts.size = size;
    return facts.size;
}

int JobKnowledge::LearnRangeSupport(int support) {
    std::lock_guard<std::mutex> guard(lock);
    if (facts.rangeSupport < 0 && support >= 0) facts.rangeSupport = support > 0 ? 1 : 0;
    return facts.sizeless ? 0 : facts.rangeSupport;
}

void JobKnowledge::LearnValidator(const std::string& validator) {
    std::lock_guard<std::mutex> guard(lock);
    if (!facts.validatorKnown) facts.validator = validator;
    facts.validatorKnown = true;
}

std::string JobKnowledge::LearnFinalUrl(const std::string& url) {
    std::lock_guard<std::mutex> guard(lock);
    if (facts.finalUrl.empty()) facts.finalUrl = url;
    return facts.finalUrl;
}

void JobKnowledge::LearnDisposition(const std::string& filename) {
    std::lock_guard<std::mutex> guard(lock);
    if (facts.disposition.empty()) facts.disposition = filename;
}

bool JobKnowledge::LearnSizeless() {
    std::lock_guard<std::mutex> guard(lock);
    if (facts.sizeless || facts.size >= 0) return false;
    facts.sizeless = true;
    return true;
}

void JobKnowledge::LearnFile(const std::string& validator, int rangeSupport, int64_t size) {
    std::lock_guard<std::mutex> guard(lock);
    if (!facts.validatorKnown) facts.validator = validator;
    facts.validatorKnown = true;
    if (facts.rangeSupport < 0 && rangeSupport >= 0) facts.rangeSupport = rangeSupport > 0 ? 1 : 0;
    if (facts.size < 0 && size >= 0) facts.size = size;
}

void JobKnowledge::ForgetRangeSupport() {
    std::lock_guard<std::mutex> guard(lock);
    facts.rangeSupport = 0;
}

void JobKnowledge::ForgetFinalUrl() {
    std::lock_guard<std::mutex> guard(lock);
    facts.finalUrl.clear();
}

void JobKnowledge::EndSizeProbe() {
    {
        std::lock_guard<std::mutex> guard(lock);
        probePending = false;
    }
    probeEnded.notify_all();
}

bool JobKnowledge::SizeProbePending() const {
    std::lock_guard<std::mutex> guard(lock);
    return probePending;
}

void JobKnowledge::WakeSizeProbeWaiters() {
    std::lock_guard<std::mutex> guard(lock);
    probeEnded.notify_all();
}

void JobKnowledge::WaitForSizeProbe(int ms, const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> guard(lock);
    probeEnded.wait_for(guard, std::chrono::milliseconds(ms),
                        [&] { return !probePending || stop.load(); });
}
