// A module outside the program: links libjstream alone and derives its own streams from the
// exported interfaces and from the library's temporary file and buffered stream, so the
// library's code calls into this module's overrides and this module calls into the
// library's, protected members included.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <cstdlib>
#include <string>

#include "stream/JBufferedStream.h"
#include "stream/JByteStream.h"
#include "stream/JFileStream.h"
#include "stream/JMappedStream.h"
#include "stream/JStream.h"

namespace {

// Bytes 0, 1, 2, ... 255, 0, 1, ... of a given length, computed rather than stored.
class CountingSource final : public JInputStream {
  public:
    explicit CountingSource(qint64 length) : m_length(length) {}
    bool seek(qint64 pos) override {
        if (pos < 0 || pos > m_length) return false;
        m_pos = pos;
        return true;
    }
    qint64 size() override { return m_length; }
    using JInputStream::read;
    qint64 read(char* data, qint64 maxSize) override {
        qint64 n = 0;
        while (n < maxSize && m_pos < m_length) data[n++] = static_cast<char>(m_pos++ & 0xFF);
        return n;
    }
    qint64 pos() const override { return m_pos; }
    bool atEnd() const override { return m_pos >= m_length; }

  private:
    qint64 m_length;
    qint64 m_pos = 0;
};

// A read/write stream kept in a std::string.
class StringStream final : public JStream {
  public:
    std::string text;
    qint64 at = 0;
    bool seek(qint64 pos) override {
        if (pos < 0) return false;
        at = pos;
        return true;
    }
    qint64 size() override { return static_cast<qint64>(text.size()); }
    using JInputStream::read;
    qint64 read(char* data, qint64 maxSize) override {
        const qint64 n = std::max<qint64>(0, std::min<qint64>(maxSize, size() - at));
        text.copy(data, static_cast<size_t>(n), static_cast<size_t>(at));
        at += n;
        return n;
    }
    qint64 pos() const override { return at; }
    void reset() override { at = 0; }
    void close() override {}
    using JOutputStream::write;
    qint64 write(const char* data, qint64 n) override {
        if (at > size()) text.resize(static_cast<size_t>(at), '\0');
        text.replace(static_cast<size_t>(at), static_cast<size_t>(n), data, static_cast<size_t>(n));
        at += n;
        return n;
    }
};

// This module's own kind of temporary file: it logs the names it opens, and can give its file
// up early through the library's protected clean-up.
class LoggedTempFile : public JTempFileStream {
  public:
    using JTempFileStream::JTempFileStream;
    QStringList opened;
    bool open(const QString& path) override {
        opened.append(path);
        return JTempFileStream::open(path);
    }
    void discard() { cleanUp(); }
};

// This module's own buffered stream: it counts seeks and loads its buffer on request through
// the library's protected members.
class CountingBuffer : public JBufferedStream {
  public:
    using JBufferedStream::JBufferedStream;
    int seeks = 0;
    bool seek(qint64 pos) override {
        ++seeks;
        return JBufferedStream::seek(pos);
    }
    bool writeBackAndLoad() { return flushBuffer(true); }
    bool load() { return refill(); }
};

TEST(ExportedInterface, LibraryDefaultsRunOverThisModulesStream) {
    CountingSource s(300);
    EXPECT_EQ(s.read(), 0);  // the library's single-byte read calls our block read
    EXPECT_EQ(s.skip(254), 254);
    EXPECT_EQ(s.read(), 255);  // a 0xFF byte is data, not the end
    EXPECT_EQ(s.skip(1000), 44);
    EXPECT_EQ(s.read(), -1);
    s.reset();  // the library's reset calls our seek
    EXPECT_EQ(s.pos(), 0);
    EXPECT_TRUE(s.readLine().isEmpty());
}

TEST(ExportedInterface, LibraryWindowOverThisModulesStream) {
    CountingSource s(1000);
    JMappedInputStream window(&s, 4, 510);
    char buf[8];
    EXPECT_EQ(window.read(buf, 8), 4);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 510 & 0xFF);
    EXPECT_EQ(window.read(buf, 8), -1);
    EXPECT_TRUE(window.atEnd());
    EXPECT_EQ(window.pos(), 4);
}

TEST(ExportedInterface, LibraryBufferInFrontOfThisModulesStream) {
    StringStream target;
    {
        JBufferedStream buffered(&target, 3, false);
        JOutputStream& out = buffered;
        out.write("hello, ");
        out.write('w');
        out.write("orld");
        JInputStream& in = buffered;
        in.reset();
        char buf[5];
        EXPECT_EQ(in.read(buf, 5), 5);
        EXPECT_EQ(std::string(buf, 5), "hello");
    }
    EXPECT_EQ(target.text, "hello, world");
}

TEST(ExportedInterface, ThisModuleDerivesItsOwnTemporaryFile) {
    const char* dir = std::getenv("VOXTRAIL_TEST_TMP");
    const QString first = QString::fromLocal8Bit(dir != nullptr ? dir : ".") + "/derived-1.tmp";
    const QString second = QString(first).replace("-1.", "-2.");
    LoggedTempFile f(first);
    ASSERT_TRUE(QFile::exists(first));
    JTempFileStream& base = f;
    EXPECT_TRUE(base.open(second));
    EXPECT_EQ(f.opened, QStringList{second});
    EXPECT_FALSE(QFile::exists(first)) << "the library's open cleaned up the first file";
    EXPECT_EQ(f.write("x"), 1);
    f.discard();
    EXPECT_FALSE(QFile::exists(second));
}

TEST(ExportedInterface, ThisModuleDerivesItsOwnBufferedStream) {
    StringStream target;
    target.text = "hello";
    CountingBuffer b(&target, 4, false);
    EXPECT_EQ(b.write("HE", 2), 2);
    EXPECT_TRUE(b.writeBackAndLoad());
    EXPECT_EQ(target.text, "HEllo");
    char buf[4];
    EXPECT_EQ(b.read(buf, 4), 3);
    EXPECT_EQ(std::string(buf, 3), "llo");
    EXPECT_FALSE(b.load()) << "nothing lies past the end";
    b.reset();  // the library's reset calls this module's seek
    EXPECT_EQ(b.seeks, 1);
    EXPECT_EQ(b.pos(), 0);
}

TEST(ExportedInterface, TypesCrossTheLibraryBoundary) {
    JInputStream* in = new JByteInputStream(QByteArray("abc"));
    EXPECT_NE(dynamic_cast<JByteInputStream*>(in), nullptr);
    EXPECT_EQ(dynamic_cast<JStream*>(in), nullptr);
    delete in;
    StringStream both;
    JInputStream* asInput = &both;
    JOutputStream* asOutput = dynamic_cast<JOutputStream*>(asInput);
    ASSERT_NE(asOutput, nullptr);
    asOutput->write("x");
    EXPECT_EQ(asInput->read(), -1);
    asInput->reset();
    EXPECT_EQ(asInput->read(), 'x');
}

TEST(ExportedInterface, ClassesComeFromTheSharedLibrary) {
    // JInputStream::skip(long long) and the type information of JStream.
    for (const char* symbol :
         {"_ZN12JInputStream4skipEx", "_ZTI7JStream", "_ZTV15JBufferedStream"}) {
        void* address = dlsym(RTLD_DEFAULT, symbol);
        ASSERT_NE(address, nullptr) << symbol;
        Dl_info info{};
        ASSERT_NE(dladdr(address, &info), 0) << symbol;
        EXPECT_NE(std::string(info.dli_fname).find("libjstream.so"), std::string::npos)
            << symbol << " comes from " << info.dli_fname;
    }
}

}  // namespace
