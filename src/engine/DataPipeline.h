#pragma once
// The data pipeline of an attempt, the same for FTP and HTTP: the body bytes read with the
// header, the chunk decoder, the seam check and the part-file writer, as far as the segment's
// end (which another thread may move down while the bytes come). Where no stage needs to see
// the bytes they go from the socket to the file by splice.
#include <string>

#include "engine/AttemptState.h"

class HttpChunkDecoder;
class WSocket;
class WCriticalSection;

// What a conversation hands over once the server has begun to send the body.
struct BodySource {
    WSocket* socket = nullptr;           // the conversation's; null when none is open
    WCriticalSection* lock = nullptr;    // held while the socket is closed (Stop may close it)
    std::string leftover;                // body bytes that came with the header, decoded
    HttpChunkDecoder* chunks = nullptr;  // set when the body comes chunked
};

// Closes the body's socket under its lock (the conversation's Stop may close it too).
void CloseSource(BodySource& body);

// Checks the seam, then appends what arrives to the part file until the segment is complete;
// true when it is. With state.bodyToEnd, the body's end is its framing's or the server's close,
// and the segment's end becomes what came.
bool ReceiveSegment(AttemptState& state, BodySource& body);
