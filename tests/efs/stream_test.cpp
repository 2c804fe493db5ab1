// EfsStream over stored files of a real volume.
#include <gtest/gtest.h>

#include "EfsTestUtil.h"
#include "efs/EfsStream.h"

TEST(EfsStream, ReadsWritesAndSeeksThroughTheVolume) {
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(efstest::freshPath("stream.vx")));
    EfsStream s(&v);
    ASSERT_TRUE(s.openFile("desc.xml", EfsVolume::AccessWrite, EfsVolume::CreateNew));
    EXPECT_EQ(s.write("0123456789", 10), 10) << "a byte count, not a flag";
    EXPECT_EQ(s.write("", 0), 0);
    EXPECT_EQ(s.size(), 10);
    EXPECT_EQ(s.pos(), 10);
    EXPECT_TRUE(s.atEnd());
    EXPECT_TRUE(s.seek(0));
    EXPECT_EQ(s.pos(), 0);
    char buf[16] = {};
    EXPECT_EQ(s.read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    s.reset();
    EXPECT_EQ(s.pos(), 4) << "reset leaves the position where it was";
    EXPECT_EQ(s.read(), '4') << "the single-byte read of the stream interface";
    // A large write through the stream crosses into the fragmented form.
    std::string big(50000, 'z');
    EXPECT_TRUE(s.seek(10));
    EXPECT_EQ(s.write(big.data(), static_cast<qint64>(big.size())), 50000);
    EXPECT_EQ(s.size(), 50010);
    EXPECT_TRUE(s.seek(49990));
    EXPECT_EQ(s.read(buf, 16), 16);
    EXPECT_EQ(s.read(buf, 16), 4);
    EXPECT_EQ(s.read(buf, 16), 0);
    s.close();
    EXPECT_EQ(s.size(), 0) << "a closed stream is unbound";
    EXPECT_FALSE(s.seek(0));
    EXPECT_EQ(s.write("x", 1), -1);
    s.close();
    EXPECT_FALSE(s.openFile("desc.xml", EfsVolume::AccessRead, EfsVolume::OpenExisting))
        << "a closed stream cannot be opened again";
    EXPECT_TRUE(v.check().isEmpty());
}

TEST(EfsStream, UnboundAndUnopenedStreams) {
    EfsStream unbound;
    EXPECT_FALSE(unbound.openFile("a", 1, EfsVolume::OpenAlways));
    EXPECT_FALSE(unbound.atEnd());
    EXPECT_FALSE(unbound.seek(0));
    EXPECT_EQ(unbound.size(), 0);
    EXPECT_EQ(unbound.pos(), 0);
    char c;
    EXPECT_EQ(unbound.read(&c, 1), 0);

    EfsVolume v;
    ASSERT_TRUE(v.openVolume(efstest::freshPath("stream_unopened.vx")));
    EfsStream bound(&v);
    EXPECT_TRUE(bound.atEnd()) << "an unknown handle is at its end";
    EXPECT_FALSE(bound.seek(0));
    EXPECT_EQ(bound.write("x", 1), -1);
    EXPECT_FALSE(bound.openFile("missing", EfsVolume::AccessRead, EfsVolume::OpenExisting));
    EXPECT_EQ(v.lastError(), EfsVolume::ErrorState);
    {
        EfsStream scoped(&v);
        ASSERT_TRUE(scoped.openFile("kept", EfsVolume::AccessWrite, EfsVolume::CreateNew));
        EXPECT_EQ(scoped.write("abc", 3), 3);
    }
    // The destructor closed the handle: the file can be removed.
    EXPECT_TRUE(v.removeFile("kept"));
}
