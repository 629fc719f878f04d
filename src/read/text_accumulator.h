// The character data of one open element, collected piece by piece in
// document order: absent, one piece (a view into the document or a decoded
// string), or an owned buffer once a second piece arrives.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "storage/shared_str.h"

namespace orvex::read {

class TextAccumulator {
 public:
  TextAccumulator() noexcept = default;
  TextAccumulator(TextAccumulator&&) noexcept = default;
  TextAccumulator& operator=(TextAccumulator&&) noexcept = default;

  // Document bytes [start, end) of `doc`.
  void append_view(SourceBuffer* doc, size_t start, size_t end) {
    if (start == end) return;
    if (state_ == State::Absent) {  // by far the most common: the element's one piece
      state_ = State::View;
      view_start_ = start;
      view_end_ = end;
      return;
    }
    append_more(doc, start, end);
  }
  // A decoded piece of the document `doc`.
  void append_owned(SourceBuffer* doc, SharedStr&& piece);

  // The element's text: the pieces with White_Space trimmed at both ends;
  // absent when nothing (or only whitespace) was collected. A single view
  // stays a view (borrowed: the element holds the document); an untrimmed
  // owned string is handed over as it is.
  OptStr finish(SourceBuffer* doc);

 private:
  enum class State : unsigned char { Absent, View, Piece, Buffer };
  void append_more(SourceBuffer* doc, size_t start, size_t end);
  // Makes room for `more` bytes in the buffer, moving a single piece into it first.
  void spill(const char* doc_data, size_t more);
  void put(std::string_view bytes) noexcept;

  State state_ = State::Absent;
  size_t view_start_ = 0, view_end_ = 0;  // State::View
  SharedStr piece_;                       // State::Piece
  std::unique_ptr<char[]> buf_;           // State::Buffer
  size_t len_ = 0, cap_ = 0;
};

}  // namespace orvex::read
