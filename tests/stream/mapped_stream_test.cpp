// Windows of other streams.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "stream/JByteStream.h"
#include "stream/JMappedStream.h"
#include "test_streams.h"

namespace {

QByteArray hundredBytes() {
    QByteArray b;
    for (int i = 0; i < 100; ++i) b.append(static_cast<char>(i));
    return b;
}

TEST(MappedInputStream, ReadsOnlyInsideTheWindow) {
    JByteInputStream source(hundredBytes());
    JMappedInputStream w(&source, 4, 10);
    EXPECT_EQ(w.size(), 4);
    EXPECT_EQ(w.pos(), 0);
    char buf[10];
    EXPECT_EQ(w.read(buf, 10), 4);
    EXPECT_EQ(QByteArray(buf, 4), QByteArray("\x0a\x0b\x0c\x0d"));
    EXPECT_EQ(w.read(buf, 10), -1);
    EXPECT_EQ(w.pos(), 4);
    EXPECT_TRUE(w.atEnd());
    EXPECT_TRUE(w.seek(3));
    EXPECT_EQ(w.read(), 13);
    EXPECT_EQ(w.read(), -1);
}

TEST(MappedInputStream, SeekAcceptsTheWindowsEndAndRefusesBeyond) {
    JByteInputStream source(hundredBytes());
    JMappedInputStream w(&source, 4, 10);
    EXPECT_TRUE(w.seek(4));
    EXPECT_EQ(w.pos(), 4);
    EXPECT_TRUE(w.atEnd());
    EXPECT_FALSE(w.seek(5));
    EXPECT_FALSE(w.seek(-1));
    EXPECT_EQ(w.pos(), 4);
    w.reset();
    EXPECT_EQ(w.pos(), 0);
    EXPECT_FALSE(w.atEnd());
}

TEST(MappedInputStream, SkipTakesWhatRemainsOfTheWindow) {
    JByteInputStream source(hundredBytes());
    JMappedInputStream w(&source, 4, 10);
    EXPECT_EQ(w.skip(3), 3);
    EXPECT_EQ(w.pos(), 3);
    w.reset();
    EXPECT_EQ(w.skip(4), 4);
    EXPECT_EQ(w.pos(), 4);
    w.reset();
    EXPECT_EQ(w.skip(10), 4);
    EXPECT_EQ(w.skip(1), 0);
    EXPECT_EQ(w.skip(-2), 0);
    EXPECT_EQ(w.pos(), 4);
    EXPECT_EQ(source.pos(), 14);
}

TEST(MappedInputStream, ASourceMovedBeforeTheWindowIsBroughtBackIn) {
    JByteInputStream source(hundredBytes());
    JMappedInputStream w(&source, 4, 10);
    source.seek(2);
    EXPECT_EQ(w.read(), 10);
    source.seek(2);
    EXPECT_EQ(w.skip(10), 4);
}

TEST(MappedInputStream, LinesStopAtTheWindowsEnd) {
    JByteInputStream source(QByteArray("head\nab\ncdefgh\ntail"));
    JMappedInputStream w(&source, 7, 5);  // "ab\ncdef"
    EXPECT_EQ(w.readLine(), QByteArray("ab\n"));
    EXPECT_EQ(w.readLine(), QByteArray("cdef"));
    EXPECT_EQ(w.pos(), 7);
    EXPECT_TRUE(w.readLine().isEmpty());
    w.reset();
    char buf[32];
    EXPECT_EQ(w.readLine(buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "ab\n");
    EXPECT_EQ(w.readLine(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "cdef");  // nothing past the window, not even in the buffer
    EXPECT_EQ(w.pos(), 7);
    EXPECT_EQ(w.readLine(buf, sizeof buf), -1);
}

TEST(MappedInputStream, ASourceWithoutPositionsIsNotReadPastTheWindow) {
    // Only the required operations: pos() stays the default -1.
    struct Endless final : JInputStream {
        bool seek(qint64) override { return true; }
        qint64 size() override { return 1000; }
        using JInputStream::read;
        qint64 read(char* data, qint64 n) override {
            std::fill(data, data + n, 'e');
            return n;
        }
    } source;
    JMappedInputStream w(&source, 4, 10);
    char buf[16];
    EXPECT_EQ(w.read(buf, 16), -1);
    EXPECT_EQ(w.skip(16), 0);
    EXPECT_EQ(w.readLine(buf, 16), -1);
}

TEST(MappedInputStream, SetStartAndSetSizeMoveTheWindow) {
    JByteInputStream source(hundredBytes());
    JMappedInputStream w(&source, 4, 10);
    w.setStart(50);
    EXPECT_EQ(w.read(), 50);
    w.setSize(1);
    EXPECT_EQ(w.pos(), 0);
    EXPECT_EQ(w.read(), 50);
    EXPECT_EQ(w.read(), -1);
}

// Records whether it was closed and destroyed.
struct Watched final : public VectorStream {
    bool* destroyed;
    explicit Watched(bool* flag) : destroyed(flag) { bytes.assign(20, 'w'); }
    ~Watched() override { *destroyed = true; }
};

TEST(MappedInputStream, DeletesItsSourceOnlyWhenToldTo) {
    bool destroyed = false;
    auto* owned = new Watched(&destroyed);
    {
        JMappedInputStream w(owned, 4, 0);
        w.setDeleteStream(true);
        JMappedInputStream copy(w);  // a copy never owns the source
    }
    EXPECT_TRUE(destroyed);

    bool kept = false;
    Watched source(&kept);
    { JMappedInputStream w(&source, 4, 0); }
    EXPECT_FALSE(kept);
    EXPECT_TRUE(source.open);
}

TEST(MappedInputStream, RandomOperationsMatchTheWindowsBytes) {
    std::mt19937 rng(4242);
    auto pick = [&](qint64 lo, qint64 hi) {
        return std::uniform_int_distribution<qint64>(lo, hi)(rng);
    };
    const int rounds = longTests() ? 2000 : 200;
    for (int round = 0; round < rounds; ++round) {
        QByteArray all;
        const qint64 total = pick(0, 80);
        for (qint64 i = 0; i < total; ++i) all.append("ab\n\xFF"[pick(0, 3)]);
        const qint64 start = pick(0, total);
        const qint64 size = pick(0, total - start);
        const QByteArray model = all.mid(start, size);
        JByteInputStream source(all);
        JMappedInputStream w(&source, size, start);
        qint64 pos = 0;
        for (int step = 0; step < 50; ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            switch (pick(0, 4)) {
                case 0: {
                    const qint64 to = pick(-2, size + 2);
                    const bool ok = to >= 0 && to <= size;
                    ASSERT_EQ(w.seek(to), ok);
                    if (ok) pos = to;
                    break;
                }
                case 1: {
                    const qint64 n = pick(0, 20);
                    char buf[20];
                    const qint64 got = w.read(buf, n);
                    if (pos == size) {
                        ASSERT_EQ(got, -1);
                    } else {
                        ASSERT_EQ(got, std::min(n, size - pos));
                        ASSERT_EQ(QByteArray(buf, got), model.mid(pos, got));
                        pos += got;
                    }
                    break;
                }
                case 2: {
                    const qint64 n = pick(-1, 20);
                    const qint64 expected = n <= 0 ? 0 : std::min(n, size - pos);
                    ASSERT_EQ(w.skip(n), expected);
                    pos += expected;
                    break;
                }
                case 3: {
                    const qsizetype newline = model.indexOf('\n', pos);
                    const QByteArray line =
                        model.mid(pos, newline < 0 ? size - pos : newline - pos + 1);
                    ASSERT_EQ(w.readLine(), line);
                    pos += line.size();
                    break;
                }
                default: {
                    const qsizetype newline = model.indexOf('\n', pos);
                    const qint64 n = pick(2, 10);
                    const qint64 len =
                        std::min<qint64>(newline < 0 ? size - pos : newline - pos + 1, n - 1);
                    char buf[10];
                    const qint64 got = w.readLine(buf, n);
                    if (pos == size) {
                        ASSERT_EQ(got, -1);
                    } else {
                        ASSERT_EQ(got, len);
                        ASSERT_EQ(QByteArray(buf), model.mid(pos, len).split('\0').first());
                        pos += len;
                    }
                    break;
                }
            }
            ASSERT_EQ(w.pos(), pos);
            ASSERT_EQ(w.atEnd(), pos == size);
        }
    }
}

TEST(MappedOutputStream, AFixedWindowTakesExactlyItsSize) {
    VectorStream target;
    target.bytes.assign(10, '.');
    JMappedOutputStream w(&target, 4, 3);
    EXPECT_EQ(w.write("12345", 5), -1);
    EXPECT_EQ(w.pos(), 0);
    EXPECT_EQ(w.write("1234", 4), 4);
    EXPECT_EQ(w.write("5", 1), -1);
    EXPECT_EQ(w.write("", 0), 0);
    w.reset();
    EXPECT_EQ(w.write("ab", 2), 2);
    EXPECT_EQ(w.write("cde", 3), -1);
    EXPECT_EQ(w.write("cd", 2), 2);
    EXPECT_EQ(QByteArray(target.bytes.data(), 10), QByteArray("...abcd..."));
    EXPECT_TRUE(w.isOk());
}

TEST(MappedOutputStream, SeekRefusesTheEndAndBeyond) {
    VectorStream target;
    JMappedOutputStream w(&target, 4, 2);
    EXPECT_TRUE(w.seek(3));
    EXPECT_EQ(w.pos(), 3);
    EXPECT_FALSE(w.seek(4));
    EXPECT_FALSE(w.seek(5));
    EXPECT_FALSE(w.seek(-1));
    EXPECT_EQ(w.pos(), 3);
    EXPECT_EQ(w.write("x", 1), 1);
    EXPECT_EQ(w.write("y", 1), -1);
    // A window that grew accepts positions inside its new size only.
    w.setResizable(true);
    EXPECT_EQ(w.write("yz", 2), 2);
    EXPECT_EQ(w.size(), 6);
    EXPECT_TRUE(w.seek(5));
    EXPECT_FALSE(w.seek(6));
}

TEST(MappedOutputStream, AResizableWindowGrowsAndRemembersShortWrites) {
    VectorStream target;
    JMappedOutputStream w(&target, 4, 0);
    w.setResizable(true);
    EXPECT_TRUE(w.getResizable());
    EXPECT_EQ(w.write("abcdef", 6), 6);
    EXPECT_EQ(w.size(), 6);
    EXPECT_TRUE(w.isOk());
    target.failWritesAfter = 8;
    EXPECT_EQ(w.write("ghij", 4), 2);
    EXPECT_EQ(w.size(), 8);
    EXPECT_FALSE(w.isOk());
    target.failWritesAfter = -1;
    EXPECT_EQ(w.write("k", 1), 1);
    EXPECT_FALSE(w.isOk());  // for good
    EXPECT_EQ(w.size(), 9);
}

TEST(MappedOutputStream, NeverWritesInFrontOfTheWindow) {
    VectorStream target;
    target.bytes.assign(8, '.');
    JMappedOutputStream w(&target, 4, 4);
    target.seek(1);
    EXPECT_EQ(w.write("ab", 2), 2);
    EXPECT_EQ(QByteArray(target.bytes.data(), 8), QByteArray("....ab.."));
}

TEST(MappedOutputStream, FlushesAndDeletesItsTargetWhenToldTo) {
    bool destroyed = false;
    auto* owned = new Watched(&destroyed);
    {
        JMappedOutputStream w(owned, 4, 0);
        EXPECT_EQ(w.getStart(), 0);
        w.setDeleteStream(true);
        EXPECT_TRUE(w.getDeleteStream());
        w.setStart(2);
        EXPECT_EQ(owned->position, 2);
        w.setSize(3);
        EXPECT_EQ(w.size(), 3);
    }
    EXPECT_TRUE(destroyed);

    bool kept = false;
    Watched target(&kept);
    {
        JMappedOutputStream w(&target, 4, 0);
        w.flush();
        EXPECT_EQ(target.flushes, 1);
    }
    EXPECT_EQ(target.flushes, 2);
    EXPECT_FALSE(kept);
    EXPECT_TRUE(target.open);
    JMappedOutputStream w(&target, 4, 0);
    w.close();
    EXPECT_FALSE(target.open);
}

}  // namespace

namespace {

// A window that owns its stream and is assigned another window closes and deletes its own
// stream, and then shares the other's without owning it: one owner, one deletion.
template <class Window>
void expectAssignmentPassesNoOwnership() {
    bool firstGone = false;
    bool secondGone = false;
    auto* first = new Watched(&firstGone);
    auto* second = new Watched(&secondGone);
    {
        Window owner(second, 6, 1);
        owner.setDeleteStream(true);
        {
            Window w(first, 4, 0);
            w.setDeleteStream(true);
            Window& same = w;
            w = same;
            EXPECT_FALSE(firstGone) << "assigned to itself, a window keeps its stream";
            w = owner;
            EXPECT_TRUE(firstGone);
            EXPECT_EQ(w.size(), 6);
        }
        EXPECT_FALSE(secondGone) << "the assigned window deleted a stream it does not own";
    }
    EXPECT_TRUE(secondGone);
}

}  // namespace

TEST(MappedInputStream, AssignmentDeletesTheOwnStreamAndSharesWithoutOwning) {
    expectAssignmentPassesNoOwnership<JMappedInputStream>();
}

TEST(MappedOutputStream, AssignmentDeletesTheOwnStreamAndSharesWithoutOwning) {
    expectAssignmentPassesNoOwnership<JMappedOutputStream>();
}
