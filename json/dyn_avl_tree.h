// The member table of a dynamic JSON object: an AVL tree keyed by name hash, then by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace appsrv::json {

class TDynObject;
using IDynObject = std::shared_ptr<TDynObject>;

// h := h * 129 + c + 0x9E370001 per UTF-16 code unit, modulo 2^32; "" hashes to 0.
uint32_t Hash(std::u16string_view name);

// One member. The hash is computed once, when the entry is made.
struct TDynAvlEntry {
  TDynAvlEntry(std::u16string&& name, uint32_t hash) : FName(std::move(name)), FHash(hash) {}

  std::u16string FName;
  uint32_t FHash;
  IDynObject FPtr;  // may be empty: the member is then written as null

  // Tree links: positions in the tree's entry list, -1 for none.
  int32_t left = -1;
  int32_t right = -1;
  int32_t height = 1;
};

// Entries in descending hash order, equal hashes in ascending name order (code unit by code
// unit). A name occurs once; lookups compare names only on equal hashes. Owns its entries,
// which live in one list in the order they were made (entries are never removed), so that a
// table is a few allocations however many members it has.
class TDynAvlTree {
 public:
  TDynAvlTree() = default;
  TDynAvlTree(TDynAvlTree&&) noexcept = default;
  TDynAvlTree& operator=(TDynAvlTree&&) noexcept = default;
  TDynAvlTree(const TDynAvlTree&) = delete;
  TDynAvlTree& operator=(const TDynAvlTree&) = delete;
  ~TDynAvlTree() = default;

  // The entry named `name`, or nullptr. Valid until the next insert.
  TDynAvlEntry* find(std::u16string_view name);
  const TDynAvlEntry* find(std::u16string_view name) const;
  // The entry named `name`, made (with an empty value) when absent; an existing entry keeps
  // its place and its value. Valid until the next insert.
  TDynAvlEntry& insert(std::u16string name);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(size_t n) { entries_.reserve(n); }
  // The entries in the order they were made, and the position of the root (-1 when empty).
  const std::vector<TDynAvlEntry>& entries() const { return entries_; }
  int32_t root() const { return root_; }

  // Calls fn(const TDynAvlEntry&) for every entry in table order.
  template <typename Fn>
  void for_each(Fn&& fn) const {
    walk(root_, fn);
  }

 private:
  template <typename Fn>
  void walk(int32_t node, Fn& fn) const {
    // The tree is balanced, so this recursion is at most about 1.44 log2(size) deep.
    while (node >= 0) {
      const TDynAvlEntry& e = entries_[static_cast<size_t>(node)];
      walk(e.left, fn);
      fn(e);
      node = e.right;
    }
  }

  TDynAvlEntry& at(int32_t i) { return entries_[static_cast<size_t>(i)]; }
  int32_t height(int32_t i) const { return i < 0 ? 0 : entries_[static_cast<size_t>(i)].height; }
  void update(int32_t i);
  int32_t rotate_left(int32_t i);
  int32_t rotate_right(int32_t i);
  // Restores the balance of the subtree at `i`; returns its new root.
  int32_t rebalance(int32_t i);

  std::vector<TDynAvlEntry> entries_;
  int32_t root_ = -1;
};

using TDynTableString = TDynAvlTree;

}  // namespace appsrv::json
