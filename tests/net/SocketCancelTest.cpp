// Cancelling a blocked socket call with Close from another thread, and the socket-layer time
// limits.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "SocketTestHelpers.h"
#include "net/WSocket.h"

using namespace sockettest;
using Clock = std::chrono::steady_clock;

namespace {

// Handshake: a TLS handshake with a peer that never answers the client's first message.
enum class Kind { Receive, Send, Accept, Connect, Handshake };

std::string KindName(const testing::TestParamInfo<Kind>& info) {
    switch (info.param) {
        case Kind::Receive:
            return "Receive";
        case Kind::Send:
            return "Send";
        case Kind::Accept:
            return "Accept";
        case Kind::Connect:
            return "Connect";
        case Kind::Handshake:
            return "Handshake";
    }
    return "Unknown";
}

// A socket about to block in one kind of call, with the peers that keep it blocked.
struct BlockingSetup {
    std::unique_ptr<WServerSocket> server;
    std::unique_ptr<WSocket> client;
    RawFd listener;
    RawFd peer;
    std::unique_ptr<HangingListener> hanging;
    WBuffer buffer;
    WBaseSocket* target = nullptr;
    int fd = -1;
    // Runs the call; true when it reported success (which a cancelled call must not).
    std::function<bool()> call;

    explicit BlockingSetup(Kind kind, int connectMs = kTestLimitMs, int stallMs = kTestLimitMs) {
        if (kind == Kind::Accept) {
            server = std::make_unique<WServerSocket>();
            Configure(*server);
            server->SetTimeouts(connectMs, stallMs);
            fd = CreateAndFindFd(*server);
            EXPECT_TRUE(server->SetLocalPort(0));
            EXPECT_TRUE(server->Listen());
            target = server.get();
            call = [this] { return server->Accept()->GetState() == Connected; };
            return;
        }
        client = std::make_unique<WSocket>();
        Configure(*client);
        client->SetTimeouts(connectMs, stallMs);
        target = client.get();
        fd = CreateAndFindFd(*client);
        int port = 0;
        if (kind == Kind::Connect) {
            hanging = std::make_unique<HangingListener>();
            port = hanging->Port();
        } else {
            // A small receive buffer on the silent peer makes a large send block soon.
            listener = RawListener(1, 4096);
            port = LocalPortOf(listener.Get());
        }
        EXPECT_TRUE(client->SetRemotePort(port));
        EXPECT_TRUE(client->SetRemoteAddress("127.0.0.1"));
        if (kind == Kind::Connect) {
            call = [this] { return client->Connect(); };
            return;
        }
        EXPECT_TRUE(client->Connect());
        peer = RawAccept(listener.Get());
        EXPECT_GE(peer.Get(), 0);
        if (kind == Kind::Handshake) {
            call = [this] { return client->StartTls(TlsOptions{}, "127.0.0.1"); };
        } else if (kind == Kind::Receive) {
            buffer.resize(1024);
            call = [this] { return client->Receive(buffer) > 0; };
        } else {
            buffer.assign(32 * 1024 * 1024, 's');
            call = [this] { return client->Send(buffer) >= 0; };
        }
    }
};

// Runs the setup's call on its own thread, the way a worker owns its socket.
class OwnerThread {
public:
    explicit OwnerThread(BlockingSetup& setup)
        : thread_([this, &setup] {
              tid_ = CurrentTid();
              succeeded_ = setup.call();
              finished_ = Clock::now();
              done_ = true;
          }) {}
    ~OwnerThread() {
        if (thread_.joinable()) thread_.join();
    }
    bool WaitUntilBlocked() {
        for (int i = 0; i < 5000 && tid_ == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return tid_ != 0 && WaitUntilBlockedInPoll(tid_);
    }
    pthread_t Handle() { return thread_.native_handle(); }
    void Join() { thread_.join(); }
    bool Done() const { return done_; }
    bool Succeeded() const { return succeeded_; }
    Clock::time_point Finished() const { return finished_; }

private:
    std::atomic<int> tid_{0};
    std::atomic<bool> done_{false};
    bool succeeded_ = false;
    Clock::time_point finished_;
    std::thread thread_;
};

class SocketCancel : public testing::TestWithParam<Kind> {};

TEST_P(SocketCancel, CloseFromAnotherThreadWakesTheCallPromptly) {
    BlockingSetup setup(GetParam());
    if (setup.hanging && !setup.hanging->Hangs()) GTEST_SKIP() << "cannot make a connect hang";
    ASSERT_GE(setup.fd, 0);
    OwnerThread owner(setup);
    ASSERT_TRUE(owner.WaitUntilBlocked());
    Clock::time_point closed = Clock::now();
    EXPECT_TRUE(setup.target->Close(false, 600));
    owner.Join();
    EXPECT_FALSE(owner.Succeeded());
    EXPECT_LT(owner.Finished() - closed, std::chrono::milliseconds(1000));
    // The record belongs to the Close: reset, and the object is usable again.
    EXPECT_EQ(setup.target->GetState(), Idle);
    EXPECT_FALSE(FdIsOpen(setup.fd));
    EXPECT_FALSE(setup.target->Close(false, 600));
    EXPECT_TRUE(setup.target->Create());
}

TEST_P(SocketCancel, DescriptorStaysReservedUntilTheCallReturns) {
    BlockingSetup setup(GetParam());
    if (setup.hanging && !setup.hanging->Hangs()) GTEST_SKIP() << "cannot make a connect hang";
    ASSERT_GE(setup.fd, 0);
    ino_t inode = InodeOf(setup.fd);
    ThreadFreezer freezer;
    OwnerThread owner(setup);
    ASSERT_TRUE(owner.WaitUntilBlocked());
    // Hold the owner inside its call, so whatever Close does happens while the call is in
    // flight, then grab every free descriptor number from a third thread.
    ASSERT_TRUE(freezer.Freeze(owner.Handle()));
    EXPECT_TRUE(setup.target->Close(false, 600));
    std::vector<RawFd> grabbed;
    bool reused = false;
    std::thread grabber([&] {
        for (int i = 0; i < 64; ++i) {
            grabbed.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            if (grabbed.back().Get() == setup.fd) reused = true;
        }
    });
    grabber.join();
    EXPECT_FALSE(reused);
    EXPECT_EQ(InodeOf(setup.fd), inode);
    EXPECT_FALSE(owner.Done());
    freezer.Release();
    owner.Join();
    EXPECT_FALSE(owner.Succeeded());
    // Once the call is over, its descriptor is gone.
    EXPECT_FALSE(FdIsOpen(setup.fd));
    EXPECT_EQ(setup.target->GetState(), Idle);
}

INSTANTIATE_TEST_SUITE_P(BlockedCalls, SocketCancel,
                         testing::Values(Kind::Receive, Kind::Send, Kind::Accept, Kind::Connect,
                                         Kind::Handshake),
                         KindName);

TEST(SocketCancel, ReceiveSocketConnectsAgainAfterCancel) {
    BlockingSetup setup(Kind::Receive);
    {
        OwnerThread owner(setup);
        ASSERT_TRUE(owner.WaitUntilBlocked());
        ASSERT_TRUE(setup.client->Close(false, 600));
    }
    // The peer sees the connection end.
    char byte = 0;
    EXPECT_EQ(::recv(setup.peer.Get(), &byte, 1, 0), 0);
    WServerSocket server;
    StartListening(server);
    ASSERT_TRUE(setup.client->Create());
    ASSERT_TRUE(setup.client->SetRemotePort(server.GetLocalPort()));
    ASSERT_TRUE(setup.client->SetRemoteAddress("127.0.0.1"));
    ASSERT_TRUE(setup.client->Connect());
    auto accepted = server.Accept();
    ASSERT_EQ(accepted->Send("ok"), 2);
    WBuffer buffer(8);
    EXPECT_EQ(setup.client->Receive(buffer), 2);
}

TEST(SocketCancel, DestroyingAfterCancelReleasesEverything) {
    int baseline = OpenFdCount();
    {
        BlockingSetup setup(Kind::Accept);
        OwnerThread owner(setup);
        ASSERT_TRUE(owner.WaitUntilBlocked());
        ASSERT_TRUE(setup.target->Close(false, 600));
    }
    EXPECT_EQ(OpenFdCount(), baseline);
}

// Time limits: each call gives up with ETIMEDOUT and the socket goes to Error.
class SocketTimeout : public testing::TestWithParam<Kind> {};

TEST_P(SocketTimeout, CallGivesUpAfterItsLimit) {
    BlockingSetup setup(GetParam(), 300, 300);
    if (setup.hanging && !setup.hanging->Hangs()) GTEST_SKIP() << "cannot make a connect hang";
    EXPECT_FALSE(setup.call());
    EXPECT_EQ(setup.target->GetState(), Error);
    EXPECT_EQ(setup.target->GetLastError(), ETIMEDOUT);
}

INSTANTIATE_TEST_SUITE_P(Limits, SocketTimeout,
                         testing::Values(Kind::Receive, Kind::Send, Kind::Accept, Kind::Connect,
                                         Kind::Handshake),
                         KindName);

TEST(SocketTimeout, ConnectLimitDoesNotCutAStalledReceive) {
    // Only the stall limit governs a receive; a short connect limit must not end it early.
    BlockingSetup setup(Kind::Receive, 1, 600);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(setup.call());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(setup.target->GetLastError(), ETIMEDOUT);
}

TEST(SocketTimeout, AcceptedSocketTakesTheServerLimits) {
    WServerSocket server;
    StartListening(server);
    server.SetTimeouts(kTestLimitMs, 300);
    RawFd peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(server.GetLocalPort());
    ASSERT_EQ(::connect(peer.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto accepted = server.Accept();
    ASSERT_EQ(accepted->GetState(), Connected);
    WBuffer buffer(16);
    EXPECT_EQ(accepted->Receive(buffer), -1);  // the silent peer stalls it
    EXPECT_EQ(accepted->GetLastError(), ETIMEDOUT);
}

}  // namespace
