#include "cli/FileDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

bool FileDigest(const std::string& path, const std::string& algorithm, std::string& hex,
                std::string& error) {
    const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
    if (md == nullptr) {
        error = "no digest " + algorithm + " in this OpenSSL";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), md, nullptr) == 1;
    std::vector<unsigned char> buffer(1 << 20);
    while (ok) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        ok = EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) == 1;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (ok && EVP_DigestFinal_ex(context.get(), digest, &length) != 1) ok = false;
    if (!ok) {
        if (error.empty()) error = "cannot compute the " + algorithm + " digest of " + path;
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    hex.clear();
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return true;
}
