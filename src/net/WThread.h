#pragma once
// Handle to one OS thread that runs a worker's body. Copies share one thread record; destroying
// a handle neither stops nor waits for its thread. The UI thread creates, polls and waits for
// worker threads; a single WThread object must not be used by two threads at once, but copies
// of it may be used from different threads.
#include <functional>
#include <memory>

class WThread {
public:
    WThread() = default;

    // Runs target->function(parameter) on a new thread. The previous reference is released
    // first. A null target or function gives false and leaves the object referring to no
    // thread.
    template <class T>
    bool Create(T* target, int (T::*function)(void*), void* parameter) {
        record_.reset();
        if (target == nullptr || function == nullptr) return false;
        return Start([target, function, parameter] { return (target->*function)(parameter); });
    }
    // Runs body on a new thread, as above. An empty body gives false and no thread.
    bool Create(std::function<int()> body);

    // True from Create's return until the thread's function has returned. False when the
    // object refers to no thread.
    bool IsRunning() const;

    // Waits for the thread's function to return, at most milliseconds (-1: no limit). True when
    // it returned in time; false on a timeout and, at once, when the object refers to no
    // thread. With noMessagePump false and a pump installed, the pump runs on the calling
    // thread between short wait slices, so a GUI stays responsive while it waits.
    bool Wait(int milliseconds, bool noMessagePump);

    // Installs the message pump that Wait(.., false) runs (a GUI front end installs one that
    // processes the calling thread's pending events); an empty function removes it.
    static void SetMessagePump(std::function<void()> pump);

private:
    struct Record;
    bool Start(std::function<int()> body);

    std::shared_ptr<Record> record_;
};
