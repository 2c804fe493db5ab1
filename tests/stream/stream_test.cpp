// The defaults of the abstract stream interfaces.

#include <gtest/gtest.h>

#include <vector>

#include "stream/JStream.h"
#include "test_streams.h"

namespace {

// Implements only what the interface requires, and counts the calls it gets.
class CountingSource final : public JInputStream {
  public:
    explicit CountingSource(std::vector<unsigned char> data) : bytes(std::move(data)) {}
    std::vector<unsigned char> bytes;
    qint64 at = 0;
    int reads = 0;
    int seeks = 0;
    qint64 lastSeek = -1;

    bool seek(qint64 pos) override {
        ++seeks;
        lastSeek = pos;
        at = pos;
        return true;
    }
    qint64 size() override { return static_cast<qint64>(bytes.size()); }
    using JInputStream::read;
    qint64 read(char* data, qint64 maxSize) override {
        ++reads;
        qint64 n = 0;
        while (n < maxSize && at < size()) data[n++] = static_cast<char>(bytes[at++]);
        return n;
    }
};

class RecordingSink final : public JOutputStream {
  public:
    QByteArray written;
    int seeks = 0;
    bool seek(qint64) override {
        ++seeks;
        return true;
    }
    qint64 size() override { return written.size(); }
    using JOutputStream::write;
    qint64 write(const char* data, qint64 n) override {
        written.append(data, n);
        return n;
    }
};

TEST(InputStreamDefaults, SkipOfNothingOrANegativeCountReadsNothing) {
    CountingSource s({1, 2, 3});
    EXPECT_EQ(s.skip(0), 0);
    EXPECT_EQ(s.skip(-5), 0);
    EXPECT_EQ(s.reads, 0);
    EXPECT_EQ(s.at, 0);
}

TEST(InputStreamDefaults, SkipStopsAtTheEndOfTheData) {
    CountingSource s({1, 2, 3, 4});
    EXPECT_EQ(s.skip(10), 4);
    EXPECT_EQ(s.skip(1), 0);
}

TEST(InputStreamDefaults, SkipPassesOverBytes0xFF) {
    CountingSource s({1, 2, 0xFF, 4, 0xFF});
    EXPECT_EQ(s.skip(3), 3);
    EXPECT_EQ(s.at, 3);
    EXPECT_EQ(s.skip(10), 2);
}

TEST(InputStreamDefaults, SingleByteReadGivesEveryByteValueAndMinusOneOnlyAtTheEnd) {
    std::vector<unsigned char> all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<unsigned char>(b));
    CountingSource s(all);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(s.read(), b);
    EXPECT_EQ(s.read(), -1);
}

TEST(InputStreamDefaults, ResetSeeksToZeroAndDoesNothingElse) {
    CountingSource s({1, 2, 3});
    s.at = 2;
    s.reset();
    EXPECT_EQ(s.seeks, 1);
    EXPECT_EQ(s.lastSeek, 0);
    EXPECT_EQ(s.reads, 0);
}

TEST(InputStreamDefaults, UnsupportedOperationsAnswerWithTheirDefaults) {
    CountingSource s({'a', '\n'});
    EXPECT_EQ(s.pos(), -1);
    EXPECT_TRUE(s.atEnd());
    EXPECT_TRUE(s.readLine().isEmpty());
    char line[8];
    EXPECT_EQ(s.readLine(line, sizeof line), 0);
    EXPECT_EQ(s.reads, 0);
}

TEST(OutputStreamDefaults, TextWriteWritesTheTextWithoutItsTerminator) {
    RecordingSink sink;
    EXPECT_EQ(sink.write("abc"), 3);
    EXPECT_EQ(sink.write(""), 0);
    EXPECT_EQ(sink.write(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(sink.write('\xFF'), 1);
    EXPECT_EQ(sink.written, QByteArray("abc\xFF"));
}

TEST(OutputStreamDefaults, ResetSeeksAndTheRestDoesNothing) {
    RecordingSink sink;
    sink.write("xy");
    sink.reset();
    sink.flush();
    sink.resize(0);
    sink.close();
    EXPECT_EQ(sink.seeks, 1);
    EXPECT_EQ(sink.pos(), -1);
    EXPECT_EQ(sink.written, QByteArray("xy"));
}

TEST(StreamInterfaces, BothInterfacesOfAStreamShareOnePositionAndSize) {
    VectorStream stream;
    JInputStream* in = &stream;
    JOutputStream* out = &stream;
    out->write("hello");
    EXPECT_EQ(in->pos(), 5);
    EXPECT_EQ(in->size(), out->size());
    in->reset();
    EXPECT_EQ(out->pos(), 0);
    EXPECT_EQ(in->read(), 'h');
    EXPECT_EQ(out->pos(), 1);
    out->close();
    EXPECT_FALSE(stream.open);
}

}  // namespace
