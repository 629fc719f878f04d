// SharedStr, SourceBuffer counting, the SipHash map and its hash.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/block_pool.h"
#include "storage/node_record.h"
#include "storage/shared_str.h"
#include "storage/sip_map.h"
#include "storage/siphash.h"
#include "storage/source_buffer.h"

using namespace orvex;

namespace {

// A deliberately plain SipHash-c-d over a byte vector, written from the
// algorithm's description, to check the optimised one against.
uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t reference_siphash(int c, int d, uint64_t k0, uint64_t k1, const std::vector<uint8_t>& m) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  std::vector<uint8_t> padded = m;
  padded.resize((m.size() / 8 + 1) * 8, 0);
  padded.back() = static_cast<uint8_t>(m.size());
  for (size_t i = 0; i < padded.size(); i += 8) {
    uint64_t w = 0;
    for (int b = 7; b >= 0; --b) w = (w << 8) | padded[i + b];
    v3 ^= w;
    for (int r = 0; r < c; ++r) round();
    v0 ^= w;
  }
  v2 ^= 0xff;
  for (int r = 0; r < d; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

TEST(SipHash, ReferenceMatchesPublishedSipHash24Vectors) {
  // Key 00..0f, messages 00, 00 01, ... from the SipHash paper.
  const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  const uint64_t expected[] = {0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL,
                               0x85676696d7fb7e2dULL};
  std::vector<uint8_t> msg;
  for (uint64_t want : expected) {
    EXPECT_EQ(reference_siphash(2, 4, k0, k1, msg), want);
    msg.push_back(static_cast<uint8_t>(msg.size()));
  }
}

TEST(SipHash, OneThreeMatchesReferenceOverManyKeysAndLengths) {
  std::mt19937_64 rng(1234);
  for (int trial = 0; trial < 2000; ++trial) {
    MapKey key{rng(), rng()};
    std::vector<uint8_t> msg(rng() % 70);
    for (auto& b : msg) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(siphash13(key, msg.data(), msg.size()), reference_siphash(1, 3, key.k0, key.k1, msg));
    // A map key hashes its bytes followed by one 0xFF byte.
    std::vector<uint8_t> with_ff = msg;
    with_ff.push_back(0xff);
    std::string_view sv(reinterpret_cast<const char*>(msg.data()), msg.size());
    ASSERT_EQ(hash_key_bytes(key, sv), reference_siphash(1, 3, key.k0, key.k1, with_ff));
  }
}

TEST(SipHash, MapKeysAdvanceTheFirstWordPerThread) {
  MapKey a = next_map_key();
  MapKey b = next_map_key();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
}

TEST(SharedStr, OwnedCopiesAreDeepAndCompareByBytes) {
  SharedStr a = SharedStr::owned("abc");
  SharedStr b = a;
  EXPECT_NE(a.data(), b.data());
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a.is_borrowed());
  SourceHandle buf(SourceBuffer::copy_of("xabcx", 5));
  SharedStr v = SharedStr::borrowed_view(buf.get(), 1, 4);
  EXPECT_EQ(a, v);
  EXPECT_EQ(v, std::string_view("abc"));
  EXPECT_FALSE(a == SharedStr::owned("abd"));
  SharedStr empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, SharedStr::owned(""));
}

// A borrowed view counts nothing: its owner keeps the document. A copy may
// outlive that owner, so it is an owned copy of the bytes.
TEST(SharedStr, BorrowedViewsCountNothingAndCopiesOwnTheirBytes) {
  SourceBuffer* buf = SourceBuffer::copy_of("hello world", 11);
  {
    SharedStr b = SharedStr::borrowed_view(buf, 0, 5);
    EXPECT_EQ(buf->holders(), 1u);
    EXPECT_TRUE(b.is_borrowed());
    EXPECT_EQ(b.data(), buf->data());
    SharedStr moved = std::move(b);  // a move keeps it borrowed
    EXPECT_TRUE(moved.is_borrowed());
    EXPECT_TRUE(b.empty() && !b.is_borrowed());
    SharedStr copy = moved;
    EXPECT_FALSE(copy.is_borrowed());
    EXPECT_NE(copy.data(), moved.data());
    EXPECT_EQ(copy.sv(), "hello");
    AttrMap m;
    m.insert(SharedStr::borrowed_view(buf, 6, 11), SharedStr::borrowed_view(buf, 0, 5));
    AttrMap c = m.clone();
    c.for_each([](const SharedStr& k, const SharedStr& v) {
      EXPECT_FALSE(k.is_borrowed());
      EXPECT_FALSE(v.is_borrowed());
    });
    EXPECT_EQ(buf->holders(), 1u);
  }
  buf->release();
}

// Absent and empty texts differ; the 16-byte optional moves and copies as an
// optional would.
TEST(OptStr, AbsentIsNotEmpty) {
  OptStr absent;
  EXPECT_FALSE(absent);
  OptStr empty = SharedStr();
  EXPECT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  OptStr t = SharedStr::owned("text");
  OptStr moved = std::move(t);
  EXPECT_FALSE(t);
  EXPECT_EQ(moved->sv(), "text");
  OptStr copy = moved;
  EXPECT_EQ(copy->sv(), "text");
  EXPECT_NE(copy->data(), moved->data());
  copy = std::nullopt;
  EXPECT_FALSE(copy);
  moved.reset();
  EXPECT_FALSE(moved.has_value());
  OptStr assigned;
  assigned = SharedStr::owned("x");
  EXPECT_EQ((*assigned).sv(), "x");
}

TEST(AttrMap, LookupOfAMissingKeyEndsInAFullTable) {
  // Small tables may fill every slot; a miss must still end.
  for (size_t n = 1; n <= 40; ++n) {
    AttrMap m;
    m.reserve(n);
    for (size_t i = 0; i < n; ++i) m.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr::owned("v"));
    for (size_t i = 0; i < n; ++i) ASSERT_NE(m.find("k" + std::to_string(i)), nullptr);
    EXPECT_EQ(m.find("missing"), nullptr) << n;
    EXPECT_EQ(m.find(""), nullptr) << n;
  }
}

TEST(AttrMap, EmptyMapAllocatesNothingAndFindsNothing) {
  AttrMap m;
  EXPECT_EQ(m.capacity(), 0u);
  EXPECT_EQ(m.find("x"), nullptr);
  EXPECT_EQ(m.begin(), m.end());
}

TEST(AttrMap, InsertOfPresentKeyReplacesValueAndKeepsStoredKey) {
  SourceHandle buf(SourceBuffer::copy_of("<a id='1'>", 10));
  AttrMap m;
  EXPECT_TRUE(m.insert(SharedStr::borrowed_view(buf.get(), 3, 5), SharedStr::owned("1")));
  // An owned key with the same bytes is the same key.
  EXPECT_FALSE(m.insert(SharedStr::owned("id"), SharedStr::owned("2")));
  ASSERT_EQ(m.size(), 1u);
  const auto& e = *m.begin();
  EXPECT_TRUE(e.key.is_borrowed());
  EXPECT_EQ(e.value.sv(), "2");
  EXPECT_EQ(m.find("id")->sv(), "2");
}

TEST(AttrMap, GrowsAndKeepsEveryEntry) {
  AttrMap m;
  for (int i = 0; i < 5000; ++i) m.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr::owned(std::to_string(i)));
  ASSERT_EQ(m.size(), 5000u);
  std::set<std::string> seen;
  for (const auto& e : m) seen.insert(std::string(e.key.sv()));
  EXPECT_EQ(seen.size(), 5000u);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(m.find("k" + std::to_string(i))->sv(), std::to_string(i));
  EXPECT_EQ(m.find("k5000"), nullptr);
}

// A table placed in an arena belongs to the arena: the map neither frees it
// (the sanitizer stage would report a bad free) nor keeps using it once it
// outgrows it, and a map whose arena is full allocates as before.
TEST(AttrMap, TablesPlacedInAnArenaAreLeftToIt) {
  alignas(8) char region[512];
  BlockArena arena{region, region + sizeof region};
  {
    AttrMap m;
    m.reserve(3, MapKey{1, 2}, &arena);
    EXPECT_GT(arena.next, region);  // the first table went into the region
    for (int i = 0; i < 100; ++i) m.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr::owned("v"));
    ASSERT_EQ(m.size(), 100u);
    for (int i = 0; i < 100; ++i) ASSERT_NE(m.find("k" + std::to_string(i)), nullptr);
  }
  const char* after_first = arena.next;
  AttrMap small;
  small.reserve(3, MapKey{1, 2}, &arena);
  small.insert(SharedStr::owned("a"), SharedStr::owned("b"));
  EXPECT_EQ(arena.next - after_first, after_first - region);  // same size again
  AttrMap too_big;
  too_big.reserve(40, MapKey{1, 2}, &arena);  // does not fit what is left: allocated
  EXPECT_EQ(arena.next - after_first, after_first - region);
  too_big.insert(SharedStr::owned("x"), SharedStr::owned("y"));
  EXPECT_EQ(too_big.find("x")->sv(), "y");
}

TEST(AttrMap, CloneKeepsKeyAndSlotOrder) {
  SourceHandle buf(SourceBuffer::copy_of("abcdefghij", 10));
  AttrMap m;
  for (size_t i = 0; i < 10; ++i)
    m.insert(SharedStr::borrowed_view(buf.get(), i, i + 1), SharedStr::owned(std::to_string(i)));
  AttrMap c = m.clone();
  EXPECT_EQ(c.map_key().k0, m.map_key().k0);
  std::vector<std::string> a, b;
  for (const auto& e : m) a.emplace_back(e.key.sv());
  for (const auto& e : c) b.emplace_back(e.key.sv());
  EXPECT_EQ(a, b);
}

// The map is one pointer; its key lives in its table, given by whoever
// makes the first table (the reader gives one key to a whole document).
TEST(AttrMap, KeyComesWithTheFirstTable) {
  static_assert(sizeof(AttrMap) == sizeof(void*));
  AttrMap given;
  given.reserve(2, MapKey{7, 9});
  given.insert(SharedStr::owned("a"), SharedStr::owned("b"));
  EXPECT_EQ(given.map_key().k0, 7u);
  EXPECT_EQ(given.map_key().k1, 9u);
  AttrMap fresh;
  fresh.insert(SharedStr::owned("a"), SharedStr::owned("b"));
  EXPECT_NE(fresh.map_key().k0, 0u);
  EXPECT_EQ(fresh.find("a")->sv(), "b");
}

TEST(AttrMap, OrderDependsOnTheMapKey) {
  // Two maps with the same entries but different keys rarely agree on order.
  int differing = 0;
  for (int trial = 0; trial < 20; ++trial) {
    AttrMap x, y;
    for (int i = 0; i < 8; ++i) {
      x.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr());
      y.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr());
    }
    std::vector<std::string> ox, oy;
    for (const auto& e : x) ox.emplace_back(e.key.sv());
    for (const auto& e : y) oy.emplace_back(e.key.sv());
    differing += ox != oy;
  }
  EXPECT_GT(differing, 10);
}


// A block given back is the next one of its class taken; what is kept stays
// within the one limit, and blocks above the classes are kept one at a time.
TEST(BlockPool, KeepsFreedBlocksForTheNextReadWithinItsLimit) {
  pool_trim();
  const size_t before = pool_kept();
  EXPECT_EQ(before, 0u);
  PoolBlock a = pool_take(5000);
  ASSERT_NE(a.data, nullptr);
  EXPECT_EQ(a.bytes, 8192u);  // the class above what was asked
  std::memset(a.data, 1, a.bytes);
  pool_give(a);
  EXPECT_GE(pool_kept(), before + 8192);  // and what the block costs beyond its bytes
  PoolBlock again = pool_take(8000);
  EXPECT_EQ(again.data, a.data);
  pool_give(again);

  std::vector<PoolBlock> many;
  for (int i = 0; i < 200; ++i) many.push_back(pool_take(size_t{2} << 20));
  for (PoolBlock& b : many) pool_give(b);
  const size_t full = pool_kept();
  EXPECT_LE(full, kKeepAtMost);
  EXPECT_GT(full, kKeepAtMost / 2);  // a quarter is for the threads' own small blocks
  PoolBlock over = pool_take(size_t{10} << 20);  // no room left: given back at once
  pool_give(over);
  EXPECT_EQ(pool_kept(), full);
  pool_trim();

  PoolBlock big = pool_take(size_t{10} << 20);
  pool_give(big);
  PoolBlock big_again = pool_take(size_t{9} << 20);  // the kept one serves a request it can hold
  EXPECT_EQ(big_again.data, big.data);
  PoolBlock small_request = pool_take(size_t{3} << 20);  // ... but not one half its size
  EXPECT_NE(small_request.data, big.data);
  pool_give(big_again);
  pool_give(small_request);
}

// Small blocks stay with the thread that gave them back, for its next take;
// when the thread ends they go to the shared pool and its share of the
// limit is free again.
TEST(BlockPool, SmallBlocksStayWithTheirThreadUntilItEnds) {
  pool_trim();
  void* left = nullptr;
  std::thread([&] {
    PoolBlock a = pool_take(3000);
    pool_give(a);
    EXPECT_GT(pool_kept(), 0u);
    PoolBlock again = pool_take(3000);
    EXPECT_EQ(again.data, a.data);
    pool_give(again);
    PoolBlock other;
    std::thread([&] { other = pool_take(3000); }).join();
    EXPECT_NE(other.data, a.data);  // another thread does not get it
    pool_give(other);
    left = a.data;
  }).join();
  std::vector<PoolBlock> taken;
  for (int i = 0; i < 2; ++i) taken.push_back(pool_take(3000));
  EXPECT_TRUE(taken[0].data == left || taken[1].data == left);
  for (PoolBlock& b : taken) pool_give(b);
  pool_trim();
  EXPECT_EQ(pool_kept(), 0u);
}
