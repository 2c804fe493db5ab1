// JByteInputStream and JByteOutputStream over QBuffer.

#include <gtest/gtest.h>

#include "stream/JByteStream.h"

namespace {

TEST(ByteInputStream, ReadsTheBytesThenZeroAtTheEnd) {
    JByteInputStream s(QByteArray("abc"));
    char buf[10];
    EXPECT_EQ(s.size(), 3);
    EXPECT_EQ(s.read(buf, 10), 3);
    EXPECT_EQ(QByteArray(buf, 3), QByteArray("abc"));
    EXPECT_EQ(s.read(buf, 10), 0);
    EXPECT_TRUE(s.atEnd());
    EXPECT_EQ(s.pos(), 3);
    EXPECT_EQ(s.read(), -1);
}

TEST(ByteInputStream, KeepsTheBytesItWasGivenWhenTheCallerChangesItsArray) {
    QByteArray caller("hello");
    JByteInputStream shared(caller);
    char raw[] = "world";
    JByteInputStream copied(raw, 5);
    caller[0] = 'J';
    raw[0] = 'X';
    char buf[5];
    ASSERT_EQ(shared.read(buf, 5), 5);
    EXPECT_EQ(QByteArray(buf, 5), QByteArray("hello"));
    ASSERT_EQ(copied.read(buf, 5), 5);
    EXPECT_EQ(QByteArray(buf, 5), QByteArray("world"));
}

TEST(ByteInputStream, BadConstructorArgumentsGiveAnEmptySource) {
    JByteInputStream none(nullptr, 5);
    JByteInputStream negative("abc", -1);
    char buf[4];
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(negative.size(), 0);
    EXPECT_EQ(none.read(buf, 4), 0);
    EXPECT_EQ(negative.read(buf, -1), -1);
}

TEST(ByteInputStream, SetSourceStartsTheNewArrayFromPositionZero) {
    JByteInputStream s(QByteArray("first"));
    char buf[8];
    s.read(buf, 3);
    EXPECT_TRUE(s.setSource(QByteArray("second")));
    EXPECT_EQ(s.pos(), 0);
    ASSERT_EQ(s.read(buf, 8), 6);
    EXPECT_EQ(QByteArray(buf, 6), QByteArray("second"));
}

TEST(ByteInputStream, ByteFFIsDataAndSkipPassesIt) {
    JByteInputStream s(QByteArray("\x01\xFF\x02\xFF", 4));
    EXPECT_EQ(s.read(), 1);
    EXPECT_EQ(s.read(), 255);
    EXPECT_EQ(s.skip(10), 2);
    EXPECT_EQ(s.read(), -1);
}

TEST(ByteInputStream, LinesSeekAndClose) {
    JByteInputStream s(QByteArray("one\ntwo\nthree"));
    EXPECT_EQ(s.readLine(), QByteArray("one\n"));
    char buf[16];
    EXPECT_EQ(s.readLine(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "two\n");
    EXPECT_EQ(s.readLine(buf, 3), 2);  // maxSize - 1 bytes and a terminator
    EXPECT_STREQ(buf, "th");
    EXPECT_EQ(s.readLine(), QByteArray("ree"));
    EXPECT_TRUE(s.seek(4));
    EXPECT_EQ(s.read(), 't');
    EXPECT_FALSE(s.seek(-1));
    s.reset();
    EXPECT_EQ(s.pos(), 0);
    s.close();
    EXPECT_EQ(s.read(buf, 4), -1);
    EXPECT_FALSE(s.seek(0));
    EXPECT_TRUE(s.readLine().isEmpty());
}

TEST(ByteOutputStream, WritesGoStraightIntoTheCallersArray) {
    QByteArray target;
    {
        JByteOutputStream s(target, QIODevice::WriteOnly);
        EXPECT_EQ(s.write("12345", 5), 5);
        EXPECT_EQ(target, QByteArray("12345"));
        s.resize(2);
        EXPECT_EQ(target, QByteArray("12"));
        EXPECT_EQ(s.pos(), 5);
        // The position stayed at 5: the bytes between read as zeros, not as old memory.
        EXPECT_EQ(s.write("x"), 1);
        EXPECT_EQ(target, QByteArray("12\0\0\0x", 6));
        s.resize(8);
        EXPECT_EQ(target, QByteArray("12\0\0\0x\0\0", 8));
        s.resize(-1);
        EXPECT_EQ(target.size(), 8);
        EXPECT_TRUE(s.seek(1));
        EXPECT_EQ(s.write('Z'), 1);
    }
    EXPECT_EQ(target, QByteArray("1Z\0\0\0x\0\0", 8));
}

TEST(ByteOutputStream, OpenModesAreTheToolkits) {
    QByteArray kept("abc");
    JByteOutputStream append(kept, QIODevice::Append);
    EXPECT_EQ(append.write("de"), 2);
    EXPECT_EQ(kept, QByteArray("abcde"));

    QByteArray cleared("abc");
    JByteOutputStream truncate(cleared, QIODevice::Truncate);
    EXPECT_EQ(cleared.size(), 0);
    EXPECT_EQ(truncate.write("z"), 1);
    EXPECT_EQ(cleared, QByteArray("z"));

    QByteArray readOnly("abc");
    JByteOutputStream refused(readOnly, QIODevice::ReadOnly);
    EXPECT_EQ(refused.write("x"), -1);
    EXPECT_EQ(readOnly, QByteArray("abc"));
}

TEST(ByteOutputStream, ClosedStreamRefusesWrites) {
    QByteArray target;
    JByteOutputStream s(target, QIODevice::ReadWrite);
    s.write("ab");
    s.close();
    EXPECT_EQ(s.write("cd"), -1);
    EXPECT_FALSE(s.seek(0));
    EXPECT_EQ(target, QByteArray("ab"));
}

}  // namespace
