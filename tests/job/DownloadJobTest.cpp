// DownloadJob's reporting operations driven by hand (no network): bars, texts, verdict,
// joining at the verdict, closing, and the log queue.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "job/DownloadJob.h"
#include "settings/Settings.h"
#include "support/TempDir.h"

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// The worker side of the job, as a worker holds it.
JobHost& Worker(DownloadJob& job) {
    return job;
}

class CountingObserver : public JobObserver {
public:
    void JobChanged() override { ++calls; }
    std::atomic<int> calls{0};
};

class DownloadJobTest : public ::testing::Test {
protected:
    // Three segments of "AAAA" "BBBB" "CCCCC" already written by the workers.
    void WriteThreeParts() {
        WriteFileBytes(target, "AAAA");
        WriteFileBytes(target + "1", "BBBB");
        WriteFileBytes(target + "2", "CCCCC");
    }
    // What three successful workers report for those segments (all data within one report
    // each, before the first data tick, so the speed is counted over 1000 ms).
    void ReportThreeSegments() {
        Worker(job).ReportProgress(4, 4, 4, 0);
        Worker(job).ReportProgress(4, 4, 4, 1);
        Worker(job).ReportProgress(5, 5, 5, 2);
    }

    TempDir dir;
    std::string target = dir.File("file.bin");
    SharedSettings settings;
    CountingObserver observer;
    DownloadJob job{settings, &observer};
};

TEST_F(DownloadJobTest, ResetShowsConnectingBars) {
    job.ResetJob("http://127.0.0.1/f", target, 3);
    const JobView view = job.Snapshot();
    ASSERT_EQ(view.threads.size(), 3u);
    for (const ThreadBarView& bar : view.threads) {
        EXPECT_EQ(bar.tooltip, "Connecting...");
        EXPECT_EQ(bar.position, 0);
        EXPECT_FALSE(bar.failed);
    }
    EXPECT_EQ(view.text, "");
    EXPECT_FALSE(view.finished);
    EXPECT_EQ(view.fileSize, -1);
    EXPECT_EQ(Worker(job).Fields().threadCount, 3);
    EXPECT_EQ(Worker(job).Fields().knowledge.RangeSupport(), -1);
    EXPECT_EQ(Worker(job).Fields().startTick.load(), 0);
}

TEST_F(DownloadJobTest, ProgressUpdatesBarAndJobText) {
    job.ResetJob("http://127.0.0.1/f", target, 2);
    Worker(job).Fields().knowledge.LearnSize(1000);
    Worker(job).ReportProgress(100, 500, 100, 1);
    JobView view = job.Snapshot();
    EXPECT_EQ(view.threads[1].position, 20);
    EXPECT_EQ(view.threads[1].tooltip, "100 b of 500");
    EXPECT_EQ(view.threads[0].tooltip, "Connecting...");
    // No data tick yet: the speed is counted over 1000 ms.
    EXPECT_EQ(view.text, "100 b of 1000 (10%) at 100 bps");
    EXPECT_EQ(view.position, 10);

    Worker(job).ReportProgress(0, 0, 0, 0);  // an empty segment is complete
    view = job.Snapshot();
    EXPECT_EQ(view.threads[0].position, 100);
    EXPECT_EQ(view.threads[0].tooltip, "0 b of 0");
    EXPECT_EQ(view.receivedTotal, 100);
}

TEST_F(DownloadJobTest, ResumedBytesCountAsDelta) {
    job.ResetJob("http://127.0.0.1/f", target, 2);
    Worker(job).Fields().knowledge.LearnSize(4000);
    // Both workers found complete part files: their first reports carry the whole part.
    Worker(job).ReportProgress(2000, 2000, 2000, 0);
    Worker(job).ReportProgress(2000, 2000, 2000, 1);
    EXPECT_EQ(job.Snapshot().text, "4000 b of 4000 (100%) at 4000 bps");
}

TEST_F(DownloadJobTest, OnlyReadsCountAsFetched) {
    job.ResetJob("http://127.0.0.1/f", target, 2);
    Worker(job).Fields().knowledge.LearnSize(4000);
    Worker(job).ReportProgress(300, 2000, 300, 0);    // a resumed part announced
    Worker(job).ReportChunks(800, 2000, 500, 64, 0);  // a read, in chunks
    Worker(job).ReportProgress(700, 2000, -100, 0);   // bytes that never reached the file
    Worker(job).ReportProgress(1000, 2000, 1000, 1);  // another resumed part
    Worker(job).ReportProgress(0, 2000, -1000, 1);    // found stale and taken back
    Worker(job).ReportChunks(200, 2000, 200, 4096, 1);
    JobView view = job.Snapshot();
    EXPECT_EQ(view.receivedTotal, 900);
    EXPECT_EQ(view.fetchedTotal, 700);

    job.ResetJob("http://127.0.0.1/f", target, 1);
    EXPECT_EQ(job.Snapshot().fetchedTotal, 0);
}

TEST_F(DownloadJobTest, UnknownSizeShowsZeroPercent) {
    job.ResetJob("http://127.0.0.1/f", target, 1);
    Worker(job).ReportProgress(10, 20, 10, 0);
    EXPECT_EQ(job.Snapshot().text, "10 b of -1 (0%) at 10 bps");
    EXPECT_EQ(job.Snapshot().position, 0);
}

TEST_F(DownloadJobTest, AllSucceedJoinsAndReportsSpeed) {
    WriteThreeParts();
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(13);
    Worker(job).Fields().knowledge.LearnRangeSupport(1);
    ReportThreeSegments();
    Worker(job).ThreadFinished(true, 2);
    Worker(job).ThreadFinished(true, 0);
    EXPECT_FALSE(job.IsFinished());
    EXPECT_FALSE(job.WaitFinished(10));
    EXPECT_TRUE(FileExists(target + "1"));  // nothing joined before the last one
    Worker(job).ThreadFinished(true, 1);

    ASSERT_TRUE(job.WaitFinished(0));
    const JobView view = job.Snapshot();
    EXPECT_EQ(view.text, "Job completed successfully at 13 bps");
    EXPECT_TRUE(view.finished);
    EXPECT_TRUE(view.succeeded);
    EXPECT_FALSE(view.failed);
    EXPECT_EQ(ReadFileBytes(target), "AAAABBBBCCCCC");
    EXPECT_FALSE(FileExists(target + "1"));
    EXPECT_FALSE(FileExists(target + "2"));
    EXPECT_EQ(observer.calls.load(), 3);  // once per finished thread, the last with the verdict
}

TEST_F(DownloadJobTest, OneOfThreeFails) {
    WriteThreeParts();
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(13);
    Worker(job).Fields().knowledge.LearnRangeSupport(1);
    ReportThreeSegments();
    Worker(job).ThreadFinished(true, 0);
    Worker(job).ThreadFinished(false, 1);
    JobView view = job.Snapshot();
    EXPECT_TRUE(view.threads[1].failed);
    EXPECT_EQ(view.threads[1].tooltip, "Failed");
    EXPECT_FALSE(view.finished);
    Worker(job).ThreadFinished(true, 2);

    ASSERT_TRUE(job.IsFinished());
    view = job.Snapshot();
    EXPECT_EQ(view.text, "Job failed");
    EXPECT_TRUE(view.failed);
    EXPECT_FALSE(view.succeeded);
    EXPECT_FALSE(view.threads[0].failed);
    EXPECT_FALSE(view.threads[2].failed);
    EXPECT_EQ(view.threads[2].tooltip, "5 b of 5");
    // Nothing joined, nothing deleted: a later job resumes from the parts.
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_EQ(ReadFileBytes(target + "1"), "BBBB");
    EXPECT_EQ(ReadFileBytes(target + "2"), "CCCCC");
}

TEST_F(DownloadJobTest, VerdictWithoutAnyReportKeepsTheBlank) {
    WriteFileBytes(target, "xyz");
    job.ResetJob("ftp://127.0.0.1/f", target, 1);
    Worker(job).Fields().knowledge.LearnSize(3);
    Worker(job).ThreadFinished(true, 0);
    EXPECT_EQ(job.Snapshot().text, "Job completed successfully ");
}

// What the front end needs after the verdict (brindle-get -J, "already complete") comes with
// the view. One job runs every row, so nothing of a row may reach the next.
TEST_F(DownloadJobTest, VerdictCarriesServerNameAndCompleteTarget) {
    struct Row {
        const char* disposition;  // "" sets none
        int64_t askedSize;        // size a worker asks TargetComplete about; 0 asks nothing
        const char* serverFileName;
        bool targetWasComplete;
    };
    const Row rows[] = {
        {"report.pdf", 0, "report.pdf", false},
        {"", 3, "", true},  // the target holds all 3 bytes
        {"", 0, "", false},
        {"a b.iso", 4, "a b.iso", false},  // the target is short of the file
    };
    WriteFileBytes(target, "xyz");
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.disposition) + " " + std::to_string(row.askedSize));
        job.ResetJob("http://127.0.0.1/f", target, 1);
        Worker(job).Fields().knowledge.LearnSize(3);
        if (*row.disposition != '\0')
            Worker(job).Fields().knowledge.LearnDisposition(row.disposition);
        if (row.askedSize > 0) (void)Worker(job).Fields().TargetComplete(row.askedSize);
        EXPECT_TRUE(job.Snapshot().serverFileName.empty());  // not before the verdict
        Worker(job).ThreadFinished(true, 0);
        const JobView view = job.Snapshot();
        ASSERT_TRUE(view.succeeded);
        EXPECT_EQ(view.serverFileName, row.serverFileName);
        EXPECT_EQ(view.targetWasComplete, row.targetWasComplete);
    }
}

TEST_F(DownloadJobTest, KeepsPartsWithoutDelfiles) {
    settings.Update([](Settings& s) { s.delfiles = false; });
    WriteThreeParts();
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(13);
    Worker(job).Fields().knowledge.LearnRangeSupport(1);
    for (int i = 0; i < 3; ++i) Worker(job).ThreadFinished(true, i);
    EXPECT_TRUE(job.Snapshot().succeeded);
    EXPECT_EQ(ReadFileBytes(target), "AAAABBBBCCCCC");
    EXPECT_TRUE(FileExists(target + "1"));
    EXPECT_TRUE(FileExists(target + "2"));
}

TEST_F(DownloadJobTest, WrongSizeFailsWithALogLineAndKeepsParts) {
    WriteThreeParts();
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(20);  // the parts hold 13 bytes
    Worker(job).Fields().knowledge.LearnRangeSupport(1);
    ReportThreeSegments();
    (void)job.TakeLogLines();
    for (int i = 0; i < 3; ++i) Worker(job).ThreadFinished(true, i);

    const JobView view = job.Snapshot();
    EXPECT_EQ(view.text, "Job failed");
    EXPECT_TRUE(view.failed);
    const auto logs = job.TakeLogLines();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].first, 0);
    EXPECT_NE(logs[0].second.find("holds 13 bytes instead of 20"), std::string::npos)
        << logs[0].second;
    EXPECT_EQ(logs[0].second.substr(logs[0].second.size() - 2), "\r\n");
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_EQ(ReadFileBytes(target + "1"), "BBBB");
    EXPECT_EQ(ReadFileBytes(target + "2"), "CCCCC");
}

TEST_F(DownloadJobTest, NoRangesMeansNoJoin) {
    // Thread 0 fetched the whole file; parts 1 and 2 are stale leftovers of an earlier job.
    WriteFileBytes(target, "0123456789");
    WriteFileBytes(target + "1", "stale");
    WriteFileBytes(target + "2", "stale");
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(10);
    Worker(job).Fields().knowledge.LearnRangeSupport(0);
    Worker(job).ReportProgress(10, 10, 10, 0);
    for (int i = 0; i < 3; ++i) Worker(job).ThreadFinished(true, i);
    EXPECT_EQ(job.Snapshot().text, "Job completed successfully at 10 bps");
    EXPECT_EQ(ReadFileBytes(target), "0123456789");
    EXPECT_FALSE(FileExists(target + "1"));
    EXPECT_FALSE(FileExists(target + "2"));
}

TEST_F(DownloadJobTest, ClosingSuppressesReportsAndVerdict) {
    WriteThreeParts();
    job.ResetJob("http://127.0.0.1/f", target, 3);
    Worker(job).Fields().knowledge.LearnSize(13);
    Worker(job).ReportProgress(4, 4, 4, 0);
    job.SetClosing();
    Worker(job).LogLine("late\r\n", 1);
    Worker(job).ReportProgress(4, 4, 4, 1);
    Worker(job).ThreadFinished(false, 1);
    Worker(job).ThreadFinished(true, 0);
    Worker(job).ThreadFinished(true, 2);

    EXPECT_FALSE(job.WaitFinished(20));
    const JobView view = job.Snapshot();
    EXPECT_EQ(view.text, "4 b of 13 (30%) at 4 bps");
    EXPECT_FALSE(view.threads[1].failed);
    EXPECT_EQ(view.threads[1].tooltip, "Connecting...");
    EXPECT_TRUE(job.TakeLogLines().empty());
    EXPECT_EQ(observer.calls.load(), 0);
    // No join and no deletion.
    EXPECT_EQ(ReadFileBytes(target), "AAAA");
    EXPECT_TRUE(FileExists(target + "1"));
}

TEST_F(DownloadJobTest, ZeroThreadsFailsAtOnce) {
    job.Start("http://127.0.0.1/f", target, 0);
    ASSERT_TRUE(job.IsFinished());
    EXPECT_EQ(job.Snapshot().text, "Job failed");
}

TEST_F(DownloadJobTest, LogLinesInOrderHandedOutOnce) {
    job.ResetJob("http://127.0.0.1/f", target, 2);
    Worker(job).LogLine("ATTEMPTION #0\r\n\r\n", 0);
    Worker(job).LogLine("HEAD /f HTTP/1.0\r\n", 1);
    Worker(job).LogLine("ignored", -1);
    Worker(job).LogLine("Thread #0. complited with 1\r\n", 0);
    const auto logs = job.TakeLogLines();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0], std::make_pair(0, std::string("ATTEMPTION #0\r\n\r\n")));
    EXPECT_EQ(logs[1], std::make_pair(1, std::string("HEAD /f HTTP/1.0\r\n")));
    EXPECT_EQ(logs[2], std::make_pair(0, std::string("Thread #0. complited with 1\r\n")));
    EXPECT_TRUE(job.TakeLogLines().empty());
}

TEST_F(DownloadJobTest, ConcurrentReportsGiveOneVerdict) {
    constexpr int kThreads = 8;
    constexpr int kChunks = 500;
    std::string whole;
    for (int i = 0; i < kThreads; ++i) {
        const std::string segment(kChunks, static_cast<char>('a' + i));
        WriteFileBytes(i == 0 ? target : target + std::to_string(i), segment);
        whole += segment;
    }
    job.ResetJob("http://127.0.0.1/f", target, kThreads);
    Worker(job).Fields().knowledge.LearnSize(kThreads * kChunks);
    Worker(job).Fields().knowledge.LearnRangeSupport(1);

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([this, i] {
            for (int n = 1; n <= kChunks; ++n) {
                Worker(job).ReportProgress(n, kChunks, 1, i);
                if (n % 50 == 0) Worker(job).LogLine(std::to_string(n), i);
            }
            Worker(job).ThreadFinished(true, i);
        });
    }
    // The front end polls meanwhile, as its timer would.
    for (int polls = 0; polls < 10000 && !job.IsFinished(); ++polls) {
        (void)job.Snapshot();
        (void)job.TakeLogLines();
    }
    for (std::thread& t : threads) t.join();

    ASSERT_TRUE(job.WaitFinished(1000));
    const JobView view = job.Snapshot();
    EXPECT_EQ(view.receivedTotal, kThreads * kChunks);
    EXPECT_EQ(view.text, "Job completed successfully at 4000 bps");
    EXPECT_EQ(ReadFileBytes(target), whole);
    EXPECT_EQ(observer.calls.load(), kThreads);
}

TEST_F(DownloadJobTest, LogLinesOfEachThreadStayInOrder) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    job.ResetJob("http://127.0.0.1/f", target, kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([this, i] {
            for (int n = 0; n < kLines; ++n) Worker(job).LogLine(std::to_string(n), i);
        });
    }
    std::vector<int> next(kThreads, 0);
    int taken = 0;
    auto drain = [&] {
        for (const auto& [thread, text] : job.TakeLogLines()) {
            EXPECT_EQ(text, std::to_string(next[thread])) << "thread " << thread;
            ++next[thread];
            ++taken;
        }
    };
    for (int polls = 0; polls < 100000 && taken < kThreads * kLines; ++polls) drain();
    for (std::thread& t : threads) t.join();
    drain();
    EXPECT_EQ(taken, kThreads * kLines);  // none dropped
}

}  // namespace
