// The pieces of markup the writer's walk puts into a sink, each written once
// over the few primitives every sink offers:
//   piece(n)                    room for a piece of n bytes, written through
//                               the piece: punct("</"), raw(s, readable),
//                               plain<mode>(s, readable) (a short string
//                               needing no escaping, or false), indent(n);
//                               then done(piece)
//   escaped<mode>(s, readable)  a string escaped in `mode`; makes its own room
//   spaces(n)                   indentation; makes its own room
//   element()                   one more element (false: too many)
// The memory sink writes them into its buffer (and a file sink through its
// buffer); the counting sink counts them.
//
// `readable` is where the bytes that the element's borrowed strings view may
// be read past end (the end of their document), or null.
#pragma once

#include <cstdint>

#include "storage/shared_str.h"
#include "write/escape.h"
#include "write/sinks.h"

namespace orvex {

// The pieces are small and called once per element, attribute or line:
// inlined into the walk, they keep its state in registers.
#define ORVEX_PIECE [[gnu::always_inline]] inline

// A line break and the indentation of the next line: most indentation is a
// few dozen spaces, stored with the line feed as one piece.
template <class Sink>
ORVEX_PIECE bool put_line(Sink& sink, uint64_t spaces) {
  const bool short_indent = spaces <= MemorySink::kShortIndent;
  auto p = sink.piece(1 + (short_indent ? MemorySink::kShortIndent : 0));
  if (!p) return false;
  p.punct("\n");
  if (short_indent) p.indent(spaces);
  return sink.done(p) && (short_indent || sink.spaces(spaces));
}

// '<' and the name of a start or empty-element tag.
template <class Sink>
ORVEX_PIECE bool put_start(Sink& sink, const SharedStr& name, const char* readable) {
  if (!sink.element()) return false;
  auto p = sink.piece(1 + name.size());
  if (!p) return false;
  p.punct("<");
  p.raw(name, readable);
  return sink.done(p);
}

// ' key="value"', the value escaped: a short value that needs no escaping
// goes into the same piece.
template <class Sink>
ORVEX_PIECE bool put_attr(Sink& sink, const SharedStr& key, const SharedStr& value, const char* readable) {
  auto p = sink.piece(4 + key.size() + value.size());
  if (!p) return false;
  p.punct(" ");
  p.raw(key, readable);
  p.punct("=\"");
  if (p.template plain<EscapeMode::Attr>(value, readable)) {
    p.punct("\"");
    return sink.done(p);
  }
  if (!sink.done(p) || !sink.template escaped<EscapeMode::Attr>(value, readable)) return false;
  auto q = sink.piece(1);
  if (!q) return false;
  q.punct("\"");
  return sink.done(q);
}

// '/>' closing an empty-element tag, or '>' closing a start tag.
template <class Sink>
ORVEX_PIECE bool put_close(Sink& sink, bool empty) {
  auto p = sink.piece(2);
  if (!p) return false;
  if (empty) p.punct("/>");
  else p.punct(">");
  return sink.done(p);
}

// An element's text, escaped.
template <class Sink>
ORVEX_PIECE bool put_text(Sink& sink, const SharedStr& text, const char* readable) {
  return sink.template escaped<EscapeMode::Text>(text, readable);
}

// '</name>'.
template <class Sink>
ORVEX_PIECE bool put_end(Sink& sink, const SharedStr& name, const char* readable) {
  auto p = sink.piece(3 + name.size());
  if (!p) return false;
  p.punct("</");
  p.raw(name, readable);
  p.punct(">");
  return sink.done(p);
}

}  // namespace orvex
