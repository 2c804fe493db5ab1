// The bytes of a container (.vx): block grid, volume header, parameter block and the
// per-file record. Every integer is little-endian two's complement (efs/Coding.h).
//
// Block grid: blocks of kBlockSize bytes; block n starts at byte n * kBlockSize of the
// host file. Block 0 holds the header; block number 0 also means "no block" wherever a
// block number is stored (tree roots, child links, record addresses).
//
// Volume header, block 0, read and written straight through the host file:
//
//   OFFSET  SIZE  DESCRIPTION
//        0     8  magic: 77 77 77 88 88 88 66 FD
//        8     4  version; kFormatVersion is written on creation, higher ones are refused
//       12     4  open flag: 1 while the volume is open, 0 after a clean close
//       16     4  root block of the free-space tree (0 = not created yet)
//       20     4  root block of the file-table tree (0 = not created yet)
//       24    28  VolumeParams, see below
//       52  8140  reserved, zero
//
// VolumeParams, 28 bytes at header offset 24:
//
//   OFFSET  SIZE  DESCRIPTION
//        0     8  blockSize, must be 8192
//        8     8  growthStep: bytes added to the host file per growth (default 8388608)
//       16     4  minLargestRun: grow when the longest free run is shorter (default 1)
//       20     4  reserveBlocks: extra data blocks reserved at each growth of a file
//       24     4  allocMode for records and file data (0 start, 1 middle, 2 best fit)
//
// FitRecord, fitSize whole blocks from block addr, one per stored file:
//
//   OFFSET  SIZE  DESCRIPTION
//        0     4  addr: the record's own first block (anything else means damage)
//        4     4  fitSize: blocks the record occupies, at least 1
//        8     4  fragmentsCount: entries of the fragment table; 0 = data inline
//       12     4  allBlocks: sum of the fragment sizes
//       16     4  liberalSize: data blocks reserved at the last growth
//       20    12  reserved, zero
//       32    30  fileName: at most 29 bytes, zero-terminated, zero-filled
//       62     4  attributes: kept for the caller, 0 on creation
//       66     8  fileSize in bytes (unaligned)
//       74     4  crc: reserved, written as 0
//       78    56  reserved, zero
//      134     4  creationTime, seconds since 1970 UTC
//      138     4  lastChangeTime
//      142     4  lastAccessTime
//      146  rest  inline data (fragmentsCount 0), or the fragment table: fragmentsCount
//                 entries of { int32 first block, int32 length in blocks }, in file order
//
// Bytes 32 to 145 form the file-info part that fileInfo hands out.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "efs/Coding.h"

namespace efs {

constexpr int32_t kBlockSize = 8192;
constexpr int32_t kFormatVersion = 6;
constexpr int64_t kDefaultGrowthStep = 8388608;
constexpr int32_t kMinParamsBlockSize = 154;
constexpr std::array<uint8_t, 8> kMagic = {0x77, 0x77, 0x77, 0x88, 0x88, 0x88, 0x66, 0xFD};

// Volume header offsets.
constexpr int kHeaderMagic = 0;
constexpr int kHeaderVersion = 8;
constexpr int kHeaderOpenFlag = 12;
constexpr int kHeaderFreeRoot = 16;
constexpr int kHeaderFileRoot = 20;
constexpr int kHeaderParams = 24;
constexpr int kHeaderUsedBytes = 52;  // a shorter header cannot be read at all

// FitRecord offsets.
constexpr int kRecAddr = 0;
constexpr int kRecFitSize = 4;
constexpr int kRecFragmentsCount = 8;
constexpr int kRecAllBlocks = 12;
constexpr int kRecLiberalSize = 16;
constexpr int kRecFileName = 32;
constexpr int kRecAttributes = 62;
constexpr int kRecFileSize = 66;
constexpr int kRecCrc = 74;
constexpr int kRecCreationTime = 134;
constexpr int kRecLastChangeTime = 138;
constexpr int kRecLastAccessTime = 142;
constexpr int kRecData = 146;
constexpr int kFileInfoOffset = 32;
constexpr int kFileInfoSize = 114;
constexpr int kFileNameField = 30;
constexpr int kMaxNameLength = 29;
constexpr int kFragmentSize = 8;
// Inline area of a one-block record.
constexpr int32_t kInlineLimit = kBlockSize - kRecData;  // 8046
// A record grows by a block before a fragment is appended when
// kFragmentRoom + 8 * fragmentsCount >= fitSize * kBlockSize.
constexpr int32_t kFragmentRoom = 154;

struct VolumeParams {
    int64_t blockSize = kBlockSize;
    int64_t growthStep = kDefaultGrowthStep;
    int32_t minLargestRun = 1;
    int32_t reserveBlocks = 0;
    int32_t allocMode = 1;

    static constexpr int kEncodedSize = 28;
    void encode(uint8_t* dst) const {
        encodeFixed64(dst, blockSize);
        encodeFixed64(dst + 8, growthStep);
        encodeFixed32(dst + 16, minLargestRun);
        encodeFixed32(dst + 20, reserveBlocks);
        encodeFixed32(dst + 24, allocMode);
    }
    static VolumeParams decode(const uint8_t* src) {
        VolumeParams p;
        p.blockSize = decodeFixed64(src);
        p.growthStep = decodeFixed64(src + 8);
        p.minLargestRun = decodeFixed32(src + 16);
        p.reserveBlocks = decodeFixed32(src + 20);
        p.allocMode = decodeFixed32(src + 24);
        return p;
    }
    bool operator==(const VolumeParams&) const = default;
};

struct Fragment {
    int32_t addr = 0;
    int32_t size = 0;
};

// The in-memory image of one record: exactly fitSize * kBlockSize bytes, so that the
// reserved bytes and the inline area travel unchanged between disk and memory.
class FitRecord {
  public:
    FitRecord() : m_bytes(kBlockSize, 0) {}

    uint8_t* data() { return m_bytes.data(); }
    const uint8_t* data() const { return m_bytes.data(); }
    int64_t byteSize() const { return static_cast<int64_t>(m_bytes.size()); }
    // Sets the buffer to blocks * kBlockSize bytes; new bytes are zero.
    void resizeBlocks(int32_t blocks) {
        m_bytes.resize(static_cast<size_t>(blocks) * kBlockSize, 0);
    }

    int32_t addr() const { return get32(kRecAddr); }
    void setAddr(int32_t v) { set32(kRecAddr, v); }
    int32_t fitSize() const { return get32(kRecFitSize); }
    void setFitSize(int32_t v) { set32(kRecFitSize, v); }
    int32_t fragmentsCount() const { return get32(kRecFragmentsCount); }
    void setFragmentsCount(int32_t v) { set32(kRecFragmentsCount, v); }
    int32_t allBlocks() const { return get32(kRecAllBlocks); }
    void setAllBlocks(int32_t v) { set32(kRecAllBlocks, v); }
    int32_t liberalSize() const { return get32(kRecLiberalSize); }
    void setLiberalSize(int32_t v) { set32(kRecLiberalSize, v); }
    int32_t attributes() const { return get32(kRecAttributes); }
    void setAttributes(int32_t v) { set32(kRecAttributes, v); }
    int64_t fileSize() const { return decodeFixed64(m_bytes.data() + kRecFileSize); }
    void setFileSize(int64_t v) { encodeFixed64(m_bytes.data() + kRecFileSize, v); }
    int32_t crc() const { return get32(kRecCrc); }
    int32_t creationTime() const { return get32(kRecCreationTime); }
    void setCreationTime(int32_t v) { set32(kRecCreationTime, v); }
    int32_t lastChangeTime() const { return get32(kRecLastChangeTime); }
    void setLastChangeTime(int32_t v) { set32(kRecLastChangeTime, v); }
    int32_t lastAccessTime() const { return get32(kRecLastAccessTime); }
    void setLastAccessTime(int32_t v) { set32(kRecLastAccessTime, v); }

    // The stored name: up to the first zero of the 30-byte field, at most 29 bytes.
    std::string fileName() const {
        const char* p = reinterpret_cast<const char*>(m_bytes.data() + kRecFileName);
        return std::string(p, strnlen(p, kMaxNameLength));
    }
    // Stores name cut to 29 bytes, zero-terminated and zero-filled.
    void setFileName(const char* name) {
        uint8_t* p = m_bytes.data() + kRecFileName;
        std::memset(p, 0, kFileNameField);
        if (name) std::memcpy(p, name, strnlen(name, kMaxNameLength));
    }

    // Fragment i of the table; the caller keeps i within the record's bytes.
    Fragment fragment(int32_t i) const {
        const uint8_t* p = m_bytes.data() + kRecData + static_cast<size_t>(i) * kFragmentSize;
        return {decodeFixed32(p), decodeFixed32(p + 4)};
    }
    void setFragment(int32_t i, Fragment f) {
        uint8_t* p = m_bytes.data() + kRecData + static_cast<size_t>(i) * kFragmentSize;
        encodeFixed32(p, f.addr);
        encodeFixed32(p + 4, f.size);
    }
    // Room for fragment entries in the current buffer.
    int64_t fragmentCapacity() const { return (byteSize() - kRecData) / kFragmentSize; }

    uint8_t* inlineData() { return m_bytes.data() + kRecData; }
    const uint8_t* inlineData() const { return m_bytes.data() + kRecData; }

  private:
    int32_t get32(int off) const { return decodeFixed32(m_bytes.data() + off); }
    void set32(int off, int32_t v) { encodeFixed32(m_bytes.data() + off, v); }

    std::vector<uint8_t> m_bytes;
};

}  // namespace efs
