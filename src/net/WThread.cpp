#include "net/WThread.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "net/TickCount.h"

namespace {

constexpr int kPumpSliceMs = 10;

// What the thread and its handles share: the body until it has run, and its end.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<int()> body;
    bool ended = false;
};

void* ThreadMain(void* arg) {
    std::shared_ptr<ThreadState> state;
    {
        std::unique_ptr<std::shared_ptr<ThreadState>> start(
            static_cast<std::shared_ptr<ThreadState>*>(arg));
        state = std::move(*start);
    }
    std::function<int()> body;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        body = std::move(state->body);
    }
    body();
    body = nullptr;  // the body's captures go before the thread counts as ended
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->ended = true;
    }
    state->changed.notify_all();
    return nullptr;
}

// Waits up to milliseconds (-1: no limit) for the thread to end; true if it has.
bool WaitEnded(ThreadState& state, int milliseconds) {
    std::unique_lock<std::mutex> lock(state.mutex);
    auto ended = [&] { return state.ended; };
    if (milliseconds < 0) {
        state.changed.wait(lock, ended);
        return true;
    }
    return state.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
}

std::mutex& PumpMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const std::function<void()>>& PumpSlot() {
    static std::shared_ptr<const std::function<void()>> pump;
    return pump;
}

void PumpMessages() {
    std::shared_ptr<const std::function<void()>> pump;
    {
        std::lock_guard<std::mutex> lock(PumpMutex());
        pump = PumpSlot();
    }
    // Called without the lock: the pump may run handlers that install another pump or wait.
    if (pump) (*pump)();
}

bool HasMessagePump() {
    std::lock_guard<std::mutex> lock(PumpMutex());
    return PumpSlot() != nullptr;
}

// Calls waitSlice(sliceMs) with slices of about 10 ms, running the pump before each, until
// waitSlice returns true (result true) or milliseconds have passed (false; -1: no limit).
bool PumpWhileWaiting(int milliseconds, const std::function<bool(int)>& waitSlice) {
    if (waitSlice(0)) return true;
    const int64_t start = TickCount();
    for (;;) {
        PumpMessages();
        int slice = kPumpSliceMs;
        if (milliseconds >= 0) {
            const int64_t left = start + milliseconds - TickCount();
            if (left <= 0) return waitSlice(0);
            slice = static_cast<int>(std::min<int64_t>(slice, left));
        }
        if (waitSlice(slice)) return true;
    }
}

}  // namespace

// One OS thread. The OS handle is joined once the thread is known to have ended, or detached
// when the last handle goes away while it still runs.
struct WThread::Record {
    std::shared_ptr<ThreadState> state = std::make_shared<ThreadState>();
    pthread_t thread{};
    bool started = false;
    std::mutex joinMutex;
    bool released = false;  // joined or detached

    void JoinEnded() {
        std::lock_guard<std::mutex> lock(joinMutex);
        if (!started || released || pthread_equal(thread, pthread_self())) return;
        pthread_join(thread, nullptr);
        released = true;
    }

    ~Record() {
        if (!started || released) return;
        bool ended;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            ended = state->ended;
        }
        // The last handle may go away on the thread itself; it cannot join itself.
        if (ended && !pthread_equal(thread, pthread_self())) {
            pthread_join(thread, nullptr);
        } else {
            pthread_detach(thread);
        }
    }
};

bool WThread::Create(std::function<int()> body) {
    record_.reset();
    if (!body) return false;
    return Start(std::move(body));
}

bool WThread::Start(std::function<int()> body) {
    auto record = std::make_shared<Record>();
    record->state->body = std::move(body);
    auto* start = new std::shared_ptr<ThreadState>(record->state);
    if (pthread_create(&record->thread, nullptr, ThreadMain, start) != 0) {
        delete start;
        return false;
    }
    record->started = true;
    record_ = std::move(record);
    return true;
}

bool WThread::IsRunning() const {
    if (!record_) return false;
    std::lock_guard<std::mutex> lock(record_->state->mutex);
    return !record_->state->ended;
}

bool WThread::Wait(int milliseconds, bool noMessagePump) {
    const std::shared_ptr<Record> record = record_;
    if (!record) return false;
    ThreadState& state = *record->state;
    bool ended;
    if (noMessagePump || !HasMessagePump()) {
        ended = WaitEnded(state, milliseconds);
    } else {
        ended = PumpWhileWaiting(milliseconds, [&](int slice) { return WaitEnded(state, slice); });
    }
    if (ended) record->JoinEnded();
    return ended;
}

void WThread::SetMessagePump(std::function<void()> pump) {
    std::shared_ptr<const std::function<void()>> slot;
    if (pump) slot = std::make_shared<const std::function<void()>>(std::move(pump));
    std::lock_guard<std::mutex> lock(PumpMutex());
    PumpSlot().swap(slot);
}
