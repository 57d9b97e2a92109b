#include "kestrin_lib/error.hpp"

#include <cstring>

namespace kestrin {
namespace {

// Appends `text`, indenting every line after the first by `indent` blanks.
void append_indented(std::string& out, const std::string& text, std::size_t indent) {
  for (char c : text) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
}

}  // namespace

std::string report_text(const Error& error) {
  std::string out = error.message;
  if (error.causes.empty()) return out;
  out += "\n\nCaused by:";
  if (error.causes.size() == 1) {
    out += "\n    ";
    append_indented(out, error.causes.front(), 4);
    return out;
  }
  for (std::size_t i = 0; i < error.causes.size(); ++i) {
    std::string number = std::to_string(i);
    out += '\n';
    if (number.size() < 5) out.append(5 - number.size(), ' ');
    out += number;
    out += ": ";
    append_indented(out, error.causes[i], 7);
  }
  return out;
}

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the text, which need not live in `buffer`.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Error value_absent(std::string what, std::source_location where) {
  return Error::fatal("an expected value was absent: " + what, where);
}

Error result_was_error(const Error& error, std::source_location where) {
  if (error.is_interrupted()) return error;
  return Error::fatal("a result was an error: " + report_text(error), where);
}

}  // namespace kestrin
