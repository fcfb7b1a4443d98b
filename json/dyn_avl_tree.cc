#include "json/dyn_avl_tree.h"

#include <algorithm>

namespace appsrv::json {

namespace {

using Node = std::unique_ptr<TDynAvlEntry>;

constexpr size_t kMaxHeight = 96;  // an AVL tree of 2^64 entries is under 93 levels high

int height(const Node& n) { return n ? n->height : 0; }

void update(TDynAvlEntry& n) { n.height = 1 + std::max(height(n.left), height(n.right)); }

// <0 when (hash, name) sorts before the entry, >0 after, 0 on the same name.
int compare(uint32_t hash, std::u16string_view name, const TDynAvlEntry& e) {
  if (hash != e.FHash) {
    return hash > e.FHash ? -1 : 1;
  }
  const int c = name.compare(e.FName);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void rotate_right(Node& n) {
  Node l = std::move(n->left);
  n->left = std::move(l->right);
  update(*n);
  l->right = std::move(n);
  update(*l);
  n = std::move(l);
}

void rotate_left(Node& n) {
  Node r = std::move(n->right);
  n->right = std::move(r->left);
  update(*n);
  r->left = std::move(n);
  update(*r);
  n = std::move(r);
}

void rebalance(Node& n) {
  update(*n);
  const int balance = height(n->left) - height(n->right);
  if (balance > 1) {
    if (height(n->left->left) < height(n->left->right)) {
      rotate_left(n->left);
    }
    rotate_right(n);
  } else if (balance < -1) {
    if (height(n->right->right) < height(n->right->left)) {
      rotate_right(n->right);
    }
    rotate_left(n);
  }
}

}  // namespace

uint32_t Hash(std::u16string_view name) {
  uint32_t h = 0;
  for (const char16_t c : name) {
    h = h * 129u + c + 0x9E370001u;
  }
  return h;
}

TDynAvlEntry* TDynAvlTree::find(std::u16string_view name) const {
  const uint32_t hash = Hash(name);
  TDynAvlEntry* node = root_.get();
  while (node != nullptr) {
    const int c = compare(hash, name, *node);
    if (c == 0) {
      return node;
    }
    node = c < 0 ? node->left.get() : node->right.get();
  }
  return nullptr;
}

TDynAvlEntry& TDynAvlTree::insert(std::u16string name) {
  const uint32_t hash = Hash(name);
  // Walk down iteratively, remembering the links taken, then rebalance on the way back up.
  Node* path[kMaxHeight];
  size_t depth = 0;
  Node* link = &root_;
  while (*link) {
    const int c = compare(hash, name, **link);
    if (c == 0) {
      return **link;
    }
    path[depth++] = link;
    link = c < 0 ? &(*link)->left : &(*link)->right;
  }
  *link = std::make_unique<TDynAvlEntry>(std::move(name), hash);
  TDynAvlEntry* made = link->get();
  ++size_;
  while (depth > 0) {
    Node& n = *path[--depth];
    const int before = n->height;
    rebalance(n);
    if (n->height == before) {
      break;
    }
  }
  return *made;
}

}  // namespace appsrv::json
