// Failures as values.
//
// Every fallible operation returns `Result<T>`: either its value or an `Error`. An error carries a
// fixed message and, optionally, the error that caused it; each layer wraps the error below it
// with its own context ("failed to queue speech" caused by "Operation failed"). Clients are shown
// only the outermost message; `describe()` renders the whole chain for the process's last words
// on standard error.
//
// `Result<T>` is `std::expected<T, Error>` where the standard library has it. Clang 14 (used for
// the libFuzzer and sanitizer build) cannot compile libstdc++'s <expected>, so there a minimal
// stand-in with the same surface is used instead; code writes `return fail(Error{...})` for both.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <version>

#if defined(__cpp_lib_expected)
#include <expected>
#else
#include <variant>
#endif

namespace mdspeak {

struct Error {
  std::string message;
  std::shared_ptr<const Error> cause;

  explicit Error(std::string message_text) : message(std::move(message_text)) {}
  Error(std::string message_text, Error cause_error)
      : message(std::move(message_text)),
        cause(std::make_shared<const Error>(std::move(cause_error))) {}

  // "outer: cause: cause of cause".
  std::string describe() const {
    std::string text = message;
    for (const Error* e = cause.get(); e != nullptr; e = e->cause.get()) {
      text += ": ";
      text += e->message;
    }
    return text;
  }
};

#if defined(__cpp_lib_expected)

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

#else

struct Failure {
  Error error;
};

inline Failure fail(Error error) {
  return Failure{std::move(error)};
}

template <class T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class U>
  requires std::is_constructible_v<T, U&&> &&
      (!std::is_same_v<std::decay_t<U>, Failure>)&&(!std::is_same_v<std::decay_t<U>, Result>)
          Result(U&& value)
      : state_(std::in_place_index<0>, T(std::forward<U>(value))) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  template <class U>
  T value_or(U&& fallback) const {
    return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
  }
  Error& error() { return std::get<1>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

template <>
class Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : error_(std::make_shared<Error>(std::move(failure.error))) {}

  bool has_value() const { return error_ == nullptr; }
  explicit operator bool() const { return has_value(); }
  void value() const {}
  const Error& error() const { return *error_; }

 private:
  std::shared_ptr<Error> error_;
};

#endif

}  // namespace mdspeak
