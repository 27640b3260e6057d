#pragma once
// A private temporary directory for one test, removed with everything in it when the test ends.
#include <string>

#include "engine/PartRecord.h"

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path of a file inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole content of a file ("" when it cannot be read) and a write helper.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Puts a part record on an existing file, as a job would have; false when it cannot.
bool WriteRecord(const std::string& path, const PartRecord& record);

}  // namespace testsupport
