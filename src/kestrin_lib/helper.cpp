#include "kestrin_lib/helper.hpp"

namespace kestrin {

Result<PixelArray> screenshot(AppData&, const QueueHandle&, const EventQueue&, std::optional<std::string_view>) {
  return std::unexpected(Error::ordinary("not yet built"));
}

}  // namespace kestrin
