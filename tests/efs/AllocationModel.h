// A reference for every block choice of a volume, written from the rules of free space
// and file data rather than from the engine: the free runs kept by first block and by
// length, host growth, the three allocation modes, best fit, cutting and joining runs,
// and each stored file's record (its place, size in blocks, fragments, reserve).
//
// The model runs beside a real volume and reads the volume's allocation trace. Each
// request of the file layer (a record, data blocks, a moved record, blocks given back)
// is predicted here from the file's state and compared with the request the engine made;
// each step of the allocator (growth, the run cut, the pieces returned) is computed here
// and compared with the engine's step. Tree nodes are the one thing the model does not
// predict, since when a tree splits or merges is the trees' business: a node request is
// taken from the trace when it comes, checked to be one block with best fit, and its
// outcome is computed here like any other.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "efs/btree/AllocationTrace.h"

namespace efsmodel {

using efs::AllocationEvent;
using efs::Run;
using Kind = AllocationEvent::Kind;

constexpr int64_t kBlock = 8192;
constexpr int64_t kInline = 8192 - 146;  // bytes a one-block record holds inline
constexpr int32_t kMiddleRun = 512;      // shorter runs are cut from their start
enum Mode : int32_t { FromStart = 0, FromMiddle = 1, BestFit = 2 };

inline const char* kindName(Kind k) {
    static const char* names[] = {"AllocateBegin", "AllocateEnd", "NodeBegin", "NodeEnd",
                                  "NodeRelease",   "PlaceBegin",  "PlaceEnd",  "Grow",
                                  "Carve",         "Release"};
    return names[static_cast<int>(k)];
}

inline std::string str(const std::vector<Run>& runs) {
    std::ostringstream o;
    for (const Run& r : runs) o << "(" << r.first << "," << r.length << ")";
    return o.str();
}

// A stored file as the model expects its record on disk.
struct FileModel {
    int32_t addr = 0;
    int32_t fitSize = 1;
    int32_t storedFit = 1;  // blocks of the record on disk
    std::vector<Run> fragments;
    int32_t allBlocks = 0;
    int32_t liberalSize = 0;
    int64_t size = 0;
};

class VolumeModel {
  public:
    // Parameters as the header holds them.
    int64_t growthStep = 8388608;
    int32_t minLargestRun = 1;
    int32_t reserveBlocks = 0;
    int32_t allocMode = FromMiddle;

    int64_t hostBlocks = 0;
    std::map<int32_t, int32_t> ptrs;  // first block -> length
    // length -> first block, longest first; runs of one length in the order added.
    std::multimap<int32_t, int32_t, std::greater<int32_t>> sizes;
    std::map<std::string, FileModel> files;

    // The trace of the volume under watch; the volume appends, the model consumes.
    std::deque<AllocationEvent> log;
    // The first disagreement, empty while engine and model agree.
    std::string diverged;

    efs::AllocationTrace recorder() {
        return [this](const AllocationEvent& e) { log.push_back(e); };
    }

    // ---- The volume as a whole ------------------------------------------------------

    // A new volume: the header block, then each tree takes its root node.
    void create() {
        hostBlocks = 1;
        takeNodesAndEnd("create");
    }
    // A clean reopen takes nothing and lists the runs again in ascending order.
    void reopen() {
        sizes.clear();
        for (const auto& [first, length] : ptrs) sizes.emplace(length, first);
        takeNodesAndEnd("reopen");
    }
    // Every node the trees took or gave back after the last file-level step, and then
    // nothing more: an operation ends here.
    void takeNodesAndEnd(const char* what) {
        drainNodes();
        if (!log.empty() && diverged.empty())
            fail(std::string("unexpected ") + kindName(log.front().kind) + " after " + what);
        log.clear();
    }

    // ---- File operations, each as the file layer carries it out ----------------------

    // Opening a missing file: one record block, cut for the file in the volume's mode.
    bool createFile(const std::string& name) {
        std::vector<Run> runs;
        if (!allocate(0, 1, allocMode, &runs) || runs.empty()) {
            for (const Run& r : runs) release(r.first, r.length);
            return false;
        }
        FileModel f;
        f.addr = runs.front().first;
        files[name] = f;
        return true;
    }

    bool write(const std::string& name, int64_t pos, int64_t length) {
        FileModel& f = files.at(name);
        const int64_t end = pos + length;
        int32_t hint = 0;
        if (f.fragments.empty()) {
            if (end <= kInline) {
                f.size = std::max(f.size, end);
                return true;
            }
            std::vector<Run> one;
            if (!allocateForFile(f.addr + 1, 1, &one)) return false;
            addFragment(&f, one.front().first, 1);
            hint = one.front().first + 1;
        }
        const int64_t need = end / kBlock + 1;
        if (need > f.allBlocks) {
            f.liberalSize = static_cast<int32_t>(need + reserveBlocks);
            if (hint == 0) hint = f.fragments.back().first + f.fragments.back().length;
            std::vector<Run> runs;
            if (!allocateForFile(hint, need + reserveBlocks - f.allBlocks, &runs)) return false;
            for (const Run& r : runs) addFragment(&f, r.first, r.length);
        }
        f.size = std::max(f.size, end);
        return storeMoving(&f);
    }

    bool setSize(const std::string& name, int64_t size) {
        FileModel& f = files.at(name);
        if (f.fragments.empty() && size > kInline) {
            std::vector<Run> one;
            if (!allocateForFile(f.addr + 1, 1, &one)) return false;
            addFragment(&f, one.front().first, 1);
        }
        if (!f.fragments.empty() && size >= kInline) {
            const int64_t need = size / kBlock + 1;
            if (f.allBlocks < need) {
                const Run& last = f.fragments.back();
                std::vector<Run> runs;
                if (!allocateForFile(last.first + last.length, need - f.allBlocks, &runs))
                    return false;
                for (const Run& r : runs) addFragment(&f, r.first, r.length);
            } else {
                int64_t excess = f.allBlocks - need;
                while (excess > 0) {
                    Run& last = f.fragments.back();
                    if (excess < last.length) {
                        const auto x = static_cast<int32_t>(excess);
                        release(last.first + last.length - x, x);
                        last.length -= x;
                        f.allBlocks -= x;
                        excess = 0;
                    } else {
                        release(last.first, last.length);
                        f.allBlocks -= last.length;
                        excess -= last.length;
                        f.fragments.pop_back();
                    }
                }
            }
            f.size = size;
            return storeMoving(&f);
        }
        if (f.fragments.empty()) {
            f.size = size;
            return true;
        }
        // Back to the inline form: every fragment goes, then the record's extra blocks.
        for (const Run& r : f.fragments) release(r.first, r.length);
        f.fragments.clear();
        f.allBlocks = 0;
        f.fitSize = 1;
        f.size = size;
        if (f.storedFit > 1) release(f.addr + 1, f.storedFit - 1);
        f.storedFit = 1;
        return true;
    }

    // The last close of a file gives back what lies beyond its need, then stores the
    // record where it may move.
    bool close(const std::string& name) {
        FileModel& f = files.at(name);
        const int64_t needed = f.size / kBlock + (f.size % kBlock ? 1 : 0);
        if (needed < f.liberalSize) {
            int64_t sum = 0;
            size_t at = 0;
            for (; at < f.fragments.size(); ++at) {
                sum += f.fragments[at].length;
                if (sum > needed) break;
            }
            if (at < f.fragments.size()) {
                for (size_t i = at + 1; i < f.fragments.size(); ++i) {
                    const Run r = f.fragments[i];
                    release(r.first, r.length);
                    f.allBlocks -= r.length;
                    f.liberalSize -= r.length;
                }
                f.fragments.resize(at + 1);
                const auto x = static_cast<int32_t>(sum - needed);
                if (x > 0) {
                    Run& r = f.fragments[at];
                    release(r.first + r.length - x, x);
                    f.allBlocks -= x;
                    f.liberalSize -= x;
                    if (x == r.length)
                        f.fragments.pop_back();
                    else
                        r.length -= x;
                }
            }
        }
        return storeMoving(&f);
    }

    // The name leaves the table first; then every fragment in table order, then the
    // record's own blocks.
    void remove(const std::string& name) {
        const FileModel f = files.at(name);
        files.erase(name);
        for (const Run& r : f.fragments) release(r.first, r.length);
        release(f.addr, f.fitSize);
    }

    void rename(const std::string& from, const std::string& to) {
        FileModel f = files.at(from);
        files.erase(from);
        files[to] = f;
    }

  private:
    bool m_catchingUp = false;

    void fail(const std::string& what) {
        if (diverged.empty()) diverged = what;
    }

    // The next event of the trace, which the model expects to be of this kind; node
    // requests before it are carried out first.
    bool expect(Kind kind, AllocationEvent* out) {
        drainNodes();
        if (!diverged.empty()) return false;
        if (log.empty()) {
            fail(std::string("expected ") + kindName(kind) + ", the trace has ended");
            return false;
        }
        *out = log.front();
        log.pop_front();
        if (out->kind != kind) {
            fail(std::string("expected ") + kindName(kind) + ", got " + kindName(out->kind));
            return false;
        }
        return true;
    }

    // Node requests the trace holds next, each carried out in turn.
    void drainNodes() {
        while (diverged.empty() && !log.empty()) {
            const AllocationEvent e = log.front();
            if (e.kind == Kind::NodeBegin) {
                log.pop_front();
                takeNode(e);
            } else if (e.kind == Kind::NodeRelease) {
                log.pop_front();
                if (e.count != 1) fail("a node of more than one block");
                release(e.first, e.count);
            } else {
                return;
            }
        }
    }

    // After each change of the free runs the free-space tree takes up the matching edits,
    // which may take or give back nodes of its own. Edits that those cause wait for the
    // running ones, so node requests made while the tree catches up never nest.
    void treeCatchesUp() {
        if (m_catchingUp) return;
        m_catchingUp = true;
        drainNodes();
        m_catchingUp = false;
    }

    // A node: enough free space first, then one block by best fit. A node the free-space
    // tree needs while it catches up is cut from the end of the shortest run longer than
    // one block instead, so that taking it removes no entry from that tree (a one-block
    // run taken whole would, and near the split point the tree would split and merge
    // for ever).
    void takeNode(const AllocationEvent& begin) {
        if (begin.count != 1) fail("a node of more than one block");
        int32_t block = 0;
        if (m_catchingUp) {
            Run run;
            if (ensureFree(1) && (bestFit(2, &run) || (grow() && bestFit(2, &run))))
                block = carve(run, {run.first + run.length - 1, 1});
        } else {
            std::vector<Run> runs;
            if (ensureFree(1) && allocate(0, 1, BestFit, &runs) && !runs.empty())
                block = runs.front().first;
        }
        AllocationEvent end;
        if (!expect(Kind::NodeEnd, &end)) return;
        if (end.ok != (block != 0) || end.first != block) {
            fail("node: engine " + std::to_string(end.first) + ", model " + std::to_string(block));
        }
    }

    bool ensureFree(int32_t n) {
        if (sizes.empty() || sizes.begin()->first < minLargestRun) {
            if (!grow()) return false;
        }
        int64_t need = 2 * static_cast<int64_t>(n);
        if (need <= 0) return true;
        for (;;) {
            for (const auto& [length, first] : sizes) {
                need -= length;
                if (need <= 0) return true;
            }
            if (!grow()) return false;
        }
    }

    bool grow() {
        AllocationEvent e;
        if (!expect(Kind::Grow, &e)) return false;
        const int64_t oldBlocks = hostBlocks;
        const int64_t step = growthStep / kBlock;
        if (e.oldBlocks != oldBlocks || e.newBlocks != oldBlocks + step || !e.ok) {
            fail("grow: engine " + std::to_string(e.oldBlocks) + "->" +
                 std::to_string(e.newBlocks) + ", model " + std::to_string(oldBlocks) + "->" +
                 std::to_string(oldBlocks + step));
            return false;
        }
        hostBlocks += step;
        for (auto it = sizes.begin(); it != sizes.end(); ++it) {
            const int32_t first = it->second;
            const int32_t length = it->first;
            if (first + length == oldBlocks) {
                sizes.erase(it);
                ptrs[first] = length + static_cast<int32_t>(step);
                sizes.emplace(length + static_cast<int32_t>(step), first);
                treeCatchesUp();
                return true;
            }
        }
        ptrs[static_cast<int32_t>(oldBlocks)] = static_cast<int32_t>(step);
        sizes.emplace(static_cast<int32_t>(step), static_cast<int32_t>(oldBlocks));
        treeCatchesUp();
        return true;
    }

    bool bestFit(int32_t n, Run* run) {
        bool found = false;
        for (const auto& [length, first] : sizes) {
            if (length == n) {
                *run = {first, length};
                return true;
            }
            if (length < n) break;
            *run = {first, length};
            found = true;
        }
        return found;
    }

    void dropSize(int32_t length, int32_t first) {
        auto [lo, hi] = sizes.equal_range(length);
        for (auto it = lo; it != hi; ++it) {
            if (it->second == first) {
                sizes.erase(it);
                return;
            }
        }
    }

    int32_t carve(Run run, Run piece) {
        AllocationEvent e;
        if (!expect(Kind::Carve, &e)) return 0;
        if (!(e.run == run) || !(e.piece == piece)) {
            fail("carve: engine " + str({e.run, e.piece}) + ", model " + str({run, piece}));
            return 0;
        }
        const int32_t s = run.first, len = run.length, p = piece.first, c = piece.length;
        if (c > len) return 0;
        Run rest;
        if (p == s) {
            ptrs.erase(s);
            dropSize(len, s);
            rest = {s + c, len - c};
        } else {
            if (!ptrs.count(s)) return 0;
            ptrs[s] = p - s;
            dropSize(len, s);
            sizes.emplace(p - s, s);
            rest = {p + c, s + len - (p + c)};
        }
        if (rest.length > 0) {
            ptrs[rest.first] = rest.length;
            sizes.emplace(rest.length, rest.first);
        }
        treeCatchesUp();
        return p;
    }

    bool allocate(int32_t hint, int64_t count, int32_t mode, std::vector<Run>* out) {
        out->clear();
        AllocationEvent begin;
        if (!expect(Kind::AllocateBegin, &begin)) return false;
        if (begin.hint != hint || begin.count != count || begin.mode != mode) {
            fail("request: engine hint " + std::to_string(begin.hint) + " count " +
                 std::to_string(begin.count) + " mode " + std::to_string(begin.mode) +
                 ", model hint " + std::to_string(hint) + " count " + std::to_string(count) +
                 " mode " + std::to_string(mode));
            return false;
        }
        const auto n = static_cast<int32_t>(count);
        bool ok = true;
        int32_t cursor = (hint != 0 && ptrs.count(hint)) ? hint : 0;
        if (!ensureFree(n)) {
            ok = false;
        } else {
            int32_t remaining = n;
            while (ok && remaining > 0 && diverged.empty()) {
                Run run, piece;
                if (cursor != 0 && ptrs.count(cursor)) {
                    run = {cursor, ptrs[cursor]};
                    piece = {run.first, std::min(remaining, run.length)};
                    cursor = 0;  // runs never touch: the hint gives the first piece only
                } else {
                    if (mode == BestFit) {
                        if (!bestFit(n, &run)) {
                            ok = false;
                            break;
                        }
                    } else {
                        // The walk of ensureFree may leave fewer blocks than asked
                        // for: when the runs run out, the host file grows.
                        if (sizes.empty() && !grow()) {
                            ok = false;
                            break;
                        }
                        run = {sizes.begin()->second, sizes.begin()->first};
                        if (run.length < kMiddleRun) mode = FromStart;
                    }
                    if (mode == FromMiddle) {
                        const int32_t half = run.length / 2;
                        piece = {run.first + half, std::min(remaining, run.length - half)};
                    } else {
                        piece = {run.first, std::min(remaining, run.length)};
                    }
                }
                const int32_t first = carve(run, piece);
                if (first == 0) {
                    ok = false;
                    break;
                }
                out->push_back({first, piece.length});
                remaining -= piece.length;
            }
        }
        AllocationEvent end;
        if (!expect(Kind::AllocateEnd, &end)) return false;
        if (end.ok != ok || end.runs != *out)
            fail("pieces: engine " + str(end.runs) + (end.ok ? "" : " failed") + ", model " +
                 str(*out) + (ok ? "" : " failed"));
        return ok;
    }

    // Data blocks of a file; a request that fails gives back what it had taken.
    bool allocateForFile(int32_t hint, int64_t count, std::vector<Run>* runs) {
        if (allocate(hint, count, allocMode, runs)) return true;
        for (const Run& r : *runs) release(r.first, r.length);
        runs->clear();
        return false;
    }

    void release(int32_t s, int32_t c) {
        AllocationEvent e;
        if (!expect(Kind::Release, &e)) return;
        if (e.first != s || e.count != c) {
            fail("release: engine " + str({{e.first, e.count}}) + ", model " + str({{s, c}}));
            return;
        }
        auto right = ptrs.find(s + c);
        auto left = ptrs.lower_bound(s);  // first start >= s; the left candidate is before it
        bool hasLeft = false;
        if (left != ptrs.begin()) {
            --left;
            hasLeft = left->first + left->second == s;
        }
        if (right != ptrs.end()) {
            const int32_t rlen = right->second;
            c += rlen;
            dropSize(rlen, right->first);
            ptrs.erase(right);
        }
        if (!hasLeft) {
            ptrs[s] = c;
            sizes.emplace(c, s);
        } else {
            const int32_t l = left->first, llen = left->second;
            ptrs[l] = llen + c;
            dropSize(llen, l);
            sizes.emplace(llen + c, l);
        }
        treeCatchesUp();
    }

    // The fragment table needs room for one more entry before a run is added, even one
    // that joins the last fragment.
    static void addFragment(FileModel* f, int32_t start, int32_t count) {
        if (154 + 8 * static_cast<int64_t>(f->fragments.size()) >= f->fitSize * kBlock)
            ++f->fitSize;
        if (!f->fragments.empty() &&
            f->fragments.back().first + f->fragments.back().length == start)
            f->fragments.back().length += count;
        else
            f->fragments.push_back({start, count});
        f->allBlocks += count;
    }

    // Storing a record that may move: a record whose size in blocks changed takes the
    // shortest run that holds it (after one growth if none does), and only then gives
    // its old blocks back.
    bool storeMoving(FileModel* f) {
        if (f->fitSize == f->storedFit) return true;
        AllocationEvent begin, end;
        if (!expect(Kind::PlaceBegin, &begin)) return false;
        if (begin.count != f->fitSize) fail("a moved record of the wrong size");
        Run run;
        int32_t at = 0;
        if (bestFit(f->fitSize, &run) || (grow() && bestFit(f->fitSize, &run))) {
            at = carve(run, {run.first, f->fitSize});
            if (at == 0 && grow() && bestFit(f->fitSize, &run))
                at = carve(run, {run.first, f->fitSize});
        }
        if (!expect(Kind::PlaceEnd, &end)) return false;
        if (end.ok != (at != 0) || end.first != at)
            fail("record place: engine " + std::to_string(end.first) + ", model " +
                 std::to_string(at));
        if (at == 0) return false;
        const Run old{f->addr, f->storedFit};
        f->addr = at;
        f->storedFit = f->fitSize;
        release(old.first, old.length);
        return true;
    }
};

}  // namespace efsmodel
