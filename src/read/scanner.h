// Reads single markup constructs that the structural index has located:
// the attributes of start and empty-element tags go into their maps; end
// tags, comments, CDATA sections and processing instructions are checked.
// Every fault is a Malformed ReadError with a fixed message and byte offset.
//
// The scanner never looks for the end of a tag itself: the tag end comes from
// the index, which already skips '>' inside quoted attribute values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "errors.h"
#include "index/structural.h"
#include "result.h"
#include "storage/shared_str.h"
#include "storage/sip_map.h"
#include "storage/siphash.h"
#include "text/words.h"

namespace orvex::read {

// Byte offsets [start, end) into the document.
struct Span {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t size() const noexcept { return end - start; }
};

// Hashes of attribute names under one map key, remembered by name: the same
// few names recur on element after element, and hashing them (SipHash-1-3)
// costs more than looking them up here. Direct-mapped; a miss rehashes.
// One per thread, kept from read to read: names of up to 16 bytes are kept
// as copies (never as pointers into a document that may be gone), and each
// document or new key starts a new generation, which invalidates every slot
// without touching them.
class KeyHashCache {
 public:
  static KeyHashCache& for_this_thread() noexcept {
    thread_local KeyHashCache cache;
    return cache;
  }

  // Forgets every name remembered so far (called for each new document).
  void start_document() noexcept { next_generation(); }

  uint64_t hash(MapKey key, std::string_view name) noexcept {
    if (gen_ == 0 || key.k0 != key_.k0 || key.k1 != key_.k1) [[unlikely]] rekey(key);
    // The slot: first, middle and last byte and the length (names are never
    // empty), mixed by one multiply.
    const size_t n = name.size();
    const auto byte = [&](size_t i) { return uint64_t(static_cast<uint8_t>(name[i])); };
    const uint64_t w = n == 0 ? 0 : byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16 | uint64_t(n) << 24;
    Slot& s = slots_[(w * 0x9E3779B97F4A7C15ULL) >> 56];
    if (s.gen == gen_ && s.len == n && text::same_short(s.bytes, name.data(), n)) return s.hash;
    return miss(name, s);
  }

 private:
  static constexpr size_t kMaxName = text::kShortStr;
  struct Slot {
    char bytes[kMaxName] = {};
    uint64_t hash = 0;
    uint32_t len = 0;  // 0: holds nothing (names are never empty)
    uint32_t gen = 0;  // valid only in the current generation
  };
  void rekey(MapKey key) noexcept {
    key_ = key;
    next_generation();
  }
  void next_generation() noexcept;
  uint64_t miss(std::string_view name, Slot& s) noexcept;

  static constexpr size_t kSlots = 256;
  MapKey key_{};
  uint32_t gen_ = 0;  // 0 before the first key
  Slot slots_[kSlots] = {};
};

class Scanner {
 public:
  explicit Scanner(SourceBuffer* doc) noexcept : doc_(doc), data_(doc->data()), len_(doc->size()) {
    key_hashes_.start_document();
  }

  // A start or empty-element tag's name and its attribute region.
  struct NameAndRegion {
    Span name;
    Span region;
  };
  Result<NameAndRegion, ReadError> element_name(const index::Construct& c) const {
    const uint64_t n = c.name_len;
    if (n == 0) [[unlikely]] return no_element_name(c);
    const uint64_t r0 = c.start + 1 + n;
    uint64_t r1 = c.end - (c.kind() == index::TagKind::Empty ? 1 : 0);
    if (r1 < r0) r1 = r0;
    return NameAndRegion{{c.start + 1, r0}, {r0, r1}};
  }

  // The attribute scan of a tag's region, adding to `attrs` (which the tree
  // builder places where the element will live, to avoid moving it), a map
  // keyed with `key` (the document's). A first table for the map may be
  // placed in `arena`.
  Result<Unit, ReadError> scan_attributes(Span region, AttrMap& attrs, MapKey key, BlockArena* arena = nullptr) const;

  // The end tag's name.
  Result<std::string_view, ReadError> check_end_tag_form(const index::Construct& c) const {
    const std::string_view name = name_of(c);
    // Nearly always the '>' follows the name directly.
    if (c.start + 2 + name.size() < c.end) [[unlikely]] return check_end_tag_tail(c);
    return name;
  }

  Result<Unit, ReadError> check_markup_closed(const index::Construct& c) const {
    if (c.end >= len_) [[unlikely]] return unterminated_markup(c);
    return Unit{};
  }
  Result<Unit, ReadError> check_comment(const index::Construct& c) const;
  // The content between "<![CDATA[" and "]]>".
  Result<Span, ReadError> check_cdata(const index::Construct& c) const;
  Result<Unit, ReadError> check_processing_instruction(const index::Construct& c) const;

  // The index's name of a construct (empty for comments and CDATA sections).
  std::string_view name_of(const index::Construct& c) const noexcept {
    return bytes(c.name_start(), c.name_start() + c.name_len);
  }

 private:
  // The cold paths of the checks above.
  Result<std::string_view, ReadError> check_end_tag_tail(const index::Construct& c) const;
  Failure<ReadError> no_element_name(const index::Construct& c) const;
  Failure<ReadError> unterminated_markup(const index::Construct& c) const;

  std::string_view bytes(uint64_t start, uint64_t end) const noexcept {
    return {data_ + start, static_cast<size_t>(end - start)};
  }

  SourceBuffer* doc_;
  const char* data_;
  uint64_t len_;
  KeyHashCache& key_hashes_ = KeyHashCache::for_this_thread();
};

}  // namespace orvex::read
