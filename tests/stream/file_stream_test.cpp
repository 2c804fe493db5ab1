// File streams over real files in the test's private folder, and file-time conversion.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "stream/JFileStream.h"
#include "test_streams.h"

namespace {

QString pathOf(const char* name) { return testDir() + QLatin1Char('/') + QLatin1String(name); }

QString makeFile(const char* name, const QByteArray& content) {
    const QString path = pathOf(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    return path;
}

QByteArray contentOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray("<missing>");
    return f.readAll();
}

TEST(FileInputStream, RefusesEmptyPathsDirectoriesAndMissingFiles) {
    JFileInputStream s;
    EXPECT_FALSE(s.open(QString()));
    EXPECT_FALSE(s.open(testDir()));
    EXPECT_FALSE(s.open(pathOf("no-such-file")));
    char buf[4];
    EXPECT_EQ(s.read(buf, 4), -1);
    EXPECT_EQ(s.pos(), -1);
    EXPECT_FALSE(s.seek(0));
    EXPECT_EQ(s.lastModified(), 0);
}

TEST(FileInputStream, ReadsAFileToItsEnd) {
    const QString path = makeFile("ten.bin", QByteArray("0123456789"));
    JFileInputStream s(path);
    char buf[100];
    EXPECT_EQ(s.size(), 10);
    EXPECT_EQ(s.read(buf, 100), 10);
    EXPECT_EQ(QByteArray(buf, 10), QByteArray("0123456789"));
    EXPECT_TRUE(s.atEnd());
    EXPECT_EQ(s.read(buf, 100), 0);
    EXPECT_EQ(s.read(buf, -1), -1);
    EXPECT_TRUE(s.seek(4));
    EXPECT_FALSE(s.atEnd());
    EXPECT_EQ(s.read(), '4');
    EXPECT_EQ(s.pos(), 5);
    s.reset();
    EXPECT_EQ(s.pos(), 0);
    EXPECT_EQ(s.readLine(buf, 100), 0);
    EXPECT_TRUE(s.readLine().isEmpty());
}

TEST(FileInputStream, OpensTheFileOfAQFileAndReportsItsTime) {
    const QString path = makeFile("timed.bin", QByteArray("x"));
    QFile named(path);
    JFileInputStream s(named);
    EXPECT_EQ(s.read(), 'x');
    EXPECT_EQ(s.lastModified(), QFileInfo(path).lastModified().toSecsSinceEpoch());
    // A second open replaces the first file.
    EXPECT_TRUE(s.open(makeFile("second.bin", QByteArray("yz"))));
    EXPECT_EQ(s.read(), 'y');
}

TEST(FileInputStream, ReachesPositionsPastFourGiB) {
    const QString path = pathOf("sparse.bin");
    const qint64 far = (qint64(5) << 30) + 7;  // past 2 GiB and past 4 GiB
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const bool made = ::pwrite(fd, "ABC", 3, far) == 3;
    ::close(fd);
    if (!made) GTEST_SKIP() << "no room for a sparse file here";
    {
        JFileInputStream s(path);
        EXPECT_EQ(s.size(), far + 3);
        ASSERT_TRUE(s.seek(far));
        EXPECT_EQ(s.pos(), far);
        char buf[8];
        EXPECT_EQ(s.read(buf, 8), 3);
        EXPECT_EQ(QByteArray(buf, 3), QByteArray("ABC"));
        EXPECT_EQ(s.pos(), far + 3);
        EXPECT_TRUE(s.atEnd());
        ASSERT_TRUE(s.seek(qint64(3) << 30));
        EXPECT_EQ(s.read(), 0);
        EXPECT_FALSE(s.atEnd());
    }
    QFile::remove(path);
}

TEST(FileOutputStream, WritesThroughTheToolkitsFile) {
    const QString path = pathOf("out.bin");
    {
        JFileOutputStream s(path, QIODevice::WriteOnly);
        EXPECT_EQ(s.write("hello"), 5);
        EXPECT_EQ(s.pos(), 5);
        s.flush();
        EXPECT_EQ(contentOf(path), QByteArray("hello"));
        EXPECT_TRUE(s.seek(1));
        EXPECT_EQ(s.write('E'), 1);
        s.resize(4);
        EXPECT_EQ(s.size(), 4);
    }
    EXPECT_EQ(contentOf(path), QByteArray("hEll"));
    JFileOutputStream refused(testDir(), QIODevice::WriteOnly);
    EXPECT_EQ(refused.write("x"), -1);
    EXPECT_FALSE(refused.open(QString(), QIODevice::WriteOnly));
    QFile named(path);
    JFileOutputStream appending(named, QIODevice::Append);
    EXPECT_EQ(appending.write("!"), 1);
    appending.close();
    EXPECT_EQ(appending.write("?"), -1);
    EXPECT_EQ(contentOf(path), QByteArray("hEll!"));
}

TEST(FileStream, EndOfFileReadsAsMinusOne) {
    const QString path = makeFile("rw.bin", QByteArray("abc"));
    JFileStream s(path);
    char buf[10];
    EXPECT_EQ(s.read(buf, 10), 3);
    EXPECT_TRUE(s.atEnd());
    EXPECT_EQ(s.read(buf, 10), -1);
    EXPECT_EQ(s.read(buf, 0), 0);
    EXPECT_EQ(s.read(), -1);
}

TEST(FileStream, OpenCreatesMissingFilesAndKeepsExistingOnes) {
    const QString created = pathOf("created.bin");
    QFile::remove(created);
    {
        JFileStream s;
        EXPECT_FALSE(s.open(QString()));
        EXPECT_FALSE(s.open(testDir()));
        ASSERT_TRUE(s.open(created));
        EXPECT_EQ(s.size(), 0);
        EXPECT_EQ(s.write("line one\nline two\n"), 18);
    }  // the destructor flushes
    EXPECT_EQ(contentOf(created), QByteArray("line one\nline two\n"));
    JFileStream s(QFile{created});
    EXPECT_EQ(s.pos(), 0);
    EXPECT_EQ(s.size(), 18);
    EXPECT_EQ(s.readLine(), QByteArray("line one\n"));
    char buf[32];
    EXPECT_EQ(s.readLine(buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "line two\n");
    // One position serves reading and writing.
    ASSERT_TRUE(s.seek(5));
    EXPECT_EQ(s.write("ONE"), 3);
    EXPECT_EQ(s.read(buf, 1), 1);
    EXPECT_EQ(buf[0], '\n');
    s.resize(8);
    s.flush();
    EXPECT_EQ(contentOf(created), QByteArray("line ONE"));
    s.close();
    EXPECT_EQ(s.write("x"), -1);
    EXPECT_EQ(s.read(buf, 1), -1);
}

// Points TMPDIR at a fresh folder of its own for the life of the object, so that files left
// in the shared temporary folder by other runs cannot be mistaken for this test's.
class PrivateTempDir {
  public:
    PrivateTempDir() : m_dir(testDir() + "/tmpdir-XXXXXX"), m_old(qgetenv("TMPDIR")) {
        qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
    }
    ~PrivateTempDir() {
        if (m_old.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_old);
    }
    bool isValid() const { return m_dir.isValid(); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};

TEST(TempFileStream, GeneratedFileIsDeletedWhenTheStreamGoes) {
    PrivateTempDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QString name;
    {
        JTempFileStream s;
        EXPECT_EQ(s.write("temp"), 4);
        s.flush();
        const QStringList found = QDir(QDir::tempPath()).entryList(QDir::Files | QDir::Hidden);
        ASSERT_EQ(found.size(), 1) << found.join(' ').toStdString();
        name = QDir::tempPath() + QLatin1Char('/') + found.first();
        EXPECT_EQ(contentOf(name), QByteArray("temp"));
    }
    EXPECT_TRUE(name.startsWith(QDir::tempPath() + "/JSTemp"));
    EXPECT_FALSE(name.contains(QLatin1Char('\\')));
    EXPECT_FALSE(QFile::exists(name));
}

TEST(TempFileStream, TwoStreamsGetDifferentFiles) {
    JTempFileStream a, b;
    a.write("a");
    b.write("b");
    a.seek(0);
    b.seek(0);
    EXPECT_EQ(a.read(), 'a');
    EXPECT_EQ(b.read(), 'b');
}

TEST(TempFileStream, AutoDeleteOffKeepsTheFile) {
    const QString path = pathOf("kept.tmp");
    {
        JTempFileStream s(path);
        s.setAutoDelete(false);
        s.write("keep");
    }
    EXPECT_EQ(contentOf(path), QByteArray("keep"));
}

TEST(TempFileStream, OpeningASecondNameDeletesTheFirstFile) {
    const QString first = pathOf("first.tmp");
    const QString second = pathOf("second.tmp");
    {
        JTempFileStream s(first);
        s.write("1");
        EXPECT_TRUE(QFile::exists(first));
        EXPECT_FALSE(s.open(QString()));
        EXPECT_TRUE(QFile::exists(first));
        EXPECT_TRUE(s.open(second));
        EXPECT_FALSE(QFile::exists(first));
        EXPECT_EQ(s.write("2"), 1);
        EXPECT_TRUE(QFile::exists(second));
    }
    EXPECT_FALSE(QFile::exists(second));
}

TEST(Utils, FileTimeToUnixTimeRoundsDown) {
    auto convert = [](qint64 fileTime) {
        int words[2] = {static_cast<int>(static_cast<quint32>(fileTime & 0xFFFFFFFF)),
                        static_cast<int>(static_cast<quint32>(quint64(fileTime) >> 32))};
        return JUtils::filetimeToUnixTime(words);
    };
    const qint64 epoch = 116444736000000000LL;
    EXPECT_EQ(convert(epoch), 0);
    EXPECT_EQ(convert(epoch + 10000000), 1);
    EXPECT_EQ(convert(epoch + 9999999), 0);
    EXPECT_EQ(convert(epoch - 1), -1);
    EXPECT_EQ(convert(epoch - 10000000), -1);
    EXPECT_EQ(convert(epoch - 10000001), -2);
    EXPECT_EQ(convert(0), -11644473600LL);
    // 2038-01-19 03:14:08, one past the largest signed 32-bit time.
    EXPECT_EQ(convert(epoch + qint64(2147483648LL) * 10000000), 2147483648LL);
    EXPECT_EQ(JUtils::filetimeToUnixTime(nullptr), 0);
}

}  // namespace
