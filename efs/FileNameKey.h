// The key of the file table.
//
// FileNameKey, 36 bytes in a file-table node entry:
//
//   OFFSET  SIZE  DESCRIPTION
//        0     4  hash: fileHash of the name field's text, signed
//        4    30  name: the name's first 29 bytes at most, then zero bytes
//       34     2  padding, zero
//
// Keys order by hash as a signed 32-bit integer, then by the name bytes as unsigned
// values up to the first zero.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "efs/EfsFormat.h"

namespace efs {

// The name hash of the file table: three-word mixing over signed bytes, wrapping
// unsigned arithmetic. A null name hashes to 0.
int32_t fileHash(const char* name);
int32_t fileHash(const char* name, size_t length);

struct FileNameKey {
    static constexpr int kEncodedSize = 36;

    int32_t hash = 0;
    std::array<char, kFileNameField> name{};

    // Builds the key of name, cut to 29 bytes.
    static FileNameKey fromName(const char* name);
    std::string text() const;

    void encode(uint8_t* dst) const;
    static FileNameKey decode(const uint8_t* src);
    // <0, 0, >0 in key order.
    static int compare(const FileNameKey& a, const FileNameKey& b);
    // The same order between a key given by its hash and 30-byte name field and an
    // encoded key, without decoding it.
    static int compareEncoded(int32_t hash, const uint8_t* name, const uint8_t* encoded);
    bool operator<(const FileNameKey& o) const { return compare(*this, o) < 0; }
    bool operator==(const FileNameKey& o) const { return compare(*this, o) == 0; }
};

}  // namespace efs
