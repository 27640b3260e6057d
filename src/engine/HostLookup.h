#pragma once
// The host names of one job, each looked up once and outside any process-wide lock: every
// connection of every thread asks here, and all of them share one lookup in flight. The lookup
// runs on a thread of its own, so a stop never waits for a slow resolver; a failed lookup is
// not kept, so the next attempt asks again.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

class HostLookup {
public:
    struct Result {
        std::vector<std::string> addresses;  // IPv4 and IPv6 as text, in the resolver's order
        int error = 0;                       // a getaddrinfo code (< 0) or errno (> 0)
        bool stopped = false;                // stop was set before the answer came
    };

    HostLookup();
    // Waits for the addresses of host until they come or stop is set (Wake must follow setting
    // it). A dotted quad is its own answer.
    Result Find(const std::string& host, const std::atomic<bool>& stop);
    void Wake();
    // Forgets every answer (a new job); lookups still running end unseen.
    void Reset();
    // How many lookups were started, for tests.
    int Started() const;

private:
    struct State;
    std::shared_ptr<State> state;
};
