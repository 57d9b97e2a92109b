// The outputs as a caller sees them: which one a name picks, and where each
// lies in the compositor's layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrin_lib/app_data.hpp"
#include "kestrin_lib/error.hpp"

namespace kestrin {

class Kestrin;

// An output's geometry, settled by its last done.
struct OutputInfo {
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::int32_t x = 0;  // position in the layout, logical units
  std::int32_t y = 0;
  std::int32_t width = 0;  // the current mode: the picture a capture gives
  std::int32_t height = 0;
  std::int32_t logical_width = 0;
  std::int32_t logical_height = 0;
  double scale = 1;
  std::string_view transform;  // "normal", "90", …, "flipped-270"
  std::int32_t refresh_mhz = 0;
};

// Why no output could be chosen: the name matches none, there is none, or
// there are several and no name was given. The GNOME session says the same.
Error no_output_named(std::string_view screen_name);
Error no_output();
Error several_outputs();

// The output a name picks, or the only one when no name is given. With
// `live_only`, outputs the compositor has withdrawn do not count.
Result<Output*> choose_output(AppData& app_data, std::optional<std::string_view> screen_name, bool live_only = false);

// Where the output lies: from xdg-output when the compositor offers it,
// otherwise derived from wl_output's position, mode, scale and transform.
OutputInfo describe_output(const Output& output);

// The box around every output the compositor still offers, in logical
// units. In 64 bits: positions and sizes are the compositor's 32-bit
// numbers, and their sums need not fit in 32.
struct LayoutBox {
  std::int64_t left = 0, top = 0, right = 0, bottom = 0;
  std::int64_t width() const { return right - left; }
  std::int64_t height() const { return bottom - top; }
};
LayoutBox layout_box(const AppData& app_data);

// Binds xdg-output on first use, dispatches what the compositor has sent, and
// waits until every output it still offers is fully described.
Status settle_outputs(Kestrin& session);

// The outputs the compositor offers, in the order it announced them.
Result<std::vector<OutputInfo>> list_outputs(Kestrin& session);

}  // namespace kestrin
