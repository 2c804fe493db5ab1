#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

#include "StoredNames.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"
#include "efs/FileNameKey.h"
#include "efs/btree/BTreeNode.h"

using efs::fileHash;
using efs::FileNameKey;

TEST(FileHash, KnownValues) {
    EXPECT_EQ(static_cast<uint32_t>(fileHash("abc")), 0x81764D31u);
    EXPECT_EQ(static_cast<uint32_t>(fileHash("desc.xml")), 0x0605CA63u);
    EXPECT_EQ(static_cast<uint32_t>(fileHash("")), 0xBD49D10Du);
    EXPECT_EQ(fileHash(nullptr), 0);
}

TEST(FileHash, BytesAreSignedAndEveryTailLengthCounts) {
    // 0xE9 must add 0xFFFFFFE9, so it differs from a byte taken unsigned would give;
    // the tails of length 1 and 2 and the full groups of 3 all change the hash.
    std::set<int32_t> seen;
    const char* names[] = {"a", "ab", "abc", "abcd", "abcde", "\xE9", "\xE9\xE9", "caf\xE9"};
    for (const char* n : names) seen.insert(fileHash(n));
    EXPECT_EQ(seen.size(), std::size(names));
}

// Values from a second implementation: a byte of 0x80 or more is added sign-extended, and
// a tail of one or two bytes goes into a (and b) after the length went into c.
TEST(FileHash, FixedValuesForHighBytesAndEveryLengthModuloThree) {
    for (const storednames::StoredName& n : storednames::table()) {
        EXPECT_EQ(static_cast<uint32_t>(fileHash(n.name.constData())), n.hash)
            << n.name.toHex().toStdString();
        EXPECT_EQ(static_cast<uint32_t>(FileNameKey::fromName(n.name.constData()).hash), n.hash);
    }
}

// A container written by an earlier build, never rewritten: every name is found through
// its hash, the listing is in key order (by the fixed hashes as signed numbers), and
// every file reads back whole, inline and in fragments alike.
TEST(StoredNames, AContainerWrittenEarlierListsAndReadsEveryFile) {
    std::vector<storednames::StoredName> expected = storednames::table();
    std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
        return static_cast<int32_t>(a.hash) < static_cast<int32_t>(b.hash);
    });
    EfsVolume v;
    ASSERT_TRUE(v.openVolumeReadOnly(STORED_NAMES_VX)) << v.lastError();
    QList<QByteArray> listed;
    v.listFiles(&listed);
    QList<QByteArray> names;
    for (const auto& n : expected) names << n.name;
    EXPECT_EQ(listed, names);
    int fragmented = 0;
    for (const auto& n : expected) {
        const int32_t h =
            v.openFile(n.name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        ASSERT_NE(h, 0) << n.name.toHex().toStdString() << " is not found by its name";
        EXPECT_EQ(v.fileSize(h), n.size) << n.name.toHex().toStdString();
        QByteArray bytes(n.size + 10, '\0');
        bytes.resize(v.readFile(h, bytes.data(), static_cast<int32_t>(bytes.size())));
        EXPECT_EQ(bytes, storednames::content(n)) << n.name.toHex().toStdString();
        v.closeFile(h);
        efs::FitRecord record;
        ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord(n.name.constData(), &record));
        if (record.fragmentsCount() >= 2) ++fragmented;
    }
    EXPECT_GE(fragmented, 2) << "the container keeps files in several fragments";
    const QStringList problems = v.check();
    EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
}

TEST(FileNameKey, LongNamesAreCutTo29Bytes) {
    const std::string longName(40, 'n');
    const FileNameKey a = FileNameKey::fromName(longName.c_str());
    const FileNameKey b = FileNameKey::fromName(longName.substr(0, 29).c_str());
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.text(), longName.substr(0, 29));
    EXPECT_EQ(a.hash, fileHash(longName.substr(0, 29).c_str()));
}

TEST(FileNameKey, EncodesThirtySixBytes) {
    const FileNameKey k = FileNameKey::fromName("desc.xml");
    uint8_t raw[36];
    std::memset(raw, 0xAA, sizeof raw);
    k.encode(raw);
    EXPECT_EQ(efs::decodeFixed32(raw), 0x0605CA63);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + 4)), "desc.xml");
    for (int i = 4 + 8; i < 36; ++i) EXPECT_EQ(raw[i], 0) << i;
    EXPECT_TRUE(FileNameKey::decode(raw) == k);
}

TEST(FileNameKey, OrdersByHashThenUnsignedName) {
    FileNameKey a, b;
    a.hash = -5;
    b.hash = 3;
    EXPECT_LT(FileNameKey::compare(a, b), 0) << "hash compares signed";
    a.hash = b.hash = 7;
    a.name[0] = 'z';
    b.name[0] = static_cast<char>(0xE9);
    EXPECT_LT(FileNameKey::compare(a, b), 0) << "name bytes compare unsigned";
    b = a;
    a.name[1] = 0;
    b.name[1] = 0;
    b.name[2] = 'x';  // after the terminating zero: not significant
    EXPECT_EQ(FileNameKey::compare(a, b), 0);
}

TEST(BTreeNodeLayout, OffsetsOfBothTrees) {
    using FreeNode = efs::BTreeNode<681, int>;
    using FileNode = efs::BTreeNode<185, FileNameKey>;
    EXPECT_EQ(FreeNode::kCountOffset, 8180);
    EXPECT_EQ(FreeNode::kParentOffset, 8184);
    EXPECT_EQ(FreeNode::kDirtyOffset, 8188);
    EXPECT_EQ(FreeNode::kRecordSize, 8189);
    EXPECT_EQ(FileNode::kCountOffset, 8148);
    EXPECT_EQ(FileNode::kParentOffset, 8152);
    EXPECT_EQ(FileNode::kDirtyOffset, 8156);
    EXPECT_EQ(FileNode::kRecordSize, 8157);
    FreeNode n;
    n.setSelf(9);
    n.putEntry(1, FreeNode::makeEntry(0x01020304, 0x0A0B0C0D, 0x11223344));
    EXPECT_EQ(n.bytes()[0], 9);
    EXPECT_EQ(n.bytes()[8 + 12], 0x04);
    EXPECT_EQ(n.bytes()[8 + 12 + 4], 0x0D);
    EXPECT_EQ(n.bytes()[8 + 12 + 8], 0x44);
    EXPECT_EQ(n.bytes()[8188], 1);
}
