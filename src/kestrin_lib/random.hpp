// Values given as a number or as a range, and the per-thread generator that
// ranges and shared-memory names draw from.
#pragma once

#include <cstdint>
#include <random>

#include "kestrin_lib/error.hpp"

namespace kestrin {

// The calling thread's generator, seeded from the operating system's entropy
// source on first use. Fails (fatally) when that source cannot be read.
Result<std::mt19937_64*> thread_generator();

// An unsigned 32-bit quantity: a fixed number, or a range from which every
// `get` draws anew, normally distributed around the middle and clipped.
class UIntValue {
 public:
  static UIntValue fixed(std::uint32_t value) { return UIntValue(value, value, false); }
  static UIntValue range(std::uint32_t lower, std::uint32_t upper) { return UIntValue(lower, upper, true); }

  bool is_range() const { return is_range_; }
  std::uint32_t lower() const { return lower_; }
  std::uint32_t upper() const { return upper_; }

  Result<std::uint32_t> get() const;
  // The draw itself, from a given generator; `get` uses the thread's.
  std::uint32_t get_with(std::mt19937_64& generator) const;

 private:
  UIntValue(std::uint32_t lower, std::uint32_t upper, bool is_range) : lower_(lower), upper_(upper), is_range_(is_range) {}

  std::uint32_t lower_;
  std::uint32_t upper_;
  bool is_range_;
};

}  // namespace kestrin
