#include "kestrin_lib/capture_parts.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "kestrin_lib/mod.hpp"

namespace kestrin {
namespace {

// Changes kept for a later wait merge into one box beyond this many.
constexpr std::size_t unreported_limit = 32;

}  // namespace

Status make_slots(Kestrin& session, const ScreencopyBuffer& announced, Slots& slots) {
  const auto size = static_cast<std::int32_t>(announced.stride * announced.height);
  for (Slot& slot : slots) {
    auto file = create_sealed_shm_file(static_cast<std::size_t>(size));
    if (!file) return std::unexpected(file.error());
    if (auto backed = allocate_pages(file->get(), size); !backed) return std::unexpected(backed.error());
    auto view = map_readable(file->get(), static_cast<std::size_t>(size));
    if (!view) return std::unexpected(view.error());
    slot.view = std::move(*view);
    slot.pool.reset(session.queue_handle.create<wl_shm_pool>(
        session.app_data->shm.get(), [&](wl_shm* shm) { return wl_shm_create_pool(shm, file->get(), size); }));
    if (!slot.pool) return std::unexpected(Error::ordinary("out of memory"));
    slot.buffer.reset(session.queue_handle.create<wl_buffer>(slot.pool.get(), [&](wl_shm_pool* wrapper) {
      return wl_shm_pool_create_buffer(wrapper, 0, static_cast<std::int32_t>(announced.width),
                                       static_cast<std::int32_t>(announced.height),
                                       static_cast<std::int32_t>(announced.stride), announced.format);
    }));
    if (!slot.buffer) return std::unexpected(Error::ordinary("out of memory"));
    slot.file = std::move(*file);
  }
  return {};
}

void release_slots(Slots& slots) {
  for (Slot& slot : slots) {
    slot.buffer.reset();
    slot.pool.reset();
    slot.file = Fd();
    slot.view = Mapping();
  }
}

bool same_buffer(const ScreencopyBuffer& a, const ScreencopyBuffer& b) {
  return a.format == b.format && a.width == b.width && a.height == b.height && a.stride == b.stride;
}

std::optional<PixelRect> intersection(const PixelRect& a, const PixelRect& b) {
  const std::uint64_t left = std::max(a.x, b.x);
  const std::uint64_t top = std::max(a.y, b.y);
  const std::uint64_t right = std::min(std::uint64_t{a.x} + a.width, std::uint64_t{b.x} + b.width);
  const std::uint64_t bottom = std::min(std::uint64_t{a.y} + a.height, std::uint64_t{b.y} + b.height);
  if (right <= left || bottom <= top) return std::nullopt;
  return PixelRect{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                   static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
}

std::string describe_rect(const PixelRect& rect) {
  return "(" + std::to_string(rect.x) + ", " + std::to_string(rect.y) + ", " + std::to_string(rect.width) + ", " +
         std::to_string(rect.height) + ")";
}

Status check_region(const PixelRect& region, std::uint32_t width, std::uint32_t height, const char* what) {
  if (region.width == 0 || region.height == 0)
    return std::unexpected(Error::invalid_value(std::string(what) + " " + describe_rect(region) +
                                                " is empty: its width and height must be at least 1"));
  if (std::uint64_t{region.x} + region.width > width || std::uint64_t{region.y} + region.height > height)
    return std::unexpected(Error::invalid_value(std::string(what) + " " + describe_rect(region) +
                                                " does not lie within the output's picture of " +
                                                std::to_string(width) + "x" + std::to_string(height) + " pixels"));
  return {};
}

std::vector<PixelRect> changes_within(const std::vector<PixelRect>& damage, const PixelRect& watched) {
  if (damage.empty()) return {watched};
  std::vector<PixelRect> changed;
  for (const PixelRect& rect : damage) {
    if (auto inside = intersection(rect, watched)) changed.push_back(*inside);
  }
  return changed;
}

Error capture_failed() { return Error::ordinary("the compositor failed the capture"); }

Result<bool> dispatch_until(const Kestrin& session, std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) {
    if (auto pass = session.event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
    return true;
  }
  // A compositor that keeps sending must not keep the wait going.
  if (std::chrono::steady_clock::now() >= *deadline) return false;
  return session.event_queue.dispatch_pass_until(*deadline);
}

void add_changes(std::vector<PixelRect>& changes, const std::vector<PixelRect>& added) {
  changes.insert(changes.end(), added.begin(), added.end());
  if (changes.size() <= unreported_limit) return;
  PixelRect box = changes.front();
  for (const PixelRect& rect : changes) {
    const std::uint64_t right = std::max(std::uint64_t{box.x} + box.width, std::uint64_t{rect.x} + rect.width);
    const std::uint64_t bottom = std::max(std::uint64_t{box.y} + box.height, std::uint64_t{rect.y} + rect.height);
    box.x = std::min(box.x, rect.x);
    box.y = std::min(box.y, rect.y);
    box.width = static_cast<std::uint32_t>(right - box.x);
    box.height = static_cast<std::uint32_t>(bottom - box.y);
  }
  changes.assign(1, box);
}

std::optional<PixelRect> difference(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t width,
                                    const PixelRect& within) {
  const std::size_t stride = std::size_t{width} * 4;
  const std::size_t row = std::size_t{within.width} * 4;
  const std::uint32_t end_y = within.y + within.height;
  std::uint32_t top = end_y, bottom = 0, left = within.x + within.width, right = 0;
  for (std::uint32_t y = within.y; y < end_y; ++y) {
    const std::uint8_t* p = a + y * stride + std::size_t{within.x} * 4;
    const std::uint8_t* q = b + y * stride + std::size_t{within.x} * 4;
    if (std::memcmp(p, q, row) == 0) continue;
    top = std::min(top, y);
    bottom = y + 1;
    std::uint32_t first = 0, last = within.width;
    while (std::memcmp(p + first * 4, q + first * 4, 4) == 0) ++first;
    while (std::memcmp(p + (last - 1) * 4, q + (last - 1) * 4, 4) == 0) --last;
    left = std::min(left, within.x + first);
    right = std::max(right, within.x + last);
  }
  if (top == end_y) return std::nullopt;
  return PixelRect{left, top, right - left, bottom - top};
}

std::shared_ptr<ChangeInbox> OutputChanges::join() {
  std::erase_if(inboxes, [](const std::weak_ptr<ChangeInbox>& inbox) { return inbox.expired(); });
  auto inbox = std::make_shared<ChangeInbox>();
  inboxes.push_back(inbox);
  return inbox;
}

void ChangeInbox::add(const std::vector<PixelRect>& reported) {
  if (fresh) {
    fresh = false;
    compare = true;
  } else {
    add_changes(changes, reported);
  }
}

void OutputChanges::share(const std::vector<PixelRect>& reported) {
  for (const std::weak_ptr<ChangeInbox>& weak : inboxes) {
    if (auto inbox = weak.lock()) inbox->add(reported);
  }
}

}  // namespace kestrin
