// Damaged containers: truncated at every block boundary and inside the header, random
// bytes, single bytes changed in the header, in both trees' nodes, in records and their
// fragment tables, records whose fitSize or fragments point outside the file, and trees
// whose child links loop. Opening read-only, listing, reading every file, checking and
// closing must give an error code or a list of problems, never crash, hang or allocate
// without bound, and must leave the file byte-identical.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <functional>
#include <iostream>
#include <random>
#include <string>

#include "Guard.h"
#include "efs/Coding.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"
#include "efs/btree/BTreeNode.h"

using namespace reliability;

namespace {

bool longTests() { return qEnvironmentVariableIntValue("VOXTRAIL_LONG_TESTS") == 1; }

QString folder() {
    QString base = qEnvironmentVariable("VOXTRAIL_TEST_TMP");
    if (base.isEmpty()) base = QDir::tempPath();
    return base;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void putBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

int32_t get32(const QByteArray& b, int64_t at) {
    return efs::decodeFixed32(reinterpret_cast<const uint8_t*>(b.constData()) + at);
}
void set32(QByteArray* b, int64_t at, int32_t v) {
    efs::encodeFixed32(reinterpret_cast<uint8_t*>(b->data()) + at, v);
}

// A container whose file table has inner nodes (more than 185 names), whose free-space
// tree has inner nodes (more than 681 free runs), with inline, fragmented and multi-block
// records. Built once.
struct Sample {
    QByteArray bytes;
    std::vector<int32_t> fileNodes, freeNodes;  // every node block of each tree
    std::vector<int32_t> records;               // record blocks
    int32_t fragmentedRecord = 0;               // a record with several fragments
    int32_t fileRoot = 0, freeRoot = 0;
};

template <int N, class Key>
void collectNodes(const QByteArray& bytes, int32_t b, std::vector<int32_t>* out, int depth = 0) {
    using Node = efs::BTreeNode<N, Key>;
    if (depth > 10 || b <= 0 || static_cast<int64_t>(b + 1) * efs::kBlockSize > bytes.size())
        return;
    out->push_back(b);
    Node node;
    std::memcpy(node.bytes(), bytes.constData() + static_cast<int64_t>(b) * efs::kBlockSize,
                Node::kRecordSize);
    if (node.isLeaf()) return;
    for (int p = 0; p <= node.count(); ++p)
        collectNodes<N, Key>(bytes, node.childAt(p), out, depth + 1);
}

const Sample& sample() {
    static Sample s = [] {
        Sample out;
        const QString path = folder() + "/bad_input_sample.vx";
        QFile::remove(path);
        EfsVolume v;
        EXPECT_TRUE(v.openVolume(path));
        v.setGrowthStep(64 * efs::kBlockSize);
        std::mt19937 rng(5);
        auto store = [&](const std::string& name, int size) {
            const int32_t h =
                v.openFile(name.c_str(), EfsVolume::AccessWrite, EfsVolume::CreateAlways);
            QByteArray d(size, '\0');
            for (char& c : d) c = static_cast<char>(rng());
            if (size > 0) v.writeFile(h, d.constData(), size);
            v.closeFile(h);
        };
        // 1500 one-block records, every other one removed afterwards: ~750 free runs.
        for (int i = 0; i < 1500; ++i) store("n" + std::to_string(i), 10 + i % 50);
        for (int i = 0; i < 1500; ++i) {
            // Records on even blocks go: the free space becomes many one-block runs.
            const std::string name = "n" + std::to_string(i);
            efs::FitRecord r;
            if (EfsVolumeProbe(v).loadStoredRecord(name.c_str(), &r) && r.addr() % 2 == 0)
                v.removeFile(name.c_str());
        }
        store("big.snd", 5 * efs::kBlockSize + 3);
        // Two files written in turns: fragments.
        const int32_t a = v.openFile("frag_a.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        const int32_t b = v.openFile("frag_b.snd", EfsVolume::AccessWrite, EfsVolume::CreateNew);
        QByteArray block(efs::kBlockSize, 'q');
        for (int i = 0; i < 6; ++i) {
            v.writeFile(a, block.constData(), block.size());
            v.writeFile(b, block.constData(), block.size());
        }
        v.closeFile(a);
        v.closeFile(b);
        efs::FitRecord rec;
        if (EfsVolumeProbe(v).loadStoredRecord("frag_a.snd", &rec))
            out.fragmentedRecord = rec.addr();
        EXPECT_GT(rec.fragmentsCount(), 1);
        EXPECT_TRUE(v.check().isEmpty()) << v.check().join("\n").toStdString();
        v.closeVolume();
        out.bytes = fileBytes(path);
        out.fileRoot = get32(out.bytes, efs::kHeaderFileRoot);
        out.freeRoot = get32(out.bytes, efs::kHeaderFreeRoot);
        collectNodes<185, efs::FileNameKey>(out.bytes, out.fileRoot, &out.fileNodes);
        collectNodes<681, int>(out.bytes, out.freeRoot, &out.freeNodes);
        EfsVolume r;
        EXPECT_TRUE(r.openVolumeReadOnly(path));
        QList<QByteArray> names;
        r.listFiles(&names);
        for (const QByteArray& n : names) {
            efs::FitRecord fr;
            if (EfsVolumeProbe(r).loadStoredRecord(n.constData(), &fr))
                out.records.push_back(fr.addr());
        }
        r.closeVolume();
        return out;
    }();
    return s;
}

struct Tally {
    int cases = 0, refused = 0, damaged = 0, clean = 0;
};

// Open read-only, list, read every file, check, close: an error code or problems, never
// a crash or hang, and the file unchanged.
void exercise(const QString& label, const QByteArray& bytes, Tally* tally) {
    const QString path = folder() + "/bad_input_case.vx";
    putBytes(path, bytes);
    CaseWatchdog watchdog(label.toStdString(), 20);
    ++tally->cases;
    {
        EfsVolume v;
        if (!v.openVolumeReadOnly(path)) {
            ++tally->refused;
            EXPECT_NE(v.lastError(), 0) << label.toStdString();
        } else {
            QList<QByteArray> names;
            v.listFiles(&names);
            std::vector<char> buffer(1 << 16);
            for (const QByteArray& n : names) {
                const int32_t h =
                    v.openFile(n.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
                if (h == 0) {
                    EXPECT_NE(v.lastError(), 0) << label.toStdString();
                    continue;
                }
                // Read to the end in pieces; the size read from disk decides nothing else.
                for (int guard = 0; guard < 4096; ++guard)
                    if (v.readFile(h, buffer.data(), static_cast<int32_t>(buffer.size())) <= 0)
                        break;
                v.closeFile(h);
            }
            const QStringList problems = v.check();
            if (problems.isEmpty())
                ++tally->clean;
            else
                ++tally->damaged;
            v.closeVolume();
        }
    }
    EXPECT_TRUE(fileBytes(path) == bytes)
        << label.toStdString() << ": a read-only open changed the file";
}

class BadInput : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { capAddressSpace(4ull << 30); }
};

}  // namespace

TEST_F(BadInput, TruncatedContainersFailCleanly) {
    const Sample& s = sample();
    Tally t;
    const int64_t blocks = s.bytes.size() / efs::kBlockSize;
    for (int64_t len : {0, 1, 8, 51, 52, 53, 4096, 8191})
        exercise(QString("truncated to %1 bytes").arg(len), s.bytes.left(len), &t);
    // Every block boundary in the long run; a spread of them otherwise.
    const int64_t step = longTests() ? 1 : 9;
    for (int64_t b = 1; b < blocks; b += step) {
        exercise(QString("truncated to %1 blocks").arg(b), s.bytes.left(b * efs::kBlockSize), &t);
        exercise(QString("truncated inside block %1").arg(b),
                 s.bytes.left(b * efs::kBlockSize + 100), &t);
    }
    std::cout << "[ tally    ] truncations: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
    EXPECT_GT(t.refused, 0);
}

TEST_F(BadInput, RandomBytesFailCleanly) {
    std::mt19937 rng(17);
    Tally t;
    for (int i = 0; i < 60; ++i) {
        const int size = std::vector<int>{1, 100, 8192, 3 * 8192, 20 * 8192}[i % 5];
        QByteArray bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        if (i % 2) {
            // Behind a valid magic and version, so the reading gets further.
            const QByteArray head = sample().bytes.left(std::min(size, 52));
            bytes.replace(0, head.size(), head);
        }
        exercise(QString("random bytes %1").arg(i), bytes, &t);
    }
    EXPECT_EQ(t.clean, 0);
}

TEST_F(BadInput, EveryHeaderByteChangedFailsCleanly) {
    const Sample& s = sample();
    Tally t;
    for (int at = 0; at < efs::kHeaderUsedBytes + 8; ++at)
        for (uint8_t x : {0x01, 0x80, 0xFF}) {
            QByteArray b = s.bytes;
            b[at] ^= static_cast<char>(x);
            exercise(QString("header byte %1 ^ %2").arg(at).arg(x), b, &t);
        }
    std::cout << "[ tally    ] header: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
}

TEST_F(BadInput, ChangedBytesInTreeNodesFailCleanly) {
    const Sample& s = sample();
    ASSERT_GT(s.fileNodes.size(), 1u) << "the file table needs inner nodes";
    ASSERT_GT(s.freeNodes.size(), 1u) << "the free-space tree needs inner nodes";
    Tally t;
    std::mt19937 rng(3);
    using FileNode = efs::BTreeNode<185, efs::FileNameKey>;
    using FreeNode = efs::BTreeNode<681, int>;
    struct TreeInfo {
        const char* name;
        const std::vector<int32_t>* nodes;
        int entryWidth, countOffset, parentOffset;
    };
    for (const TreeInfo& tree : {TreeInfo{"file table", &s.fileNodes, FileNode::kEntryWidth,
                                          FileNode::kCountOffset, FileNode::kParentOffset},
                                 TreeInfo{"free-space tree", &s.freeNodes, FreeNode::kEntryWidth,
                                          FreeNode::kCountOffset, FreeNode::kParentOffset}}) {
        for (size_t i = 0; i < tree.nodes->size() && i < (longTests() ? 6u : 2u); ++i) {
            const int64_t base = static_cast<int64_t>((*tree.nodes)[i]) * efs::kBlockSize;
            std::vector<int> offsets = {0,
                                        1,
                                        3,
                                        4,
                                        5,
                                        7,
                                        tree.countOffset,
                                        tree.countOffset + 1,
                                        tree.countOffset + 3,
                                        tree.parentOffset,
                                        tree.parentOffset + 3};
            for (int e = 0; e < 3; ++e) {
                const int entry = 8 + tree.entryWidth * e;
                for (int k : {0, 1, tree.entryWidth - 8, tree.entryWidth - 5, tree.entryWidth - 4,
                              tree.entryWidth - 1})
                    offsets.push_back(entry + k);
            }
            for (int r = 0; r < 10; ++r) offsets.push_back(static_cast<int>(rng() % 8192));
            for (int off : offsets)
                for (uint8_t x : {0x01, 0xFF}) {
                    QByteArray b = s.bytes;
                    b[static_cast<qsizetype>(base + off)] ^= static_cast<char>(x);
                    exercise(QString("%1 node %2 byte %3 ^ %4")
                                 .arg(tree.name)
                                 .arg((*tree.nodes)[i])
                                 .arg(off)
                                 .arg(x),
                             b, &t);
                }
        }
    }
    std::cout << "[ tally    ] tree nodes: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
}

TEST_F(BadInput, ChangedBytesInRecordsAndFragmentTablesFailCleanly) {
    const Sample& s = sample();
    ASSERT_NE(s.fragmentedRecord, 0);
    Tally t;
    std::vector<int32_t> records = {s.fragmentedRecord};
    const size_t wanted = longTests() ? 6 : 2;
    for (size_t i = 0; i < s.records.size() && records.size() < wanted; i += 97)
        records.push_back(s.records[i]);
    for (int32_t rec : records) {
        const int64_t base = static_cast<int64_t>(rec) * efs::kBlockSize;
        std::vector<int> offsets;
        for (int o = 0; o < 24; o += longTests() ? 1 : 3) offsets.push_back(o);
        for (int o : {32, 40, 61, 66, 70, 73, 146, 149, 150, 153, 154, 157, 161, 165})
            offsets.push_back(o);
        for (int off : offsets)
            for (uint8_t x : {0x01, 0xFF}) {
                QByteArray b = s.bytes;
                b[static_cast<qsizetype>(base + off)] ^= static_cast<char>(x);
                exercise(QString("record %1 byte %2 ^ %3").arg(rec).arg(off).arg(x), b, &t);
            }
    }
    std::cout << "[ tally    ] records: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
}

TEST_F(BadInput, RecordsPointingOutsideTheFileFailCleanly) {
    const Sample& s = sample();
    const int64_t base = static_cast<int64_t>(s.fragmentedRecord) * efs::kBlockSize;
    const int32_t blocks = static_cast<int32_t>(s.bytes.size() / efs::kBlockSize);
    Tally t;
    struct Edit {
        const char* what;
        int offset;
        int32_t value;
    };
    const std::vector<Edit> edits = {
        {"fitSize huge", efs::kRecFitSize, 0x7FFFFFFF},
        {"fitSize past the end", efs::kRecFitSize, blocks},
        {"fitSize negative", efs::kRecFitSize, -5},
        {"fitSize zero", efs::kRecFitSize, 0},
        {"fragmentsCount huge", efs::kRecFragmentsCount, 0x7FFFFFFF},
        {"fragmentsCount negative", efs::kRecFragmentsCount, -1},
        {"first fragment past the end", efs::kRecData, blocks + 10},
        {"first fragment at block 0", efs::kRecData, 0},
        {"first fragment negative", efs::kRecData, -100},
        {"first fragment huge length", efs::kRecData + 4, 0x7FFFFFF0},
        {"first fragment reaches the end", efs::kRecData + 4, blocks},
        {"fileSize huge (low word)", efs::kRecFileSize, 0x7FFFFFFF},
        {"fileSize huge (high word)", efs::kRecFileSize + 4, 0x7FFFFFFF},
        {"fileSize negative", efs::kRecFileSize + 4, -1},
        {"allBlocks wrong", efs::kRecAllBlocks, 1},
        {"addr wrong", efs::kRecAddr, 1},
    };
    for (const Edit& e : edits) {
        QByteArray b = s.bytes;
        set32(&b, base + e.offset, e.value);
        exercise(QString("fragmented record: %1").arg(e.what), b, &t);
    }
    // The file table naming a record block outside the file.
    {
        QByteArray b = s.bytes;
        const int64_t leaf = static_cast<int64_t>(s.fileNodes.back()) * efs::kBlockSize;
        set32(&b, leaf + 8 + efs::FileNameKey::kEncodedSize, blocks + 3);
        exercise("file table value past the end", b, &t);
        set32(&b, leaf + 8 + efs::FileNameKey::kEncodedSize, -7);
        exercise("file table value negative", b, &t);
    }
    EXPECT_EQ(t.clean, 0) << "every edit is damage the checker must name";
    std::cout << "[ tally    ] records outside: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
}

// Open, list, read, check and close all end on such loops, and the checker names them.
TEST_F(BadInput, TreesWhoseChildLinksLoopFailCleanly) {
    const Sample& s = sample();
    using FileNode = efs::BTreeNode<185, efs::FileNameKey>;
    using FreeNode = efs::BTreeNode<681, int>;
    Tally t;
    auto loopTree = [&](const char* name, int32_t root, const std::vector<int32_t>& nodes,
                        int entryWidth, int countOffset) {
        for (size_t i = 1; i < nodes.size() && i < 4; ++i) {
            const int64_t child = static_cast<int64_t>(nodes[i]) * efs::kBlockSize;
            const int count = get32(s.bytes, child + countOffset);
            // The child becomes an inner node whose every link leads back to the root.
            QByteArray b = s.bytes;
            set32(&b, child + 4, root);
            for (int e = 0; e < count; ++e)
                set32(&b, child + 8 + entryWidth * e + entryWidth - 4, root);
            exercise(QString("%1: node %2 links back to the root").arg(name).arg(nodes[i]), b, &t);
            // The root's first child link names the root itself... or a sibling twice.
            QByteArray c = s.bytes;
            set32(&c, static_cast<int64_t>(root) * efs::kBlockSize + 4, root);
            exercise(QString("%1: the root is its own child").arg(name), c, &t);
            if (nodes.size() > 2) {
                QByteArray d = s.bytes;
                set32(&d, child + 4, nodes[i == 1 ? 2 : 1]);
                for (int e = 0; e < count; ++e)
                    set32(&d, child + 8 + entryWidth * e + entryWidth - 4, nodes[i]);
                exercise(
                    QString("%1: node %2 links to itself and a sibling").arg(name).arg(nodes[i]), d,
                    &t);
            }
        }
    };
    loopTree("file table", s.fileRoot, s.fileNodes, FileNode::kEntryWidth, FileNode::kCountOffset);
    loopTree("free-space tree", s.freeRoot, s.freeNodes, FreeNode::kEntryWidth,
             FreeNode::kCountOffset);
    EXPECT_EQ(t.clean, 0) << "a loop the checker did not name";
    std::cout << "[ tally    ] loops: " << t.cases << " cases, refused " << t.refused
              << ", damaged " << t.damaged << ", clean " << t.clean << "\n";
}
