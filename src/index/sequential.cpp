// The sequential build: every candidate is found with the vector byte
// search, from the end of the previous construct.
#include "index/walk.h"

namespace orvex::index {

namespace {

class SequentialCandidates {
 public:
  static constexpr MalformedRules kRules = kSequentialRules;

  SequentialCandidates(const uint8_t* d, size_t len, SearchMemo& find) noexcept : d_(d), len_(len), find_(find) {}

  // The search for the next '<' starts past the previous construct, so it
  // never covers bytes twice: no memory of failures needed.
  size_t next_lt(size_t p) noexcept { return simd::find_byte(d_, len_, p, '<'); }
  size_t next_gt(size_t p) noexcept { return find_.find('>', p); }

  // A quote skips to one past its partner, or skips itself and the next
  // byte when it has none; "/>" ends an empty-element tag.
  TagClose close_start_tag(size_t c) noexcept {
    TagClose close{false, 0, TagKind::Start};
    while (c < len_) {
      const uint8_t ch = d_[c];
      if (!has_class(ch, kInStartTag)) {
        ++c;
      } else if (ch == '>') {
        close = {true, c, TagKind::Start};
        break;
      } else if (ch == '/') {
        if (c + 1 < len_ && d_[c + 1] == '>') {
          close = {true, c + 1, TagKind::Empty};
          break;
        }
        ++c;
      } else {
        const size_t r = find_.find(ch, c + 1);
        c = r == simd::npos ? c + 2 : r + 1;
      }
    }
    return close;
  }

  uint64_t examined() const noexcept { return 0; }

 private:
  const uint8_t* d_;
  size_t len_;
  SearchMemo& find_;
};

}  // namespace

std::unique_ptr<ConstructSource> make_sequential_source(const uint8_t* d, size_t len) {
  return std::make_unique<Walk<SequentialCandidates>>(d, len);
}

}  // namespace orvex::index
