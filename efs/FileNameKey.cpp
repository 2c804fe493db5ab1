#include "efs/FileNameKey.h"

#include <cstring>

namespace efs {
namespace {

void mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a = a - b - c;
    a ^= (c >> 13);
    b = b - c - a;
    b ^= (a << 8);
    c = c - a - b;
    c ^= (b >> 13);
    a = a - b - c;
    a ^= (c >> 12);
    b = b - c - a;
    b ^= (a << 16);
    c = c - a - b;
    c ^= (b >> 5);
    a = a - b - c;
    a ^= (c >> 3);
    b = b - c - a;
    b ^= (a << 10);
    c = c - a - b;
    c ^= (b >> 15);
}

// A byte taken as signed and sign-extended to 32 bits.
uint32_t signedByte(char ch) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch)));
}

}  // namespace

int32_t fileHash(const char* name, size_t length) {
    if (name == nullptr) return 0;
    uint32_t a = 0x9E3779B9u, b = 0x9E3779B9u, c = 0;
    const char* p = name;
    size_t left = length;
    while (left >= 3) {
        a += signedByte(p[0]);
        b += signedByte(p[1]);
        c += signedByte(p[2]);
        mix(a, b, c);
        p += 3;
        left -= 3;
    }
    c += static_cast<uint32_t>(4 * length);
    if (left == 2) {
        b += signedByte(p[1]);
        a += signedByte(p[0]);
    } else if (left == 1) {
        a += signedByte(p[0]);
    }
    mix(a, b, c);
    return static_cast<int32_t>(c);
}

int32_t fileHash(const char* name) {
    return name == nullptr ? 0 : fileHash(name, std::strlen(name));
}

FileNameKey FileNameKey::fromName(const char* name) {
    FileNameKey k;
    const size_t n = name ? strnlen(name, kMaxNameLength) : 0;
    if (n) std::memcpy(k.name.data(), name, n);
    k.hash = fileHash(k.name.data(), n);
    return k;
}

std::string FileNameKey::text() const {
    return std::string(name.data(), strnlen(name.data(), name.size()));
}

void FileNameKey::encode(uint8_t* dst) const {
    encodeFixed32(dst, hash);
    std::memcpy(dst + 4, name.data(), name.size());
    dst[34] = 0;
    dst[35] = 0;
}

FileNameKey FileNameKey::decode(const uint8_t* src) {
    FileNameKey k;
    k.hash = decodeFixed32(src);
    std::memcpy(k.name.data(), src + 4, k.name.size());
    return k;
}

namespace {

// Name fields compare as unsigned bytes up to the first zero.
int compareNames(const uint8_t* a, const uint8_t* b) {
    for (int i = 0; i < kFileNameField; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0) return 0;
    }
    return 0;
}

}  // namespace

int FileNameKey::compare(const FileNameKey& a, const FileNameKey& b) {
    if (a.hash != b.hash) return a.hash < b.hash ? -1 : 1;
    return compareNames(reinterpret_cast<const uint8_t*>(a.name.data()),
                        reinterpret_cast<const uint8_t*>(b.name.data()));
}

int FileNameKey::compareEncoded(int32_t hash, const uint8_t* name, const uint8_t* encoded) {
    const int32_t other = decodeFixed32(encoded);
    if (hash != other) return hash < other ? -1 : 1;
    return compareNames(name, encoded + 4);
}

}  // namespace efs
