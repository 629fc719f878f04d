// The structural index algorithm, written once. From the end of each
// construct it asks for the next '<', dispatches on the byte after it and
// finds where that construct ends. What differs between the two builds is
// only how candidates are found, a policy passed in as `Candidates`:
//
//   static constexpr MalformedRules kRules;   // see below
//   Candidates(const uint8_t* d, size_t len, SearchMemo& find);
//   size_t next_lt(size_t p);          // first '<' at or after p, or npos
//   size_t next_gt(size_t p);          // first '>' at or after p, or npos
//   TagClose close_start_tag(size_t c); // where a start or empty-element tag
//                                       // ends, scanning its attributes from c
//   uint64_t examined() const;         // bytes looked at besides the walk's own
//
// Quotes matter only inside start and empty-element tags, after the name:
// a quote in character data, a comment, a CDATA section, a processing
// instruction, an end tag or a declaration hides nothing (document type
// declarations have quoted literals of their own, see doctype_end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "index/search_memo.h"
#include "index/char_class.h"
#include "index/structural.h"
#include "simd/scan.h"

namespace orvex::index {

// How a build treats the three kinds of malformed input on which the two
// builds differ; on everything else they give the same index. The bitmap
// build keeps these answers of its block-mask design:
struct MalformedRules {
  // A '<' in the document's last byte is dropped, rather than being an
  // unclosed tag.
  bool drop_lt_in_last_byte;
  // A comment without "-->" is a construct ending at len - 2 (just past
  // "<!--" when fewer than three bytes follow it), which the reader then
  // rejects as an unterminated comment, rather than one ending at len,
  // which overruns the input.
  bool unterminated_comment_ends_early;
  // A declaration without any later '>' is an unclosed tag, rather than
  // being skipped as if it ended at its own '<'.
  bool unterminated_declaration_is_unclosed;
};
inline constexpr MalformedRules kSequentialRules{false, false, false};
inline constexpr MalformedRules kBitmapRules{true, true, true};

struct TagClose {
  bool found;
  size_t end;
  TagKind kind;
};

template <class Candidates>
class Walk final : public ConstructSource {
 public:
  Walk(const uint8_t* d, size_t len) : d_(d), len_(len), find_(d, len), cand_(d, len, find_) {}

  Result<bool, IndexError> next(StructuralIndex& out, size_t max) override;
  // The walk moves forward over every byte once; on top of that come the
  // searches that ran to the end in vain, the scans of document type
  // declarations and what the candidates looked at.
  uint64_t bytes_examined() const noexcept override {
    return p_ + find_.failed_bytes() + doctype_scanned_ + cand_.examined();
  }

 private:
  static constexpr size_t npos = simd::npos;
  static constexpr MalformedRules kRules = Candidates::kRules;

  Failure<IndexError> unclosed(size_t g) {
    state_ = State::Ended;
    p_ = len_;  // the scan of that construct may have gone to the end
    return fail(IndexError{IndexError::Kind::UnclosedTag, g});
  }
  static void add(StructuralIndex& out, size_t g, size_t end, TagKind kind, size_t name_len = 0) {
    out.constructs.push_back(Construct{g, end, name_len, static_cast<uint8_t>(kind)});
  }

  // Offset of the first "-->" whose '-' is at or after `from`, or npos.
  size_t find_comment_close(size_t from) noexcept {
    for (;;) {
      const size_t r = find_.find('-', from);
      if (r == npos) return r;
      if (r + 2 < len_ && d_[r + 1] == '-' && d_[r + 2] == '>') return r;
      from = r + 1;
    }
  }
  // Offset of the '>' of the first "?>" whose '?' is at or after `from` and
  // whose '>' is in the document, or npos.
  size_t find_pi_close(size_t from) noexcept {
    for (;;) {
      const size_t r = find_.find('?', from);
      if (r == npos || r + 1 >= len_) return npos;
      if (d_[r + 1] == '>') return r + 1;
      from = r + 1;
    }
  }
  // The end of a processing instruction whose target ends at k (k + 1 <
  // len): the '>' of the first "?>" at or after k, or len - 1 when none
  // starts before the last two bytes.
  size_t pi_end(size_t k) noexcept {
    const size_t r = find_pi_close(k);
    return r == npos || r + 1 >= len_ ? len_ - 1 : r;
  }
  size_t declaration_end(size_t g) noexcept;
  size_t doctype_end(size_t g) noexcept;

  const uint8_t* d_;
  size_t len_;
  SearchMemo find_;
  Candidates cand_;
  size_t p_ = 0;  // where the search for the next '<' starts
  size_t b_ = 0;  // end of the previous construct or declaration
  // After one document type declaration found no end, later ones end at
  // their first '>': a document has one such declaration, and scanning
  // again from each later one could re-examine the rest of the document.
  bool doctype_broken_ = false;
  uint64_t doctype_scanned_ = 0;
  enum class State : uint8_t { Walking, Ended } state_ = State::Walking;
};

// A declaration other than a comment or CDATA section ends at its first
// '>'; a document type declaration at its first '>' outside its literals and
// internal subset.
template <class Candidates>
size_t Walk<Candidates>::declaration_end(size_t g) noexcept {
  if (!doctype_broken_ && g + 9 <= len_ && std::memcmp(d_ + g + 2, "DOCTYPE", 7) == 0) {
    const size_t r = doctype_end(g);
    if (r != npos) return r;
    doctype_broken_ = true;
  }
  return cand_.next_gt(g);
}

// The '>' that ends the document type declaration at g, or npos: the first
// '>' outside quoted literals ("..." and '...') and outside the internal
// subset [...], in which comments and processing instructions are skipped
// whole (a quote, ']' or '>' inside them counts for nothing).
template <class Candidates>
size_t Walk<Candidates>::doctype_end(size_t g) noexcept {
  bool subset = false;
  for (size_t i = g + 9;;) {
    const size_t from = i;
    i = skip_until(d_, len_, i, subset ? kDoctypeSubset : kDoctypeTop);
    doctype_scanned_ += i - from;
    if (i == len_) return npos;
    const uint8_t c = d_[i];
    if (c == '"' || c == '\'') {
      const size_t r = find_.find(c, i + 1);
      if (r == npos) return npos;
      i = r + 1;
    } else if (!subset) {
      if (c == '>') return i;
      subset = true;  // '['
      ++i;
    } else if (c == ']') {
      subset = false;
      ++i;
    } else if (i + 4 <= len_ && d_[i + 1] == '!' && d_[i + 2] == '-' && d_[i + 3] == '-') {
      const size_t r = find_comment_close(i + 4);
      if (r == npos) return npos;
      i = r + 3;
    } else if (i + 1 < len_ && d_[i + 1] == '?') {
      const size_t r = find_pi_close(i + 2);
      if (r == npos) return npos;
      i = r + 1;
    } else {
      ++i;  // any other '<' in the subset: markup declarations and the like
    }
  }
}

template <class Candidates>
Result<bool, IndexError> Walk<Candidates>::next(StructuralIndex& out, size_t max) {
  out.clear();
  if (state_ == State::Ended) return false;
  const uint8_t* const d = d_;
  const size_t len = len_;
  while (p_ < len) {
    if (out.constructs.size() >= max || out.text.size() >= max) return true;
    const size_t g = cand_.next_lt(p_);
    if (g == npos) break;
    const size_t text_start = b_ == 0 ? 0 : b_ + 1;
    if (text_start < g) out.text.push_back({text_start, g});
    if (g + 1 >= len) {
      if (kRules.drop_lt_in_last_byte) break;
      return unclosed(g);
    }

    size_t end;
    const uint8_t next = d[g + 1];
    if (next == '!') {
      if (g + 4 <= len && d[g + 2] == '-' && d[g + 3] == '-') {
        const size_t r = find_comment_close(g + 4);
        if (r != npos) {
          end = r + 2;
        } else if (!kRules.unterminated_comment_ends_early) {
          end = len;
        } else {
          end = g + 6 >= len ? g + 4 : len - 2;
          add(out, g, end, TagKind::Comment);
          if (end >= len) break;
          b_ = end;
          p_ = b_ + 1;
          continue;
        }
        add(out, g, end, TagKind::Comment);
      } else if (g + 9 <= len && std::memcmp(d + g + 2, "[CDATA[", 7) == 0) {
        // Without "]]>", the section ends where the last search for ']' began.
        size_t s = g + 9;
        end = npos;
        while (s < len) {
          const size_t r = find_.find(']', s);
          if (r == npos) break;
          if (r + 2 < len && d[r + 1] == ']' && d[r + 2] == '>') {
            if (g + 9 < r) out.text.push_back({g + 9, r});
            end = r + 2;
            break;
          }
          s = r + 1;
        }
        if (end == npos) end = s;
        add(out, g, end, TagKind::CData);
      } else {
        size_t r = declaration_end(g);
        if (r == npos) {
          if (kRules.unterminated_declaration_is_unclosed) return unclosed(g);
          r = g;
        }
        b_ = r;  // no construct: the text after it starts past its '>'
        p_ = b_ + 1;
        continue;
      }
    } else if (next == '/') {
      const size_t m = g + 2;
      if (m == len) return unclosed(g);
      const size_t k = skip_until(d, len, m, kEndsEndName);
      if (k == len) return unclosed(g);
      end = cand_.next_gt(k);
      if (end == npos) return unclosed(g);
      add(out, g, end, TagKind::End, k - m);
    } else if (next == '?') {
      const size_t m = g + 2;
      const size_t k = skip_until(d, len, m, kEndsPiName);
      end = k + 1 < len ? pi_end(k) : k;
      add(out, g, end, TagKind::ProcessingInstruction, k - m);
    } else {
      const size_t k = skip_until(d, len, g + 1, kEndsStartName);
      if (k == len) return unclosed(g);
      const TagClose close = cand_.close_start_tag(k);
      if (!close.found) return unclosed(g);
      end = close.end;
      add(out, g, end, close.kind, k - g - 1);
    }
    b_ = end;
    p_ = b_ + 1;
    if (p_ > len) {
      state_ = State::Ended;
      return fail(IndexError{IndexError::Kind::Overrun, len});
    }
  }
  state_ = State::Ended;
  return false;
}

// The two builds' sources (index/sequential.cpp, index/bitmap.cpp).
std::unique_ptr<ConstructSource> make_sequential_source(const uint8_t* d, size_t len);
std::unique_ptr<ConstructSource> make_bitmap_source(const uint8_t* d, size_t len);

}  // namespace orvex::index
