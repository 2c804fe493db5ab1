#ifndef VOXTRAIL_FUZZ_FUZZSUPPORT_H
#define VOXTRAIL_FUZZ_FUZZSUPPORT_H

// Shared pieces of the fuzz targets. Every target defines LLVMFuzzerTestOneInput (run by
// libFuzzer, or by the replay program in the normal build) and fuzzWriteCorpus, which
// writes the target's starting inputs into a folder.
//
// A target reports a fault by aborting through FUZZ_CHECK: libFuzzer keeps the input as a
// crash, and the replay test fails.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Writes the target's starting inputs as files into `dir` (which exists). Returns how many.
int fuzzWriteCorpus(const std::string& dir);

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line,
                                         const std::string& context) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    if (!context.empty()) std::fprintf(stderr, "  while: %s\n", context.c_str());
    std::fflush(stderr);
    std::abort();
}

// `fuzzContext` is a std::string in scope naming the operation being checked.
#define FUZZ_CHECK(cond)                                                      \
    do {                                                                      \
        if (!(cond)) fuzzCheckFailed(#cond, __FILE__, __LINE__, fuzzContext); \
    } while (0)

// Reads typed values from the fuzzer's bytes. Past the end every value reads as zero, so
// any byte string decodes to a complete program.
class FuzzInput final {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    size_t remaining() const { return m_size - m_pos; }

    uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    bool flag() { return (u8() & 1) != 0; }
    // A value in [lo, hi], hi - lo below 65536.
    long range(long lo, long hi) {
        const long span = hi - lo + 1;
        return lo + static_cast<long>(span <= 256 ? u8() % span : u16() % span);
    }
    // Up to n bytes (fewer at the end of the input).
    std::vector<char> bytes(size_t n) {
        n = std::min(n, remaining());
        std::vector<char> out(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return out;
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Builds inputs in the byte order FuzzInput reads them.
class FuzzOutput final {
  public:
    void u8(unsigned v) { m_bytes.push_back(static_cast<char>(v & 0xff)); }
    void u16(unsigned v) {
        u8(v);
        u8(v >> 8);
    }
    void bytes(const std::string& s) { m_bytes.insert(m_bytes.end(), s.begin(), s.end()); }
    const std::string& str() const { return m_bytes; }

  private:
    std::string m_bytes;
};

// Writes `bytes` to dir/name; false when the file cannot be written.
inline bool fuzzWriteFile(const std::string& dir, const std::string& name,
                          const std::string& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

#endif  // VOXTRAIL_FUZZ_FUZZSUPPORT_H
