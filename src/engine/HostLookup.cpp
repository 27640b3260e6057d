#include "engine/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Entry {
    bool done = false;
    HostLookup::Result result;
};

HostLookup::Result Resolve(const std::string& host) {
    HostLookup::Result result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        result.error = rc == EAI_SYSTEM ? errno : rc;
        return result;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address =
            a->ai_family == AF_INET6
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        if (::inet_ntop(a->ai_family, address, text, sizeof text) == nullptr) continue;
        // One entry per address, not per protocol the resolver lists it for.
        bool seen = false;
        for (const auto& known : result.addresses) seen = seen || known == text;
        if (!seen) result.addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    if (result.addresses.empty()) result.error = EAI_NONAME;
    return result;
}

}  // namespace

struct HostLookup::State {
    std::mutex lock;
    std::condition_variable answered;
    std::map<std::string, std::shared_ptr<Entry>> entries;
    int started = 0;
};

HostLookup::HostLookup() : state(std::make_shared<State>()) {}

HostLookup::Result HostLookup::Find(const std::string& host, const std::atomic<bool>& stop) {
    in6_addr literal{};
    if (::inet_pton(AF_INET, host.c_str(), &literal) == 1 ||
        ::inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
        return Result{{host}, 0, false};
    }

    // A Reset while this waits must not pull the state from under it.
    const std::shared_ptr<State> s = state;
    std::unique_lock<std::mutex> guard(s->lock);
    std::shared_ptr<Entry>& slot = s->entries[host];
    // Held here: a failed lookup takes the slot out of the map.
    std::shared_ptr<Entry> entry = slot;
    if (!entry) {
        entry = slot = std::make_shared<Entry>();
        ++s->started;
        auto lookUp = [s, entry, host] {
            Result result = Resolve(host);
            std::lock_guard<std::mutex> done(s->lock);
            entry->result = std::move(result);
            entry->done = true;
            // A failure is not kept: the next attempt asks the resolver again.
            auto it = s->entries.find(host);
            if (entry->result.error != 0 && it != s->entries.end() && it->second == entry) {
                s->entries.erase(it);
            }
            s->answered.notify_all();
        };
        try {
            // Detached: the thread owns what it writes to, so a job that ends first leaves it
            // nothing to wait for.
            std::thread(lookUp).detach();
        } catch (const std::system_error&) {
            // No thread to be had: the lookup runs here, the stop waiting for it.
            guard.unlock();
            lookUp();
            guard.lock();
        }
    }
    s->answered.wait(guard, [&] { return entry->done || stop.load(); });
    if (!entry->done) return Result{{}, 0, true};
    return entry->result;
}

void HostLookup::Wake() {
    const std::shared_ptr<State> s = state;
    std::lock_guard<std::mutex> guard(s->lock);
    s->answered.notify_all();
}

void HostLookup::Reset() {
    state = std::make_shared<State>();
}

int HostLookup::Started() const {
    std::lock_guard<std::mutex> guard(state->lock);
    return state->started;
}
