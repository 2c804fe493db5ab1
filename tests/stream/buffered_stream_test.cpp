// JBufferedStream: the edge cases, failure of the source, and random operation sequences
// over a real file and over memory checked against a plain byte vector.

#include <gtest/gtest.h>

#include <QFile>
#include <memory>
#include <random>
#include <vector>

#include "stream/JBufferedStream.h"
#include "stream/JFileStream.h"
#include "test_streams.h"

namespace {

QByteArray bytesOf(const VectorStream& s) {
    return QByteArray(s.bytes.data(), static_cast<qsizetype>(s.bytes.size()));
}

TEST(BufferedStream, WritesLongerThanTheBufferReachTheSourceInOrder) {
    VectorStream source;
    JBufferedStream b(&source, 4, false);
    EXPECT_EQ(b.write("0123456789", 10), 10);
    EXPECT_EQ(b.pos(), 10);
    EXPECT_EQ(b.size(), 10);
    b.flush();
    EXPECT_EQ(bytesOf(source), QByteArray("0123456789"));
    EXPECT_EQ(source.flushes, 1);
    EXPECT_EQ(b.pos(), 10);
}

TEST(BufferedStream, DestroyingTheStreamWritesBackWhatWasBuffered) {
    VectorStream source;
    {
        JBufferedStream b(&source, 16, false);
        b.write("abc", 3);
        EXPECT_TRUE(source.bytes.empty());
    }
    EXPECT_EQ(bytesOf(source), QByteArray("abc"));
}

TEST(BufferedStream, AWriteAfterASeekPastTheEndFillsTheGapWithZeros) {
    VectorStream source;
    {
        JBufferedStream b(&source, 4, false);
        EXPECT_TRUE(b.seek(3));
        EXPECT_EQ(b.size(), 3);
        b.writeByte('x');
        b.flush();
        EXPECT_EQ(bytesOf(source), QByteArray("\0\0\0x", 4));
        // Far past the end: the gap does not fit in the buffer.
        EXPECT_TRUE(b.seek(4 + 10));
        EXPECT_EQ(b.write("yz", 2), 2);
        EXPECT_EQ(b.size(), 16);
    }
    QByteArray expected("\0\0\0x", 4);
    expected.append(QByteArray(10, '\0')).append("yz");
    EXPECT_EQ(bytesOf(source), expected);
}

TEST(BufferedStream, GapIsWrittenOutForASourceThatCannotSeekPastItsEnd) {
    VectorStream source;
    source.strictSeek = true;
    source.bytes.assign(2, 'a');
    {
        JBufferedStream b(&source, 3, false);
        EXPECT_TRUE(b.seek(9));
        EXPECT_EQ(b.write("b", 1), 1);
    }
    EXPECT_EQ(bytesOf(source), QByteArray("aa\0\0\0\0\0\0\0b", 10));
}

TEST(BufferedStream, ASeekPastTheEndAloneDoesNotGrowTheSource) {
    VectorStream source;
    source.bytes.assign(3, 'a');
    {
        JBufferedStream b(&source, 2, false);
        EXPECT_TRUE(b.seek(10));
        EXPECT_EQ(b.pos(), 10);
        char c;
        EXPECT_EQ(b.read(&c, 1), 0);
        EXPECT_TRUE(b.atEnd());
        b.flush();
    }
    EXPECT_EQ(source.bytes.size(), 3u);
}

TEST(BufferedStream, ReadsAcrossManyBufferLoads) {
    VectorStream source;
    for (int i = 0; i < 1000; ++i) source.bytes.push_back(static_cast<char>(i * 7));
    JBufferedStream b(&source, 3, false);
    std::vector<char> got(1000);
    EXPECT_EQ(b.read(got.data(), 600), 600);
    EXPECT_EQ(b.pos(), 600);
    EXPECT_EQ(b.read(got.data() + 600, 1000), 400);
    EXPECT_EQ(got, source.bytes);
    EXPECT_TRUE(b.atEnd());
    EXPECT_EQ(b.read(got.data(), 1), 0);
    EXPECT_EQ(b.read(got.data(), -1), -1);
    b.reset();
    EXPECT_FALSE(b.atEnd());
    EXPECT_EQ(b.skip(999), 999);
    EXPECT_EQ(b.read(), static_cast<unsigned char>(static_cast<char>(999 * 7)));
}

TEST(BufferedStream, ReadsSeeTheBytesJustWritten) {
    VectorStream source;
    source.bytes.assign(20, '-');
    JBufferedStream b(&source, 8, false);
    ASSERT_TRUE(b.seek(6));
    b.write("ABCD", 4);  // crosses into the next buffer window
    ASSERT_TRUE(b.seek(4));
    char buf[8];
    ASSERT_EQ(b.read(buf, 8), 8);
    EXPECT_EQ(QByteArray(buf, 8), QByteArray("--ABCD--"));
    EXPECT_EQ(b.pos(), 12);
}

TEST(BufferedStream, CloseWritesBackAndClosesTheSource) {
    VectorStream source;
    JBufferedStream b(&source, 8, false);
    b.write("data", 4);
    b.close();
    EXPECT_EQ(bytesOf(source), QByteArray("data"));
    EXPECT_FALSE(source.open);
    EXPECT_EQ(b.pos(), 0);
}

TEST(BufferedStream, ResizeReachesTheSourceAndMovesToTheStart) {
    VectorStream source;
    JBufferedStream b(&source, 4, false);
    b.write("abcdefgh", 8);
    b.resize(3);
    EXPECT_EQ(bytesOf(source), QByteArray("abc"));
    EXPECT_EQ(b.pos(), 0);
    EXPECT_EQ(b.size(), 3);
    char buf[8];
    EXPECT_EQ(b.read(buf, 8), 3);
}

TEST(BufferedStream, FailingWriteBackIsReportedAndNothingIsDropped) {
    VectorStream source;
    source.failWritesAfter = 0;
    JBufferedStream b(&source, 4, false);
    EXPECT_EQ(b.write("abcdef", 6), 4);  // the first full buffer could not be written back
    EXPECT_TRUE(b.hasWriteError());
    EXPECT_EQ(b.write("x", 1), -1);
    EXPECT_FALSE(b.seek(100));  // moving away would lose the buffered bytes
    EXPECT_EQ(b.pos(), 4);
    source.failWritesAfter = -1;  // the source recovers
    b.flush();
    EXPECT_EQ(bytesOf(source), QByteArray("abcd"));
    EXPECT_TRUE(b.seek(100));
}

TEST(BufferedStream, AFailedWriteBackStaysReportedUntilCleared) {
    VectorStream source;
    JBufferedStream b(&source, 8, false);
    source.failWritesAfter = 0;
    b.write("abc", 3);
    EXPECT_FALSE(b.hasWriteError()) << "nothing was written back yet";
    b.flush();
    EXPECT_TRUE(b.hasWriteError());
    // The source recovers: the bytes kept in the buffer reach it, and the earlier failure
    // is still reported.
    source.failWritesAfter = -1;
    b.write("d", 1);
    b.flush();
    EXPECT_EQ(bytesOf(source), QByteArray("abcd"));
    EXPECT_TRUE(b.hasWriteError());
    b.clearWriteError();
    EXPECT_FALSE(b.hasWriteError());
    b.write("e", 1);
    b.flush();
    EXPECT_FALSE(b.hasWriteError());
}

TEST(BufferedStream, CloseAndResizeReportTheBytesTheyCouldNotWriteBack) {
    for (const bool closing : {true, false}) {
        SCOPED_TRACE(closing ? "close" : "resize");
        VectorStream source;
        source.failWritesAfter = 1;
        JBufferedStream b(&source, 8, false);
        b.write("xyz", 3);
        if (closing)
            b.close();
        else
            b.resize(5);
        EXPECT_TRUE(b.hasWriteError());
    }
}

TEST(BufferedStream, DeletesItsSourceOnlyWhenToldTo) {
    struct Watched final : VectorStream {
        bool* gone;
        explicit Watched(bool* g) : gone(g) {}
        ~Watched() override { *gone = true; }
    };
    bool gone = false;
    { JBufferedStream b(new Watched(&gone), 4, true); }
    EXPECT_TRUE(gone);
    bool kept = false;
    Watched source(&kept);
    {
        JBufferedStream b(&source, 4, true);
        b.setDeleteSource(false);
    }
    EXPECT_FALSE(kept);
}

// Runs `steps` random operations on a buffered stream and on a byte vector, checking every
// read, position and size; at each flush the source must hold exactly the model's bytes.
// `sourceBytes` reads the source's whole content.
template <typename SourceBytes>
void runAgainstModel(JBufferedStream& b, int capacity, std::mt19937& rng, int steps,
                     SourceBytes sourceBytes, std::vector<char>& model) {
    qint64 pos = 0;
    auto pick = [&](qint64 lo, qint64 hi) {
        return std::uniform_int_distribution<qint64>(lo, hi)(rng);
    };
    const qint64 span = 3 * qint64(capacity) + 40;
    for (int step = 0; step < steps; ++step) {
        const qint64 size = static_cast<qint64>(model.size());
        switch (pick(0, 9)) {
            case 0:
            case 1: {
                const qint64 to = pick(0, size + span);
                ASSERT_TRUE(b.seek(to)) << "step " << step;
                pos = to;
                break;
            }
            case 2:
            case 3:
            case 4: {
                const qint64 n = pick(0, span);
                std::vector<char> got(static_cast<size_t>(n) + 1);
                const qint64 expected = std::max<qint64>(0, std::min(n, size - pos));
                ASSERT_EQ(b.read(got.data(), n), expected) << "step " << step;
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + expected, model.begin() + pos))
                    << "step " << step;
                pos += expected;
                break;
            }
            case 5:
            case 6: {
                const qint64 n = pick(1, span);
                std::vector<char> data(static_cast<size_t>(n));
                for (auto& c : data) c = static_cast<char>(pick(0, 255));
                if (n == 1 && pick(0, 1) == 0)
                    b.writeByte(data[0]);
                else
                    ASSERT_EQ(b.write(data.data(), n), n) << "step " << step;
                if (pos + n > size) model.resize(static_cast<size_t>(pos + n), '\0');
                std::copy(data.begin(), data.end(), model.begin() + pos);
                pos += n;
                break;
            }
            case 7: {
                b.flush();
                ASSERT_FALSE(b.hasWriteError()) << "step " << step;
                ASSERT_EQ(sourceBytes(), model) << "step " << step;
                break;
            }
            case 8: {
                if (pick(0, 3) != 0) break;
                const qint64 n = pick(0, size + capacity);
                b.resize(n);
                model.resize(static_cast<size_t>(n), '\0');
                pos = 0;
                break;
            }
            default: {
                const qint64 n = pick(0, 2 * capacity);
                const qint64 expected = std::max<qint64>(0, std::min(n, size - pos));
                ASSERT_EQ(b.skip(n), expected) << "step " << step;
                pos += expected;
                break;
            }
        }
        ASSERT_EQ(b.pos(), pos) << "step " << step;
        ASSERT_EQ(b.size(), std::max<qint64>(static_cast<qint64>(model.size()), pos))
            << "step " << step;
        ASSERT_EQ(b.atEnd(), pos >= static_cast<qint64>(model.size())) << "step " << step;
    }
}

std::vector<int> bufferSizes() { return {1, 2, 3, 5, 16, 64, 255, 1024, 4096}; }

TEST(BufferedStream, RandomOperationsOverMemoryMatchAByteVector) {
    const int variants = longTests() ? 40 : 3;
    const int steps = longTests() ? 20000 : 1500;
    for (int capacity : bufferSizes()) {
        for (int variant = 1; variant <= variants; ++variant) {
            SCOPED_TRACE(testing::Message() << "buffer " << capacity << " variant " << variant);
            std::mt19937 rng(static_cast<unsigned>(variant * 7919 + capacity));
            VectorStream source;
            // A source that refuses positions past its end needs the gap written out.
            source.strictSeek = variant % 2 == 1;
            std::vector<char> model;
            {
                JBufferedStream b(&source, capacity, false);
                runAgainstModel(
                    b, capacity, rng, steps, [&] { return source.bytes; }, model);
                if (HasFatalFailure()) return;
            }
            ASSERT_EQ(source.bytes, model) << "after destruction";
        }
    }
}

TEST(BufferedStream, RandomOperationsOverAFileMatchAByteVector) {
    const int variants = longTests() ? 20 : 2;
    const int steps = longTests() ? 20000 : 1000;
    const QString path = testDir() + "/buffered-random.bin";
    auto fileBytes = [&] {
        QFile f(path);
        std::vector<char> out;
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray all = f.readAll();
            out.assign(all.begin(), all.end());
        }
        return out;
    };
    for (int capacity : bufferSizes()) {
        for (int variant = 1; variant <= variants; ++variant) {
            SCOPED_TRACE(testing::Message() << "buffer " << capacity << " variant " << variant);
            QFile::remove(path);
            std::mt19937 rng(static_cast<unsigned>(variant * 104729 + capacity));
            std::vector<char> model;
            {
                JBufferedStream b(new JFileStream(path), capacity, true);
                runAgainstModel(b, capacity, rng, steps, fileBytes, model);
                if (HasFatalFailure()) return;
            }
            ASSERT_EQ(fileBytes(), model) << "after destruction";
        }
    }
    QFile::remove(path);
}

}  // namespace
