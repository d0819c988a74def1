// Version blocks in the 16-bit VERSIONINFO layout. Every node is
//   WORD wLength (the node with its children), WORD wValueLength (bytes),
//   the key and its NUL, the value, the children,
// with the value and every child starting on a four-byte boundary.
#include "VersionBlock.h"

#include <algorithm>

#include "../Characters.h"

namespace platform {

namespace {

struct Node {
  std::string key;
  std::string value;
  std::vector<Node> children;
};

void Align(std::string& out) {
  while (out.size() % 4 != 0) out.push_back('\0');
}

void Put16(std::string& out, size_t at, size_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void Append32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// False when the node or its value does not fit the 16-bit lengths.
bool Serialize(const Node& n, std::string& out) {
  out.assign(4, '\0');
  out += n.key;
  out += '\0';
  Align(out);
  out += n.value;
  for (const Node& c : n.children) {
    std::string child;
    if (!Serialize(c, child)) return false;
    Align(out);
    out += child;
  }
  if (out.size() > 0xFFFF || n.value.size() > 0xFFFF) return false;
  Put16(out, 0, out.size());
  Put16(out, 2, n.value.size());
  return true;
}

std::string FixedFileInfo(const uint16_t (&v)[4]) {
  const uint32_t ms = (uint32_t{v[0]} << 16) | v[1];
  const uint32_t ls = (uint32_t{v[2]} << 16) | v[3];
  std::string out;
  Append32(out, 0xFEEF04BD);  // signature
  Append32(out, 0x00010000);  // structure version
  Append32(out, ms);          // file version
  Append32(out, ls);
  Append32(out, ms);  // product version
  Append32(out, ls);
  Append32(out, 0x3F);        // flags mask
  Append32(out, 0);           // flags
  Append32(out, 0x00040004);  // VOS_NT_WINDOWS32
  Append32(out, 1);           // VFT_APP
  Append32(out, 0);           // subtype
  Append32(out, 0);           // date
  Append32(out, 0);
  return out;
}

uint16_t Get16(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

size_t Aligned(size_t offset) { return (offset + 3) & ~size_t{3}; }

struct NodeView {
  size_t end = 0;  // one past the node, its children included
  std::string_view key;
  size_t value = 0;
  size_t valueLength = 0;
  size_t children = 0;
};

// Reads the node at `at`, which must lie wholly before `limit`.
bool ReadNode(const std::vector<unsigned char>& b, size_t at, size_t limit, NodeView& v) {
  if (at + 4 > limit) return false;
  const size_t length = Get16(b, at);
  v.valueLength = Get16(b, at + 2);
  if (length < 5 || at + length > limit) return false;
  v.end = at + length;
  size_t nul = at + 4;
  while (nul < v.end && b[nul] != 0) ++nul;
  if (nul == v.end) return false;
  v.key = std::string_view(reinterpret_cast<const char*>(b.data()) + at + 4, nul - (at + 4));
  v.value = Aligned(nul + 1);
  if (v.valueLength > 0 && v.value + v.valueLength > v.end) return false;
  v.children = Aligned(v.value + v.valueLength);
  return true;
}

bool FindChild(const std::vector<unsigned char>& b, const NodeView& parent, std::string_view key,
               NodeView& found) {
  for (size_t at = parent.children; at + 4 <= parent.end;) {
    NodeView child;
    if (!ReadNode(b, at, parent.end, child)) return false;
    if (SameIgnoringAsciiCase(child.key, key)) {
      found = child;
      return true;
    }
    at = Aligned(child.end);
  }
  return false;
}

}  // namespace

std::vector<unsigned char> BuildVersionBlock(const VersionBlockContents& contents) {
  Node root{"VS_VERSION_INFO", FixedFileInfo(contents.fileVersion), {}};
  if (!contents.tables.empty()) {
    Node info{"StringFileInfo", "", {}};
    for (const VersionStringTable& table : contents.tables) {
      Node t{table.name, "", {}};
      for (const auto& [key, value] : table.strings) t.children.push_back({key, value + '\0', {}});
      info.children.push_back(std::move(t));
    }
    root.children.push_back(std::move(info));
  }
  if (!contents.translations.empty()) {
    std::string entries;
    for (const uint32_t t : contents.translations) Append32(entries, t);
    root.children.push_back({"VarFileInfo", "", {{"Translation", entries, {}}}});
  }
  std::string bytes;
  if (!Serialize(root, bytes)) return {};
  Align(bytes);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

bool QueryVersionBlock(const std::vector<unsigned char>& block, std::string_view subBlock,
                       const void*& value, uint32_t& len) {
  value = nullptr;
  len = 0;
  NodeView node;
  if (!ReadNode(block, 0, block.size(), node)) return false;
  while (!subBlock.empty()) {
    const size_t slash = subBlock.find('\\');
    const std::string_view key = subBlock.substr(0, slash);
    subBlock = slash == std::string_view::npos ? std::string_view() : subBlock.substr(slash + 1);
    if (key.empty()) continue;
    if (!FindChild(block, node, key, node)) return false;
  }
  // A value of length 0 may have no bytes in the block at all.
  value = block.data() + std::min(node.value, block.size());
  len = static_cast<uint32_t>(node.valueLength);
  return true;
}

void ParseVersionNumbers(std::string_view text, uint16_t (&numbers)[4]) {
  for (uint16_t& n : numbers) {
    const size_t dot = text.find('.');
    const std::string_view field = text.substr(0, dot);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    uint32_t v = 0;
    for (const char c : field) {
      if (c < '0' || c > '9') {
        v = 0;
        break;
      }
      v = v * 10 + static_cast<uint32_t>(c - '0');
      if (v > 0xFFFF) v = 0xFFFF;
    }
    n = static_cast<uint16_t>(v);
  }
}

}  // namespace platform
