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
#include "efs/EfsVolume.h"

namespace efstest {

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
