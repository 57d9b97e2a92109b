// What the two ways of keeping a capture (wlr-screencopy frames and
// ext-image-copy-capture sessions) share: the kept buffers and the
// rectangle arithmetic of regions and damage.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/fd.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/shm.hpp"

namespace kestrin {

class Kestrin;

// One shared-memory buffer the compositor copies into, kept for the capture,
// and read through a mapping made once: at 3840x2160, memcpy out of it takes
// 3.4 ms of CPU a frame where pread of the file took 8.7 ms. The file is sealed
// against shrinking, so no compositor can make that copy fault.
struct Slot {
  Fd file;
  Mapping view;
  Pool pool;
  Buffer buffer;
};
using Slots = std::array<Slot, 2>;

// Makes both slots for buffers as `announced`: wlroots drops a client whose
// buffer differs from what it announced.
Status make_slots(Kestrin& session, const ScreencopyBuffer& announced, Slots& slots);
// Destroys the slots' buffers and pools (the compositor hears of it at the
// next flush) and closes their files.
void release_slots(Slots& slots);

bool same_buffer(const ScreencopyBuffer& a, const ScreencopyBuffer& b);

std::optional<PixelRect> intersection(const PixelRect& a, const PixelRect& b);
std::string describe_rect(const PixelRect& rect);

// A region must be a non-empty part of the output's picture; `what` names it.
Status check_region(const PixelRect& region, std::uint32_t width, std::uint32_t height, const char* what);

// The changed rectangles inside `watched`; none reported means changed all over.
std::vector<PixelRect> changes_within(const std::vector<PixelRect>& damage, const PixelRect& watched);

Error capture_failed();

}  // namespace kestrin
