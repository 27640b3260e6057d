#pragma once
// FakeFtpServer: a scripted FTP peer on 127.0.0.1 (ephemeral port) for engine tests. By
// default it serves one in-memory file correctly (USER, PASS, TYPE, REST, MDTM, SIZE, STAT,
// PASV, PORT, RETR, QUIT; a REST offset is kept until the next RETR, as real servers do). Tests can
// change any reply, split replies into small writes, cut data connections short or never open
// them, and read back every command each connection sent.
// One thread accepts, one thread serves each connection; every member may be called from any
// thread. Every wait is bounded; the destructor stops and joins all threads.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FakeFtpServer {
public:
    // Called for every command with the reply the server would send; may change that reply.
    // connection: 0-based in accept order. The server acts on the final reply: a REST, PASV,
    // PORT or RETR whose reply is 400 or more has no effect.
    using ReplyHook = std::function<void(int connection, const std::string& verb,
                                         const std::string& argument, std::string& reply)>;

    // Serves `content` under `path` (as the client names it in SIZE, STAT and RETR).
    explicit FakeFtpServer(std::string content, std::string path = "/file.bin");
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    int Port() const { return port_; }
    // "ftp://127.0.0.1:<port><path>".
    std::string Url() const;

    // ---- script (may be changed while clients are connected) ----
    void SetGreeting(const std::string& text);
    // Fixed reply text for a verb (upper case) on every connection; "" restores the default.
    void SetReply(const std::string& verb, const std::string& reply);
    void SetHook(ReplyHook hook);
    // Replies are written in pieces of this many bytes with a short pause between them
    // (0: whole replies).
    void SetWriteChunk(int bytes);
    // The first `transfers` RETRs send only `bytes` bytes of their data and close.
    void DropDataAfter(int64_t bytes, int transfers);
    // Like DropDataAfter, but the data connection is held open without another byte until
    // the client closes it (or the server stops): a stalled transfer.
    void HoldDataAfter(int64_t bytes, int transfers);
    // RETR answers 150 and then never opens (or accepts) the data connection.
    void SetNeverConnectData(bool on);
    // REST is answered 350 but every RETR still starts at byte 0.
    void SetIgnoreRest(bool on);

    // ---- what happened ----
    int ConnectionCount() const;
    // The command lines (without CRLF) one connection sent, in order.
    std::vector<std::string> Commands(int connection) const;
    // All connections' commands, one vector per connection.
    std::vector<std::vector<std::string>> Transcripts() const;
    // Waits until some connection has sent a command starting with prefix; at most ms.
    bool WaitForCommand(const std::string& prefix, int ms) const;

private:
    struct Connection;

    void AcceptLoop();
    void Serve(int fd, int index);
    std::string DefaultReply(Connection& c, const std::string& verb, const std::string& arg);
    bool SendReply(int fd, const std::string& text);
    // Sends the file from the connection's offset over a fresh data connection.
    bool Transfer(Connection& c);
    void Record(int index, const std::string& line);

    const std::string content_;
    const std::string path_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::thread> connectionThreads_;
    std::vector<int> connectionFds_;
    std::vector<std::vector<std::string>> transcripts_;
    std::string greeting_ = "220 FakeFtp ready\r\n";
    std::map<std::string, std::string> replies_;
    ReplyHook hook_;
    int writeChunk_ = 0;
    int64_t dropAfter_ = -1;
    int dropTransfers_ = 0;
    bool holdData_ = false;
    bool neverConnectData_ = false;
    bool ignoreRest_ = false;
};

}  // namespace testsupport
