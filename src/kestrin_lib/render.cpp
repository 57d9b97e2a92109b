#include "kestrin_lib/render.hpp"

#include <wayland-client-core.h>
#include <wayland-util.h>

#include <array>
#include <utility>

namespace kestrin::render {
namespace {

template <std::size_t N>
std::optional<std::string_view> lookup(const std::array<std::pair<std::uint32_t, std::string_view>, N>& table,
                                       std::uint32_t value) {
  for (const auto& [code, name] : table)
    if (code == value) return name;
  return std::nullopt;
}

// wl_shm.format entries, named after the protocol's entry names.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 108> shm_formats{{
    {0, "Argb8888"},
    {1, "Xrgb8888"},
    {0x20203843, "C8"},
    {0x38424752, "Rgb332"},
    {0x38524742, "Bgr233"},
    {0x32315258, "Xrgb4444"},
    {0x32314258, "Xbgr4444"},
    {0x32315852, "Rgbx4444"},
    {0x32315842, "Bgrx4444"},
    {0x32315241, "Argb4444"},
    {0x32314241, "Abgr4444"},
    {0x32314152, "Rgba4444"},
    {0x32314142, "Bgra4444"},
    {0x35315258, "Xrgb1555"},
    {0x35314258, "Xbgr1555"},
    {0x35315852, "Rgbx5551"},
    {0x35315842, "Bgrx5551"},
    {0x35315241, "Argb1555"},
    {0x35314241, "Abgr1555"},
    {0x35314152, "Rgba5551"},
    {0x35314142, "Bgra5551"},
    {0x36314752, "Rgb565"},
    {0x36314742, "Bgr565"},
    {0x34324752, "Rgb888"},
    {0x34324742, "Bgr888"},
    {0x34324258, "Xbgr8888"},
    {0x34325852, "Rgbx8888"},
    {0x34325842, "Bgrx8888"},
    {0x34324241, "Abgr8888"},
    {0x34324152, "Rgba8888"},
    {0x34324142, "Bgra8888"},
    {0x30335258, "Xrgb2101010"},
    {0x30334258, "Xbgr2101010"},
    {0x30335852, "Rgbx1010102"},
    {0x30335842, "Bgrx1010102"},
    {0x30335241, "Argb2101010"},
    {0x30334241, "Abgr2101010"},
    {0x30334152, "Rgba1010102"},
    {0x30334142, "Bgra1010102"},
    {0x56595559, "Yuyv"},
    {0x55595659, "Yvyu"},
    {0x59565955, "Uyvy"},
    {0x59555956, "Vyuy"},
    {0x56555941, "Ayuv"},
    {0x3231564e, "Nv12"},
    {0x3132564e, "Nv21"},
    {0x3631564e, "Nv16"},
    {0x3136564e, "Nv61"},
    {0x39565559, "Yuv410"},
    {0x39555659, "Yvu410"},
    {0x31315559, "Yuv411"},
    {0x31315659, "Yvu411"},
    {0x32315559, "Yuv420"},
    {0x32315659, "Yvu420"},
    {0x36315559, "Yuv422"},
    {0x36315659, "Yvu422"},
    {0x34325559, "Yuv444"},
    {0x34325659, "Yvu444"},
    {0x20203852, "R8"},
    {0x20363152, "R16"},
    {0x38384752, "Rg88"},
    {0x38385247, "Gr88"},
    {0x32334752, "Rg1616"},
    {0x32335247, "Gr1616"},
    {0x48345258, "Xrgb16161616f"},
    {0x48344258, "Xbgr16161616f"},
    {0x48345241, "Argb16161616f"},
    {0x48344241, "Abgr16161616f"},
    {0x56555958, "Xyuv8888"},
    {0x34325556, "Vuy888"},
    {0x30335556, "Vuy101010"},
    {0x30313259, "Y210"},
    {0x32313259, "Y212"},
    {0x36313259, "Y216"},
    {0x30313459, "Y410"},
    {0x32313459, "Y412"},
    {0x36313459, "Y416"},
    {0x30335658, "Xvyu2101010"},
    {0x36335658, "Xvyu1216161616"},
    {0x38345658, "Xvyu16161616"},
    {0x304c3059, "Y0l0"},
    {0x304c3058, "X0l0"},
    {0x324c3059, "Y0l2"},
    {0x324c3058, "X0l2"},
    {0x38305559, "Yuv4208bit"},
    {0x30315559, "Yuv42010bit"},
    {0x38415258, "Xrgb8888A8"},
    {0x38414258, "Xbgr8888A8"},
    {0x38415852, "Rgbx8888A8"},
    {0x38415842, "Bgrx8888A8"},
    {0x38413852, "Rgb888A8"},
    {0x38413842, "Bgr888A8"},
    {0x38413552, "Rgb565A8"},
    {0x38413542, "Bgr565A8"},
    {0x3432564e, "Nv24"},
    {0x3234564e, "Nv42"},
    {0x30313250, "P210"},
    {0x30313050, "P010"},
    {0x32313050, "P012"},
    {0x36313050, "P016"},
    {0x30314241, "Axbxgxrx106106106106"},
    {0x3531564e, "Nv15"},
    {0x30313451, "Q410"},
    {0x31303451, "Q401"},
    {0x38345258, "Xrgb16161616"},
    {0x38344258, "Xbgr16161616"},
    {0x38345241, "Argb16161616"},
    {0x38344241, "Abgr16161616"},
}};

const char hex_digits[] = "0123456789abcdef";

}  // namespace

void quoted(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += hex_digits[c >> 4];
          out += hex_digits[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void quoted(std::string& out, const char* text) {
  if (text == nullptr) {
    out += "null";
    return;
  }
  quoted(out, std::string_view(text));
}

std::string& Event::field(std::string_view name) {
  out_ += has_args_ ? ", " : " { ";
  has_args_ = true;
  out_ += name;
  out_ += ": ";
  return out_;
}

Event& Event::number(std::string_view name, std::uint32_t value) {
  field(name) += std::to_string(value);
  return *this;
}

Event& Event::signed_number(std::string_view name, std::int32_t value) {
  field(name) += std::to_string(value);
  return *this;
}

Event& Event::text(std::string_view name, const char* value) {
  quoted(field(name), value);
  return *this;
}

Event& Event::object(std::string_view name, const void* proxy) {
  std::string& out = field(name);
  if (proxy == nullptr) {
    out += "null";
    return *this;
  }
  auto* p = static_cast<wl_proxy*>(const_cast<void*>(proxy));
  out += wl_proxy_get_class(p);
  out += '@';
  out += std::to_string(wl_proxy_get_id(p));
  return *this;
}

Event& Event::fd(std::string_view name, std::int32_t fd) {
  field(name) += std::to_string(fd);
  return *this;
}

Event& Event::array(std::string_view name, const wl_array* value) {
  std::string& out = field(name);
  out += '[';
  if (value != nullptr) {
    const auto* words = static_cast<const std::uint32_t*>(value->data);
    for (std::size_t i = 0; i < value->size / sizeof(std::uint32_t); ++i) {
      if (i != 0) out += ", ";
      out += std::to_string(words[i]);
    }
  }
  out += ']';
  return *this;
}

Event& Event::enumerated(std::string_view name, std::optional<std::string_view> entry, std::uint32_t raw) {
  std::string& out = field(name);
  if (entry) {
    out += "Value(";
    out += *entry;
  } else {
    out += "Unknown(";
    out += std::to_string(raw);
  }
  out += ')';
  return *this;
}

Event& Event::bits(std::string_view name, std::uint32_t raw, std::initializer_list<std::string_view> names) {
  std::string& out = field(name);
  const std::uint32_t known = names.size() >= 32 ? ~0u : (1u << names.size()) - 1;
  if ((raw & ~known) != 0) {
    out += "Unknown(" + std::to_string(raw) + ")";
    return *this;
  }
  out += "Value(";
  if (raw == 0) out += "empty";
  bool first = true;
  unsigned bit = 0;
  for (std::string_view bit_name : names) {
    if (raw & (1u << bit)) {
      if (!first) out += " | ";
      out += bit_name;
      first = false;
    }
    ++bit;
  }
  out += ')';
  return *this;
}

std::optional<std::string_view> shm_format_name(std::uint32_t format) { return lookup(shm_formats, format); }

std::optional<std::string_view> keymap_format_name(std::uint32_t format) {
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 2> names{{{0, "NoKeymap"}, {1, "XkbV1"}}};
  return lookup(names, format);
}

std::optional<std::string_view> key_state_name(std::uint32_t state) {
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 3> names{
      {{0, "Released"}, {1, "Pressed"}, {2, "Repeated"}}};
  return lookup(names, state);
}

std::optional<std::string_view> output_subpixel_name(std::int32_t subpixel) {
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 6> names{
      {{0, "Unknown"}, {1, "None"}, {2, "HorizontalRgb"}, {3, "HorizontalBgr"}, {4, "VerticalRgb"}, {5, "VerticalBgr"}}};
  return lookup(names, static_cast<std::uint32_t>(subpixel));
}

std::optional<std::string_view> output_transform_name(std::int32_t transform) {
  static constexpr std::array<std::pair<std::uint32_t, std::string_view>, 8> names{
      {{0, "Normal"}, {1, "90"}, {2, "180"}, {3, "270"}, {4, "Flipped"}, {5, "Flipped90"}, {6, "Flipped180"}, {7, "Flipped270"}}};
  return lookup(names, static_cast<std::uint32_t>(transform));
}

}  // namespace kestrin::render
