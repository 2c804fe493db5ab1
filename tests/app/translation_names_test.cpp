#include <gtest/gtest.h>

#include "app/startup.h"

namespace {

TEST(TranslationFileNames, PrefixesTheLocaleName) {
    const TranslationFiles german = translationFileNames(QStringLiteral("de_DE"));
    EXPECT_EQ(german.toolkit, QStringLiteral("qt_de_DE"));
    EXPECT_EQ(german.program, QStringLiteral("voxtrail_de_DE"));
    const TranslationFiles c = translationFileNames(QStringLiteral("C"));
    EXPECT_EQ(c.toolkit, QStringLiteral("qt_C"));
    EXPECT_EQ(c.program, QStringLiteral("voxtrail_C"));
}

}  // namespace
