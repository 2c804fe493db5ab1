// Helpers of the vxtool tests: running the built program, private paths, whole-file reads
// and deliberate damage to a container's bytes.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

#include "efs/Coding.h"
#include "efs/EfsVolume.h"
#include "efs/EfsVolumeProbe.h"

namespace vxtest {

struct Result {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

inline std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << "exit " << r.code << ", stderr: " << r.err.toStdString();
}

// Runs vxtool with args, feeding input to its standard input; a run that takes longer than
// timeoutMs is killed and fails.
inline Result vxtool(const QStringList& args, const QByteArray& input = {}, int timeoutMs = 60000) {
    QProcess p;
    p.setProgram(QStringLiteral(VXTOOL_PROGRAM));
    p.setArguments(args);
    p.start();
    Result r;
    if (!p.waitForStarted(10000)) {
        r.err = "vxtool did not start";
        return r;
    }
    if (!input.isEmpty()) p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = "vxtool did not finish";
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline QString tempDir() {
    const char* env = std::getenv("VOXTRAIL_TEST_TMP");
    return env ? QString::fromLocal8Bit(env) : QDir::tempPath();
}

// A fresh path in the test's private folder; anything of that name is removed first.
inline QString freshPath(const QString& name) {
    const QString path = tempDir() + "/" + name;
    QFileInfo info(path);
    if (info.isDir())
        QDir(path).removeRecursively();
    else
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
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Deterministic, incompressible-looking bytes.
inline QByteArray patternBytes(int64_t size, uint32_t variant) {
    QByteArray b(size, Qt::Uninitialized);
    uint32_t x = variant * 2654435761u + 1;
    for (int64_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b.data()[i] = static_cast<char>(x >> 24);
    }
    return b;
}

inline void putFixed32(const QString& path, int64_t offset, int32_t value) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    uint8_t raw[4];
    efs::encodeFixed32(raw, value);
    ASSERT_TRUE(f.seek(offset));
    ASSERT_EQ(f.write(reinterpret_cast<const char*>(raw), 4), 4);
}

inline int32_t fixed32At(const QByteArray& bytes, int64_t offset) {
    return efs::decodeFixed32(reinterpret_cast<const uint8_t*>(bytes.constData()) + offset);
}

// The stored record of name as the volume reads it; the volume is closed again.
inline efs::FitRecord storedRecord(const QString& path, const char* name) {
    efs::FitRecord record;
    EfsVolume v;
    EXPECT_TRUE(v.openVolumeReadOnly(path));
    EXPECT_TRUE(EfsVolumeProbe(v).loadStoredRecord(name, &record)) << name;
    return record;
}

// vxtool check FILE finds nothing and leaves the file as it was.
inline void expectCheckClean(const QString& path) {
    const QByteArray before = readAll(path);
    const Result r = vxtool({"check", path});
    EXPECT_EQ(r.code, 0) << path.toStdString() << ": " << r.out.toStdString() << r;
    EXPECT_TRUE(r.out.contains("no problems found")) << r.out.toStdString();
    EXPECT_EQ(readAll(path), before) << "check changed " << path.toStdString();
}

}  // namespace vxtest
