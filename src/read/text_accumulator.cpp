#include "read/text_accumulator.h"

#include <cstring>

#include "read/whitespace.h"

namespace orvex::read {

void TextAccumulator::put(std::string_view bytes) noexcept {
  std::memcpy(buf_.get() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
}

void TextAccumulator::spill(const char* doc_data, size_t more) {
  std::string_view held;
  if (state_ == State::View) held = {doc_data + view_start_, view_end_ - view_start_};
  else if (state_ == State::Piece) held = piece_.sv();
  size_t need = (state_ == State::Buffer ? len_ : held.size()) + more;
  if (state_ == State::Buffer && need <= cap_) return;
  size_t cap = cap_ * 2 > need ? cap_ * 2 : need;
  if (cap < 64) cap = 64;
  std::unique_ptr<char[]> bigger(new char[cap]);
  if (state_ == State::Buffer) {
    std::memcpy(bigger.get(), buf_.get(), len_);
  } else {
    std::memcpy(bigger.get(), held.data(), held.size());
    len_ = held.size();
    piece_ = SharedStr();
  }
  buf_ = std::move(bigger);
  cap_ = cap;
  state_ = State::Buffer;
}

void TextAccumulator::append_more(SourceBuffer* doc, size_t start, size_t end) {
  spill(doc->data(), end - start);
  put({doc->data() + start, end - start});
}

void TextAccumulator::append_owned(SourceBuffer* doc, SharedStr&& piece) {
  if (piece.empty()) return;
  if (state_ == State::Absent) {
    state_ = State::Piece;
    piece_ = std::move(piece);
    return;
  }
  spill(doc->data(), piece.size());
  put(piece.sv());
}

OptStr TextAccumulator::finish(SourceBuffer* doc) {
  switch (state_) {
    case State::Absent:
      return std::nullopt;
    case State::View: {
      Trimmed t = trim_unicode_space({doc->data() + view_start_, view_end_ - view_start_});
      if (t.start == t.end) return std::nullopt;
      return SharedStr::borrowed_view(doc, view_start_ + t.start, view_start_ + t.end);
    }
    case State::Piece: {
      Trimmed t = trim_unicode_space(piece_.sv());
      if (t.start == t.end) return std::nullopt;
      if (t.start == 0 && t.end == piece_.size()) return std::move(piece_);
      return SharedStr::owned(piece_.sv().substr(t.start, t.end - t.start));
    }
    case State::Buffer: {
      Trimmed t = trim_unicode_space({buf_.get(), len_});
      if (t.start == t.end) return std::nullopt;
      if (t.start == 0 && t.end == len_) return SharedStr::adopt(buf_.release(), len_);
      return SharedStr::owned(std::string_view(buf_.get() + t.start, t.end - t.start));
    }
  }
  return std::nullopt;
}

}  // namespace orvex::read
