#include "json/dyn_avl_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"

namespace appsrv::json {
namespace {

// Names whose hashes are equal; within such a group the table orders by name.
const std::u16string kCollideA = u"A\u00C2";  // (65+K)*129 + 194 + K
const std::u16string kCollideB = u"BA";       // (66+K)*129 + 65 + K: the same value
const std::u16string kPrefix = u"\u0464\uFFD0H";
const std::u16string kPrefixLonger = u"\u0464\uFFD0H\u007F";  // same hash as kPrefix

std::vector<std::u16string> walk(const TDynAvlTree& t) {
  std::vector<std::u16string> names;
  t.for_each([&](const TDynAvlEntry& e) { names.push_back(e.FName); });
  return names;
}

// Counted from the links, not taken from the entries' own heights.
int height(const TDynAvlTree& t, int32_t i) {
  if (i < 0) {
    return 0;
  }
  const TDynAvlEntry& e = t.entries()[static_cast<size_t>(i)];
  return 1 + std::max(height(t, e.left), height(t, e.right));
}

TEST(DynAvlTreeTest, HashFollowsTheMultiplyAndAddRule) {
  struct Case {
    std::u16string_view name;
    uint32_t want;
  };
  const Case cases[] = {
      {u"", 0},
      {u"A", 0x9E370042},  // 65 + 0x9E370001
      {u"a", 0x9E370062},
      {u"Result", 0x4CE9F885},
      {u"Info", 0x27705310},
      {u"XML", 0xED3BC0F4},
      {u"RecordCount", 0xC46EB973},
      {u"PageNo", 0x66D1BA40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(base::utf16_to_utf8(c.name));
    EXPECT_EQ(Hash(c.name), c.want);
  }
  EXPECT_EQ(Hash(kCollideA), Hash(kCollideB));
  EXPECT_EQ(Hash(kPrefix), Hash(kPrefixLonger));
}

TEST(DynAvlTreeTest, WalksByDescendingHashThenName) {
  struct Case {
    std::vector<std::u16string> stored;
    std::vector<std::u16string> want;
  };
  const Case cases[] = {
      {{u"Result", u"Info"}, {u"Result", u"Info"}},
      {{u"Info", u"Result"}, {u"Result", u"Info"}},
      {{u"RecordCount", u"PageNo", u"XML"}, {u"XML", u"RecordCount", u"PageNo"}},
      {{u"PageNo", u"XML", u"RecordCount"}, {u"XML", u"RecordCount", u"PageNo"}},
      {{kCollideB, kCollideA}, {kCollideA, kCollideB}},
      {{kPrefixLonger, kPrefix}, {kPrefix, kPrefixLonger}},
      {{u"", u"A", u"a"}, {u"a", u"A", u""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(base::utf16_to_utf8(c.stored[0]));
    TDynAvlTree t;
    for (const std::u16string& name : c.stored) {
      t.insert(name);
    }
    EXPECT_EQ(walk(t), c.want);
  }
}

TEST(DynAvlTreeTest, InsertingAnExistingNameKeepsItsEntry) {
  TDynAvlTree t;
  TDynAvlEntry& first = t.insert(u"A");
  first.FPtr = nullptr;
  TDynAvlEntry& again = t.insert(u"A");
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.find(u"A"), &first);
  EXPECT_EQ(t.find(u"a"), nullptr);
  EXPECT_EQ(t.find(kCollideA), nullptr);
}

TEST(DynAvlTreeTest, StaysBalancedAndOrderedWhateverTheInsertionOrder) {
  std::mt19937 rng(7);
  std::vector<std::u16string> names;
  for (int i = 0; i < 3000; ++i) {
    names.push_back(base::utf8_to_utf16(std::string("m").append(std::to_string(i))));
  }
  names.push_back(kCollideA);
  names.push_back(kCollideB);
  std::vector<std::u16string> want = names;
  std::sort(want.begin(), want.end(), [](const std::u16string& a, const std::u16string& b) {
    const uint32_t ha = Hash(a);
    const uint32_t hb = Hash(b);
    return ha != hb ? ha > hb : a < b;
  });
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::shuffle(names.begin(), names.end(), rng);
    TDynAvlTree t;
    for (const std::u16string& name : names) {
      t.insert(name);
    }
    EXPECT_EQ(t.size(), names.size());
    EXPECT_EQ(walk(t), want);
    EXPECT_LE(height(t, t.root()), 1.45 * std::log2(static_cast<double>(names.size()) + 2));
    for (const std::u16string& name : names) {
      ASSERT_NE(t.find(name), nullptr);
      EXPECT_EQ(t.find(name)->FName, name);
    }
  }
  // Ascending hashes are the worst case for an unbalanced tree.
  TDynAvlTree sorted;
  for (auto it = want.rbegin(); it != want.rend(); ++it) {
    sorted.insert(*it);
  }
  EXPECT_EQ(walk(sorted), want);
  EXPECT_LE(height(sorted, sorted.root()), 1.45 * std::log2(static_cast<double>(want.size()) + 2));
}

}  // namespace
}  // namespace appsrv::json
