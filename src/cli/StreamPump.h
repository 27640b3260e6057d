#pragma once
// Sends a streamed job's file to its output while the job runs. The file only ever grows at
// its end (thread 0 writes its segment in order, and each later part is appended once all
// before it is there), so every byte below its size is final and goes out at once, in order.
// A pipe gets the bytes spliced without blocking, so a stop never waits for a slow reader.
// One thread of its own; the owner calls the rest from its thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "cli/OutputTarget.h"

class StreamPump {
public:
    StreamPump(std::string file, const OutputTarget& output);
    ~StreamPump();
    StreamPump(const StreamPump&) = delete;
    StreamPump& operator=(const StreamPump&) = delete;

    // Opens the output and starts sending; "" or the reason it cannot.
    std::string Start();
    // The job ended well: everything up to size goes out; "" or why not all of it did.
    std::string Finish(int64_t size);
    // The job ended otherwise: no more bytes go out.
    void Stop();
    // The reader closed its end: the job has no one to fetch for.
    bool ReaderGone() const { return readerGone; }
    // Sending cannot go on (a write failed, or the file went back below what was sent).
    bool Failed() const { return failed; }
    // Why sending stopped, once Failed.
    std::string Problem() const;
    int64_t Sent() const { return sent; }

private:
    void Run();
    // Sends what the file holds beyond sent, up to limit; false when sending is over.
    bool SendAvailable(int64_t limit);
    bool SendRange(int64_t end);
    void Fail(const std::string& why);

    const std::string file;
    const OutputTarget output;
    std::string outputName;
    int in = -1;
    int out = -1;
    bool outIsPipe = false;
    std::atomic<int64_t> sent{0};
    std::atomic<bool> readerGone{false};
    std::atomic<bool> failed{false};
    std::string problem;  // written by the pump thread before failed is set

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    int64_t finalSize = -1;  // set by Finish: send up to here, then end
    std::thread thread;
};
