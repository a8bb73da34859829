// The rules of the Mac file-system readers that whole images reach only by chance: the HFS+ case folding and
// name orders, HFS names and their order, and the B-tree node checks that keep damaged nodes out.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

#include "filesystems/hfs.h"
#include "filesystems/hfs_btree.h"
#include "filesystems/hfs_tables.h"
#include "filesystems/hfsplus.h"
#include "runtime/byte_reader.h"

namespace {

TEST(HfsPlusNames, FoldingFollowsThePublishedTable) {
  struct Case {
    uint16_t unit, folded;
  } cases[] = {
      {u'A', u'a'},     {u'Z', u'z'},     {u'a', u'a'},     {0x00C6, 0x00E6},  // Æ has no decomposition: it folds
      {0x00C9, 0x00C9},                                                        // É decomposes: stored as E + accent
      {0x0000, 0xFFFF}, {0x0391, 0x03B1}, {0x0419, 0x0419}, {0x0410, 0x0430}, {0x0531, 0x0561},
      {0x200C, 0},      {0xFEFF, 0},      {0xFF21, 0xFF41}, {0x2160, 0x2170}, {0x4E00, 0x4E00},
  };
  for (const Case& c : cases) EXPECT_EQ(HfsPlusFoldUnit(c.unit), c.folded) << std::hex << c.unit;
  EXPECT_EQ(HfsPlusFoldTable()[0], 0x100) << "page 0 follows the 256 page indexes";
}

int Folded(const std::u16string& a, const std::u16string& b) {
  return HfsPlusCompareNamesFolded(reinterpret_cast<const uint16_t*>(a.data()), a.size(),
                                   reinterpret_cast<const uint16_t*>(b.data()), b.size());
}
int Binary(const std::u16string& a, const std::u16string& b) {
  return HfsPlusCompareNamesBinary(reinterpret_cast<const uint16_t*>(a.data()), a.size(),
                                   reinterpret_cast<const uint16_t*>(b.data()), b.size());
}

TEST(HfsPlusNames, FoldedAndBinaryOrders) {
  EXPECT_EQ(Folded(u"README", u"readme"), 0);
  EXPECT_EQ(Folded(u"a\u200Cb", u"ab"), 0) << "ignorable units are skipped";
  EXPECT_LT(Folded(u"ab", u"abc"), 0) << "the name that ends first sorts first";
  EXPECT_LT(Folded(u"B", u"c"), 0);
  EXPECT_GT(Folded(std::u16string(u"\0x", 2), u"zz"), 0) << "a NUL unit sorts after every letter";
  EXPECT_LT(Binary(u"A", u"a"), 0);
  EXPECT_NE(Binary(u"README", u"readme"), 0);
  EXPECT_LT(Binary(u"ab", u"abc"), 0);
}

TEST(HfsNames, MacRomanMatchesIconv) {
  iconv_t cd = iconv_open("UTF-32LE", "MACINTOSH");
  if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "iconv has no MACINTOSH table";
  for (int byte = 0x20; byte < 0x100; ++byte) {
    // iconv's table puts Greek capital delta at 0xC6 (Apple: INCREMENT U+2206) and a private character of its
    // own at 0xF0 (Apple: U+F8FF).
    if (byte == 0x7F || byte == 0xC6 || byte == 0xF0) continue;
    char in = static_cast<char>(byte);
    char32_t out = 0;
    char* pin = &in;
    char* pout = reinterpret_cast<char*>(&out);
    size_t inLeft = 1, outLeft = 4;
    ASSERT_NE(iconv(cd, &pin, &inLeft, &pout, &outLeft), static_cast<size_t>(-1)) << byte;
    EXPECT_EQ(MacRomanToUnicode(static_cast<uint8_t>(byte)), out) << std::hex << byte;
  }
  iconv_close(cd);
  EXPECT_EQ(MacRomanToUnicode(0xC6), U'\u2206');
  EXPECT_EQ(MacRomanToUnicode(0xF0), U'\uF8FF');
}

TEST(HfsNames, DecodeAndOrder) {
  struct Case {
    std::string bytes;
    std::wstring shown;
  } cases[] = {
      {"a/b", L"a:b"},
      {"Icon\r", L"Icon"},
      {"Caf\x8E", L"Caf\u00E9"},
      {std::string(40, 'x'), std::wstring(31, L'x')},  // names hold at most 31 bytes
  };
  for (const Case& c : cases)
    EXPECT_EQ(HfsDecodeName(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.shown) << c.bytes;
  auto order = [](const std::string& a, const std::string& b) {
    return HfsCompareNames(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                           reinterpret_cast<const uint8_t*>(b.data()), b.size());
  };
  EXPECT_EQ(order("Read Me", "READ ME"), 0);
  EXPECT_LT(order("abc", "abcd"), 0);
  EXPECT_LT(order("a", "B"), 0);
  EXPECT_NE(order("e", "\x8E"), 0) << "accented letters keep their own weight";
}

// A tree whose nodes come from a table in memory.
struct MemoryTree {
  CHfsBTree tree{};
  std::vector<std::vector<uint8_t>> nodes;

  static int Read(CHfsBTree* tree, uint32_t number, uint8_t* out) {
    auto* self = static_cast<MemoryTree*>(tree->volume);
    if (number >= self->nodes.size()) return 0;
    std::memcpy(out, self->nodes[number].data(), tree->nodeSize);
    return 1;
  }
  static int Compare(const CHfsBTree*, std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const uint32_t x = LoadU32BE(a.data() + 2), y = LoadU32BE(b.data() + 2);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  MemoryTree() {
    tree.volume = this;
    tree.readNode = Read;
    tree.compare = Compare;
    tree.nodeSize = 512;
    tree.nodeSizeBits = 9;
    tree.depth = 2;
    tree.rootNode = 1;
    tree.totalNodes = 3;
  }
};

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A node with records of a 6-byte key (length 4, a 32-bit id) and `dataBytes` bytes of data each.
std::vector<uint8_t> MakeNode(int8_t kind, uint8_t height, std::vector<uint32_t> ids, size_t dataBytes,
                              std::vector<uint32_t> children = {}) {
  std::vector<uint8_t> node(512, 0);
  node[8] = static_cast<uint8_t>(kind);
  node[9] = height;
  Put16(node, 10, static_cast<uint32_t>(ids.size()));
  size_t at = 14;
  for (size_t i = 0; i < ids.size(); ++i) {
    Put16(node, 512 - 2 * (i + 1), static_cast<uint32_t>(at));
    Put16(node, at, 4);
    Put32(node, at + 2, ids[i]);
    if (kind == kHfsNodeIndex) Put32(node, at + 6, children[i]);
    at += 6 + dataBytes;
  }
  Put16(node, 512 - 2 * (ids.size() + 1), static_cast<uint32_t>(at));
  return node;
}

TEST(HfsBTree, SearchDescendsOneLevelAtATime) {
  MemoryTree m;
  m.nodes = {std::vector<uint8_t>(512), MakeNode(kHfsNodeIndex, 2, {10}, 4, {2}),
             MakeNode(kHfsNodeLeaf, 1, {10, 20, 30}, 4)};
  auto key = [](uint32_t id) {
    std::vector<uint8_t> k(6);
    Put16(k, 0, 4);
    Put32(k, 2, id);
    return k;
  };
  CHfsRecordRef ref{};
  EXPECT_EQ(HfsBTreeFind(&m.tree, key(20), &ref), 1);
  EXPECT_EQ(ref.node, 2u);
  EXPECT_EQ(ref.index, 1);
  EXPECT_EQ(HfsBTreeFind(&m.tree, key(25), &ref), 0);
  EXPECT_EQ(ref.index, 1) << "the nearest smaller record";
  EXPECT_EQ(HfsBTreeFind(&m.tree, key(5), &ref), 0);
  EXPECT_EQ(ref.index, -1);
  uint32_t steps = 0;
  ref.index = 2;
  EXPECT_EQ(HfsBTreeNext(&m.tree, &ref, &steps), 0) << "the last leaf has no forward link";

  // An index record that leads back to the index node: the height does not go down, the search fails.
  MemoryTree loop;
  loop.nodes = {std::vector<uint8_t>(512), MakeNode(kHfsNodeIndex, 2, {10}, 4, {1})};
  loop.tree.totalNodes = 2;
  EXPECT_EQ(HfsBTreeFind(&loop.tree, key(10), &ref), -1);

  // Leaves whose forward links form a ring end the walk once every node was entered.
  MemoryTree ring;
  ring.nodes = {std::vector<uint8_t>(512), MakeNode(kHfsNodeLeaf, 1, {1}, 4), MakeNode(kHfsNodeLeaf, 1, {2}, 4)};
  Put32(ring.nodes[1], 0, 2);
  Put32(ring.nodes[2], 0, 1);
  CHfsRecordRef at{1, 0};
  steps = 0;
  int moved = 0, walked = 0;
  while ((moved = HfsBTreeNext(&ring.tree, &at, &steps)) == 1) ++walked;
  EXPECT_EQ(moved, -1);
  EXPECT_LE(walked, 3);
}

TEST(HfsBTree, DamagedNodesAreRefused) {
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>&);
  } cases[] = {
      {"first record not at 14", [](std::vector<uint8_t>& n) { Put16(n, 510, 16); }},
      {"offsets not rising", [](std::vector<uint8_t>& n) { Put16(n, 508, 14); }},
      {"odd offset", [](std::vector<uint8_t>& n) { Put16(n, 508, 25); }},
      {"offset past the node", [](std::vector<uint8_t>& n) { Put16(n, 506, 900); }},
      {"offset table larger than the node", [](std::vector<uint8_t>& n) { Put16(n, 10, 300); }},
      {"leaf of height 2", [](std::vector<uint8_t>& n) { n[9] = 2; }},
      {"unknown kind", [](std::vector<uint8_t>& n) { n[8] = 7; }},
      {"key longer than its record", [](std::vector<uint8_t>& n) { Put16(n, 14, 40); }},
      {"odd key length", [](std::vector<uint8_t>& n) { Put16(n, 14, 3); }},
  };
  for (const Case& c : cases) {
    MemoryTree m;
    m.nodes = {std::vector<uint8_t>(512), MakeNode(kHfsNodeLeaf, 1, {1, 2}, 8)};
    m.tree.totalNodes = 2;
    ASSERT_NE(HfsBTreeGetNode(&m.tree, 1), nullptr) << "the sound node";
    MemoryTree bad;
    bad.nodes = m.nodes;
    bad.tree.totalNodes = 2;
    c.damage(bad.nodes[1]);
    EXPECT_EQ(HfsBTreeGetNode(&bad.tree, 1), nullptr) << c.what;
    EXPECT_EQ(HfsBTreeGetNode(&bad.tree, 1), nullptr) << c.what << ", asked again";
  }
  MemoryTree m;
  EXPECT_EQ(HfsBTreeGetNode(&m.tree, 3), nullptr) << "past the node count";
}

TEST(HfsBTree, HeaderChecks) {
  struct Case {
    uint32_t nodeSize, totalNodes, depth, root;
    uint64_t fileBytes;
    int accepted;
  } cases[] = {
      {4096, 10, 2, 3, 40960, 1},  {256, 10, 2, 3, 40960, 0},  {65536, 10, 2, 3, 1 << 20, 0},
      {3000, 10, 2, 3, 40960, 0},  {4096, 11, 2, 3, 40960, 0}, {4096, 10, 2, 10, 40960, 0},
      {4096, 10, 17, 3, 40960, 0}, {4096, 10, 0, 0, 40960, 1}, {4096, 0, 0, 0, 40960, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> node0(512, 0);
    Put16(node0, 14, c.depth);
    Put32(node0, 16, c.root);
    Put16(node0, 32, c.nodeSize);
    Put32(node0, 36, c.totalNodes);
    CHfsBTree tree{};
    EXPECT_EQ(HfsBTreeOpen(&tree, node0.data(), node0.size(), c.fileBytes), c.accepted)
        << c.nodeSize << " " << c.totalNodes << " " << c.depth << " " << c.root;
  }
}

}  // namespace
