#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <thread>

#include "kestrin_lib/random.hpp"

namespace kestrin {
namespace {

// Draws are made from seeded generators so that a run is repeatable; the
// sample sizes put every tolerance beyond six standard deviations.
constexpr int samples = 100'000;

std::map<std::uint32_t, int> histogram(const UIntValue& value, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::map<std::uint32_t, int> counts;
  for (int i = 0; i < samples; ++i) ++counts[value.get_with(generator)];
  return counts;
}

double share(const std::map<std::uint32_t, int>& counts, std::uint32_t value) {
  auto it = counts.find(value);
  return it == counts.end() ? 0.0 : static_cast<double>(it->second) / samples;
}

std::string state_of(const std::mt19937_64& generator) {
  std::ostringstream out;
  out << generator;
  return out.str();
}

TEST(UIntValueFixed, ReturnsItsNumberWithoutDrawing) {
  for (std::uint32_t number : {0u, 1u, 100u, 4294967295u}) {
    std::mt19937_64 generator(7);
    const std::string before = state_of(generator);
    EXPECT_EQ(UIntValue::fixed(number).get_with(generator), number);
    EXPECT_EQ(state_of(generator), before) << "a fixed value advanced the generator";
    EXPECT_EQ(UIntValue::fixed(number).get().value(), number);
  }
}

TEST(UIntValueRange, DegenerateRanges) {
  std::mt19937_64 generator(11);
  for (int i = 0; i < 10'000; ++i) {
    EXPECT_EQ(UIntValue::range(42, 42).get_with(generator), 42u);
    EXPECT_EQ(UIntValue::range(42, 43).get_with(generator), 42u);  // spread 0, centre 42
    EXPECT_EQ(UIntValue::range(100, 50).get_with(generator), 50u);
    EXPECT_EQ(UIntValue::range(4294967295u, 0).get_with(generator), 0u);
  }
}

TEST(UIntValueRange, SmallRangeFavoursTheLowerBound) {
  auto counts = histogram(UIntValue::range(10, 12), 1);
  EXPECT_EQ(counts.size(), 3u);
  EXPECT_NEAR(share(counts, 10), 0.5, 0.01);
  EXPECT_NEAR(share(counts, 11), 1 - 0.5 - 0.1587, 0.01);
  EXPECT_NEAR(share(counts, 12), 0.1587, 0.01);
}

TEST(UIntValueRange, WholeRangePutsAboutOneInSixOnEachBound) {
  auto counts = histogram(UIntValue::range(0, 4294967295u), 2);
  EXPECT_NEAR(share(counts, 0), 0.1587, 0.01);
  EXPECT_NEAR(share(counts, 4294967295u), 0.1587, 0.01);
}

TEST(UIntValueRange, LargeValuesFollowTheSinglePrecisionGrid) {
  const std::uint32_t lower = 3'000'000'000u, upper = 3'000'100'000u;
  auto counts = histogram(UIntValue::range(lower, upper), 3);
  for (const auto& [value, count] : counts) {
    ASSERT_GE(value, lower);
    ASSERT_LE(value, upper);
    EXPECT_TRUE(value % 256 == 0 || value == upper) << value;
  }
  EXPECT_GT(counts.size(), 300u) << "the draws should spread over the whole range";
  EXPECT_NEAR(share(counts, lower), 0.1587, 0.01);
  EXPECT_NEAR(share(counts, upper), 0.1587, 0.01);
}

TEST(UIntValueRange, MeanLiesNearTheCentreAndNeverAbove) {
  std::mt19937_64 generator(4);
  const UIntValue value = UIntValue::range(50, 150);
  double sum = 0;
  for (int i = 0; i < samples; ++i) {
    std::uint32_t drawn = value.get_with(generator);
    ASSERT_GE(drawn, 50u);
    ASSERT_LE(drawn, 150u);
    sum += drawn;
  }
  // Clipping is symmetric; truncation toward zero pulls the mean down by
  // about half a unit.
  EXPECT_NEAR(sum / samples, 99.5, 0.5);
}

TEST(UIntValueRange, ThreadsDrawFromTheirOwnGenerators) {
  auto first = thread_generator();
  ASSERT_TRUE(first.has_value());
  std::mt19937_64* other = nullptr;
  std::thread([&] { other = thread_generator().value(); }).join();
  EXPECT_NE(*first, other);
  EXPECT_EQ(thread_generator().value(), *first);

  const UIntValue value = UIntValue::range(0, 1'000'000);
  std::map<std::uint32_t, int> seen;
  for (int i = 0; i < 100; ++i) ++seen[value.get().value()];
  EXPECT_GT(seen.size(), 50u) << "draws from the thread's generator should vary";
}

}  // namespace
}  // namespace kestrin
