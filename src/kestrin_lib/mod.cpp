#include "kestrin_lib/mod.hpp"

namespace kestrin {

Result<Kestrin> connect(std::optional<std::string_view>) { return std::unexpected(Error::ordinary("not yet built")); }
Status wait_for_output_names(Kestrin&) { return {}; }
Status Kestrin::move_mouse(const UIntValue&, const UIntValue&, std::uint32_t, std::uint32_t) { return {}; }
Status Kestrin::left_click(const UIntValue&) { return {}; }
Status Kestrin::right_click(const UIntValue&) { return {}; }
Status Kestrin::key_press(std::uint32_t, const UIntValue&) { return {}; }

}  // namespace kestrin
