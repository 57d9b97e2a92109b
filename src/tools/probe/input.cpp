#include "input.hpp"

#include <utility>

#include "report.hpp"

namespace probe {
namespace {

Json input_line(const char* name, std::uint32_t time) {
  Json line = event_line(name);
  line["time"] = time;
  return line;
}

Json untimed_line(const char* name) {
  Json line = event_line(name);
  line["time"] = nullptr;
  return line;
}


void pointer_leave(void*, wl_pointer*, std::uint32_t, wl_surface*) { emit(untimed_line("pointer_leave")); }

void pointer_motion(void*, wl_pointer*, std::uint32_t time, wl_fixed_t x, wl_fixed_t y) {
  Json line = input_line("motion", time);
  line["x"] = wl_fixed_to_double(x);
  line["y"] = wl_fixed_to_double(y);
  emit(line);
}

void pointer_button(void*, wl_pointer*, std::uint32_t, std::uint32_t time, std::uint32_t button,
                    std::uint32_t state) {
  Json line = input_line("button", time);
  line["button"] = button;
  line["state"] = state;
  emit(line);
}

void pointer_axis(void*, wl_pointer*, std::uint32_t time, std::uint32_t axis, wl_fixed_t value) {
  Json line = input_line("axis", time);
  line["axis"] = axis;
  line["value"] = wl_fixed_to_double(value);
  emit(line);
}

void pointer_frame(void*, wl_pointer*) { emit(untimed_line("frame")); }

void pointer_axis_source(void*, wl_pointer*, std::uint32_t source) {
  Json line = untimed_line("axis_source");
  line["source"] = source;
  emit(line);
}

void pointer_axis_stop(void*, wl_pointer*, std::uint32_t time, std::uint32_t axis) {
  Json line = input_line("axis_stop", time);
  line["axis"] = axis;
  emit(line);
}

void pointer_axis_discrete(void*, wl_pointer*, std::uint32_t axis, std::int32_t discrete) {
  Json line = untimed_line("axis_discrete");
  line["axis"] = axis;
  line["discrete"] = discrete;
  emit(line);
}

void pointer_axis_value120(void*, wl_pointer*, std::uint32_t axis, std::int32_t value120) {
  Json line = untimed_line("axis_value120");
  line["axis"] = axis;
  line["value120"] = value120;
  emit(line);
}

void keyboard_enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array* keys) {
  Json line = untimed_line("keyboard_enter");
  Json pressed = Json::array();
  const auto* codes = static_cast<const std::uint32_t*>(keys->data);
  for (std::size_t i = 0; i < keys->size / sizeof(std::uint32_t); ++i) pressed.push_back(codes[i]);
  line["keys"] = std::move(pressed);
  emit(line);
}

void keyboard_leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) { emit(untimed_line("keyboard_leave")); }

void keyboard_repeat_info(void*, wl_keyboard*, std::int32_t rate, std::int32_t delay) {
  Json line = untimed_line("repeat_info");
  line["rate"] = rate;
  line["delay"] = delay;
  emit(line);
}

}  // namespace

Input::Input(wl_display* display, const kestrin::QueueHandle& queue_handle, wl_seat* seat, xkb_context* context)
    : display_(display), queue_display_(queue_handle.display()), seat_(seat), decoder_(context) {
  static const wl_seat_listener seat_listener = {
      .capabilities = handle_capabilities,
      .name = [](void*, wl_seat*, const char*) {},
  };
  wl_seat_add_listener(seat_, &seat_listener, this);
}

Input::~Input() {
  release_pointer();
  release_keyboard();
}

void Input::release_pointer() {
  if (!pointer_) return;
  if (wl_pointer_get_version(pointer_.get()) >= WL_POINTER_RELEASE_SINCE_VERSION) {
    wl_pointer_release(pointer_.release());
  } else {
    pointer_.reset();
  }
}

void Input::release_keyboard() {
  if (!keyboard_) return;
  if (wl_keyboard_get_version(keyboard_.get()) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
    wl_keyboard_release(keyboard_.release());
  } else {
    keyboard_.reset();
  }
}

void Input::handle_capabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
  auto* self = static_cast<Input*>(data);
  Json line = event_line("capabilities");
  line["pointer"] = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
  line["keyboard"] = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
  line["touch"] = (capabilities & WL_SEAT_CAPABILITY_TOUCH) != 0;
  emit(line);

  if ((capabilities & WL_SEAT_CAPABILITY_POINTER) != 0 && !self->pointer_) {
    static const wl_pointer_listener pointer_listener = {
        .enter = handle_pointer_enter,
        .leave = pointer_leave,
        .motion = pointer_motion,
        .button = pointer_button,
        .axis = pointer_axis,
        .frame = pointer_frame,
        .axis_source = pointer_axis_source,
        .axis_stop = pointer_axis_stop,
        .axis_discrete = pointer_axis_discrete,
        .axis_value120 = pointer_axis_value120,
    };
    self->pointer_.reset(wl_seat_get_pointer(seat));
    wl_pointer_add_listener(self->pointer_.get(), &pointer_listener, self);
  } else if ((capabilities & WL_SEAT_CAPABILITY_POINTER) == 0) {
    self->release_pointer();
  }

  if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && !self->keyboard_) {
    static const wl_keyboard_listener keyboard_listener = {
        .keymap = handle_keymap,
        .enter = keyboard_enter,
        .leave = keyboard_leave,
        .key = handle_key,
        .modifiers = handle_modifiers,
        .repeat_info = keyboard_repeat_info,
    };
    self->keyboard_.reset(wl_seat_get_keyboard(seat));
    wl_keyboard_add_listener(self->keyboard_.get(), &keyboard_listener, self);
  } else if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) == 0) {
    self->release_keyboard();
  }

  // Another client's input that the compositor handles before our get_pointer
  // is lost to us; the sync tells when that can no longer happen. A newer sync
  // replaces one still outstanding.
  self->sync_.reset(wl_display_sync(self->queue_display_));
  static const wl_callback_listener sync_listener = {.done = handle_sync_done};
  wl_callback_add_listener(self->sync_.get(), &sync_listener, self);
}

void Input::handle_sync_done(void* data, wl_callback*, std::uint32_t) {
  auto* self = static_cast<Input*>(data);
  self->sync_.reset();
  Json line = event_line("input_ready");
  line["pointer"] = static_cast<bool>(self->pointer_);
  line["keyboard"] = static_cast<bool>(self->keyboard_);
  emit(line);
}

void Input::handle_pointer_enter(void* data, wl_pointer* pointer, std::uint32_t serial, wl_surface*, wl_fixed_t x,
                                 wl_fixed_t y) {
  // sway draws the cursor in software on a headless output, into the very
  // picture that screencopy hands out; the only window hides it. Sent before
  // the line goes out, so that a reader who waits for the line and then
  // captures finds the cursor gone.
  wl_pointer_set_cursor(pointer, serial, nullptr, 0, 0);
  wl_display_flush(static_cast<Input*>(data)->display_);
  Json line = untimed_line("pointer_enter");
  line["x"] = wl_fixed_to_double(x);
  line["y"] = wl_fixed_to_double(y);
  emit(line);
}

void Input::handle_keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
  auto* self = static_cast<Input*>(data);
  kestrin::Fd owned(fd);
  Json line = untimed_line("keymap");
  line["format"] = format;
  line["size"] = size;
  line["loaded"] = format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && self->decoder_.load(std::move(owned), size);
  emit(line);
}

void Input::handle_modifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
                             std::uint32_t locked, std::uint32_t group) {
  auto* self = static_cast<Input*>(data);
  self->decoder_.set_modifiers(depressed, latched, locked, group);
  Json line = untimed_line("modifiers");
  line["depressed"] = depressed;
  line["latched"] = latched;
  line["locked"] = locked;
  line["group"] = group;
  emit(line);
}

void Input::handle_key(void* data, wl_keyboard*, std::uint32_t, std::uint32_t time, std::uint32_t key,
                       std::uint32_t state) {
  auto* self = static_cast<Input*>(data);
  const auto meaning = self->decoder_.meaning(key);
  Json line = input_line("key", time);
  line["key"] = key;
  line["state"] = state;
  line["keysym"] = meaning.keysym;
  line["utf8"] = meaning.utf8;
  emit(line);
}

}  // namespace probe
