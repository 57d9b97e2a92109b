#include <gtest/gtest.h>

#include "kestrin_lib/render.hpp"

namespace kestrin::render {
namespace {

std::string rendered(auto&& build) {
  std::string out;
  build(out);
  return out;
}

TEST(EventRendering, NameAloneOrWithArguments) {
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Done"); }), "Done");
  EXPECT_EQ(rendered([](std::string& out) {
              Event(out, "Global").number("name", 3).text("interface", "wl_shm").number("version", 1);
            }),
            "Global { name: 3, interface: \"wl_shm\", version: 1 }");
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Scale").signed_number("factor", -2); }),
            "Scale { factor: -2 }");
}

TEST(EventRendering, EnumeratedValuesAndBitSets) {
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Buffer").enumerated("format", shm_format_name(1), 1); }),
            "Buffer { format: Value(Xrgb8888) }");
  EXPECT_EQ(rendered([](std::string& out) {
              Event(out, "Buffer").enumerated("format", shm_format_name(0xdeadbeef), 0xdeadbeef);
            }),
            "Buffer { format: Unknown(3735928559) }");
  auto flags = [](std::uint32_t raw) {
    return rendered([raw](std::string& out) { Event(out, "Flags").bits("flags", raw, {"YInvert"}); });
  };
  EXPECT_EQ(flags(1), "Flags { flags: Value(YInvert) }");
  EXPECT_EQ(flags(0), "Flags { flags: Value(empty) }");
  EXPECT_EQ(flags(3), "Flags { flags: Unknown(3) }");
  EXPECT_EQ(rendered([](std::string& out) {
              Event(out, "Capabilities").bits("capabilities", 3, {"Pointer", "Keyboard", "Touch"});
            }),
            "Capabilities { capabilities: Value(Pointer | Keyboard) }");
}

TEST(EventRendering, TextsAreQuotedWithEscapes) {
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Name").text("name", "a\"b\\c\nd\x01"); }),
            "Name { name: \"a\\\"b\\\\c\\nd\\x01\" }");
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Name").text("name", nullptr); }), "Name { name: null }");
  EXPECT_EQ(rendered([](std::string& out) { Event(out, "Leave").object("surface", nullptr); }),
            "Leave { surface: null }");
}

}  // namespace
}  // namespace kestrin::render
