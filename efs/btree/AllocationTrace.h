// What the block allocator reports to an observer: every step that hands out or takes
// back blocks, in the order taken. Tests check each choice against a reference; nothing
// in the volume depends on it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace efs {

// A run of blocks: first block and length in blocks.
struct Run {
    int32_t first = 0;
    int32_t length = 0;
    bool operator==(const Run&) const = default;
};

struct AllocationEvent {
    enum class Kind : uint8_t {
        AllocateBegin,  // hint, count, mode: a request for count blocks
        AllocateEnd,    // ok, runs: the pieces taken, in the order taken
        NodeBegin,      // count: a tree needs a node
        NodeEnd,        // ok, first: the node's block
        NodeRelease,    // first, count: a tree gives a node back (a Release follows)
        PlaceBegin,     // count: a record that changed its size in blocks needs a place
        PlaceEnd,       // ok, first: where it goes
        Grow,           // ok, oldBlocks, newBlocks: the host file grows by the growth step
        Carve,          // run, piece: a piece is cut out of a free run
        Release,        // first, count: blocks become free
    };
    Kind kind = Kind::AllocateBegin;
    bool ok = true;
    int32_t hint = 0;
    int32_t count = 0;
    int32_t mode = 0;
    int32_t first = 0;
    int64_t oldBlocks = 0;
    int64_t newBlocks = 0;
    Run run;
    Run piece;
    std::vector<Run> runs;
};

using AllocationTrace = std::function<void(const AllocationEvent&)>;

}  // namespace efs
