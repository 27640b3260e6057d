// The FTP conversation of one attempt: login, resume probe, size query, data connection,
// restart offset and retrieval.
#include "engine/FtpConversation.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/DataPipeline.h"
#include "engine/FtpParse.h"
#include "engine/JobHost.h"
#include "engine/RemoteValidator.h"
#include "engine/SegmentSetup.h"
#include "net/AsciiText.h"

namespace {

constexpr int kFailureCode = 400;  // any reply code from here on is a failure
// Foreign connections to the active-mode listener that are turned away before giving up.
constexpr int kMaxForeignConnections = 16;

}  // namespace

bool FtpConversation::RefusedForGood(int code) {
    if (code < kFailureCode) return false;
    // A 5xx to a login or to the file itself is the server's answer, not a hiccup.
    if (code >= 500 && code != kConnectionFailed) state.MarkPermanent();
    return true;
}

bool FtpConversation::FtpDownload(const std::string& user, const std::string& password,
                                  const std::string& host, int port, const std::string& path) {
    const std::string file(TrimAscii(path, " "));

    if (!ConnectControlSocket(host, port)) return false;
    if (ReadReply() >= kFailureCode) return false;

    const std::string login = viaProxy ? FtpProxyUser(user, host, port) : user;
    if (RefusedForGood(SendCommand("USER " + login + "\r\n"))) return false;
    if (RefusedForGood(SendCommand("PASS " + password + "\r\n"))) return false;
    if (SendCommand("TYPE i\r\n") >= kFailureCode) return false;

    // The probe tells whether segments other than the first can be fetched at all. With one
    // thread it is skipped: the first REST with an offset decides.
    if (job.knowledge.RangeSupport() == -1 && job.threadCount > 1) {
        const int probe = SendCommand("REST 64\r\n");
        // A connection that broke refused nothing: the retry asks again.
        if (probe == kConnectionFailed) return false;
        const bool accepted = probe < kFailureCode;
        // The server now holds offset 64 until the next RETR.
        restProbeAccepted = accepted;
        // The first answer stands for the job; a connection that contradicts it finds out at
        // its own REST.
        if (job.knowledge.LearnRangeSupport(accepted ? 1 : 0) == 0 && state.threadNumber > 0) {
            SendCommand("QUIT\r\n");
            return true;
        }
    }

    // Without resume, thread 0 fetches the whole file and the others have nothing to do.
    if (job.knowledge.RangeSupport() == 0 && state.threadNumber > 0) {
        SendCommand("QUIT\r\n");
        return true;
    }

    if (!QueryFtpSize(file)) return false;
    if (state.targetComplete) return true;
    // Without resume PlanFetch gave the whole file, unless a vouched target holds it all.
    if (state.segment.Complete()) return true;
    return Retrieve(file);
}

bool FtpConversation::QueryFtpSize(const std::string& path) {
    if (job.knowledge.Size() == -1) {
        // Asked before the size is stored: whoever finds the size finds the validator too.
        const bool dated = SendCommand("MDTM " + path + "\r\n") == 213;
        job.knowledge.LearnValidator(dated ? FtpValidator(lastReply) : "");
        int code = SendCommand("SIZE " + path + "\r\n");
        const Failure sizeRefused = state.Recorded();
        // Another worker may have stored the size meanwhile; then STAT is not needed.
        if (code >= kFailureCode && job.knowledge.Size() == -1) {
            if (RefusedForGood(SendCommand("STAT " + path + "\r\n"))) return false;
            if (ComputeSegment(state, ParseFtpSizeReply(lastReply, false))) return true;
            // SIZE refused and STAT named no size: the file is not there to fetch (vsftpd
            // answers STAT of a missing file with an empty listing).
            if (code >= 500 && code != kConnectionFailed && job.knowledge.Size() == -1) {
                Failure missing = sizeRefused;
                missing.permanent = true;
                Fail(missing);
            }
            return false;
        }
    }
    return ComputeSegment(state, ParseFtpSizeReply(lastReply, true));
}

bool FtpConversation::Retrieve(const std::string& path) {
    if (!StartDataTransfer("RETR " + path + "\r\n")) return false;
    BodySource body;
    body.socket = dataSocket.get();
    body.lock = &sessionLock;
    return ReceiveSegment(state, body);
}

bool FtpConversation::StartDataTransfer(const std::string& command) {
    const bool passive = settings.passivemode;
    if (passive) {
        if (!OpenPassiveData()) return false;
    } else if (!OpenActiveData()) {
        SetListenSocket(nullptr);
        return false;
    }

    // Restart offset. startsAtZero: the data must come from the first byte of the file.
    // A resumed segment starts its seam early, so the data loop can check it.
    bool startsAtZero = true;
    const int64_t size = job.knowledge.Size();
    const int64_t offset = state.segment.RequestStart();
    if (job.knowledge.RangeSupport() == 0) {
        state.segment = WholeFileSegment(size);
    } else if (offset > 0) {
        const std::string rest = "REST " + std::to_string(offset) + "\r\n";
        const int code = SendCommand(rest);
        if (code == kConnectionFailed) {
            SetListenSocket(nullptr);
            return false;
        }
        if (code < kFailureCode) {
            job.knowledge.LearnRangeSupport(1);
            restProbeAccepted = false;  // this offset replaces the probe's
            startsAtZero = false;
        } else if (job.knowledge.LearnRangeSupport(0) != 0) {
            // Refused here, accepted before: offsets cannot be trusted on this server, so the
            // whole file comes over one connection.
            Log("REST refused although the server took offsets before: the whole file is "
                "fetched over one connection\r\n");
            job.RequestWholeFile();
            SetListenSocket(nullptr);
            return false;
        } else {
            if (state.threadNumber > 0) {
                SetListenSocket(nullptr);
                return false;
            }
            state.segment = WholeFileSegment(size);
        }
    }
    // An accepted probe left offset 64 pending on this connection: reset it, or the data
    // would start 64 bytes into the file.
    if (startsAtZero && restProbeAccepted) {
        if (SendCommand("REST 0\r\n") >= kFailureCode) {
            SetListenSocket(nullptr);
            return false;
        }
        restProbeAccepted = false;
    }

    // The part file's bytes from an earlier job count once: later attempts find bytes that
    // were already reported chunk by chunk, and announcing them again would count them twice.
    if (!state.progressAnnounced) {
        const Segment& s = state.segment;
        if (job.knowledge.RangeSupport() != 0) state.Report(s.done, s.Length(), s.done);
        state.progressAnnounced = true;
    }

    // Only the preliminary reply (150 or 125) is read; the final one is never awaited.
    if (RefusedForGood(SendCommand(command))) {
        SetListenSocket(nullptr);
        return false;
    }
    if (passive) return true;

    {
        WSemaphoreLock lock(&sessionLock);
        if (stopRequested.load()) {
            SetListenSocket(nullptr);
            return false;
        }
    }
    // Blocks until the server connects, the stall limit passes or Stop closes the listener;
    // sessionLock is not held, so Stop can always get in. Only the server's own address may
    // deliver the file: anyone else who finds the port is turned away, within one stall limit
    // in all.
    const std::string server = controlSocket->GetRemoteAddress();
    std::unique_ptr<WSocket> accepted;
    {
        BlockDeadline deadline(*listenSocket);
        for (int turnedAway = 0; turnedAway <= kMaxForeignConnections; ++turnedAway) {
            accepted = listenSocket->Accept();
            if (!accepted || accepted->GetState() != Connected) break;
            const std::string from = accepted->GetRemoteAddress();
            if (server.empty() || from == server) break;
            Log("Data connection from " + from + " refused: the server is " + server + "\r\n");
            accepted->Close(false, kConnectionFailed);
            accepted.reset();
            if (stopRequested.load()) break;
        }
    }

    WSemaphoreLock lock(&sessionLock);
    const bool connected = accepted && accepted->GetState() == Connected;
    SetDataSocket(connected ? std::move(accepted) : nullptr);
    SetListenSocket(nullptr);
    if (!connected) return false;
    return !stopRequested.load() && dataSocket->GetState() != Error;
}

bool FtpConversation::OpenPassiveData() {
    if (SendCommand("PASV\r\n") != 227) return false;

    std::string address;
    int port = 0;
    if (!ParsePasvReply(lastReply, address, port)) {
        Log("Cannot read the data address in the PASV reply\r\n");
        return false;
    }

    // The data connection goes where the control connection goes: a reply that names
    // another host would make us connect anywhere it likes (an FTP bounce) or read a decoy.
    const std::string peer = controlSocket->GetRemoteAddress();
    if (!peer.empty() && address != peer) {
        Log("PASV reply names " + address + "; connecting to " + peer + " instead\r\n");
        address = peer;
    }

    std::unique_ptr<WSocket> socket;
    {
        WSemaphoreLock lock(&SocketLock());
        socket = NewClientSocket();
        socket->SetRemoteAddress(address);
        socket->SetRemotePort(port);
    }
    SetDataSocket(std::move(socket));
    if (!ConnectUnlessStopped(*dataSocket)) return false;
    return !stopRequested.load();
}

bool FtpConversation::OpenActiveData() {
    std::unique_ptr<WServerSocket> listener;
    bool listening = false;
    // Listening on the control connection's interface only, not on every one.
    const std::string address = controlSocket->GetLocalAddress();
    {
        WSemaphoreLock lock(&SocketLock());
        listener = NewServerSocket();
        listener->SetLocalAddress(address);
        listener->SetLocalPort(0);
        listening = listener->Listen();
    }
    // Installed even when Listen failed, so that the caller's clean-up closes it.
    SetListenSocket(std::move(listener));
    if (!listening) return false;

    const int port = listenSocket->GetLocalPort();
    return SendCommand(FormatPortCommand(address, port)) == 200;
}

int FtpConversation::ReadReply() {
    if (!controlSocket) return kConnectionFailed;
    FtpReplyReader reader;
    char buffer[1024];
    // The whole reply within one stall limit, however slowly it trickles in.
    BlockDeadline deadline(*controlSocket);
    // Bounded by the reply cap: every round adds at least one byte or ends the loop.
    for (;;) {
        const int n = controlSocket->Receive(buffer, sizeof buffer);
        if (n < 0 && controlSocket->GetLastError() == ETIMEDOUT && !stopRequested) {
            Log("No complete reply within the stall limit\r\n");
        }
        if (n <= 0) return kConnectionFailed;
        const FtpReplyReader::Status status = reader.Feed(std::string_view(buffer, n));
        if (status == FtpReplyReader::Status::Complete) break;
        if (status == FtpReplyReader::Status::TooLarge) {
            Log("Reply longer than 65536 bytes\r\n");
            return kConnectionFailed;
        }
        if (stopRequested.load()) return kConnectionFailed;
    }
    lastReply = reader.Text();
    LogVerbatim(lastReply + "\r\n");
    const int code = reader.Code();
    if (code >= kFailureCode) {
        // The reply's last line carries its code and the server's words.
        const size_t end = lastReply.find_last_not_of("\r\n");
        const std::string line = lastReply.substr(0, end + 1);
        const size_t start = line.find_last_of("\r\n");
        Fail(code >= 500 ? Failure::Kind::Refused : Failure::Kind::Server,
             start == std::string::npos ? line : line.substr(start + 1), false);
    }
    return code;
}
