// The volume checker: reads every structure from disk and reports what is wrong.
#include <QString>
#include <algorithm>
#include <functional>
#include <set>

#include "efs/EfsVolume.h"

using namespace efs;

namespace {

enum Owner : uint8_t { Unclaimed = 0, Header, FreeNode, FileNode, Record, Data, Free };

const char* ownerName(uint8_t o) {
    switch (o) {
        case Header:
            return "the header";
        case FreeNode:
            return "a free-space tree node";
        case FileNode:
            return "a file-table node";
        case Record:
            return "a file record";
        case Data:
            return "file data";
        case Free:
            return "free space";
        default:
            return "nothing";
    }
}

// Above this many blocks the checker refuses rather than allocate its block map.
constexpr int64_t kMaxCheckedBlocks = int64_t(1) << 26;

struct Claims {
    std::vector<uint8_t>* owner;
    QStringList* problems;
    int reported = 0;

    void claim(int64_t block, int64_t count, Owner who, const QString& what) {
        for (int64_t b = block; b < block + count; ++b) {
            if (b < 0 || b >= static_cast<int64_t>(owner->size())) {
                problems->append(
                    QString("%1 names block %2, outside the host file").arg(what).arg(b));
                return;
            }
            uint8_t& slot = (*owner)[static_cast<size_t>(b)];
            if (slot != Unclaimed) {
                if (reported++ < 50)
                    problems->append(QString("block %1 is claimed twice: by %2 and by %3 (%4)")
                                         .arg(b)
                                         .arg(ownerName(slot))
                                         .arg(ownerName(who))
                                         .arg(what));
                continue;
            }
            slot = who;
        }
    }
};

// Walks one tree from disk. Checks every node rule and hands each entry to visit.
template <int N, class Key>
struct TreeChecker {
    using Node = BTreeNode<N, Key>;
    BlockStore* store;
    Claims* claims;
    Owner who;
    QString treeName;
    QStringList* problems;
    std::function<void(const Node&, int)> visit;
    int leafDepth = -1;
    // Every node is walked once: links that loop or share a node would otherwise make
    // the walk branch without end.
    std::set<int32_t> walked;

    void problem(const QString& text) { problems->append(treeName + ": " + text); }

    bool readNode(int32_t b, Node* node) {
        if (b < 1 || b >= store->hostBlocks()) {
            problem(QString("node block %1 lies outside the host file").arg(b));
            return false;
        }
        if (!store->readBlock(b, node->bytes(), Node::kRecordSize, 0)) {
            problem(QString("node block %1 cannot be read").arg(b));
            return false;
        }
        return true;
    }

    // lo/hi: the keys the subtree must lie strictly between (when present).
    void walk(int32_t b, int32_t parent, const Key* lo, const Key* hi, int depth) {
        if (depth > 48) {
            problem("the tree is deeper than any sound tree; a child link loops");
            return;
        }
        if (!walked.insert(b).second) {
            problem(
                QString("node %1 is reached by more than one link; the tree's links loop").arg(b));
            return;
        }
        Node node;
        if (!readNode(b, &node)) return;
        claims->claim(b, 1, who, QString("%1 node %2").arg(treeName).arg(b));
        if (node.self() != b) problem(QString("node %1 holds self %2").arg(b).arg(node.self()));
        if (node.parent() != parent)
            problem(QString("node %1 names parent %2, but its parent is %3")
                        .arg(b)
                        .arg(node.parent())
                        .arg(parent));
        const int count = node.count();
        if (count < 0 || count > N) {
            problem(QString("node %1 holds count %2").arg(b).arg(count));
            return;
        }
        const bool isRoot = parent == 0;
        if (!isRoot && count < N / 2)
            problem(
                QString("node %1 holds %2 entries, fewer than %3").arg(b).arg(count).arg(N / 2));
        if (isRoot && count == 0 && !node.isLeaf()) problem("the root is empty but has a child");
        for (int i = 0; i < count; ++i) {
            const Key k = node.key(i);
            if (i > 0 && BTreeKeyTraits<Key>::compare(node.key(i - 1), k) >= 0)
                problem(
                    QString("node %1: keys %2 and %3 are out of order").arg(b).arg(i - 1).arg(i));
            if ((lo && BTreeKeyTraits<Key>::compare(*lo, k) >= 0) ||
                (hi && BTreeKeyTraits<Key>::compare(k, *hi) >= 0))
                problem(QString("node %1: key %2 lies outside its subtree's range").arg(b).arg(i));
            if (visit) visit(node, i);
        }
        if (node.isLeaf()) {
            for (int i = 0; i < count; ++i)
                if (node.rightChild(i) != 0)
                    problem(QString("leaf %1 has a child link in entry %2").arg(b).arg(i));
            if (leafDepth < 0) leafDepth = depth;
            if (leafDepth != depth)
                problem(QString("leaf %1 lies at depth %2, others at %3")
                            .arg(b)
                            .arg(depth)
                            .arg(leafDepth));
            return;
        }
        for (int p = 0; p <= count; ++p) {
            const int32_t child = node.childAt(p);
            if (child == 0) {
                problem(QString("inner node %1 lacks child %2").arg(b).arg(p));
                continue;
            }
            Key loKey, hiKey;
            const Key* clo = lo;
            const Key* chi = hi;
            if (p > 0) loKey = node.key(p - 1), clo = &loKey;
            if (p < count) hiKey = node.key(p), chi = &hiKey;
            walk(child, b, clo, chi, depth + 1);
        }
    }
};

}  // namespace

QStringList EfsVolume::check() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    QStringList problems;
    if (!m_store.isOpen()) {
        problems << "the volume is not open";
        return problems;
    }
    if (m_allocator.treeFailed())
        problems << "an edit of the free-space tree failed during this session";
    // What is checked is the disk: blocks still waiting go out first, and no copy is used.
    if (!m_store.readOnly() && !m_store.flush())
        problems << "blocks changed in this session cannot be written to the disk";
    // Blocks that could not be written stay for a later flush; the rest is read again.
    m_store.dropCleanBlocks();
    std::vector<uint8_t> header;
    if (!m_store.readHeader(&header)) {
        problems << "the header cannot be read";
        return problems;
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), header.begin()))
        problems << "the header's magic is wrong";
    const int32_t version = decodeFixed32(header.data() + kHeaderVersion);
    if (version > kFormatVersion)
        problems << QString("the format version %1 is unknown").arg(version);
    const int32_t flag = decodeFixed32(header.data() + kHeaderOpenFlag);
    if (flag != 0 && flag != 1) problems << QString("the open flag holds %1").arg(flag);
    const VolumeParams p = VolumeParams::decode(header.data() + kHeaderParams);
    if (p.blockSize != kBlockSize) problems << QString("the block size is %1").arg(p.blockSize);
    if (p.growthStep < kBlockSize)
        problems << QString("the growth step %1 is below one block").arg(p.growthStep);
    if (p.reserveBlocks < 0) problems << QString("reserveBlocks is %1").arg(p.reserveBlocks);
    const int64_t hostSize = m_store.hostSize();
    const int64_t blocks = hostSize / kBlockSize;
    if (hostSize % kBlockSize != 0)
        problems << QString("the host file size %1 is not a whole number of blocks").arg(hostSize);
    if (blocks > kMaxCheckedBlocks) {
        problems << QString("the host file holds %1 blocks, too many to check").arg(blocks);
        return problems;
    }
    if (blocks != m_store.hostBlocks())
        problems << QString("the host file holds %1 blocks, the volume knows of %2")
                        .arg(blocks)
                        .arg(m_store.hostBlocks());
    const int32_t freeRoot = decodeFixed32(header.data() + kHeaderFreeRoot);
    const int32_t fileRoot = decodeFixed32(header.data() + kHeaderFileRoot);

    std::vector<uint8_t> owner(static_cast<size_t>(std::max<int64_t>(blocks, 1)), Unclaimed);
    Claims claims{&owner, &problems};
    claims.claim(0, 1, Header, "the header");

    // Free-space tree.
    std::vector<std::pair<int32_t, int32_t>> freeRuns;
    {
        TreeChecker<681, int> t{&m_store,  &claims, FreeNode, "free-space tree",
                                &problems, {},      -1,       {}};
        t.visit = [&](const BTreeNode<681, int>& n, int i) {
            freeRuns.emplace_back(n.key(i), n.value(i));
        };
        if (freeRoot == 0)
            problems << "the free-space tree has no root";
        else
            t.walk(freeRoot, 0, nullptr, nullptr, 0);
    }
    std::sort(freeRuns.begin(), freeRuns.end());
    int64_t freeSum = 0;
    int64_t prevEnd = -1;
    for (const auto& [first, length] : freeRuns) {
        if (length < 1) {
            problems << QString("free run at %1 has length %2").arg(first).arg(length);
            continue;
        }
        if (first == prevEnd)
            problems << QString("free runs touch at block %1 without being joined").arg(first);
        prevEnd = static_cast<int64_t>(first) + length;
        freeSum += length;
        claims.claim(first, length, Free, QString("free run %1+%2").arg(first).arg(length));
    }
    std::vector<Run> inMaps = m_allocator.runsByStart();
    bool same = inMaps.size() == freeRuns.size();
    for (size_t i = 0; same && i < inMaps.size(); ++i)
        same = inMaps[i].first == freeRuns[i].first && inMaps[i].length == freeRuns[i].second;
    if (!same) problems << "the free runs in memory differ from the free-space tree";
    std::vector<Run> bySize = m_allocator.runsBySize();
    std::sort(bySize.begin(), bySize.end(),
              [](const Run& a, const Run& b) { return a.first < b.first; });
    if (bySize != inMaps) problems << "the free runs by size differ from the free runs by start";
    if (freeSum != m_allocator.freeTotal())
        problems << QString("the free total is %1 blocks, the runs hold %2")
                        .arg(m_allocator.freeTotal())
                        .arg(freeSum);

    // File table and the records it names.
    std::vector<std::pair<FileNameKey, int32_t>> files;
    {
        TreeChecker<185, FileNameKey> t{&m_store,  &claims, FileNode, "file table",
                                        &problems, {},      -1,       {}};
        t.visit = [&](const BTreeNode<185, FileNameKey>& n, int i) {
            files.emplace_back(n.key(i), n.value(i));
        };
        if (fileRoot == 0)
            problems << "the file table has no root";
        else
            t.walk(fileRoot, 0, nullptr, nullptr, 0);
    }
    for (const auto& [key, block] : files) {
        const std::string name = key.text();
        const QString label = QString("file \"%1\"").arg(QString::fromStdString(name));
        if (fileHash(name.c_str()) != key.hash)
            problems << label +
                            QString(": its key's hash %1 does not match its name").arg(key.hash);
        if (block < 1 || block >= blocks) {
            problems << label + QString(": record block %1 lies outside the host file").arg(block);
            continue;
        }
        FitRecord rec;
        if (!m_store.readBlock(block, rec.data(), kBlockSize, 0)) {
            problems << label + ": its record cannot be read";
            continue;
        }
        if (rec.addr() != block) {
            problems << label +
                            QString(": record at %1 names itself %2").arg(block).arg(rec.addr());
            continue;
        }
        const int32_t fit = rec.fitSize();
        if (fit < 1 || static_cast<int64_t>(block) + fit > blocks) {
            problems << label + QString(": fitSize %1 does not fit the host file").arg(fit);
            continue;
        }
        claims.claim(block, fit, Record, label + " record");
        if (fit > 1) {
            rec.resizeBlocks(fit);
            bool read = true;
            for (int32_t i = 1; i < fit && read; ++i)
                read = m_store.readBlock(
                    block + i, rec.data() + static_cast<size_t>(i) * kBlockSize, kBlockSize, 0);
            if (!read) {
                problems << label + ": a block of its record cannot be read";
                continue;
            }
        }
        if (rec.fileName() != name)
            problems << label + QString(": its record names it \"%1\"")
                                    .arg(QString::fromStdString(rec.fileName()));
        const int32_t count = rec.fragmentsCount();
        const int64_t size = rec.fileSize();
        if (count < 0 || count > rec.fragmentCapacity()) {
            problems << label + QString(": fragmentsCount %1 does not fit its record").arg(count);
            continue;
        }
        if (count == 0) {
            if (size < 0 || size > kInlineLimit)
                problems << label +
                                QString(": inline size %1 exceeds %2").arg(size).arg(kInlineLimit);
            if (rec.allBlocks() != 0)
                problems << label + QString(": inline but allBlocks is %1").arg(rec.allBlocks());
            continue;
        }
        int64_t sum = 0;
        for (int32_t i = 0; i < count; ++i) {
            const Fragment f = rec.fragment(i);
            if (f.addr < 1 || f.size < 1 || static_cast<int64_t>(f.addr) + f.size > blocks) {
                problems << label + QString(": fragment %1 (%2+%3) lies outside the host file")
                                        .arg(i)
                                        .arg(f.addr)
                                        .arg(f.size);
                continue;
            }
            sum += f.size;
            claims.claim(f.addr, f.size, Data, label + QString(" fragment %1").arg(i));
        }
        if (sum != rec.allBlocks())
            problems << label + QString(": fragments hold %1 blocks, allBlocks says %2")
                                    .arg(sum)
                                    .arg(rec.allBlocks());
        if (size < 0 || size > sum * kBlockSize)
            problems << label + QString(": size %1 exceeds its %2 blocks").arg(size).arg(sum);
    }

    // Every block must be exactly one thing.
    int64_t runStart = -1;
    for (int64_t b = 0; b <= blocks; ++b) {
        const bool unclaimed = b < blocks && owner[static_cast<size_t>(b)] == Unclaimed;
        if (unclaimed && runStart < 0) runStart = b;
        if (!unclaimed && runStart >= 0) {
            problems << QString("blocks %1 to %2 belong to nothing").arg(runStart).arg(b - 1);
            runStart = -1;
        }
    }
    return problems;
}
