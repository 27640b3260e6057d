#pragma once
// PartFileWriter: appends a segment's bytes to its part file through a write-behind buffer.
// Writing 4 KiB pieces costs ext4's page cache about four times the system time per byte of
// writes of 64 KiB and more. The buffer gathers bytes into writes that end on multiples of
// kBlock in the file, so after the first one every full write is one whole aligned block.
// The data loop receives straight into the buffer (Room, Commit), so the bytes are copied
// once on their way from the socket to the file.
//
// Bytes handed to Append are in the file once Flush or Close has returned true. A write that
// fails leaves the file holding a prefix of what was appended (it is opened for appending),
// so a later attempt resumes from the file's size as always.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PartFileWriter {
public:
    static constexpr size_t kBlock = 128 * 1024;

    PartFileWriter() = default;
    ~PartFileWriter();  // closes without reporting; call Close to learn whether all went in
    PartFileWriter(const PartFileWriter&) = delete;
    PartFileWriter& operator=(const PartFileWriter&) = delete;

    // Opens (creating it 0644) the file for appending, never through a symbolic link. False
    // with Error() set.
    bool Open(const std::string& path);
    // Buffers the bytes, writing every block that fills. False once any write has failed.
    bool Append(const char* data, size_t size);
    // Free room in the buffer up to the next block boundary of the file (at least one byte
    // while the writer is open and has not failed; null with size 0 otherwise).
    char* Room(size_t& size);
    // The first `size` bytes of Room now hold data: appended, and written when the block is
    // full. False once any write has failed.
    bool Commit(size_t size);
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

    int fd = -1;
    int error = 0;
    int64_t fileOffset = 0;  // where the first buffered byte lands
    int64_t written = 0;
    size_t used = 0;
    std::vector<char> buffer;
};
