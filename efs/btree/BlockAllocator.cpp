#include "efs/btree/BlockAllocator.h"

#include <algorithm>
#include <climits>

namespace efs {

namespace {

// Runs shorter than this are cut from their start even in AllocFromMiddle.
constexpr int32_t kMiddleMinRun = 512;

AllocationEvent event(AllocationEvent::Kind kind) {
    AllocationEvent e;
    e.kind = kind;
    return e;
}

}  // namespace

// The trees' view of the volume: node blocks come from the allocator and are read and
// written through the block store; the root slots bypass the blocks.
class BlockAllocator::Nodes final : public BTreeNodeStore {
  public:
    explicit Nodes(BlockAllocator& allocator) : m_allocator(allocator) {}
    bool readNodeBlock(int32_t b, uint8_t* dst, int32_t length) override {
        return m_allocator.m_store.readNodeBlock(b, dst, length);
    }
    bool writeNodeBlock(int32_t b, const uint8_t* src, int32_t length) override {
        BlockStore& store = m_allocator.m_store;
        if (store.readOnly()) return true;  // nothing changes in a read-only volume
        return store.writeNodeBlock(b, src, length);
    }
    bool readRootSlot(int32_t offset, int32_t* value) override {
        return m_allocator.m_store.readRootSlot(offset, value);
    }
    bool writeRootSlot(int32_t offset, int32_t value) override {
        return m_allocator.m_store.writeRootSlot(offset, value);
    }
    bool nodeChecked(int32_t b, int32_t tree) const override {
        return m_allocator.m_store.nodeChecked(b, tree);
    }
    void setNodeChecked(int32_t b, int32_t tree) override {
        m_allocator.m_store.setNodeChecked(b, tree);
    }
    int32_t allocateNodeBlocks(int32_t count) override { return m_allocator.allocateNode(count); }
    void releaseNodeBlocks(int32_t first, int32_t count) override {
        m_allocator.releaseNode(first, count);
    }
    int64_t blockLimit() const override { return m_allocator.m_store.hostBlocks(); }
    void nodeRefused(int32_t b, int32_t tree) override {
        BlockStore& store = m_allocator.m_store;
        const QString name = tree == kHeaderFreeRoot ? QStringLiteral("the free-space tree")
                                                     : QStringLiteral("the file table");
        if (b >= 1 && b < store.hostBlocks()) {
            store.noteFailure(Status::corruption(
                QStringLiteral("block %1 of %2 fails its checks").arg(b).arg(name)));
        } else {
            store.noteFailure(Status::corruption(
                QStringLiteral(
                    "the file is %1 bytes long, but %2 refers to block %3, beyond its end")
                    .arg(grouped(store.hostSize()), name)
                    .arg(b)));
        }
    }

  private:
    BlockAllocator& m_allocator;
};

BlockAllocator::BlockAllocator(BlockStore& store, const VolumeParams& params, int32_t& lastError)
    : m_store(store),
      m_params(params),
      m_lastError(lastError),
      m_nodes(std::make_unique<Nodes>(*this)) {}

BlockAllocator::~BlockAllocator() = default;

BTreeNodeStore* BlockAllocator::nodeStore() { return m_nodes.get(); }

// ---- Opening and closing ---------------------------------------------------------------

bool BlockAllocator::open(bool isNew, int32_t inUse) {
    m_treeFailed = false;
    if (!m_frees.init(m_nodes.get(), kHeaderFreeRoot, kBlockSize)) return false;
    if (isNew) {
        // The runs made by the first growth while the tree created its own root.
        for (const auto& [first, length] : m_freePtrs) queue(TreeOp::Insert, first, length);
        applyTreeEdits();
        return true;
    }
    std::vector<std::pair<int, int>> entries;
    std::vector<int32_t> nodes;
    if (!m_frees.collectEntries(&entries, &nodes)) return false;
    // The tree's own nodes and the block inUse are in use: a free run that holds one, a
    // run outside the host file, runs that overlap, or a node that is also inUse would
    // hand out a block twice.
    std::sort(nodes.begin(), nodes.end());
    auto damaged = [this](const QString& reason) {
        m_store.noteFailure(Status::corruption(reason));
        return false;
    };
    if (inUse != 0 && std::binary_search(nodes.begin(), nodes.end(), inUse))
        return damaged(QStringLiteral("block %1 is a node of both trees").arg(inUse));
    // A file cut short loses the blocks its free runs describe: said as such, with the
    // length the runs need.
    int64_t described = 0;
    for (const auto& [first, length] : entries)
        described = std::max(described, static_cast<int64_t>(first) + std::max(length, 0));
    if (described > m_store.hostBlocks()) {
        return damaged(
            QStringLiteral("the file is %1 bytes long, but its free-space tree describes %2")
                .arg(grouped(m_store.hostSize()), grouped(described * kBlockSize)));
    }
    int64_t end = 1;
    for (const auto& [first, length] : entries) {
        const int64_t last = static_cast<int64_t>(first) + length;
        if (first < end || length <= 0)
            return damaged(QStringLiteral("the free-space tree lists overlapping runs at block %1")
                               .arg(first));
        const auto node = std::lower_bound(nodes.begin(), nodes.end(), first);
        if ((node != nodes.end() && *node < last) || (inUse >= first && inUse < last))
            return damaged(QStringLiteral("the free-space tree lists blocks %1 to %2 as free, "
                                          "but one of them is in use")
                               .arg(first)
                               .arg(last - 1));
        end = last;
    }
    for (const auto& [first, length] : entries) {
        m_freePtrs[first] = length;
        addFreeSize(length, first);
        m_frees.addToTotal(length);
    }
    return true;
}

bool BlockAllocator::close() {
    const bool ok = m_frees.close() && !m_treeFailed;
    abandon();
    return ok;
}

void BlockAllocator::abandon() {
    m_frees.abandon();
    m_freeSizes.clear();
    m_freePtrs.clear();
    m_freeInMaps = 0;
    m_pending.clear();
    m_treeFailed = false;
}

// ---- Tree nodes ------------------------------------------------------------------------

int32_t BlockAllocator::allocateNode(int32_t count) {
    if (m_store.readOnly()) return 0;
    AllocationEvent begin = event(AllocationEvent::Kind::NodeBegin);
    begin.count = count;
    report(begin);
    int32_t block = 0;
    if (m_applying) {
        // The free-space tree needs a node while it takes up the edits of free runs. By
        // best fit that node would often be a whole one-block run, whose removal takes an
        // entry out of the tree; near the split point the tree then merges, frees the
        // node, gains the entry back and splits again, for ever. So the node is cut from
        // the end of the shortest run longer than itself, which only shortens that run
        // and leaves the number of entries as it was.
        Run run;
        if (ensureFree(count) &&
            (bestFit(count + 1, &run) || (growHost() && bestFit(count + 1, &run))))
            block = carveRun(run, {run.first + run.length - count, count});
        if (block == 0) m_lastError = ErrorNoSpace;
    } else {
        std::vector<Run> runs;
        if (ensureFree(count) && allocateBlocks(0, count, AllocBestFit, &runs) && !runs.empty())
            block = runs.front().first;
    }
    AllocationEvent end = event(AllocationEvent::Kind::NodeEnd);
    end.ok = block != 0;
    end.first = block;
    report(end);
    return block;
}

void BlockAllocator::releaseNode(int32_t first, int32_t count) {
    AllocationEvent e = event(AllocationEvent::Kind::NodeRelease);
    e.first = first;
    e.count = count;
    report(e);
    releaseRun(first, count);
}

// ---- The maps and the tree -------------------------------------------------------------

void BlockAllocator::addFreeSize(int32_t length, int32_t first) {
    m_freeSizes.emplace(length, first);
    m_freeInMaps += length;
}

void BlockAllocator::dropFreeSize(int32_t length, int32_t first) {
    auto [lo, hi] = m_freeSizes.equal_range(length);
    for (auto it = lo; it != hi; ++it) {
        if (it->second == first) {
            m_freeSizes.erase(it);
            m_freeInMaps -= length;
            return;
        }
    }
}

void BlockAllocator::applyTreeEdits() {
    // Inside a running edit of the tree, the edits it causes wait their turn here.
    if (m_applying) return;
    m_applying = true;
    // Each edit queues at most a few more; anything near this bound is a damaged tree,
    // and giving up is better than hanging.
    int budget = 1 << 20;
    while (!m_pending.empty() && budget-- > 0) {
        PendingEdit edit = m_pending.front();
        m_pending.pop_front();
        switch (edit.op) {
            case TreeOp::Insert:
                m_frees.insert(edit.first, edit.length);
                break;
            case TreeOp::Remove:
                m_frees.remove(edit.first);
                break;
            case TreeOp::Update:
                m_frees.update(edit.first, edit.length);
                break;
        }
        if (m_frees.hasRoot() && m_frees.failed()) m_treeFailed = true;
    }
    if (!m_pending.empty()) m_treeFailed = true;
    m_pending.clear();
    m_applying = false;
}

// ---- Allocation ------------------------------------------------------------------------

bool BlockAllocator::ensureFree(int32_t count) {
    m_lastError = ErrorNone;
    if (m_freeSizes.empty() || m_freeSizes.begin()->first < m_params.minLargestRun) {
        if (!growHost()) return false;
    }
    int64_t need = 2 * static_cast<int64_t>(count);
    if (need <= 0) return true;
    for (;;) {
        for (const auto& entry : m_freeSizes) {
            need -= entry.first;
            if (need <= 0) return true;
        }
        if (!growHost()) return false;
    }
}

bool BlockAllocator::growHost() {
    if (!m_store.isOpen() || m_store.readOnly()) return false;
    const int64_t size = m_store.hostSize();
    const int64_t oldBlocks = size / kBlockSize;
    const int64_t stepBlocks = m_params.growthStep / kBlockSize;
    AllocationEvent e = event(AllocationEvent::Kind::Grow);
    e.oldBlocks = oldBlocks;
    e.newBlocks = oldBlocks + stepBlocks;
    if (size < 0 || stepBlocks < 1 || oldBlocks + stepBlocks > INT32_MAX ||
        !m_store.resizeHost(oldBlocks + stepBlocks)) {
        m_lastError = ErrorNoSpace;
        e.ok = false;
        report(e);
        return false;
    }
    report(e);
    const auto old = static_cast<int32_t>(oldBlocks);
    const auto step = static_cast<int32_t>(stepBlocks);
    auto it = m_freePtrs.upper_bound(old);  // the run with the highest start below old
    if (it != m_freePtrs.end() && static_cast<int64_t>(it->first) + it->second == oldBlocks) {
        const int32_t first = it->first;
        const int32_t oldLength = it->second;
        it->second = oldLength + step;
        dropFreeSize(oldLength, first);
        addFreeSize(oldLength + step, first);
        queue(TreeOp::Update, first, oldLength + step);
    } else {
        m_freePtrs[old] = step;
        addFreeSize(step, old);
        queue(TreeOp::Insert, old, step);
    }
    applyTreeEdits();
    return true;
}

bool BlockAllocator::allocateBlocks(int32_t hint, int32_t count, int32_t mode,
                                    std::vector<Run>* out) {
    m_lastError = ErrorNone;
    out->clear();
    AllocationEvent begin = event(AllocationEvent::Kind::AllocateBegin);
    begin.hint = hint;
    begin.count = count;
    begin.mode = mode;
    report(begin);
    auto finish = [&](bool ok) {
        AllocationEvent end = event(AllocationEvent::Kind::AllocateEnd);
        end.ok = ok;
        end.runs = *out;
        report(end);
        return ok;
    };
    if (!m_store.isOpen() || m_store.readOnly()) {
        m_lastError = ErrorState;
        return finish(false);
    }
    // Refuse at once what the host file could not hold even grown to the last block.
    if (count > m_freeInMaps + (INT32_MAX - m_store.hostBlocks())) {
        m_lastError = ErrorNoSpace;
        return finish(false);
    }
    int32_t cursor = (hint != 0 && m_freePtrs.count(hint)) ? hint : 0;
    if (!ensureFree(count)) return finish(false);
    if (count <= 0) return finish(true);
    int32_t remaining = count;
    while (remaining > 0) {
        Run run;
        Run piece;
        auto at = cursor != 0 ? m_freePtrs.find(cursor) : m_freePtrs.end();
        if (at != m_freePtrs.end()) {
            run = {at->first, at->second};
            piece = {run.first, std::min(remaining, run.length)};
            // Free runs never touch, so the hint supplies the first piece only.
            cursor = 0;
        } else {
            if (mode == AllocBestFit) {
                if (!bestFit(count, &run)) {
                    m_lastError = ErrorNoSpace;
                    return finish(false);
                }
            } else {
                // ensureFree counts runs again after each growth, so it may leave fewer
                // blocks free than asked for; when the runs run out the host file grows.
                if (m_freeSizes.empty() && !growHost()) return finish(false);
                run = {m_freeSizes.begin()->second, m_freeSizes.begin()->first};
                if (run.length < kMiddleMinRun) mode = AllocFromStart;
            }
            if (mode == AllocFromMiddle) {
                const int32_t half = run.length / 2;
                piece = {run.first + half, std::min(remaining, run.length - half)};
            } else {
                piece = {run.first, std::min(remaining, run.length)};
            }
        }
        const int32_t first = piece.length > 0 ? carveRun(run, piece) : 0;
        if (first == 0) {
            m_lastError = ErrorNoSpace;
            return finish(false);
        }
        out->push_back({first, piece.length});
        remaining -= piece.length;
    }
    return finish(true);
}

bool BlockAllocator::bestFit(int32_t count, Run* run) const {
    bool found = false;
    for (const auto& [length, first] : m_freeSizes) {
        if (length == count) {
            *run = {first, length};
            return true;
        }
        if (length < count) break;
        *run = {first, length};
        found = true;
    }
    return found;
}

int32_t BlockAllocator::carveRun(Run run, Run piece) {
    m_lastError = ErrorNone;
    AllocationEvent e = event(AllocationEvent::Kind::Carve);
    e.run = run;
    e.piece = piece;
    report(e);
    const int32_t s = run.first, len = run.length, p = piece.first, c = piece.length;
    auto at = m_freePtrs.find(s);
    if (c > len || c <= 0 || p < s || static_cast<int64_t>(p) + c > static_cast<int64_t>(s) + len ||
        at == m_freePtrs.end() || at->second != len) {
        m_lastError = ErrorNoSpace;
        return 0;
    }
    Run rest;
    if (p == s) {
        m_freePtrs.erase(at);
        dropFreeSize(len, s);
        queue(TreeOp::Remove, s);
        rest = {s + c, len - c};
    } else {
        const int32_t lower = p - s;
        at->second = lower;
        dropFreeSize(len, s);
        addFreeSize(lower, s);
        queue(TreeOp::Update, s, lower);
        rest = {p + c, s + len - (p + c)};
    }
    if (rest.length > 0) {
        m_freePtrs[rest.first] = rest.length;
        addFreeSize(rest.length, rest.first);
        queue(TreeOp::Insert, rest.first, rest.length);
    }
    applyTreeEdits();
    return p;
}

void BlockAllocator::releaseRun(int32_t s, int32_t c) {
    AllocationEvent e = event(AllocationEvent::Kind::Release);
    e.first = s;
    e.count = c;
    report(e);
    if (!m_store.isOpen() || m_store.readOnly() || s <= 0 || c <= 0 ||
        static_cast<int64_t>(s) + c > m_store.hostBlocks())
        return;
    // A run that is already (partly) free must not be released twice: that would make
    // the allocator hand the same block out twice.
    auto over = m_freePtrs.lower_bound(s + c - 1);  // highest start <= last block
    if (over != m_freePtrs.end() && static_cast<int64_t>(over->first) + over->second > s) return;

    auto right = m_freePtrs.find(s + c);
    auto left = m_freePtrs.upper_bound(s);  // highest start below s
    const bool hasLeft =
        left != m_freePtrs.end() && static_cast<int64_t>(left->first) + left->second == s;
    if (right != m_freePtrs.end()) {
        const int32_t r = right->first, rlen = right->second;
        c += rlen;
        m_freePtrs.erase(right);
        dropFreeSize(rlen, r);
        queue(TreeOp::Remove, r);
    }
    if (!hasLeft) {
        m_freePtrs[s] = c;
        addFreeSize(c, s);
        queue(TreeOp::Insert, s, c);
    } else {
        left = m_freePtrs.upper_bound(s);
        const int32_t l = left->first, llen = left->second;
        left->second = llen + c;
        dropFreeSize(llen, l);
        addFreeSize(llen + c, l);
        queue(TreeOp::Update, l, llen + c);
    }
    applyTreeEdits();
}

// ---- Views -----------------------------------------------------------------------------

std::vector<Run> BlockAllocator::runsByStart() const {
    std::vector<Run> out;
    out.reserve(m_freePtrs.size());
    for (auto it = m_freePtrs.rbegin(); it != m_freePtrs.rend(); ++it)
        out.push_back({it->first, it->second});
    return out;
}

std::vector<Run> BlockAllocator::runsBySize() const {
    std::vector<Run> out;
    out.reserve(m_freeSizes.size());
    for (const auto& [length, first] : m_freeSizes) out.push_back({first, length});
    return out;
}

bool BlockAllocator::runsInTree(std::vector<Run>* out) {
    out->clear();
    std::vector<std::pair<int, int>> entries;
    if (!m_frees.collectEntries(&entries)) return false;
    for (const auto& [first, length] : entries) out->push_back({first, length});
    return true;
}

}  // namespace efs
