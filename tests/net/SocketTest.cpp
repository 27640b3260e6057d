// WSocket and WServerSocket over loopback: states, result rules, addresses, transfers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "SocketTestHelpers.h"
#include "net/WSocket.h"

using namespace sockettest;

namespace {

// Reads until `count` bytes have arrived or the connection ends or fails.
std::string ReceiveExactly(WSocket& socket, size_t count) {
    std::string data;
    WBuffer buffer(64 * 1024);
    while (data.size() < count) {
        int n = socket.Receive(buffer);
        if (n <= 0) break;
        data.append(buffer.data(), n);
    }
    return data;
}

TEST(SocketBasics, NewSocketIsIdleWithEmptyRecord) {
    WSocket socket;
    EXPECT_EQ(socket.GetState(), Idle);
    EXPECT_EQ(socket.GetLastError(), 0);
    EXPECT_EQ(socket.GetLocalAddress(), "0.0.0.0");
    EXPECT_EQ(socket.GetLocalPort(), 0);
}

TEST(SocketBasics, ConfigurationIsRefusedOutsideIdle) {
    WServerSocket server;
    StartListening(server);
    auto client = ClientFor(server.GetLocalPort());
    ASSERT_EQ(client->GetState(), Resolved);
    EXPECT_FALSE(client->SetSocketType(1));
    EXPECT_FALSE(client->SetAddressFamily(2));
    EXPECT_FALSE(client->SetProtocol(0));
    // Neither remote setter may change the address of a Resolved stream socket.
    EXPECT_FALSE(client->SetRemoteAddress("garbage"));
    EXPECT_FALSE(client->SetRemoteHost("localhost"));
    EXPECT_TRUE(client->Connect());
    EXPECT_FALSE(client->SetRemotePort(1));
    EXPECT_FALSE(client->SetLocalPort(1));
    EXPECT_FALSE(client->Connect());  // only from Resolved
    EXPECT_EQ(client->GetState(), Connected);
}

TEST(SocketBasics, ConnectOutsideResolvedHasNoEffect) {
    WSocket socket;
    Configure(socket);
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Create());  // already there: nothing to do
    EXPECT_FALSE(socket.Connect());
    EXPECT_EQ(socket.GetState(), Idle);
    EXPECT_EQ(socket.GetLastError(), 0);
}

TEST(SocketBasics, GarbageAddressIsAcceptedButConnectFails) {
    WSocket socket;
    Configure(socket);
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.SetRemotePort(21));
    EXPECT_TRUE(socket.SetRemoteAddress("garbage"));
    EXPECT_EQ(socket.GetState(), Resolved);
    EXPECT_FALSE(socket.Connect());  // 255.255.255.255
    EXPECT_EQ(socket.GetState(), Error);
    EXPECT_NE(socket.GetLastError(), 0);
    EXPECT_FALSE(socket.Close(false, 600));  // Error cannot be closed, only destroyed
}

TEST(SocketBasics, HostLookupResolvesLocalhostAndFailsOnEmptyName) {
    WServerSocket server;
    StartListening(server);
    WSocket client;
    Configure(client);
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.SetRemotePort(server.GetLocalPort()));
    ASSERT_TRUE(client.SetRemoteHost("localhost"));
    EXPECT_EQ(client.GetState(), Resolved);
    EXPECT_TRUE(client.Connect());

    WSocket unnamed;
    Configure(unnamed);
    ASSERT_TRUE(unnamed.Create());
    EXPECT_FALSE(unnamed.SetRemoteHost(""));
    EXPECT_EQ(unnamed.GetState(), Error);
    EXPECT_NE(unnamed.GetLastError(), 0);
}

TEST(SocketBasics, ListenOnPortZeroReportsTheChosenPort) {
    WServerSocket server;
    StartListening(server);
    EXPECT_EQ(server.GetState(), Listening);
    EXPECT_NE(server.GetLocalPort(), 0);
    EXPECT_EQ(server.GetLocalAddress(), "0.0.0.0");
    EXPECT_FALSE(server.Listen());  // only from Idle
}

TEST(SocketBasics, ConnectAndAcceptReadLocalAddressesBack) {
    LoopbackPair pair;
    EXPECT_EQ(pair.client->GetState(), Connected);
    EXPECT_EQ(pair.client->GetLocalAddress(), "127.0.0.1");
    EXPECT_NE(pair.client->GetLocalPort(), 0);
    EXPECT_EQ(pair.accepted->GetLocalAddress(), "127.0.0.1");
    EXPECT_EQ(pair.accepted->GetLocalPort(), pair.server.GetLocalPort());
    EXPECT_EQ(pair.server.GetState(), Listening);
}

TEST(SocketBasics, ConnectBindsTheRequestedLocalPort) {
    WServerSocket server;
    StartListening(server);
    // Borrow a free port from the OS, then release it for the client to bind.
    RawFd probe = RawListener(1);
    int port = LocalPortOf(probe.Get());
    probe.Reset();
    auto client = ClientFor(server.GetLocalPort());
    ASSERT_TRUE(client->SetLocalPort(port));
    ASSERT_TRUE(client->Connect());
    EXPECT_EQ(client->GetLocalPort(), port);
}

TEST(SocketClose, RefusedOnCreatedButUnconnectedSocket) {
    WServerSocket server;
    StartListening(server);
    WSocket socket;
    Configure(socket);
    int fd = CreateAndFindFd(socket);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(socket.Close(false, 600));
    EXPECT_EQ(socket.GetState(), Idle);
    EXPECT_TRUE(FdIsOpen(fd));
    // Nothing changed: the same OS socket still connects.
    ASSERT_TRUE(socket.SetRemotePort(server.GetLocalPort()));
    ASSERT_TRUE(socket.SetRemoteAddress("127.0.0.1"));
    EXPECT_TRUE(socket.Connect());
    EXPECT_EQ(OpenSocketFds().count(fd), 1u);
}

TEST(SocketClose, SecondCloseIsRefusedAndRecordIsReset) {
    LoopbackPair pair;
    std::set<int> before = OpenSocketFds();
    EXPECT_TRUE(pair.client->Close(false, 600));
    EXPECT_EQ(OpenSocketFds().size(), before.size() - 1);  // released at once
    EXPECT_EQ(pair.client->GetState(), Idle);
    EXPECT_EQ(pair.client->GetLastError(), 0);
    EXPECT_EQ(pair.client->GetLocalAddress(), "0.0.0.0");
    EXPECT_EQ(pair.client->GetLocalPort(), 0);
    EXPECT_FALSE(pair.client->Close(false, 600));
    EXPECT_EQ(pair.client->GetState(), Idle);
}

TEST(SocketClose, ClosedSocketCanBeCreatedAndConnectedAgain) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.client->Close(false, 600));
    ASSERT_TRUE(pair.client->Create());
    ASSERT_TRUE(pair.client->SetRemotePort(pair.server.GetLocalPort()));
    ASSERT_TRUE(pair.client->SetRemoteAddress("127.0.0.1"));
    ASSERT_TRUE(pair.client->Connect());
    auto second = pair.server.Accept();
    ASSERT_EQ(second->GetState(), Connected);
    EXPECT_EQ(pair.client->Send("again"), 5);
    EXPECT_EQ(ReceiveExactly(*second, 5), "again");
}

TEST(SocketClose, DestructorsReleaseEveryHandle) {
    int baseline = OpenFdCount();
    {
        WSocket created;  // Idle with an OS socket: Close refuses it
        Configure(created);
        ASSERT_TRUE(created.Create());
        WSocket failed;  // Error: Close refuses it too
        Configure(failed);
        ASSERT_TRUE(failed.Create());
        failed.SetRemoteAddress("garbage");
        ASSERT_FALSE(failed.Connect());
        LoopbackPair pair;  // listening, connected and accepted sockets
        EXPECT_GT(OpenFdCount(), baseline);
    }
    EXPECT_EQ(OpenFdCount(), baseline);
}

TEST(SocketTransfer, SendLengthRules) {
    LoopbackPair pair;
    const WBuffer data = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(pair.client->Send(data, 6), -1);  // longer than the buffer: nothing sent
    EXPECT_EQ(pair.client->GetState(), Connected);
    EXPECT_EQ(pair.client->Send(data, 2), 2);
    EXPECT_EQ(pair.client->Send(data), 5);  // negative: the whole buffer
    EXPECT_EQ(pair.client->Send(data.data(), 5, 0), 0);
    EXPECT_EQ(pair.client->Send(std::string_view("xyz")), 3);
    EXPECT_EQ(ReceiveExactly(*pair.accepted, 10), "ababcdexyz");
}

TEST(SocketTransfer, ReceiveLengthRules) {
    LoopbackPair pair;
    ASSERT_EQ(pair.client->Send("0123456789"), 10);
    WBuffer buffer(4, '-');
    EXPECT_EQ(pair.accepted->Receive(buffer, 5), -1);  // more than the buffer: nothing read
    EXPECT_EQ(pair.accepted->GetState(), Connected);
    EXPECT_EQ(pair.accepted->Receive(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer.data(), 4), "01--");
    int n = pair.accepted->Receive(buffer);  // negative: at most the buffer's size
    ASSERT_GT(n, 0);
    ASSERT_LE(n, 4);
    EXPECT_EQ(buffer.size(), 4u);  // the size is not changed
    std::string rest = std::string(buffer.data(), n) + ReceiveExactly(*pair.accepted, 8 - n);
    EXPECT_EQ(rest, "23456789");
}

TEST(SocketTransfer, ReceiveGivesZeroAfterPeerCloseAndStaysConnected) {
    LoopbackPair pair;
    ASSERT_EQ(pair.accepted->Send("bye"), 3);
    ASSERT_TRUE(pair.accepted->Close(false, 600));
    EXPECT_EQ(ReceiveExactly(*pair.client, 3), "bye");
    WBuffer buffer(16);
    EXPECT_EQ(pair.client->Receive(buffer), 0);
    EXPECT_EQ(pair.client->GetState(), Connected);
    EXPECT_EQ(pair.client->Receive(buffer), 0);
    EXPECT_TRUE(pair.client->Close(false, 600));
}

TEST(SocketTransfer, SendToResetPeerFailsWithoutSignal) {
    LoopbackPair pair;
    // An aborting close makes the peer answer further data with a reset.
    ASSERT_TRUE(pair.accepted->Close(true, 0));
    WBuffer chunk(64 * 1024, 'x');
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = pair.client->Send(chunk);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(pair.client->GetState(), Error);
    EXPECT_TRUE(pair.client->GetLastError() == EPIPE || pair.client->GetLastError() == ECONNRESET)
        << pair.client->GetLastError();
}

TEST(SocketTransfer, LargeTransferArrivesIntact) {
    LoopbackPair pair;
    const size_t size = 6 * 1024 * 1024 + 123;
    WBuffer data(size);
    std::mt19937 random(12345);
    for (char& byte : data) byte = static_cast<char>(random());
    int sent = 0;
    std::thread sender([&] {
        sent = pair.client->Send(data);
        pair.client->Close(false, 600);
    });
    std::string received = ReceiveExactly(*pair.accepted, size + 1);
    sender.join();
    EXPECT_EQ(sent, static_cast<int>(size));
    ASSERT_EQ(received.size(), size);
    EXPECT_EQ(std::memcmp(received.data(), data.data(), size), 0);
}

}  // namespace
