// Error values of the core: an ordinary error (a message and an ordered chain
// of causes), a fatal failure of an internal invariant, which the Python
// surface raises as InternalFault instead of RuntimeError, or a wait for the
// compositor that the caller's interruption check ended, or a value the
// caller gave that the compositor or the keymap cannot do (ValueError in
// Python).
#pragma once

#include <expected>
#include <source_location>
#include <string>
#include <vector>

namespace kestrin {

struct Error {
  enum class Kind { ordinary, fatal, interrupted, invalid_value };

  Kind kind = Kind::ordinary;
  std::string message;
  std::vector<std::string> causes;
  // Where a fatal failure was detected; reported in the diagnostic.
  std::source_location where{};

  static Error ordinary(std::string message, std::vector<std::string> causes = {}) {
    return Error{Kind::ordinary, std::move(message), std::move(causes), {}};
  }
  static Error fatal(std::string text, std::source_location where = std::source_location::current()) {
    return Error{Kind::fatal, std::move(text), {}, where};
  }

  // The interruption check has already said why (in Python: the exception a
  // signal handler raised is pending); the message is for other callers.
  static Error interrupted() { return Error{Kind::interrupted, "the wait for the compositor was interrupted", {}, {}}; }

  // An argument the session cannot act on (a pixel outside the picture, a
  // button not held); raised as ValueError, and nothing was sent.
  static Error invalid_value(std::string message) { return Error{Kind::invalid_value, std::move(message), {}, {}}; }

  bool is_fatal() const { return kind == Kind::fatal; }
  bool is_interrupted() const { return kind == Kind::interrupted; }
  bool is_invalid_value() const { return kind == Kind::invalid_value; }
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// The text shown to a Python caller: the message, then "Caused by:" and the
// causes, one indented by four spaces or several numbered in five columns.
std::string report_text(const Error& error);

// "<description> (os error <n>)", the way the system's error texts are shown.
std::string os_error_text(int errnum);

// Fatal failures of construction: "an expected value was absent: <what>"
// and "a result was an error: <the library's description>". An interruption
// is the caller's own doing, not a broken invariant: it passes unchanged.
Error value_absent(std::string what, std::source_location where = std::source_location::current());
Error result_was_error(const Error& error, std::source_location where = std::source_location::current());

}  // namespace kestrin
