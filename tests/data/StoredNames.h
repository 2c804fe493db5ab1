// The stored files of tests/data/stored_names.vx: names with bytes of 0x80 and above and
// of every length modulo 3, each with the hash a second, independent implementation of
// the file-table hash gives it ("abc" and "desc.xml" are the format's own examples), and
// the size and bytes of the file stored under it.
//
// make_stored_names.cpp wrote the container once from this table; the tests only read it.
// A name stored by one implementation must be found by another, so the hashes here are
// never recomputed from the engine.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace storednames {

struct StoredName {
    QByteArray name;  // the bytes as stored
    uint32_t hash;
    int size;  // bytes of the stored file
};

inline const std::vector<StoredName>& table() {
    static const std::vector<StoredName> names = {
        {"a", 0x566371F6u, 0},                          // length 1
        {"ab", 0x964AA517u, 1},                         // 2
        {"abc", 0x81764D31u, 100},                      // 3
        {"abcd", 0x2D39637Eu, 8046},                    // 4: the inline limit
        {"caf\xC3\xA9", 0x04174FBCu, 8047},             // 5: "café", one block more
        {"\xE9", 0x8F5066DFu, 9000},                    // 1, one byte >= 0x80
        {"na\xC3\xAFve-\xC3\xBC", 0x2137F4CEu, 24000},  // 9: "naïve-ü"
        {"\xCE\xA9mega", 0x77692A9Au, 5000},            // 6: "Ωmega"
        {QByteArray(29, '\xFF'), 0xFAC71DC6u, 29},      // 29, the longest name
        {"ch12_e345.snd", 0xCBA9A5AFu, 17000},          // 13
        {"desc.xml", 0x0605CA63u, 300},                 // 8
    };
    return names;
}

// The bytes of the file stored under name: the name's bytes folded into a counter, so no
// two files and no two blocks of one file hold the same bytes.
inline QByteArray content(const StoredName& n) {
    QByteArray out(n.size, '\0');
    uint32_t x = n.hash;
    for (int i = 0; i < n.size; ++i) {
        x = x * 1103515245u + 12345u + static_cast<uint8_t>(n.name[i % n.name.size()]);
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

}  // namespace storednames
