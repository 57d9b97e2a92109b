#include "kestrin_lib/keymap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

namespace kestrin {
namespace {

// Real keymaps are some ten kilobytes; anything near this is not one.
constexpr std::uint32_t largest_keymap = 64u << 20;
constexpr xkb_keycode_t largest_key = 0xffff;

Error unreadable(std::string cause) { return Error::ordinary("the seat's keymap could not be read", {std::move(cause)}); }

// libxkbcommon's complaints become the cause of a failed compilation instead
// of lines on stderr.
void collect_xkb_log(xkb_context* context, xkb_log_level, const char* format, va_list args) {
  auto* text = static_cast<std::string*>(xkb_context_get_user_data(context));
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  std::string_view added(line);
  while (!added.empty() && added.back() == '\n') added.remove_suffix(1);
  if (text->empty()) *text = added;  // the first complaint names the fault
}

struct Alias {
  std::string_view name;
  xkb_keysym_t keysym;
  std::uint32_t usual_key;  // the evdev code of the key that normally carries it
};

constexpr std::array<Alias, 7> aliases = {{
    {"ctrl", XKB_KEY_Control_L, 29},
    {"shift", XKB_KEY_Shift_L, 42},
    {"alt", XKB_KEY_Alt_L, 56},
    {"altgr", XKB_KEY_ISO_Level3_Shift, 100},
    {"super", XKB_KEY_Super_L, 125},
    {"meta", XKB_KEY_Super_L, 125},
    {"logo", XKB_KEY_Super_L, 125},
}};

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The one code point `text` holds, if it holds exactly one.
std::optional<char32_t> single_character(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::size_t at = 0;
  char32_t c = next_code_point(text, at);
  if (at != text.size()) return std::nullopt;
  return c;
}

bool key_has_level1_keysym(xkb_keymap* keymap, std::uint32_t key, xkb_keysym_t keysym) {
  const xkb_keysym_t* syms = nullptr;
  int count = xkb_keymap_key_get_syms_by_level(keymap, key + evdev_offset, 0, 0, &syms);
  for (int i = 0; i < count; ++i) {
    if (syms[i] == keysym) return true;
  }
  return false;
}

}  // namespace

std::optional<xkb_keysym_t> keysym_for_name(std::string_view name) {
  // libxkbcommon reads a name up to its first NUL: "Return\0junk" is no
  // name of Return.
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  for (const Alias& alias : aliases) {
    if (equal_ignoring_case(name, alias.name)) return alias.keysym;
  }
  const std::string terminated(name);
  xkb_keysym_t keysym = xkb_keysym_from_name(terminated.c_str(), XKB_KEYSYM_NO_FLAGS);
  if (keysym == XKB_KEY_NoSymbol) {
    auto c = single_character(name);
    if (!c) return std::nullopt;
    keysym = xkb_utf32_to_keysym(*c);
  }
  if (keysym == XKB_KEY_NoSymbol) return std::nullopt;
  return keysym;
}

char32_t next_code_point(std::string_view text, std::size_t& at) {
  constexpr char32_t replacement = 0xfffd;
  auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
  if (length == 0 || at + length > text.size()) {
    ++at;
    return replacement;
  }
  char32_t code = length == 1 ? lead : lead & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xc0) != 0x80) {
      ++at;
      return replacement;
    }
    code = (code << 6) | (next & 0x3f);
  }
  at += length;
  return code;
}

xkb_keysym_t keysym_for_character(char32_t c) {
  if (c == '\n') return XKB_KEY_Return;
  // libxkbcommon gives the other control characters Unicode keysyms that
  // applications turn into nothing or into the raw control byte.
  const bool control = (c < 0x20 && c != '\b' && c != '\t' && c != '\r' && c != 0x1b) || (c >= 0x80 && c < 0xa0);
  // libxkbcommon 1.5 gives surrogates keysyms of their own.
  const bool surrogate = c >= 0xd800 && c <= 0xdfff;
  return control || surrogate ? XKB_KEY_NoSymbol : xkb_utf32_to_keysym(c);
}

std::string own_keymap_text(const std::vector<xkb_keysym_t>& keysyms, const std::vector<std::uint32_t>& codes) {
  // Key names are free to choose; <Knnn> after the xkb code keeps them apart.
  std::string keycodes;
  std::string symbols;
  xkb_keycode_t highest = evdev_offset;
  char line[128];
  for (std::size_t i = 0; i < keysyms.size(); ++i) {
    const xkb_keycode_t code = codes[i] + evdev_offset;
    highest = std::max(highest, code);
    std::snprintf(line, sizeof line, "  <K%u> = %u;\n", code, code);
    keycodes += line;
    char name[64];
    if (xkb_keysym_get_name(keysyms[i], name, sizeof name) < 0) std::snprintf(name, sizeof name, "0x%08x", keysyms[i]);
    std::snprintf(line, sizeof line, "  key <K%u> { [ %s ] };\n", code, name);
    symbols += line;
  }
  return "xkb_keymap {\n"
         "xkb_keycodes \"kestrin\" {\n  minimum = 8;\n  maximum = " + std::to_string(std::max<xkb_keycode_t>(highest, 255)) +
         ";\n" + keycodes +
         "};\n"
         "xkb_types \"kestrin\" {\n"
         "  type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
         "};\n"
         "xkb_compatibility \"kestrin\" {\n};\n"
         "xkb_symbols \"kestrin\" {\n" + symbols +
         "};\n"
         "};\n";
}

Result<std::string> read_keymap_file(int fd, std::uint32_t size) {
  if (size == 0) return std::unexpected(unreadable("the compositor declared it empty"));
  if (size > largest_keymap)
    return std::unexpected(unreadable("the compositor declared " + std::to_string(size) + " bytes, more than a keymap has"));
  struct stat file{};
  if (::fstat(fd, &file) != 0) return std::unexpected(unreadable(os_error_text(errno)));
  if (!S_ISREG(file.st_mode) || file.st_size < static_cast<off_t>(size))
    return std::unexpected(unreadable("the file is shorter than the " + std::to_string(size) + " bytes declared"));
  std::string contents(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, contents.data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(unreadable(os_error_text(errno)));
    if (n == 0) return std::unexpected(unreadable("the file ended early"));
    done += static_cast<std::size_t>(n);
  }
  return contents;
}

Result<Fd> keymap_memory_file(std::string_view contents) {
  Fd fd(::memfd_create("kestrin-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return std::unexpected(Error::ordinary("could not create the keymap's file", {os_error_text(errno)}));
  for (std::size_t done = 0; done < contents.size();) {
    ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(Error::ordinary("could not write the keymap's file", {os_error_text(errno)}));
    done += static_cast<std::size_t>(n);
  }
  // The compositor maps the file; sealed, nobody can shrink it under it.
  ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

Modifiers serialized_modifiers(xkb_state* state) {
  return Modifiers{
      xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
      xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
      xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
      xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE),
  };
}

Result<SeatKeymap> SeatKeymap::compile(std::string_view text) {
  // A keymap from a compositor is complete: nothing is looked up in the
  // system's XKB files or the environment.
  XkbContext context(xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES |
                                                                    XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
  if (!context) return std::unexpected(Error::ordinary("the seat's keymap could not be read", {"out of memory"}));
  std::string complaint;
  xkb_context_set_user_data(context.get(), &complaint);
  xkb_context_set_log_fn(context.get(), collect_xkb_log);
  xkb_context_set_log_level(context.get(), XKB_LOG_LEVEL_ERROR);

  if (auto end = text.find('\0'); end != std::string_view::npos) text = text.substr(0, end);
  XkbKeymap keymap(
      xkb_keymap_new_from_buffer(context.get(), text.data(), text.size(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return std::unexpected(unreadable(complaint.empty() ? "libxkbcommon could not compile it" : complaint));
  // The keymap keeps its own reference to the context, whose user data must
  // not outlive `complaint`.
  xkb_context_set_log_fn(context.get(), nullptr);
  xkb_context_set_log_level(context.get(), XKB_LOG_LEVEL_CRITICAL);
  xkb_context_set_user_data(context.get(), nullptr);

  SeatKeymap compiled(std::move(keymap));
  compiled.build_tables();
  return compiled;
}

void SeatKeymap::build_tables() {
  xkb_keymap* map = keymap_.get();
  const xkb_keycode_t first = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(map), evdev_offset);
  // Key codes beyond what evdev can name are left out; a keymap that
  // declares billions of them would otherwise keep us busy for minutes.
  const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(map), largest_key + evdev_offset);

  // keysym -> key: every level of the first layout, lower levels first.
  xkb_level_index_t levels = 1;
  for (xkb_keycode_t code = first; code <= last; ++code)
    levels = std::max(levels, xkb_keymap_num_levels_for_key(map, code, 0));
  for (xkb_level_index_t level = 0; level < levels; ++level) {
    for (xkb_keycode_t code = first; code <= last; ++code) {
      const xkb_keysym_t* syms = nullptr;
      int count = xkb_keymap_key_get_syms_by_level(map, code, 0, level, &syms);
      for (int i = 0; i < count; ++i) keys_.try_emplace(syms[i], code - evdev_offset);
    }
  }

  // The modifiers Shift and AltGr set are found by pressing their keys, as a
  // client would see them; a keymap without an AltGr key has no such level.
  XkbState probe(xkb_state_new(map));
  if (!probe) return;
  auto modifiers_of = [&](xkb_keysym_t keysym) -> std::uint32_t {
    auto key = keys_.find(keysym);
    if (key == keys_.end()) return 0;
    XkbState pressed(xkb_state_new(map));
    if (!pressed) return 0;
    xkb_state_update_key(pressed.get(), key->second + evdev_offset, XKB_KEY_DOWN);
    return xkb_state_serialize_mods(pressed.get(), XKB_STATE_MODS_DEPRESSED);
  };
  const std::uint32_t shift = modifiers_of(XKB_KEY_Shift_L);
  const std::uint32_t level3 = modifiers_of(XKB_KEY_ISO_Level3_Shift);
  std::array<std::uint32_t, 4> combinations = {0, shift, level3, shift | level3};

  // What a client computes from the key and the modifiers we send. Keypad
  // keys (which applications may treat apart from the main block) and keys
  // beyond X11's 255 (which Xwayland cannot pass on) come last; then the
  // fewest modifiers, then the lowest key.
  std::unordered_map<char32_t, std::uint64_t> ranks;
  for (std::size_t i = 0; i < combinations.size(); ++i) {
    const std::uint32_t modifiers = combinations[i];
    if (i > 0 && (modifiers == 0 || (i == 3 && (shift == 0 || level3 == 0)))) continue;
    xkb_state_update_mask(probe.get(), modifiers, 0, 0, 0, 0, 0);
    for (xkb_keycode_t code = first; code <= last; ++code) {
      const std::uint32_t c = xkb_state_key_get_utf32(probe.get(), code);
      if (c == 0) continue;
      const xkb_keysym_t keysym = xkb_state_key_get_one_sym(probe.get(), code);
      const bool awkward = code > 255 || (keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_9);
      const std::uint64_t rank = (std::uint64_t{awkward} << 40) | (std::uint64_t{i} << 32) | code;
      auto [entry, added] = ranks.try_emplace(static_cast<char32_t>(c), rank);
      if (!added && entry->second <= rank) continue;
      entry->second = rank;
      strokes_.insert_or_assign(static_cast<char32_t>(c), KeyStroke{code - evdev_offset, modifiers});
    }
  }
}

const KeyStroke* SeatKeymap::stroke_for(char32_t c) const {
  auto found = strokes_.find(c);
  return found == strokes_.end() ? nullptr : &found->second;
}

std::optional<std::uint32_t> SeatKeymap::key_for(std::string_view name) const {
  for (const Alias& alias : aliases) {
    if (!equal_ignoring_case(name, alias.name)) continue;
    if (key_has_level1_keysym(keymap_.get(), alias.usual_key, alias.keysym)) return alias.usual_key;
    auto found = keys_.find(alias.keysym);
    return found != keys_.end() ? found->second : alias.usual_key;
  }
  const std::optional<xkb_keysym_t> keysym = keysym_for_name(name);
  if (!keysym) return std::nullopt;
  auto found = keys_.find(*keysym);
  if (found == keys_.end()) return std::nullopt;
  return found->second;
}

}  // namespace kestrin
