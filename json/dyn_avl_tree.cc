#include "json/dyn_avl_tree.h"

#include <algorithm>
#include <utility>

namespace appsrv::json {

namespace {

constexpr size_t kMaxHeight = 64;  // an AVL tree of 2^31 entries is under 45 levels high

// <0 when (hash, name) sorts before the entry, >0 after, 0 on the same name.
int compare(uint32_t hash, std::u16string_view name, const TDynAvlEntry& e) {
  if (hash != e.FHash) {
    return hash > e.FHash ? -1 : 1;
  }
  const int c = name.compare(e.FName);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

uint32_t Hash(std::u16string_view name) {
  uint32_t h = 0;
  for (const char16_t c : name) {
    h = h * 129u + c + 0x9E370001u;
  }
  return h;
}

const TDynAvlEntry* TDynAvlTree::find(std::u16string_view name) const {
  const uint32_t hash = Hash(name);
  int32_t node = root_;
  while (node >= 0) {
    const TDynAvlEntry& e = entries_[static_cast<size_t>(node)];
    const int c = compare(hash, name, e);
    if (c == 0) {
      return &e;
    }
    node = c < 0 ? e.left : e.right;
  }
  return nullptr;
}

TDynAvlEntry* TDynAvlTree::find(std::u16string_view name) {
  return const_cast<TDynAvlEntry*>(std::as_const(*this).find(name));
}

void TDynAvlTree::update(int32_t i) {
  TDynAvlEntry& e = at(i);
  e.height = 1 + std::max(height(e.left), height(e.right));
}

int32_t TDynAvlTree::rotate_right(int32_t i) {
  const int32_t l = at(i).left;
  at(i).left = at(l).right;
  update(i);
  at(l).right = i;
  update(l);
  return l;
}

int32_t TDynAvlTree::rotate_left(int32_t i) {
  const int32_t r = at(i).right;
  at(i).right = at(r).left;
  update(i);
  at(r).left = i;
  update(r);
  return r;
}

int32_t TDynAvlTree::rebalance(int32_t i) {
  update(i);
  const int32_t balance = height(at(i).left) - height(at(i).right);
  if (balance > 1) {
    const int32_t l = at(i).left;
    if (height(at(l).left) < height(at(l).right)) {
      at(i).left = rotate_left(l);
    }
    return rotate_right(i);
  }
  if (balance < -1) {
    const int32_t r = at(i).right;
    if (height(at(r).right) < height(at(r).left)) {
      at(i).right = rotate_right(r);
    }
    return rotate_left(i);
  }
  return i;
}

TDynAvlEntry& TDynAvlTree::insert(std::u16string name) {
  const uint32_t hash = Hash(name);
  // Walk down, remembering the path, then rebalance on the way back up.
  int32_t path[kMaxHeight];
  bool went_left[kMaxHeight];
  size_t depth = 0;
  int32_t node = root_;
  while (node >= 0) {
    const TDynAvlEntry& e = at(node);
    const int c = compare(hash, name, e);
    if (c == 0) {
      return at(node);
    }
    path[depth] = node;
    went_left[depth] = c < 0;
    ++depth;
    node = c < 0 ? e.left : e.right;
  }
  const auto made = static_cast<int32_t>(entries_.size());
  entries_.emplace_back(std::move(name), hash);
  // Hangs `child` where the walk left the node at `level` (the root when level is 0).
  const auto link = [&](size_t level, int32_t child) {
    if (level == 0) {
      root_ = child;
    } else if (went_left[level - 1]) {
      at(path[level - 1]).left = child;
    } else {
      at(path[level - 1]).right = child;
    }
  };
  link(depth, made);
  while (depth > 0) {
    --depth;
    const int32_t n = path[depth];
    const int32_t before = at(n).height;
    const int32_t top = rebalance(n);
    if (top != n) {
      link(depth, top);
    }
    if (at(top).height == before) {
      break;
    }
  }
  return at(made);
}

}  // namespace appsrv::json
