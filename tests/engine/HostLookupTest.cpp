// The job's host lookup: one lookup per name however many connections ask, none for an
// address, and a stop that never waits for the resolver. Only names from /etc/hosts.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/HostLookup.h"

TEST(HostLookupTest, ConnectionsShareOneLookupPerName) {
    HostLookup lookup;
    std::atomic<bool> stop{false};
    std::vector<HostLookup::Result> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { result = lookup.Find("localhost", stop); });
    }
    for (auto& t : threads) t.join();
    for (const auto& result : results) {
        EXPECT_EQ(result.error, 0);
        ASSERT_FALSE(result.addresses.empty());
        EXPECT_EQ(result.addresses.front(), "127.0.0.1");
    }
    EXPECT_EQ(lookup.Find("127.0.0.1", stop).addresses, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(lookup.Started(), 1);

    lookup.Reset();  // a new job asks again
    EXPECT_EQ(lookup.Find("localhost", stop).error, 0);
    EXPECT_EQ(lookup.Started(), 1);
}

TEST(HostLookupTest, AStoppedConnectionDoesNotWaitForTheAnswer) {
    HostLookup lookup;
    std::atomic<bool> stop{true};
    EXPECT_TRUE(lookup.Find("localhost", stop).stopped);
    stop = false;
    EXPECT_EQ(lookup.Find("localhost", stop).error, 0);  // the lookup in flight is joined
    EXPECT_EQ(lookup.Started(), 1);
}
