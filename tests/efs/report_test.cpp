// The diagnostic report of a volume's records.
#include <gtest/gtest.h>

#include <QBuffer>

#include "EfsTestUtil.h"
#include "efs/EfsVolumeProbe.h"

namespace {

QStringList reportLines(EfsVolume& v) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(v.writeDebugReport(&buffer));
    return QString::fromLatin1(buffer.data()).split('\n');
}

int32_t writeFile(EfsVolume& v, const char* name, int bytes) {
    const int32_t h = v.openFile(name, EfsVolume::AccessWrite, EfsVolume::CreateAlways);
    const QByteArray data(bytes, 'r');
    if (bytes) v.writeFile(h, data.constData(), bytes);
    return h;
}

}  // namespace

TEST(DebugReport, EmptyVolumeAveragesZero) {
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(efstest::freshPath("report_empty.vx")));
    EXPECT_EQ(v.averageFragmentCount(), 0.0f);
    const QStringList lines = reportLines(v);
    EXPECT_EQ(lines[0], "FIT blocks count: 0");
    EXPECT_EQ(lines[1], QString(62, '='));
    EXPECT_TRUE(lines.contains("averageFragCount: 0"));
    EXPECT_TRUE(lines.contains("File Count: 0"));
}

TEST(DebugReport, InlineFilesWriteNoFragments) {
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(efstest::freshPath("report_inline.vx")));
    v.closeFile(writeFile(v, "desc.xml", 512));
    const std::string longName = "a_name_of_exactly_forty_bytes_0123456789";
    v.closeFile(writeFile(v, longName.c_str(), 3));
    v.closeFile(writeFile(v, "caf\xE9", 1));
    const QStringList lines = reportLines(v);
    EXPECT_EQ(lines[0], "FIT blocks count: 3");
    // Stored names are bytes: the report gives them as they are, not converted.
    EXPECT_TRUE(lines.contains(QString::fromLatin1("Filename: caf\xE9")));
    const qsizetype at = lines.indexOf("Filename: desc.xml");
    ASSERT_GT(at, 0);
    EXPECT_EQ(lines[at - 1], QString("hash: %1").arg(efs::fileHash("desc.xml")));
    EXPECT_EQ(lines[at + 1], "============== File info: ==============");
    EXPECT_EQ(lines[at + 2], "");
    EXPECT_EQ(lines[at + 3], "fileSize: 512");
    EXPECT_EQ(lines[at + 4], "attributes: 0");
    EXPECT_EQ(lines[at + 5], "crc: 0");
    EXPECT_TRUE(lines[at + 6].startsWith("creationTime: "));
    EXPECT_TRUE(lines[at + 7].startsWith("lastAccessTime: "));
    EXPECT_TRUE(lines[at + 8].startsWith("lastChangeTime: "));
    EXPECT_EQ(lines[at + 9], "============== Service info: ==============");
    EXPECT_TRUE(lines[at + 11].startsWith("addr: "));
    EXPECT_EQ(lines[at + 12], "allBlocks: 0");
    EXPECT_EQ(lines[at + 13], "liberalSize: 0");
    EXPECT_EQ(lines[at + 14], "fragmentsCount: 0");
    EXPECT_EQ(lines[at + 15], "fitSize: 1");
    EXPECT_TRUE(lines.contains(
        QString("Filename: %1").arg(QString::fromStdString(longName.substr(0, 29)))));
    EXPECT_FALSE(lines.contains("============== Fragments: =============="));
    EXPECT_TRUE(lines.contains(QString(36, '+')));
    EXPECT_TRUE(lines.contains("Max Frag Size: 0"));
    EXPECT_TRUE(lines.contains("averageFragCount: 0"));
    EXPECT_TRUE(lines.contains(
        QString("freePtrsSize: %1").arg(EfsVolumeProbe(v).freeRunsByStart().size())));
    EXPECT_TRUE(lines.contains(
        QString("freeSizesSize: %1").arg(EfsVolumeProbe(v).freeRunsBySize().size())));
}

TEST(DebugReport, FragmentGroupsListEveryBlock) {
    const QString path = efstest::freshPath("report_frag.vx");
    EfsVolume v;
    ASSERT_TRUE(v.openVolume(path));
    efs::VolumeParams p = v.parameters();
    p.allocMode = EfsVolume::AllocFromStart;
    ASSERT_TRUE(v.setParameters(p));
    // Three runs of 2, 1 and 4 blocks: grow "x" while "y" takes the block after each run.
    const int32_t x = writeFile(v, "x", 8192);  // need 2
    const int32_t y = writeFile(v, "y", 1);
    ASSERT_TRUE(v.setFileSize(y, 9000));
    v.seekFile(x, 8192);
    ASSERT_TRUE(v.writeFile(x, "a", 1));          // need 2 again: no growth
    ASSERT_TRUE(v.setFileSize(x, 3 * 8192 - 1));  // one more block, elsewhere
    ASSERT_TRUE(v.setFileSize(y, 20000));
    ASSERT_TRUE(v.setFileSize(x, 7 * 8192 - 1));
    v.closeFile(y);
    efs::FitRecord r;
    ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord("x", &r));
    ASSERT_EQ(r.fragmentsCount(), 3);
    ASSERT_EQ(r.fragment(0).size, 2);
    ASSERT_EQ(r.fragment(1).size, 1);
    ASSERT_EQ(r.fragment(2).size, 4);
    const QStringList lines = reportLines(v);
    EXPECT_EQ(lines.count("============== Fragments: =============="), 2);
    for (int i = 0; i < 3; ++i) {
        const qsizetype at =
            lines.indexOf(QString("Fragment N: %1").arg(i), lines.indexOf("Filename: x"));
        ASSERT_GT(at, 0);
        EXPECT_EQ(lines[at + 1], QString("Fragment Addr: %1").arg(r.fragment(i).addr));
        EXPECT_EQ(lines[at + 2], QString("Fragment Size: %1").arg(r.fragment(i).size));
        for (int b = 0; b < r.fragment(i).size; ++b)
            EXPECT_EQ(lines[at + 3 + b], QString("\tBlock Addr: %1").arg(r.fragment(i).addr + b));
    }
    efs::FitRecord ry;
    ASSERT_TRUE(EfsVolumeProbe(v).loadStoredRecord("y", &ry));
    const float average = (3.0f + static_cast<float>(ry.fragmentsCount())) / 2.0f;
    EXPECT_TRUE(lines.contains("Max Frag Size: 3"));
    EXPECT_FLOAT_EQ(v.averageFragmentCount(), average);
    EXPECT_TRUE(lines.contains(QString("averageFragCount: %1").arg(average)));
    // The path form writes the same report.
    const QString out = efstest::freshPath("report.txt");
    ASSERT_TRUE(v.writeDebugReport(out));
    EXPECT_TRUE(efstest::readAll(out).startsWith("FIT blocks count: 2\n"));
}
