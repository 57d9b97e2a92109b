// The actions of kestrin.gnome's Kestrin on a Mutter session: the same
// methods, argument rules and errors as the Wayland session's, carried out
// through Mutter's remote-desktop and screen-cast interfaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/gnome/session.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/keyboard.hpp"
#include "kestrin_lib/outputs.hpp"
#include "kestrin_lib/pointer.hpp"
#include "kestrin_lib/random.hpp"

namespace kestrin::gnome {

// A key as Mutter is given it: a Linux key code (pressed with the session's
// own keymap) or a keysym (layout-independent).
struct HeldKey {
  bool is_keysym = false;
  std::uint32_t code = 0;
  bool operator==(const HeldKey&) const = default;
};

class Desktop {
 public:
  // Opens a session at once, so that a desktop without Mutter fails here.
  static Result<Desktop> open();

  Desktop(Desktop&& other) noexcept;
  Desktop& operator=(Desktop&&) = delete;
  // Lets go of the keys and buttons still held.
  ~Desktop();
  // For a process forked from the one that opened the session: sends
  // nothing, and the Desktop is neither used nor destroyed afterwards (its
  // destructor would stop Mutter's session on the parent's connection and
  // join PipeWire's thread, which exists only in the parent).
  void abandon_after_fork() noexcept;

  Status move_mouse(const UIntValue& x, const UIntValue& y, std::uint32_t x_extent, std::uint32_t y_extent);
  Status left_click(const UIntValue& hold);
  Status right_click(const UIntValue& hold);
  Status key_press(std::uint32_t key, const UIntValue& hold);
  Result<PixelArray> screenshot(std::optional<std::string_view> screen_name);

  Result<std::vector<OutputInfo>> outputs();
  Status move_to(std::uint32_t x, std::uint32_t y, std::optional<std::string_view> screen_name);
  Status button_down(std::uint32_t button);
  Status button_up(std::uint32_t button);
  Status drag(const DragPath& path, const UIntValue& duration);
  Status scroll(std::int32_t dy, std::int32_t dx);
  Status scroll_smooth(std::int32_t dy, std::int32_t dx);

  Status key_down(const KeySpec& key);
  Status key_up(const KeySpec& key);
  Status press_keys(const std::vector<KeySpec>& keys, const UIntValue& hold);
  Status type_text(std::string_view text, const UIntValue& interval);

 private:
  explicit Desktop(Session session) : session_(std::move(session)) {}

  // The live session: a new one when there is none; when Mutter ended the
  // last one, RuntimeError, and the next call opens a new one.
  Result<Session*> live();
  // A call's failure: when it came from Mutter ending the session, the
  // session is dropped together with what it held.
  Status failed(Error error);
  template <class T>
  Result<T> checked(Result<T> result) {
    if (result) return result;
    return std::unexpected(failed(std::move(result.error())).error());
  }
  Status checked(Status status);

  Result<std::size_t> choose(std::optional<std::string_view> screen_name);
  Status click(std::uint32_t button, const UIntValue& hold);
  Status send_key(Session& session, HeldKey key, bool pressed);
  Result<HeldKey> resolve(const KeySpec& key) const;
  void release_everything() noexcept;

  std::optional<Session> session_;
  std::vector<std::uint32_t> held_buttons_;  // in the order they were pressed
  std::vector<HeldKey> held_keys_;
};

}  // namespace kestrin::gnome
