#pragma once
// The FTP conversation of one attempt: login, resume probe, size query, data connection
// (passive or active), restart offset and retrieval; the body then goes through the data
// pipeline.
#include <string>

#include "engine/Conversation.h"

class FtpConversation : public Conversation {
public:
    using Conversation::Conversation;

    // Connects to host:port (or the proxy) and fetches the attempt's segment; true when it is
    // complete, or when this thread has nothing to fetch.
    bool FtpDownload(const std::string& user, const std::string& password, const std::string& host,
                     int port, const std::string& path);

private:
    int ReadReply() override;
    bool QueryFtpSize(const std::string& path);
    bool OpenPassiveData();
    bool OpenActiveData();
    bool StartDataTransfer(const std::string& command);
    bool Retrieve(const std::string& path);
    // True for a failed reply (code >= 400); a 5xx marks the recorded failure permanent.
    bool RefusedForGood(int code);

    // This connection's "REST 64" probe was accepted, so the server holds offset 64 until the
    // next RETR; a segment starting at byte 0 must send "REST 0" first.
    bool restProbeAccepted = false;
};
