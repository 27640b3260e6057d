#pragma once
// Shared pieces of the FTP session tests: a fixture with short socket limits and a temp dir,
// file contents, one attempt run by hand, and whole jobs run by real workers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/WInternetWorker.h"
#include "engine/WTransferSession.h"
#include "net/WSocket.h"
#include "settings/Settings.h"
#include "support/FakeFtpServer.h"
#include "support/FakeJobHost.h"
#include "support/TempDir.h"

namespace ftptest {

using testsupport::FakeFtpServer;
using testsupport::FakeJobHost;
using testsupport::WriteRecord;

// The validator the fake server's MDTM reply gives.
inline const std::string kServerMdtm = "MDTM 20240101120000";

// Bytes that differ at every offset (so a shifted range shows), CR, LF and NUL included.
inline std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

inline bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines) {
        if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

class FtpFixture : public ::testing::Test {
protected:
    static Settings MakeSettings(bool passive, int attempts = 1) {
        Settings s;
        s.passivemode = passive;
        s.attempts = attempts;
        s.bufsize = 8192;
        s.defuser = "anonymous";
        s.defpass = "guest@";
        return s;
    }

    std::string Target() const { return dir.File("out.bin"); }

    static std::string PartName(FakeJobHost& host, int threadNumber) {
        const std::string& target = host.Fields().targetPath;
        return threadNumber < 1 ? target : target + std::to_string(threadNumber);
    }

    // One attempt on this thread; the session is kept for inspection.
    std::unique_ptr<WTransferSession> RunOne(FakeJobHost& host, int threadNumber, bool& ok) {
        auto s = std::make_unique<WTransferSession>(host, host.SettingsSnapshot());
        s->SetThread(threadNumber, -1, 0);
        s->SetPartFile(PartName(host, threadNumber));
        ok = s->RunAttempt();
        return s;
    }

    // Runs workers for the given thread numbers to their end; true when every one succeeded.
    static bool RunWorkers(FakeJobHost& host, const std::vector<int>& threadNumbers) {
        std::vector<std::unique_ptr<WInternetWorker>> workers;
        for (int i : threadNumbers) {
            workers.push_back(std::make_unique<WInternetWorker>());
            EXPECT_TRUE(workers.back()->Start(&host, i));
        }
        EXPECT_TRUE(host.WaitFinished(static_cast<int>(threadNumbers.size()), 60000));
        for (auto& w : workers) w->Stop();
        bool all = true;
        for (const auto& f : host.Finished()) all = all && f.ok;
        return all && host.Finished().size() == threadNumbers.size();
    }

    static bool RunJob(FakeJobHost& host) {
        std::vector<int> all;
        for (int i = 0; i < host.Fields().threadCount; ++i) all.push_back(i);
        return RunWorkers(host, all);
    }

    // The target followed by parts 1..n-1, as the job's join would produce it.
    static std::string Joined(FakeJobHost& host) {
        std::string all;
        for (int i = 0; i < host.Fields().threadCount; ++i) {
            all += testsupport::ReadFileBytes(PartName(host, i));
        }
        return all;
    }

    testsupport::TempDir dir;
};

}  // namespace ftptest
