// The 64-bit FNV-1a hash, for the programs that print digests of the
// library's results (fact_digest, update_digest): fnv(FNV_START, ...) hashes
// one block, fnv(h, ...) goes on from an earlier hash h.
#ifndef ZELKOR_TEST_FNV_H
#define ZELKOR_TEST_FNV_H

#include <cstddef>
#include <cstdint>

inline constexpr uint64_t FNV_START = 1469598103934665603ull;

// h with the size bytes at data hashed in.
inline uint64_t fnv(uint64_t h, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t k = 0; k < size; ++k) {
    h ^= p[k];
    h *= 1099511628211ull;
  }
  return h;
}

#endif
