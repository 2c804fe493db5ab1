#ifndef VOXTRAIL_TESTS_STREAM_TEST_STREAMS_H
#define VOXTRAIL_TESTS_STREAM_TEST_STREAMS_H

// Streams over plain memory for the tests, written only against the public interfaces.

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/JStream.h"

// A JStream over a byte vector. Seeks past the end are allowed (unless `strictSeek` is set)
// and do not grow the data; a write there fills the gap with zero bytes; read returns 0 at
// the end. When `failWritesAfter`
// is not negative, writes fail (-1) once that many bytes have been accepted in total.
class VectorStream : public JStream {
  public:
    std::vector<char> bytes;
    qint64 position = 0;
    bool open = true;
    qint64 failWritesAfter = -1;
    qint64 accepted = 0;
    int flushes = 0;
    bool strictSeek = false;

    bool seek(qint64 pos) override {
        if (!open || pos < 0) return false;
        if (strictSeek && pos > static_cast<qint64>(bytes.size())) return false;
        position = pos;
        return true;
    }
    qint64 size() override { return open ? static_cast<qint64>(bytes.size()) : -1; }
    using JInputStream::read;
    qint64 read(char* data, qint64 maxSize) override {
        if (!open || maxSize < 0) return -1;
        const qint64 left = static_cast<qint64>(bytes.size()) - position;
        const qint64 n = std::max<qint64>(0, std::min(left, maxSize));
        if (n > 0) std::memcpy(data, bytes.data() + position, static_cast<size_t>(n));
        position += n;
        return n;
    }
    bool atEnd() const override { return position >= static_cast<qint64>(bytes.size()); }
    qint64 pos() const override { return position; }
    void reset() override { seek(0); }
    void close() override { open = false; }
    using JOutputStream::write;
    qint64 write(const char* data, qint64 n) override {
        if (!open || n < 0) return -1;
        if (failWritesAfter >= 0) {
            n = std::min(n, failWritesAfter - accepted);
            if (n <= 0) return -1;
        }
        if (position + n > static_cast<qint64>(bytes.size()))
            bytes.resize(static_cast<size_t>(position + n), '\0');
        std::memcpy(bytes.data() + position, data, static_cast<size_t>(n));
        position += n;
        accepted += n;
        return n;
    }
    void flush() override { ++flushes; }
    void resize(qint64 n) override {
        if (n >= 0) bytes.resize(static_cast<size_t>(n), '\0');
    }
};

// The private working folder CTest gives each test program.
inline QString testDir() {
    const char* dir = std::getenv("VOXTRAIL_TEST_TMP");
    return QString::fromLocal8Bit(dir != nullptr ? dir : ".");
}

inline bool longTests() {
    const char* v = std::getenv("VOXTRAIL_LONG_TESTS");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

#endif  // VOXTRAIL_TESTS_STREAM_TEST_STREAMS_H
