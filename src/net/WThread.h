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

    // Runs target->function(parameter) on a new thread; its result becomes the exit code.
    // The previous reference is released first. A null target or function gives false and
    // leaves the object referring to no thread. With startSuspended the thread waits for
    // Resume before it calls the function. stackSize is honoured: 0 is the system default,
    // other sizes are rounded up to a multiple of 4096 bytes (and to the system minimum).
    template <class T>
    bool Create(T* target, int (T::*function)(void*), void* parameter, bool startSuspended = false,
                unsigned stackSize = 0) {
        record_.reset();
        if (target == nullptr || function == nullptr) return false;
        return Start([target, function, parameter] { return (target->*function)(parameter); },
                     startSuspended, stackSize);
    }
    // Runs body on a new thread, as above. An empty body gives false and no thread.
    bool Create(std::function<int()> body, bool startSuspended = false, unsigned stackSize = 0);

    // Lets a thread created with startSuspended call its function. false when there is no
    // thread or it is not suspended. (A suspended thread whose last handle goes away stays
    // suspended for good, as it would on any system with suspended threads.)
    bool Resume();

    // True from Create's return until the thread's function has returned (also while the
    // thread is suspended). False when the object refers to no thread.
    bool IsRunning() const;

    // True once the thread's function has returned, with its result in code.
    bool GetExitCode(int& code) const;

    // Waits for the thread's function to return, at most milliseconds (-1: no limit). True when
    // it returned in time; false on a timeout and, at once, when the object refers to no
    // thread. With noMessagePump false and a pump installed, the pump runs on the calling
    // thread between short wait slices, so a GUI stays responsive while it waits.
    bool Wait(int milliseconds, bool noMessagePump);

    // Installs the message pump that Wait(.., false) runs (a GUI front end installs one that
    // processes the calling thread's pending events); an empty function removes it.
    static void SetMessagePump(std::function<void()> pump);
    // Runs the installed pump once on the calling thread; nothing when none is installed.
    static void PumpMessages();
    static bool HasMessagePump();
    // The pumping wait loop shared by the waitable classes: calls waitSlice(sliceMs) with
    // slices of about 10 ms, running the pump before each, until waitSlice returns true
    // (result true) or milliseconds have passed (result false; -1 means no limit).
    static bool PumpWhileWaiting(int milliseconds, const std::function<bool(int)>& waitSlice);

  private:
    struct Record;
    bool Start(std::function<int()> body, bool startSuspended, unsigned stackSize);

    std::shared_ptr<Record> record_;
};
