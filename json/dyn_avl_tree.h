// The member table of a dynamic JSON object: an AVL tree keyed by name hash, then by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace appsrv::json {

class TDynObject;
using IDynObject = std::shared_ptr<TDynObject>;

// h := h * 129 + c + 0x9E370001 per UTF-16 code unit, modulo 2^32; "" hashes to 0.
uint32_t Hash(std::u16string_view name);

// One member. The hash is computed once, when the entry is made.
struct TDynAvlEntry {
  TDynAvlEntry(std::u16string name, uint32_t hash) : FName(std::move(name)), FHash(hash) {}

  std::u16string FName;
  uint32_t FHash;
  IDynObject FPtr;  // may be empty: the member is then written as null

  std::unique_ptr<TDynAvlEntry> left;
  std::unique_ptr<TDynAvlEntry> right;
  int height = 1;
};

// Entries in descending hash order, equal hashes in ascending name order (code unit by code
// unit). A name occurs once; lookups compare names only on equal hashes. Owns its entries.
class TDynAvlTree {
 public:
  TDynAvlTree() = default;
  TDynAvlTree(TDynAvlTree&&) noexcept = default;
  TDynAvlTree& operator=(TDynAvlTree&&) noexcept = default;
  TDynAvlTree(const TDynAvlTree&) = delete;
  TDynAvlTree& operator=(const TDynAvlTree&) = delete;
  ~TDynAvlTree() = default;

  // The entry named `name`, or nullptr.
  TDynAvlEntry* find(std::u16string_view name) const;
  // The entry named `name`, made (with an empty value) when absent; an existing entry keeps
  // its place and its value.
  TDynAvlEntry& insert(std::u16string name);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const TDynAvlEntry* root() const { return root_.get(); }

  // Calls fn(const TDynAvlEntry&) for every entry in table order.
  template <typename Fn>
  void for_each(Fn&& fn) const {
    walk(root_.get(), fn);
  }

 private:
  template <typename Fn>
  static void walk(const TDynAvlEntry* node, Fn& fn) {
    // The tree is balanced, so this recursion is at most about 1.44 log2(size) deep.
    while (node != nullptr) {
      walk(node->left.get(), fn);
      fn(*node);
      node = node->right.get();
    }
  }

  std::unique_ptr<TDynAvlEntry> root_;
  size_t size_ = 0;
};

using TDynTableString = TDynAvlTree;

}  // namespace appsrv::json
