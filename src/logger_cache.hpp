// The logging bridge's cache of Python loggers: an immutable tree with one
// node per "::" segment of a log target. Readers walk it without the
// interpreter lock; a writer publishes a new tree that shares every subtree it
// did not change.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kestrin_lib/log.hpp"

struct _object;

namespace kestrin::py {

struct CacheEntry {
  // Borrowed: the bridge keeps every logger a tree refers to alive for the
  // whole process, so dropping a tree never needs the interpreter.
  _object* logger;
  log::LevelFilter filter;
};

struct CacheNode;
using CacheTree = std::shared_ptr<const CacheNode>;

struct CacheNode {
  std::optional<CacheEntry> entry;
  // std::less<> lets a lookup compare a std::string_view segment directly,
  // so finding a target allocates nothing.
  std::map<std::string, CacheTree, std::less<>> children;
};

// The node of `target`, or null when the tree has none for it.
const CacheNode* find_node(const CacheNode& root, std::string_view target) noexcept;

// A tree like `root` (which may be null) with `entry` stored at the node of
// `target`: the nodes along the path are copied, all others shared.
CacheTree with_entry(const CacheTree& root, std::string_view target, CacheEntry entry);

}  // namespace kestrin::py
