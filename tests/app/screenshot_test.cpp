#include "app/screenshot.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>

#include "app/window_texts.h"

namespace {

class WriteScreenshot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        shot.fill(Qt::darkCyan);
    }
    QString nameOf(int copy) const {
        return QDir(folder.path()).filePath(screenshotFileName(when.date(), when.time(), copy));
    }
    static void put(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static QByteArray contentOf(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir folder{QDir::current().filePath(QStringLiteral("shots-XXXXXX"))};
    QPixmap shot{40, 30};
    const QDateTime when{QDate(2008, 5, 7), QTime(9, 5, 7)};
};

TEST_F(WriteScreenshot, WritesAPngUnderTheNameOfTheMoment) {
    const QString written = writeScreenshot(shot, QDir(folder.path()), when);
    EXPECT_EQ(written, QDir(folder.path()).filePath(QStringLiteral("_2008-05-07_090507.png")));
    const QImage image(written, "PNG");
    EXPECT_EQ(image.size(), QSize(40, 30));
    EXPECT_EQ(image.pixelColor(5, 5), QColor(Qt::darkCyan));
}

TEST_F(WriteScreenshot, NeverOverwritesTakingTheNextFreeSuffix) {
    put(nameOf(1), "first");
    put(nameOf(2), "second");
    const QString third = writeScreenshot(shot, QDir(folder.path()), when);
    EXPECT_EQ(third, nameOf(3));
    EXPECT_EQ(contentOf(nameOf(1)), QByteArray("first"));
    EXPECT_EQ(contentOf(nameOf(2)), QByteArray("second"));
    EXPECT_EQ(QImage(third).size(), QSize(40, 30));
    // The next shot of the same second goes on counting.
    EXPECT_EQ(writeScreenshot(shot, QDir(folder.path()), when), nameOf(4));
    // A folder in the way of a name counts as taken as well.
    ASSERT_TRUE(QDir(folder.path()).mkdir(QFileInfo(nameOf(5)).fileName()));
    EXPECT_EQ(writeScreenshot(shot, QDir(folder.path()), when), nameOf(6));
}

TEST_F(WriteScreenshot, AFolderThatCannotTakeTheFileGivesNothingAndLeavesNothing) {
    const QDir missing(QDir(folder.path()).filePath(QStringLiteral("not-there")));
    EXPECT_TRUE(writeScreenshot(shot, missing, when).isEmpty());
    EXPECT_FALSE(missing.exists());
    EXPECT_TRUE(writeScreenshot(QPixmap(), QDir(folder.path()), when).isEmpty());
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
}

}  // namespace
