#pragma once
// What brindle-get does with names before and after a job: the name a server suggests
// (-J), the file it goes to, and clearing the way for --clobber. Main thread only.
#include <string>

// The last path element of a name a server suggested, or "" when it is not a usable file
// name (empty, ".", "..", or holding a control character), so the file can never land
// outside the folder it was meant for.
std::string SafeServerName(const std::string& suggested);

// Renames the finished target to `name` in the target's own folder. An existing file of that
// name is replaced only with `clobber`. "" on success (finalPath set; the target itself when
// the name is its own), else why the file keeps its name.
std::string RenameToServerName(const std::string& target, const std::string& name, bool clobber,
                               std::string& finalPath);

// --clobber: deletes the target and the part files a job on it with threadCount threads
// would resume from, unless another job holds the target (that job then fails with the
// reason). "" or what could not be deleted.
std::string ClearForClobber(const std::string& target, int threadCount);
