#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kestrin_lib/keymap.hpp"

namespace kestrin {
namespace {

// The keymap text a compositor would send for a layout, compiled from the
// system's XKB files as sway does.
std::string keymap_text(const char* layout) {
  XkbContext context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
  const xkb_rule_names names = {.rules = "evdev", .model = "pc105", .layout = layout, .variant = "", .options = ""};
  XkbKeymap keymap(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return {};
  std::unique_ptr<char, decltype(&std::free)> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1),
                                                   &std::free);
  return std::string(text.get()) + '\0';
}

SeatKeymap compiled(const char* layout) {
  return SeatKeymap::compile(keymap_text(layout)).value();
}

constexpr std::uint32_t shift = 0x1, altgr = 0x80;  // Mod5 carries LevelThree in the evdev rules

struct Stroke {
  char32_t c;
  std::uint32_t key;
  std::uint32_t modifiers;
};

void expect_strokes(const SeatKeymap& keymap, std::initializer_list<Stroke> strokes) {
  for (const Stroke& expected : strokes) {
    const KeyStroke* stroke = keymap.stroke_for(expected.c);
    ASSERT_NE(stroke, nullptr) << "U+" << std::hex << static_cast<unsigned>(expected.c);
    EXPECT_EQ(stroke->key, expected.key) << "U+" << std::hex << static_cast<unsigned>(expected.c);
    EXPECT_EQ(stroke->modifiers, expected.modifiers) << "U+" << std::hex << static_cast<unsigned>(expected.c);
  }
}

TEST(SeatKeymap, UsTypesPrintableAsciiWithShiftAtMost) {
  SeatKeymap us = compiled("us");
  for (char32_t c = 0x20; c < 0x7f; ++c) {
    const KeyStroke* stroke = us.stroke_for(c);
    ASSERT_NE(stroke, nullptr) << static_cast<char>(c);
    EXPECT_EQ(stroke->modifiers & ~shift, 0u) << static_cast<char>(c);
  }
  // The main block rather than the keypad, the fewest modifiers first.
  expect_strokes(us, {{'a', 30, 0}, {'A', 30, shift}, {'1', 2, 0}, {'!', 2, shift}, {'+', 13, shift}, {'*', 9, shift},
                      {' ', 57, 0}, {'\t', 15, 0}, {'\r', 28, 0}});
  EXPECT_EQ(us.stroke_for(U'é'), nullptr);
  EXPECT_EQ(us.stroke_for(U'ß'), nullptr);
}

TEST(SeatKeymap, GermanAndFrenchLayoutsUseTheirOwnKeys) {
  expect_strokes(compiled("de"), {{'y', 44, 0}, {'z', 21, 0}, {'@', 16, altgr}, {U'ß', 12, 0}, {U'€', 18, altgr},
                                  {U'Ä', 40, shift}});
  expect_strokes(compiled("fr"), {{U'é', 3, 0}, {U'à', 11, 0}, {'a', 16, 0}, {'1', 2, shift}});
}

TEST(SeatKeymap, NamesAndAliasesFindTheirKeys) {
  SeatKeymap us = compiled("us");
  EXPECT_EQ(us.key_for("a"), 30u);
  EXPECT_EQ(us.key_for("A"), 30u);
  EXPECT_EQ(us.key_for("Return"), 28u);
  EXPECT_EQ(us.key_for("Page_Down"), 109u);
  EXPECT_EQ(us.key_for("F5"), 63u);
  EXPECT_EQ(us.key_for("plus"), 13u);
  EXPECT_EQ(us.key_for("+"), 13u);
  for (auto [alias, key] : {std::pair{"ctrl", 29u}, {"shift", 42u}, {"alt", 56u}, {"super", 125u}, {"meta", 125u},
                            {"logo", 125u}, {"CTRL", 29u}})
    EXPECT_EQ(us.key_for(alias), key) << alias;
  EXPECT_EQ(us.key_for("return"), std::nullopt);
  EXPECT_EQ(us.key_for(""), std::nullopt);
  EXPECT_EQ(us.key_for("é"), std::nullopt);
  // AltGr is the right Alt key where the layout has one.
  EXPECT_EQ(compiled("de").key_for("altgr"), 100u);
}

TEST(SeatKeymap, NamesWithANulNameNothing) {
  SeatKeymap us = compiled("us");
  EXPECT_EQ(us.key_for(std::string_view("Return\0junk", 11)), std::nullopt);
  EXPECT_EQ(us.key_for(std::string_view("a\0", 2)), std::nullopt);
  EXPECT_EQ(keysym_for_name(std::string_view("a\0rm -rf", 8)), std::nullopt);
}

// Kestrin's own keymap compiles without any XKB file (the compositor's and
// every client's context may have none), and each key carries its keysym
// on its only level, which a client turns back into the character.
TEST(OwnKeymap, CompilesAloneAndTypesItsCharacters) {
  const std::vector<char32_t> characters = {U'é', U'€', U'ß', U'Ж', U'😀', U'中', U'\b'};
  std::vector<xkb_keysym_t> keysyms;
  for (char32_t c : characters) keysyms.push_back(keysym_for_character(c));
  const std::vector<std::uint32_t> codes = {1, 2, 3, 5, 120, 246, 247};
  auto own = SeatKeymap::compile(own_keymap_text(keysyms, codes));
  ASSERT_TRUE(own) << own.error().causes.at(0);
  for (std::size_t i = 0; i < characters.size(); ++i) {
    const KeyStroke* stroke = own->stroke_for(characters[i]);
    ASSERT_NE(stroke, nullptr) << i;
    EXPECT_EQ(stroke->key, codes[i]) << i;
    EXPECT_EQ(stroke->modifiers, 0u) << i;
    EXPECT_EQ(xkb_keymap_num_levels_for_key(own->keymap(), codes[i] + evdev_offset, 0), 1u) << i;
  }
  // Keys it does not name carry nothing.
  EXPECT_EQ(own->stroke_for('a'), nullptr);
  EXPECT_EQ(xkb_keymap_num_layouts_for_key(own->keymap(), 4 + evdev_offset), 0u);
}

TEST(OwnKeymap, ControlCharactersAndNoncharactersHaveNoKeysym) {
  for (char32_t c : {U'\0', U'\x01', U'\x07', U'\x1f', U'\x80', U'\x9f', U'\xfffe', char32_t{0xd800}, char32_t{0x110000}})
    EXPECT_EQ(keysym_for_character(c), XKB_KEY_NoSymbol) << std::hex << static_cast<unsigned>(c);
  EXPECT_EQ(keysym_for_character('\n'), XKB_KEY_Return);
  EXPECT_EQ(keysym_for_character('\t'), XKB_KEY_Tab);
  EXPECT_EQ(keysym_for_character('\b'), XKB_KEY_BackSpace);
  EXPECT_EQ(keysym_for_character(0x1b), XKB_KEY_Escape);
  EXPECT_EQ(keysym_for_character(U'é'), XKB_KEY_eacute);
  EXPECT_EQ(keysym_for_character(U'😀'), 0x0100'0000u + 0x1f600u);
}

TEST(SeatKeymap, TextThatIsNoKeymapFailsWithLibxkbcommonsComplaint) {
  for (std::string_view text : {std::string_view(""), std::string_view("xkb_keymap { kestrin fake keymap };"),
                                std::string_view("\0\0\0", 3)}) {
    auto keymap = SeatKeymap::compile(text);
    ASSERT_FALSE(keymap);
    EXPECT_EQ(keymap.error().message, "the seat's keymap could not be read");
    ASSERT_EQ(keymap.error().causes.size(), 1u);
    EXPECT_FALSE(keymap.error().causes[0].empty());
  }
}

Fd file_holding(const std::string& contents) {
  auto file = keymap_memory_file(contents);
  EXPECT_TRUE(file);
  return std::move(*file);
}

TEST(KeymapFile, ReadsTheDeclaredSizeWithoutMovingTheOffset) {
  Fd fd = file_holding(std::string("keymap text\0tail", 16));
  ASSERT_EQ(::lseek(fd.get(), 3, SEEK_SET), 3);
  auto contents = read_keymap_file(fd.get(), 12);
  ASSERT_TRUE(contents);
  EXPECT_EQ(*contents, std::string("keymap text\0", 12));
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 3);
  // The file for the virtual keyboard cannot change under the compositor.
  EXPECT_LT(::ftruncate(fd.get(), 1), 0);
}

TEST(KeymapFile, SizesAFileCannotHaveAreRefused) {
  Fd fd = file_holding("short");
  for (std::uint32_t size : {0u, 6u, 1u << 31, ~0u}) {
    auto contents = read_keymap_file(fd.get(), size);
    ASSERT_FALSE(contents) << size;
    EXPECT_EQ(contents.error().message, "the seat's keymap could not be read");
  }
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  Fd read_end(pipe_ends[0]), write_end(pipe_ends[1]);
  EXPECT_FALSE(read_keymap_file(read_end.get(), 4));
}

TEST(KeymapFile, TheLastKeymapOfEachCompositorIsRemembered) {
  EXPECT_FALSE(remembered_keymap("/kestrin-test/none"));
  remember_keymap("/kestrin-test/a", {1, 3, std::make_shared<const std::string>("ab", 3)});
  remember_keymap("/kestrin-test/a", {1, 4, std::make_shared<const std::string>("abc", 4)});
  remember_keymap("/kestrin-test/b", {1, 2, std::make_shared<const std::string>("x", 2)});
  EXPECT_EQ(remembered_keymap("/kestrin-test/a")->size, 4u);
  EXPECT_EQ(*remembered_keymap("/kestrin-test/b")->contents, std::string("x", 2));
}

TEST(RememberedKeymap, KeepsEachKeymapOnceForTheMostRecentCompositorsOnly) {
  // As from a long test run: a new socket path for every desktop, and the
  // same keymap from each.
  for (int i = 0; i < 40; ++i)
    remember_keymap("/kestrin-test/desktop-" + std::to_string(i), {1, 5, std::make_shared<const std::string>("same", 5)});
  EXPECT_FALSE(remembered_keymap("/kestrin-test/desktop-0"));
  EXPECT_FALSE(remembered_keymap("/kestrin-test/desktop-7"));
  auto newest = remembered_keymap("/kestrin-test/desktop-39");
  auto older = remembered_keymap("/kestrin-test/desktop-9");
  ASSERT_TRUE(newest && older);
  EXPECT_EQ(newest->contents.get(), older->contents.get());
  EXPECT_EQ(*newest->contents, std::string("same", 5));
}

}  // namespace
}  // namespace kestrin
