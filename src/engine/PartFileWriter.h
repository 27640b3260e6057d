#pragma once
// PartFileWriter: appends a segment's bytes to its part file through a write-behind buffer.
// Writing 4 KiB pieces costs ext4's page cache about four times the system time per byte of
// writes of 64 KiB and more. The buffer gathers bytes into writes that end on multiples of
// kBlock in the file, so after the first one every full write is one whole aligned block.
// The data loop receives straight into the buffer (Room, Commit), so the bytes are copied
// once on their way from the socket to the file.
//
// A plain connection can skip the buffer: ReceiveFrom splices the socket's bytes through a
// pipe into the file, so they are never copied through user space at all.
//
// Bytes handed to Append are in the file once Flush or Close has returned true, and bytes
// ReceiveFrom took once it has returned. Every write goes at the file's end, so a write that
// fails leaves the file holding a prefix of what was appended and a later attempt resumes
// from the file's size as always.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class WBaseSocket;

class PartFileWriter {
public:
    static constexpr size_t kBlock = 128 * 1024;

    PartFileWriter() = default;
    ~PartFileWriter();  // closes without reporting; call Close to learn whether all went in
    PartFileWriter(const PartFileWriter&) = delete;
    PartFileWriter& operator=(const PartFileWriter&) = delete;

    // Opens (creating it 0644) the file, never through a symbolic link, positioned at its end
    // (not O_APPEND, which splice refuses; nothing else writes a part file). False with
    // Error() set.
    bool Open(const std::string& path);
    // Allocates disk room for `bytes` more past the end without changing the file's size (a
    // filesystem that cannot is left as it is; never more than the free room): the writes that
    // follow then find their blocks in place instead of reserving them page by page. What is
    // still unwritten at Close is given back.
    void Reserve(int64_t bytes);
    // Buffers the bytes, writing every block that fills. False once any write has failed.
    bool Append(const char* data, size_t size);
    // Free room in the buffer up to the next block boundary of the file (at least one byte
    // while the writer is open and has not failed; null with size 0 otherwise).
    char* Room(size_t& size);
    // The first `size` bytes of Room now hold data: appended, and written when the block is
    // full. False once any write has failed.
    bool Commit(size_t size);
    // Whether ReceiveFrom can be used: opens the pipe on first call; false when no pipe can be
    // had (the caller then receives into Room as before).
    bool CanSplice();
    // Flushes the buffer, then moves at most `want` bytes from the plain connection into the
    // file through the pipe: the bytes taken from the socket (0 when the peer closed, -1 when
    // the receive failed: the socket tells why). When the file refuses some of them, Error()
    // is set and Written() says what went in.
    int ReceiveFrom(WBaseSocket& source, size_t want);
    // Writes whatever is buffered. False once any write has failed.
    bool Flush();
    // Flush, then close. False when a write or the close failed; the writer is closed anyway.
    bool Close();

    // The open file, -1 when closed.
    int Descriptor() const { return fd; }
    // errno of the first failure, 0 when none.
    int Error() const { return error; }
    // Bytes that reached the file through this writer.
    int64_t Written() const { return written; }

private:
    bool WriteBuffered();
    void ReleaseReserved();
    // Room that Reserve leaves free for everything else on the file system.
    static constexpr int64_t kKeptFree = 64LL * 1024 * 1024;
    bool DrainPipe(size_t size);
    void ClosePipe();

    int fd = -1;
    int error = 0;
    int64_t fileOffset = 0;  // where the first buffered byte lands
    int64_t written = 0;
    int64_t reservedEnd = 0;  // end of the room Reserve allocated
    size_t used = 0;
    std::vector<char> buffer;
    int pipeRead = -1;
    int pipeWrite = -1;
    size_t pipeCapacity = 0;
    bool spliceOut = true;  // false once the file refused a splice: the pipe is read instead
};
