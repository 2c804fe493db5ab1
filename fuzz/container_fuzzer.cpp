// Opening and walking an arbitrary container: open, list, read every stored file, check,
// close, on a host file held in memory.
//
// Input: one mode byte (bit 0: open for reading and writing instead of read-only), then
// the bytes of the host file. Whatever the bytes:
// - a refused open reports a lastError code and leaves the host file byte for byte as it
//   was;
// - a read-only open, walk and close never write to the host file;
// - a volume that opens for writing and that check() then finds sound stays sound: check()
//   finds nothing after the walk, and after the close the volume opens again read-only
//   and is still sound. (A volume with damage that check() reports, such as a block
//   claimed twice, may be damaged further by a session for writing: only reading the
//   whole volume at every open could rule that out.)
// A loop or an allocation without bound shows up as a libFuzzer timeout or out-of-memory.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "FuzzQuietQt.h"
#include "FuzzSupport.h"
#include "MemoryDisk.h"
#include "efs/EfsFormat.h"
#include "efs/EfsVolume.h"

namespace {

const QString kPath = QStringLiteral("/memory/show.vx");

// Lists, reads and checks an open volume; the problems check() finds.
QStringList walk(EfsVolume& volume, const std::string& fuzzContext) {
    QList<QByteArray> names;
    volume.listFiles(&names);
    static std::vector<char> chunk(64 * 1024);
    int opened = 0;
    for (const QByteArray& name : names) {
        if (++opened > 2000) break;
        const int32_t handle =
            volume.openFile(name.constData(), EfsVolume::AccessRead, EfsVolume::OpenExisting);
        if (handle == 0) {
            FUZZ_CHECK(volume.lastError() != 0);
            continue;
        }
        (void)volume.fileSize(handle);
        int64_t total = 0;
        // Every stored byte lies in the host file; the bound only keeps a damaged volume
        // that repeats blocks from making one run slow.
        while (total < (int64_t(16) << 20)) {
            const int32_t got =
                volume.readFile(handle, chunk.data(), static_cast<int32_t>(chunk.size()));
            FUZZ_CHECK(got >= 0 && got <= static_cast<int32_t>(chunk.size()));
            if (got == 0) break;
            total += got;
        }
        volume.closeFile(handle);
    }
    return volume.check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzQuietQt();
    if (size == 0) return 0;
    const bool readWrite = (data[0] & 1) != 0;
    const uint8_t* original = data + 1;
    const size_t originalSize = size - 1;
    // One disk for the whole process: its host file keeps its capacity from input to
    // input, so an input costs one copy of its bytes and no allocation of its size.
    static const auto disk = std::make_shared<MemoryDisk>();
    std::erase_if(disk->files, [](const auto& file) { return file.first != kPath; });
    disk->changes = 0;
    std::vector<char>& host = disk->files[kPath];
    host.resize(originalSize);
    if (originalSize > 0) std::memcpy(host.data(), original, originalSize);
    // Whether the host file still holds exactly the input's bytes.
    auto unchanged = [&] {
        const auto it = disk->files.find(kPath);
        return it != disk->files.end() && it->second.size() == originalSize &&
               (originalSize == 0 || std::memcmp(it->second.data(), original, originalSize) == 0);
    };
    std::string fuzzContext = readWrite ? "open for writing" : "open read-only";
    bool soundAtOpen = false;

    {
        EfsVolume volume(memoryFactory(disk));
        const bool opened = readWrite ? volume.openVolume(kPath) : volume.openVolumeReadOnly(kPath);
        if (!opened) {
            FUZZ_CHECK(volume.lastError() != EfsVolume::ErrorNone);
            FUZZ_CHECK(!volume.isOpen());
            fuzzContext += ", refused";
            FUZZ_CHECK(unchanged());
            return 0;
        }
        if (readWrite) soundAtOpen = volume.check().isEmpty();
        fuzzContext += soundAtOpen ? ", sound, walk" : ", walk";
        const QStringList problems = walk(volume, fuzzContext);
        if (soundAtOpen) FUZZ_CHECK(problems.isEmpty());
        volume.closeVolume();
    }
    if (!readWrite) {
        fuzzContext = "after a read-only walk";
        FUZZ_CHECK(disk->changes == 0);
        FUZZ_CHECK(unchanged());
        return 0;
    }

    fuzzContext = soundAtOpen ? "reopen read-only after a walk with writing open"
                              : "reopen read-only a damaged volume after a walk with writing open";
    FUZZ_CHECK(disk->files.count(kPath) == 1);
    EfsVolume again(memoryFactory(disk));
    const bool reopened = again.openVolumeReadOnly(kPath);
    if (soundAtOpen) FUZZ_CHECK(reopened);
    if (reopened) {
        const QStringList problems = walk(again, fuzzContext);
        if (soundAtOpen) FUZZ_CHECK(problems.isEmpty());
        again.closeVolume();
    }
    return 0;
}

// ---- Structure-aware mutation ------------------------------------------------------------
//
// One mutation in three sets one field of the header, of a tree node or of a record to a
// value chosen to hit the checks around it (0, -1, neighbours of the current value, the
// block count and its neighbours, node capacities, extremes); the others are libFuzzer's
// own. Nothing is fixed up afterwards. Which structure a block holds is guessed from its
// bytes; a wrong guess is just another mutation. Only the libFuzzer program has it;
// VOXTRAIL_FUZZ_PLAIN_MUTATIONS=1 leaves every mutation to libFuzzer (for comparing).

namespace {

using efs::decodeFixed32;
using efs::encodeFixed32;
using efs::kBlockSize;

// Entries a free-space tree node holds.
constexpr int kFreeOrder = 681;

}  // namespace

#ifdef VOXTRAIL_LIBFUZZER

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

// Node layouts (efs/btree/BTreeNode.h).
constexpr int kFreeEntry = 12;    // free-space tree: 4-byte key, value, right child
constexpr int kFreeCount = 8180;  // entry count; the parent follows
constexpr int kTableEntry = 44;   // file table: 36-byte key, value, right child
constexpr int kTableCount = 8148;
constexpr int kTableOrder = 185;

int32_t interestingValue(std::minstd_rand& rng, int32_t current, int32_t blocks) {
    static const int32_t kCounts[] = {
        kTableOrder / 2,   kTableOrder / 2 + 1,   kTableOrder, kTableOrder + 1,
        kFreeOrder / 2,    kFreeOrder / 2 + 1,    kFreeOrder,  kFreeOrder + 1,
        efs::kInlineLimit, efs::kInlineLimit + 1, kBlockSize};
    switch (rng() % 12) {
        case 0:
            return 0;
        case 1:
            return 1;
        case 2:
            return -1;
        case 3:
            return static_cast<int32_t>(static_cast<uint32_t>(current) + 1);
        case 4:
            return static_cast<int32_t>(static_cast<uint32_t>(current) - 1);
        case 5:
            return blocks - 1;
        case 6:
            return blocks;
        case 7:
            return blocks + 1;
        case 8:
            return INT32_MAX;
        case 9:
            return INT32_MIN;
        case 10:
            return static_cast<int32_t>(rng() % static_cast<uint32_t>(std::max(1, blocks)));
        default:
            return kCounts[rng() % (sizeof kCounts / sizeof kCounts[0])];
    }
}

// The offset within block b of the host bytes of a field to set.
size_t pickField(std::minstd_rand& rng, const uint8_t* host, int32_t b) {
    const uint8_t* block = host + static_cast<size_t>(b) * kBlockSize;
    if (b == 0) {
        // version, open flag, both roots, growth step (both halves), minLargestRun,
        // reserveBlocks, allocMode
        static const size_t kHeader[] = {8, 12, 16, 20, 32, 36, 40, 44, 48};
        return kHeader[rng() % (sizeof kHeader / sizeof kHeader[0])];
    }
    const int32_t freeCount = decodeFixed32(block + kFreeCount);
    const int32_t tableCount = decodeFixed32(block + kTableCount);
    const int32_t fragments = decodeFixed32(block + efs::kRecFragmentsCount);
    const bool freeNode = freeCount >= 0 && freeCount <= kFreeOrder;
    const bool tableNode = tableCount >= 0 && tableCount <= kTableOrder;
    const bool record =
        decodeFixed32(block + efs::kRecFitSize) >= 1 && block[efs::kRecFileName] != 0;
    std::vector<int> kinds;
    if (freeNode) kinds.push_back(0);
    if (tableNode) kinds.push_back(1);
    if (record) kinds.push_back(2);
    const int kind = kinds.empty() ? static_cast<int>(rng() % 3) : kinds[rng() % kinds.size()];
    switch (kind) {
        case 0: {  // free-space node: self, child0, count, parent, or a key, value or child
            const uint32_t n = static_cast<uint32_t>(freeNode ? freeCount : kFreeOrder);
            switch (rng() % 5) {
                case 0:
                    return 0;
                case 1:
                    return 4;
                case 2:
                    return kFreeCount;
                case 3:
                    return kFreeCount + 4;
                default:
                    return 8 + kFreeEntry * (rng() % (n + 1)) + 4 * (rng() % 3);
            }
        }
        case 1: {  // file-table node: self, child0, count, parent, or a hash, value or child
            const uint32_t n = static_cast<uint32_t>(tableNode ? tableCount : kTableOrder);
            static const size_t kInEntry[] = {0, 36, 40};
            switch (rng() % 5) {
                case 0:
                    return 0;
                case 1:
                    return 4;
                case 2:
                    return kTableCount;
                case 3:
                    return kTableCount + 4;
                default:
                    return 8 + kTableEntry * (rng() % (n + 1)) + kInEntry[rng() % 3];
            }
        }
        default: {  // record: its fields, or a fragment's first block or length
            static const size_t kRecord[] = {efs::kRecAddr,           efs::kRecFitSize,
                                             efs::kRecFragmentsCount, efs::kRecAllBlocks,
                                             efs::kRecLiberalSize,    efs::kRecAttributes,
                                             efs::kRecFileSize,       efs::kRecFileSize + 4};
            if (fragments > 0 && rng() % 2 == 0) {
                const uint32_t room = (kBlockSize - efs::kRecData) / efs::kFragmentSize;
                const uint32_t i =
                    rng() % std::min<uint32_t>(static_cast<uint32_t>(fragments) + 1, room);
                return efs::kRecData + efs::kFragmentSize * i + 4 * (rng() % 2);
            }
            return kRecord[rng() % (sizeof kRecord / sizeof kRecord[0])];
        }
    }
}

bool structureMutationsOff() {
    static const bool off = [] {
        const char* v = std::getenv("VOXTRAIL_FUZZ_PLAIN_MUTATIONS");
        return v != nullptr && *v != '\0' && *v != '0';
    }();
    return off;
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int randomStart) {
    std::minstd_rand rng(randomStart);
    // The mode byte, then at least the header block.
    if (structureMutationsOff() || size < 1 + static_cast<size_t>(kBlockSize) || rng() % 3 != 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    uint8_t* host = data + 1;
    const auto blocks = static_cast<int32_t>(std::min<size_t>((size - 1) / kBlockSize, INT32_MAX));
    // Mostly blocks that name themselves (nodes and records), sometimes any block.
    int32_t b = 0;
    if (rng() % 4 != 0) {
        for (int tries = 0; tries < 8; ++tries) {
            const auto candidate = static_cast<int32_t>(rng() % static_cast<uint32_t>(blocks));
            if (candidate == 0 ||
                decodeFixed32(host + static_cast<size_t>(candidate) * kBlockSize) == candidate) {
                b = candidate;
                break;
            }
        }
    } else {
        b = static_cast<int32_t>(rng() % static_cast<uint32_t>(blocks));
    }
    const size_t field = pickField(rng, host, b);
    uint8_t* at = host + static_cast<size_t>(b) * kBlockSize + field;
    if (field + 4 > static_cast<size_t>(kBlockSize)) return LLVMFuzzerMutate(data, size, maxSize);
    encodeFixed32(at, interestingValue(rng, decodeFixed32(at), blocks));
    return size;
}

#endif  // VOXTRAIL_LIBFUZZER

// ---- Starting inputs ---------------------------------------------------------------------

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

std::string pattern(size_t size, int salt) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + salt * 17) >> 3);
    return s;
}

// A volume with the given stored files, made with the given parameters.
std::string smallVolume(const efs::VolumeParams& params, const Files& files) {
    VolumeMaker maker(params);
    for (const auto& [name, bytes] : files) maker.put(name, bytes);
    return maker.close();
}

// Two files written a block at a time in turn, so that each lies in many fragments; then
// the second is removed, leaving as many separate free runs. `blocks` above the free-space
// tree's node capacity makes that tree two levels deep.
std::string interleaved(int64_t stepBlocks, int blocks, bool keepSecond) {
    VolumeMaker maker(VolumeMaker::step(stepBlocks));
    maker.putInTurns({{"ch0_e0.snd", pattern(static_cast<size_t>(blocks) * kBlockSize + 100, 3)},
                      {"ch0_e1.snd", pattern(static_cast<size_t>(blocks) * kBlockSize, 4)}});
    if (!keepSecond) maker.remove("ch0_e1.snd");
    return maker.close();
}

}  // namespace

int fuzzWriteCorpus(const std::string& dir) {
    fuzzQuietQt();
    int n = 0;
    // Each volume twice: mode byte 0 (read-only) and 1 (for writing).
    auto save = [&](const std::string& name, const std::string& volume, bool bothModes = true) {
        if (volume.empty()) return;
        for (char mode : {'\1', '\0'}) {
            if (fuzzWriteFile(dir, name + (mode ? "-rw" : "-ro"), std::string(1, mode) + volume))
                ++n;
            if (!bothModes) break;
        }
    };
    const std::string desc =
        "<!DOCTYPE vxt_project>\n<chapters>\n <chapter name=\"One\">\n"
        "  <entry name=\"a\" desc=\"\" note=\"\"/>\n </chapter>\n</chapters>\n";
    std::string sound = "RIFF....WAVEfmt ";
    for (int i = 0; sound.size() < 20000; ++i) sound += static_cast<char>(i * 31);
    const Files project{{"desc.xml", desc}, {"ch0_e0.snd", sound}};

    // Small volumes: a growth step of one block (or a few) keeps them a few blocks long.
    const efs::VolumeParams one = VolumeMaker::step(1);
    save("small-empty", smallVolume(one, {}));
    save("small-empty-step8", smallVolume(VolumeMaker::step(8), {}));
    save("small-inline",
         smallVolume(one, {{"desc.xml", desc},
                           {"empty", std::string()},
                           {"full", pattern(efs::kInlineLimit, 1)},
                           {std::string(efs::kMaxNameLength, 'n'), "a name of 29 bytes"}}));
    save("small-project", smallVolume(one, project));
    save("small-fragmented", interleaved(1, 6, false));
    save("small-fragmented-both", interleaved(2, 4, true));
    {
        Files many;
        for (int i = 0; i < 200; ++i)
            many.push_back({"ch" + std::to_string(i / 10) + "_e" + std::to_string(i % 10) + ".snd",
                            i % 50 == 0 ? pattern(100, i) : std::string()});
        save("small-file-table-two-levels", smallVolume(one, many));
    }
    {
        efs::VolumeParams p = one;
        p.reserveBlocks = 3;
        p.allocMode = efs::AllocFromStart;
        save("small-reserve-from-start", smallVolume(p, {{"a", pattern(20000, 2)}, {"b", "b"}}));
        p.reserveBlocks = 0;
        p.allocMode = efs::AllocBestFit;
        p.minLargestRun = 3;
        save("small-best-fit", smallVolume(p, {{"a", pattern(30000, 4)}, {"b", pattern(9000, 5)}}));
    }
    {
        // Left open: the open flag is 1, a file still holds its unused reserve.
        efs::VolumeParams p = one;
        p.reserveBlocks = 4;
        VolumeMaker maker(p);
        maker.put("done", pattern(10000, 6));
        const int32_t h =
            maker.volume().openFile("open", EfsVolume::AccessWrite, EfsVolume::CreateAlways);
        const std::string bytes = pattern(9000, 7);
        if (h != 0 && maker.volume().writeFile(h, bytes.data(), static_cast<int32_t>(bytes.size())))
            save("small-left-open", maker.snapshot());
    }
    {
        // A lone header: a volume whose trees were never made.
        std::string header(kBlockSize, '\0');
        std::copy(efs::kMagic.begin(), efs::kMagic.end(), header.begin());
        encodeFixed32(reinterpret_cast<uint8_t*>(header.data()) + efs::kHeaderVersion,
                      efs::kFormatVersion);
        one.encode(reinterpret_cast<uint8_t*>(header.data()) + efs::kHeaderParams);
        save("small-header-only", header);
    }

    // Damaged small volumes: cut short, a header byte changed.
    const std::string inlineVolume =
        smallVolume(one, {{"desc.xml", desc}, {"x", pattern(3000, 8)}, {"y", pattern(20000, 9)}});
    for (size_t cut : {size_t(16), size_t(100), size_t(kBlockSize), size_t(2 * kBlockSize),
                       inlineVolume.size() - kBlockSize, inlineVolume.size() - 1})
        if (cut < inlineVolume.size())
            save("small-truncated-" + std::to_string(cut), inlineVolume.substr(0, cut));
    for (size_t at : {size_t(0), size_t(8), size_t(12), size_t(16), size_t(20), size_t(24),
                      size_t(32), size_t(48)}) {
        std::string damaged = inlineVolume;
        if (at < damaged.size()) {
            damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
            save("small-header-byte-" + std::to_string(at), damaged);
        }
    }

    // Large ones: a free-space tree of two levels needs more free runs than one node
    // holds, each between used blocks; and whole volumes at the default growth step.
    save("large-free-tree-two-levels", interleaved(1, kFreeOrder + 10, false));
    const efs::VolumeParams defaults;
    save("whole-empty", smallVolume(defaults, {}), false);
    save("whole-project", smallVolume(defaults, project));
    return n;
}
