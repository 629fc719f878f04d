// A value or an error value. Internal operations return these; only the
// module boundary turns an error into a Python exception.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace orvex {

template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

  E& error() & { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }
  const E& error() const& { assert(!ok()); return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// For operations that produce nothing but may fail.
struct Unit {};

}  // namespace orvex
