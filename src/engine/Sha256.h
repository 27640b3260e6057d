#pragma once
// SHA-256 of a buffer in memory. The engine hashes a few KiB per part; OpenSSL's digest
// costs a millisecond of provider set-up on its first use in a process, more than the
// hashing itself.
#include <array>
#include <cstddef>
#include <cstdint>

std::array<uint8_t, 32> Sha256(const void* data, size_t size);
