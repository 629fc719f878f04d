#include "storage/siphash.h"

#include <sys/random.h>

#include <cerrno>
#include <atomic>
#include <cstring>
#include <ctime>

namespace orvex {

namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  explicit SipState(MapKey k)
      : v0(k.k0 ^ 0x736f6d6570736575ULL),
        v1(k.k1 ^ 0x646f72616e646f6dULL),
        v2(k.k0 ^ 0x6c7967656e657261ULL),
        v3(k.k1 ^ 0x7465646279746573ULL) {}

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t finish(uint64_t last) {
    compress(last);
    v2 ^= 0xff;
    round(); round(); round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap64(w);
#endif
  return w;
}

// Hashes `len` bytes of `p`, optionally followed by one extra byte.
inline uint64_t sip13(MapKey key, const unsigned char* p, size_t len, bool with_ff) {
  SipState s(key);
  const size_t total = len + (with_ff ? 1 : 0);
  size_t i = 0;
  for (; i + 8 <= len; i += 8) s.compress(load_le64(p + i));
  unsigned char tail[8] = {0};
  size_t rest = len - i;
  if (rest) std::memcpy(tail, p + i, rest);  // p may be null when len is 0
  if (with_ff) {
    tail[rest] = 0xff;  // rest <= 7, so the extra byte fits in this word
    ++rest;
    if (rest == 8) {
      s.compress(load_le64(tail));
      std::memset(tail, 0, 8);
      rest = 0;
    }
  }
  uint64_t last = static_cast<uint64_t>(total & 0xff) << 56;
  for (size_t k = 0; k < rest; ++k) last |= static_cast<uint64_t>(tail[k]) << (8 * k);
  return s.finish(last);
}

struct ThreadKey {
  MapKey key;
  bool ready = false;
  uint32_t forks = 0;  // g_forks when the key was drawn
};

thread_local ThreadKey t_key;
// Children of a fork draw keys of their own, not the parent's next ones.
std::atomic<uint32_t> g_forks{0};

void draw_random(MapKey& k) noexcept {
  unsigned char buf[16];
  size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = getrandom(buf + got, sizeof buf - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<size_t>(n);
  }
  if (got < sizeof buf) {
    // No random source: still give distinct keys per thread and per process.
    uint64_t seed = static_cast<uint64_t>(std::time(nullptr)) ^ reinterpret_cast<uintptr_t>(&k);
    std::memcpy(buf, &seed, 8);
    seed = seed * 0x9e3779b97f4a7c15ULL + 1;
    std::memcpy(buf + 8, &seed, 8);
  }
  std::memcpy(&k.k0, buf, 8);
  std::memcpy(&k.k1, buf + 8, 8);
}

}  // namespace

uint64_t siphash13(MapKey key, const void* data, size_t len) noexcept {
  return sip13(key, static_cast<const unsigned char*>(data), len, false);
}

uint64_t hash_key_bytes(MapKey key, std::string_view bytes) noexcept {
  return sip13(key, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), true);
}

MapKey next_map_key() noexcept {
  ThreadKey& t = t_key;
  const uint32_t forks = g_forks.load(std::memory_order_relaxed);
  if (!t.ready || t.forks != forks) {
    draw_random(t.key);
    t.ready = true;
    t.forks = forks;
  }
  MapKey k = t.key;
  t.key.k0 += 1;
  return k;
}

void new_map_keys_after_fork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace orvex
