// The stream of a file that grows at its end, into a FIFO read by a thread of the test: what
// the file holds goes out in order, and a file that goes back below what was sent stops it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "cli/StreamPump.h"
#include "support/FakeHttpServer.h"
#include "support/TempDir.h"

namespace {

using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

class StreamPumpTest : public ::testing::Test {
protected:
    StreamPumpTest() {
        ::mkfifo(fifo.c_str(), 0600);
        output.stream = true;
        output.streamPath = fifo;
        reader = std::thread([this] { received = ReadFileBytes(fifo); });
    }
    ~StreamPumpTest() override {
        if (reader.joinable()) reader.join();
    }
    void Append(const std::string& bytes) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }

    testsupport::TempDir dir;
    std::string file = dir.File("t.bin");
    std::string fifo = dir.File("out");
    OutputTarget output;
    std::string received;
    std::thread reader;
};

TEST_F(StreamPumpTest, WhatTheFileHoldsGoesOutInOrder) {
    const std::string body = PatternBytes(3 << 20, 5);
    StreamPump pump(file, output);
    ASSERT_EQ(pump.Start(), "");
    for (size_t at = 0; at < body.size(); at += 1 << 20) Append(body.substr(at, 1 << 20));
    EXPECT_EQ(pump.Finish(static_cast<int64_t>(body.size())), "");
    reader.join();
    EXPECT_EQ(received, body);
}

TEST_F(StreamPumpTest, AFileFetchedAgainStopsTheStream) {
    Append(PatternBytes(100000, 6));
    StreamPump pump(file, output);
    ASSERT_EQ(pump.Start(), "");
    for (int i = 0; i < 500 && pump.Sent() < 100000; ++i) usleep(10000);
    ASSERT_EQ(pump.Sent(), 100000);
    WriteFileBytes(file, PatternBytes(5000, 7));  // the whole file fetched again from its start
    EXPECT_NE(pump.Finish(105000).find("fetched again after 100000 bytes"), std::string::npos);
    EXPECT_TRUE(pump.Failed());
    pump.Stop();
    ::unlink(fifo.c_str());
    // The reader sees its end when the pump goes.
}

}  // namespace
