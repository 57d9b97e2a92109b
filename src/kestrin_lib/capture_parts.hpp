// What the two ways of keeping a capture (wlr-screencopy frames and
// ext-image-copy-capture sessions) share: the kept buffers and the
// rectangle arithmetic of regions and damage.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
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

// One dispatch pass of the session's queue, given up at `deadline` when
// there is one: false once it has passed, whatever the compositor sends.
Result<bool> dispatch_until(const Kestrin& session, std::optional<std::chrono::steady_clock::time_point> deadline);

// Adds `added` to the changes a capture has not reported yet; beyond a few
// dozen rectangles they merge into their bounding box.
void add_changes(std::vector<PixelRect>& changes, const std::vector<PixelRect>& added);

// The box around every pixel of `within` in which two packed pictures
// `width` pixels wide (`width` * 4 bytes a row) differ, if any.
std::optional<PixelRect> difference(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t width,
                                    const PixelRect& within);

// What a wlr-screencopy capture has still to report at its next wait, in
// output pixels.
struct ChangeInbox {
  std::vector<PixelRect> changes;
  // No report has come since the capture opened. The first one covers what
  // changed since the connection's previous copy with damage of the output
  // (all of it, for the first of all), so it may hold changes from before
  // the opening: the whole picture is compared instead.
  bool fresh = true;
  // That first report came: compare all of the picture at the next wait.
  bool compare = false;

  void add(const std::vector<PixelRect>& reported);
};

// wlroots keeps one account of damage per connection and output, emptied by
// every copy with damage of the output. The session keeps this record per
// output and hands what one capture's frame reported to every capture of
// the output, so that each sees every change.
struct OutputChanges {
  std::vector<std::weak_ptr<ChangeInbox>> inboxes;

  std::shared_ptr<ChangeInbox> join();
  void share(const std::vector<PixelRect>& reported);
};

}  // namespace kestrin
