// The process-wide log facade. Emitting code checks the maximum level before
// it builds a record, and a record's message is only written out when a sink
// asks for it, so a rejected record costs one comparison.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

namespace kestrin::log {

enum class Level : unsigned char { error = 1, warn, info, debug, trace };
enum class LevelFilter : unsigned char { off = 0, error, warn, info, debug, trace };

constexpr bool admits(LevelFilter filter, Level level) {
  return static_cast<unsigned>(level) <= static_cast<unsigned>(filter);
}

inline constexpr std::string_view app_data_target = "kestrin::kestrin_lib::app_data";
inline constexpr std::string_view shm_target = "kestrin::kestrin_lib::shm";

// A borrowed callable that appends the message text to a string.
class MessageFn {
 public:
  template <class F>
    requires std::is_invocable_v<const F&, std::string&>
  MessageFn(const F& f) : object_(&f), call_([](const void* o, std::string& out) { (*static_cast<const F*>(o))(out); }) {}

  void operator()(std::string& out) const { call_(object_, out); }

 private:
  const void* object_;
  void (*call_)(const void*, std::string&);
};

struct Record {
  Level level;
  std::string_view target;
  const char* file;  // relative to the project root, or nullptr
  unsigned line;     // 0 when unknown
  MessageFn message;

  std::string format() const {
    std::string out;
    message(out);
    return out;
  }
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void log(const Record& record) noexcept = 0;
  virtual void flush() noexcept = 0;
};

// Registers the sink; only the first registration of the process succeeds.
bool set_sink(Sink* sink) noexcept;
LevelFilter max_level() noexcept;
void set_max_level(LevelFilter filter) noexcept;
// Hands an admitted record to the sink, or drops it while none is set.
void emit(const Record& record) noexcept;

}  // namespace kestrin::log

#define KESTRIN_LOG(level, target, writer)                                                \
  do {                                                                                    \
    if (::kestrin::log::admits(::kestrin::log::max_level(), (level))) {                   \
      ::kestrin::log::emit(::kestrin::log::Record{(level), (target), __FILE__, __LINE__, \
                                                  ::kestrin::log::MessageFn(writer)});    \
    }                                                                                     \
  } while (0)

#define KESTRIN_LOG_INFO(target, writer) KESTRIN_LOG(::kestrin::log::Level::info, target, writer)

// For helpers that log on behalf of their caller: the record names the
// caller's statement, passed in as a std::source_location.
#define KESTRIN_LOG_INFO_AT(where, target, writer)                                                          \
  do {                                                                                                      \
    if (::kestrin::log::admits(::kestrin::log::max_level(), ::kestrin::log::Level::info)) {                 \
      ::kestrin::log::emit(::kestrin::log::Record{::kestrin::log::Level::info, (target), (where).file_name(), \
                                                  (where).line(), ::kestrin::log::MessageFn(writer)});      \
    }                                                                                                       \
  } while (0)
