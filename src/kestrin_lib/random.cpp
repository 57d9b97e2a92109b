#include "kestrin_lib/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <optional>

namespace kestrin {

Result<std::mt19937_64*> thread_generator() {
  thread_local std::optional<std::mt19937_64> generator;
  if (!generator) {
    std::uint64_t seed[4];
    auto* bytes = reinterpret_cast<unsigned char*>(seed);
    std::size_t filled = 0;
    while (filled < sizeof seed) {
      ssize_t got = ::getrandom(bytes + filled, sizeof seed - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(
            Error::fatal("failed to seed the random generator from the operating system: " + os_error_text(errno)));
      }
      filled += static_cast<std::size_t>(got);
    }
    std::seed_seq sequence(bytes, bytes + sizeof seed);
    generator.emplace(sequence);
  }
  return &*generator;
}

Result<std::uint32_t> UIntValue::get() const {
  if (!is_range_) return lower_;
  auto generator = thread_generator();
  if (!generator) return std::unexpected(generator.error());
  return get_with(**generator);
}

std::uint32_t UIntValue::get_with(std::mt19937_64& generator) const {
  if (!is_range_) return lower_;
  const std::uint64_t lower = lower_;
  const std::uint64_t upper = upper_;
  // Whole-number centre and spread; the sum needs 33 bits.
  const float centre = static_cast<float>((lower + upper) / 2);
  const float spread = static_cast<float>(upper >= lower ? (upper - lower) / 2 : 0);
  const float z = static_cast<float>(std::normal_distribution<double>(0.0, 1.0)(generator));
  // Single precision throughout: the product is rounded, then the sum.
  const float product = z * spread;
  const float x = product + centre;

  std::uint32_t value;
  if (!(x > 0.0f))
    value = 0;
  else if (x >= 4294967296.0f)
    value = 0xffffffffu;
  else
    value = static_cast<std::uint32_t>(x);
  if (value < lower_) value = lower_;
  if (value > upper_) value = upper_;
  return value;
}

}  // namespace kestrin
