// Helpers shared by the volume tests: private paths, whole-file reads and deliberate
// damage to the bytes of a host file.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "efs/Coding.h"
#include "efs/EfsFile.h"
#include "efs/EfsVolume.h"

namespace efstest {

// A host file that hands every call to a real POSIX file, for tests that watch or fail
// some of them. readAt and writeAt keep their default (seek, then read or write), so an
// override of read or write sees every transfer.
class ForwardingFile : public EfsFile {
  public:
    bool open(const QString& p) override { return m_file.open(p); }
    int32_t read(void* b, int32_t n) override { return m_file.read(b, n); }
    int32_t write(const void* b, int32_t n) override { return m_file.write(b, n); }
    int64_t seek(int64_t p) override { return m_file.seek(p); }
    int64_t pos() override { return m_file.pos(); }
    int64_t size() override { return m_file.size(); }
    bool close() override { return m_file.close(); }
    bool truncate(int64_t n) override { return m_file.truncate(n); }
    bool isEmpty() override { return m_file.isEmpty(); }
    void remove(const QString& p) override { m_file.remove(p); }
    bool move(const QString& a, const QString& b) override { return m_file.move(a, b); }
    bool sync() override { return m_file.sync(); }
    bool openReadOnly(const QString& p) override { return m_file.openReadOnly(p); }

  protected:
    EfsPosixFile m_file;
};

// Flips every byte; can be told to fail its next decode.
class XorEncryptor final : public EfsEncryptor {
  public:
    bool encode(uint8_t* b, int32_t n) override {
        for (int32_t i = 0; i < n; ++i) b[i] ^= 0x5A;
        return true;
    }
    bool decode(uint8_t* b, int32_t n) override {
        if (failNext) {
            failNext = false;
            return false;
        }
        for (int32_t i = 0; i < n; ++i) b[i] ^= 0x5A;
        return true;
    }
    bool failNext = false;
};

inline QString tempDir() {
    const char* env = std::getenv("VOXTRAIL_TEST_TMP");
    QString dir = env ? QString::fromLocal8Bit(env) : QDir::tempPath();
    return dir;
}

// A fresh path in the test's private folder; any earlier file of that name is removed.
inline QString freshPath(const QString& name) {
    const QString path = tempDir() + "/" + name;
    QFile::remove(path);
    return path;
}

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

inline void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
}

inline int32_t fixed32At(const QByteArray& bytes, int64_t offset) {
    return efs::decodeFixed32(reinterpret_cast<const uint8_t*>(bytes.constData()) + offset);
}

inline void putFixed32(const QString& path, int64_t offset, int32_t value) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return;
    uint8_t raw[4];
    efs::encodeFixed32(raw, value);
    f.seek(offset);
    f.write(reinterpret_cast<const char*>(raw), 4);
}

inline void putFixed64(const QString& path, int64_t offset, int64_t value) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return;
    uint8_t raw[8];
    efs::encodeFixed64(raw, value);
    f.seek(offset);
    f.write(reinterpret_cast<const char*>(raw), 8);
}

inline bool longTests() {
    const char* env = std::getenv("VOXTRAIL_LONG_TESTS");
    return env && env[0] == '1';
}

inline QString joined(const QStringList& problems) { return problems.join("\n"); }

}  // namespace efstest
