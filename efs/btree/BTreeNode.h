// One node of an on-disk B-tree, kept in memory as the exact bytes it has on disk.
//
// K is the key width (4 for a block number, 36 for a FileNameKey), E = K + 8:
//
//   OFFSET           SIZE  DESCRIPTION
//        0              4  self: the block holding this node
//        4              4  child0: leftmost child; 0 means the node is a leaf
//        8 + E*i        K  key[i], i = 0 .. N-1
//        8 + E*i + K    4  value[i]
//        8 + E*i + K+4  4  child[i+1]: right child of key[i]; 0 in a leaf
//        8 + E*N        4  count: valid entries, 0 .. N
//       12 + E*N        4  parent block; 0 for the root
//       16 + E*N        1  dirty: 1 once the node was changed in memory, never cleared
//
// Free-space tree (N 681, int keys): 8189 bytes, count at 8180, parent 8184, dirty 8188.
// File table (N 185, FileNameKey): 8157 bytes, count at 8148, parent 8152, dirty 8156.
// A node fills the start of its block; the rest of the block is zero. Slots at count and
// above carry no meaning (removals leave stale bytes there).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "efs/Coding.h"
#include "efs/FileNameKey.h"

namespace efs {

template <class Key>
struct BTreeKeyTraits;

template <>
struct BTreeKeyTraits<int> {
    static constexpr int kWidth = 4;
    static void encode(uint8_t* dst, const int& k) { encodeFixed32(dst, k); }
    static int decode(const uint8_t* src) { return decodeFixed32(src); }
    static int compare(const int& a, const int& b) { return a < b ? -1 : (a > b ? 1 : 0); }
    // The same orders on the bytes of a node's key field, without decoding it.
    static int compareTo(const int& a, const uint8_t* b) { return compare(a, decodeFixed32(b)); }
    static int compareEncoded(const uint8_t* a, const uint8_t* b) {
        return compare(decodeFixed32(a), decodeFixed32(b));
    }
};

template <>
struct BTreeKeyTraits<FileNameKey> {
    static constexpr int kWidth = FileNameKey::kEncodedSize;
    static void encode(uint8_t* dst, const FileNameKey& k) { k.encode(dst); }
    static FileNameKey decode(const uint8_t* src) { return FileNameKey::decode(src); }
    static int compare(const FileNameKey& a, const FileNameKey& b) {
        return FileNameKey::compare(a, b);
    }
    static int compareTo(const FileNameKey& a, const uint8_t* b) {
        return FileNameKey::compareEncoded(a.hash, reinterpret_cast<const uint8_t*>(a.name.data()),
                                           b);
    }
    static int compareEncoded(const uint8_t* a, const uint8_t* b) {
        return FileNameKey::compareEncoded(decodeFixed32(a), a + 4, b);
    }
};

template <int N, class Key>
class BTreeNode {
  public:
    using Traits = BTreeKeyTraits<Key>;
    static constexpr int kKeyWidth = Traits::kWidth;
    static constexpr int kEntryWidth = kKeyWidth + 8;
    static constexpr int kCountOffset = 8 + kEntryWidth * N;
    static constexpr int kParentOffset = kCountOffset + 4;
    static constexpr int kDirtyOffset = kCountOffset + 8;
    static constexpr int kRecordSize = kCountOffset + 9;

    // Raw entry: key bytes, value and right child, moved as one unit.
    struct Entry {
        std::array<uint8_t, kKeyWidth> key{};
        int32_t value = 0;
        int32_t child = 0;
    };

    BTreeNode() { m_bytes.fill(0); }
    // A node whose bytes are about to be read in whole: they are left as they are.
    struct Unfilled {};
    explicit BTreeNode(Unfilled) {}

    uint8_t* bytes() { return m_bytes.data(); }
    const uint8_t* bytes() const { return m_bytes.data(); }

    int32_t self() const { return get(0); }
    void setSelf(int32_t b) { set(0, b); }
    int32_t child0() const { return get(4); }
    void setChild0(int32_t b) {
        set(4, b);
        markDirty();
    }
    int32_t count() const { return get(kCountOffset); }
    void setCount(int32_t c) {
        set(kCountOffset, c);
        markDirty();
    }
    int32_t parent() const { return get(kParentOffset); }
    void setParent(int32_t b) {
        set(kParentOffset, b);
        markDirty();
    }
    uint8_t dirty() const { return m_bytes[kDirtyOffset]; }
    void markDirty() {
        m_bytes[kDirtyOffset] = 1;
        m_changed = true;
    }
    // Whether the bytes changed since the node was read or last written (kept in memory
    // only, unlike the dirty byte, which stays set on disk).
    bool changed() const { return m_changed; }
    void settle() { m_changed = false; }
    bool isLeaf() const { return child0() == 0; }

    Key key(int i) const { return Traits::decode(entry(i)); }
    const uint8_t* keyBytes(int i) const { return entry(i); }
    int32_t value(int i) const { return get(off(i) + kKeyWidth); }
    void setValue(int i, int32_t v) {
        set(off(i) + kKeyWidth, v);
        markDirty();
    }
    // Changes a value without marking the node dirty (the free-space tree's update).
    void setValueQuiet(int i, int32_t v) {
        set(off(i) + kKeyWidth, v);
        m_changed = true;
    }
    int32_t rightChild(int i) const { return get(off(i) + kKeyWidth + 4); }
    void setRightChild(int i, int32_t b) {
        set(off(i) + kKeyWidth + 4, b);
        markDirty();
    }
    // Child position p: 0 is child0, p >= 1 the right child of entry p-1.
    int32_t childAt(int p) const { return p == 0 ? child0() : rightChild(p - 1); }

    Entry entryAt(int i) const {
        Entry e;
        std::memcpy(e.key.data(), entry(i), kKeyWidth);
        e.value = value(i);
        e.child = rightChild(i);
        return e;
    }
    void putEntry(int i, const Entry& e) {
        std::memcpy(entry(i), e.key.data(), kKeyWidth);
        set(off(i) + kKeyWidth, e.value);
        set(off(i) + kKeyWidth + 4, e.child);
        markDirty();
    }
    // Replaces key and value of slot i, keeping its right child.
    void setKeyValue(int i, const uint8_t* keyBytes, int32_t v) {
        std::memcpy(entry(i), keyBytes, kKeyWidth);
        set(off(i) + kKeyWidth, v);
        markDirty();
    }
    // Moves entries [from, count) by delta slots (+1 or -1), whole.
    void shiftEntries(int from, int to, int n) {
        if (n > 0) std::memmove(entry(to), entry(from), static_cast<size_t>(n) * kEntryWidth);
    }

    static Entry makeEntry(const Key& k, int32_t v, int32_t child = 0) {
        Entry e;
        Traits::encode(e.key.data(), k);
        e.value = v;
        e.child = child;
        return e;
    }

  private:
    static constexpr int off(int i) { return 8 + kEntryWidth * i; }
    uint8_t* entry(int i) { return m_bytes.data() + off(i); }
    const uint8_t* entry(int i) const { return m_bytes.data() + off(i); }
    int32_t get(int o) const { return decodeFixed32(m_bytes.data() + o); }
    void set(int o, int32_t v) { encodeFixed32(m_bytes.data() + o, v); }

    std::array<uint8_t, kRecordSize> m_bytes;
    bool m_changed = false;
};

// What a tree needs of the volume that holds its nodes. Implemented by EfsVolume; all
// calls happen under the volume's lock.
class BTreeNodeStore {
  public:
    virtual ~BTreeNodeStore() = default;
    // Reads/writes the first length bytes of block b (b >= 1, inside the host file);
    // writes zero the rest of the block.
    virtual bool readNodeBlock(int32_t b, uint8_t* dst, int32_t length) = 0;
    // Whether the node in block b passed the checks of the tree whose root slot is tree
    // since the block was last written, so that reading it again for that tree needs no
    // new check; a store that keeps no such record says no. The checks of one tree say
    // nothing for the other, whose nodes have another layout: a damaged volume may name
    // one block in both.
    virtual bool nodeChecked(int32_t /*b*/, int32_t /*tree*/) const { return false; }
    virtual void setNodeChecked(int32_t /*b*/, int32_t /*tree*/) {}
    // Told when the tree whose root slot is tree refuses block b as a node: it lies outside
    // the host file or fails the checks of a node; a store may keep that as the reason.
    virtual void nodeRefused(int32_t /*b*/, int32_t /*tree*/) {}
    virtual bool writeNodeBlock(int32_t b, const uint8_t* src, int32_t length) = 0;
    // The 4-byte root slot at a byte offset of the host file (bypasses the block layer).
    virtual bool readRootSlot(int32_t offset, int32_t* value) = 0;
    virtual bool writeRootSlot(int32_t offset, int32_t value) = 0;
    // Takes count contiguous blocks for a node; 0 when there is no space.
    virtual int32_t allocateNodeBlocks(int32_t count) = 0;
    virtual void releaseNodeBlocks(int32_t first, int32_t count) = 0;
    // Number of whole blocks in the host file: every valid block number is below it.
    virtual int64_t blockLimit() const = 0;
};

}  // namespace efs
