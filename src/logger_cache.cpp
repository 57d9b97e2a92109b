#include "logger_cache.hpp"

namespace kestrin::py {
namespace {

constexpr std::string_view separator = "::";

// Splits off the first segment of `path`. `more` says whether a separator
// followed it; "a::" has the two segments "a" and "".
std::string_view first_segment(std::string_view path, std::string_view& rest, bool& more) noexcept {
  const std::size_t at = path.find(separator);
  more = at != std::string_view::npos;
  rest = more ? path.substr(at + separator.size()) : std::string_view();
  return more ? path.substr(0, at) : path;
}

std::shared_ptr<CacheNode> copy_path(const CacheNode* node, std::string_view path, bool at_end,
                                     const CacheEntry& entry) {
  auto copy = node != nullptr ? std::make_shared<CacheNode>(*node) : std::make_shared<CacheNode>();
  if (at_end) {
    copy->entry = entry;
    return copy;
  }
  std::string_view rest;
  bool more = false;
  const std::string_view segment = first_segment(path, rest, more);
  auto found = copy->children.find(segment);
  const CacheNode* child = found != copy->children.end() ? found->second.get() : nullptr;
  CacheTree new_child = copy_path(child, rest, !more, entry);
  if (found != copy->children.end()) {
    found->second = std::move(new_child);
  } else {
    copy->children.emplace(std::string(segment), std::move(new_child));
  }
  return copy;
}

}  // namespace

const CacheNode* find_node(const CacheNode& root, std::string_view target) noexcept {
  const CacheNode* node = &root;
  if (target.empty()) return node;
  std::string_view path = target;
  for (;;) {
    std::string_view rest;
    bool more = false;
    const std::string_view segment = first_segment(path, rest, more);
    auto found = node->children.find(segment);
    if (found == node->children.end()) return nullptr;
    node = found->second.get();
    if (!more) return node;
    path = rest;
  }
}

CacheTree with_entry(const CacheTree& root, std::string_view target, CacheEntry entry) {
  return copy_path(root.get(), target, target.empty(), entry);
}

}  // namespace kestrin::py
