#pragma once
// brindle-get --checksum: the digest of a finished file through OpenSSL's libcrypto.
// Main thread only.
#include <string>

// The file's digest in lower-case hex with the algorithm OpenSSL knows by this name
// ("sha256", "sha512", "sha1", "md5"); false with a one-line reason when the file cannot be
// read.
bool FileDigest(const std::string& path, const std::string& algorithm, std::string& hex,
                std::string& error);
