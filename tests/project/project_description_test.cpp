#include <gtest/gtest.h>

#include <QDomDocument>
#include <climits>
#include <map>
#include <random>

#include "project/ProjectDescription.h"

namespace PD = ProjectDescription;

namespace {

Chapter* addChapter(ChapterList& chapters, const QString& name) {
    chapters.push_back(std::make_unique<Chapter>());
    chapters.back()->name = name;
    return chapters.back().get();
}

Entry* addEntry(Chapter* chapter, const QString& name, const QString& desc, const QString& note,
                const QByteArray& sound = {}) {
    Entry* e = chapter->addEntry();
    e->name = name;
    e->desc = desc;
    e->note = note;
    e->sound = sound;
    return e;
}

// Everything that is stored: texts and sounds, in order.
void expectSameContent(const ChapterList& actual, const ChapterList& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t c = 0; c < actual.size(); ++c) {
        EXPECT_EQ(actual[c]->name, expected[c]->name) << "chapter " << c;
        ASSERT_EQ(actual[c]->entryCount(), expected[c]->entryCount()) << "chapter " << c;
        for (int e = 0; e < actual[c]->entryCount(); ++e) {
            const Entry* a = actual[c]->entry(e);
            const Entry* x = expected[c]->entry(e);
            EXPECT_EQ(a->name, x->name) << c << "/" << e;
            EXPECT_EQ(a->desc, x->desc) << c << "/" << e;
            EXPECT_EQ(a->note, x->note) << c << "/" << e;
            EXPECT_EQ(a->sound, x->sound) << c << "/" << e;
        }
    }
}

// What a load does after the archive has produced the bytes: parse, then read the sounds.
ChapterList storeAndLoad(const ChapterList& chapters) {
    std::map<QByteArray, QByteArray> files;
    for (const auto& f : PD::soundFiles(chapters)) files[f.name] = f.data;
    PD::ReadResult result = PD::read(PD::write(chapters));
    EXPECT_TRUE(result.ok) << result.errorText().toStdString();
    PD::attachSounds(result.chapters, [&](const QByteArray& name) {
        auto it = files.find(name);
        return it == files.end() ? QByteArray() : it->second;
    });
    return std::move(result.chapters);
}

TEST(ProjectDescriptionTest, WritesTheExactDocumentOfASmallProject) {
    ChapterList chapters;
    Chapter* intro = addChapter(chapters, "Intro");
    addEntry(intro, "Welcome", "Opening words", "slowly", "RIFF");
    addEntry(intro, "", "", "");
    addChapter(chapters, "");
    Chapter* end = addChapter(chapters, "End");
    addEntry(end, "Bye", "a & b", "<\"x\">");

    EXPECT_EQ(
        PD::write(chapters),
        QByteArray("<!DOCTYPE vxt_project>\n"
                   "<chapters>\n"
                   " <chapter name=\"Intro\">\n"
                   "  <entry name=\"Welcome\" desc=\"Opening words\" note=\"slowly\"/>\n"
                   "  <entry name=\"\" desc=\"\" note=\"\"/>\n"
                   " </chapter>\n"
                   " <chapter name=\"\"/>\n"
                   " <chapter name=\"End\">\n"
                   "  <entry name=\"Bye\" desc=\"a &amp; b\" note=\"&lt;&quot;x&quot;&gt;\"/>\n"
                   " </chapter>\n"
                   "</chapters>\n"));
}

TEST(ProjectDescriptionTest, EmptyProjectIsTheDocumentTypeAndAnEmptyRoot) {
    const ChapterList none;
    EXPECT_EQ(PD::write(none), QByteArray("<!DOCTYPE vxt_project>\n<chapters/>\n"));
    EXPECT_TRUE(PD::soundFiles(none).empty());
    PD::ReadResult result = PD::read(PD::write(none));
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.chapters.empty());
}

TEST(ProjectDescriptionTest, SoundFileNamesFollowPositions) {
    EXPECT_EQ(PD::soundFileName(0, 0), "ch0_e0.snd");
    EXPECT_EQ(PD::soundFileName(12, 3), "ch12_e3.snd");
    // The longest name still fits a volume's 29 significant bytes.
    EXPECT_EQ(PD::soundFileName(INT_MAX, INT_MAX), "ch2147483647_e2147483647.snd");
}

TEST(ProjectDescriptionTest, EntriesWithoutSoundHaveNoFileButKeepTheirIndex) {
    ChapterList chapters;
    Chapter* first = addChapter(chapters, "one");
    addEntry(first, "a", "", "", "sound-a");
    addEntry(first, "b", "", "");
    Chapter* second = addChapter(chapters, "two");
    addEntry(second, "c", "", "", "sound-c");

    const auto files = PD::soundFiles(chapters);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, "ch0_e0.snd");
    EXPECT_EQ(files[0].data, "sound-a");
    EXPECT_EQ(files[1].name, "ch1_e0.snd");
    EXPECT_EQ(files[1].data, "sound-c");

    ChapterList loaded = storeAndLoad(chapters);
    expectSameContent(loaded, chapters);
    EXPECT_FALSE(loaded[0]->entry(1)->hasSound());
}

TEST(ProjectDescriptionTest, StoredNamesFollowRenumberingAfterRemovingChapterZero) {
    Project& project = Project::instance();
    project.clear();
    for (int c = 0; c < 3; ++c) {
        Chapter* chapter = project.addChapter();
        chapter->name = QString::number(c);
        addEntry(chapter, "x", "", "", "sound" + QByteArray::number(c));
        addEntry(chapter, "y", "", "", "more" + QByteArray::number(c));
    }
    ASSERT_TRUE(project.removeChapter(0));

    std::vector<QByteArray> names;
    std::vector<QByteArray> data;
    for (const auto& f : PD::soundFiles(project.chapters())) {
        names.push_back(f.name);
        data.push_back(f.data);
    }
    EXPECT_EQ(names,
              (std::vector<QByteArray>{"ch0_e0.snd", "ch0_e1.snd", "ch1_e0.snd", "ch1_e1.snd"}));
    EXPECT_EQ(data, (std::vector<QByteArray>{"sound1", "more1", "sound2", "more2"}));
    expectSameContent(storeAndLoad(project.chapters()), project.chapters());
    project.clear();
}

TEST(ProjectDescriptionTest, AwkwardTextsRoundTripExactly) {
    const QString texts[] = {
        "less < than, amp & ersand, \"double\" and 'single' quotes, > and ]]>",
        "line one\nline two\r\nold mac\rend",
        "\ttabbed\t\t",
        "  leading and trailing spaces  ",
        "&amp; &lt; &#x41; not entities",
        QString::fromUtf8("čeština, Ελληνικά, 日本語, emoji 😀 and 𝄞 outside the BMP"),
        QString::fromUtf8("\xEF\xBF\xBD replacement, \xEF\xBB\xBF BOM in the middle"),
        QString(2000, QChar('w')),
    };
    ChapterList chapters;
    for (const QString& text : texts) {
        Chapter* chapter = addChapter(chapters, text);
        addEntry(chapter, text, text + "d", "n" + text);
    }
    expectSameContent(storeAndLoad(chapters), chapters);
}

TEST(ProjectDescriptionTest, CharactersXmlCannotCarryAreDroppedOnSave) {
    QString bad = "a";
    bad += QChar(0x01);
    bad += QChar(0x00);
    bad += "b";
    bad += QChar(0x1F);
    bad += QChar(0xD800);  // unpaired high surrogate
    bad += "c";
    bad += QChar(0xDC00);  // unpaired low surrogate
    bad += QChar(0xFFFF);
    bad += "d";
    EXPECT_EQ(PD::storableText(bad), "abcd");

    ChapterList chapters;
    addEntry(addChapter(chapters, bad), bad, bad, bad);
    const QByteArray xml = PD::write(chapters);
    PD::ReadResult result = PD::read(xml);
    ASSERT_TRUE(result.ok) << result.errorText().toStdString();
    EXPECT_EQ(result.chapters[0]->name, "abcd");
    EXPECT_EQ(result.chapters[0]->entry(0)->note, "abcd");
}

// Random texts over a pool that mixes markup characters, whitespace, control characters,
// surrogates (paired and not) and ordinary letters: whatever storableText keeps must come
// back exactly, and a text of carriable characters is kept whole.
TEST(ProjectDescriptionTest, RandomTextsRoundTripAfterDroppingUncarriableCharacters) {
    std::mt19937 rng(7);
    const char16_t pool[] = {u'a',   u'Z',   u' ',   u'<',   u'>', u'&', u'"', u'\'',  u'\t',
                             u'\n',  u'\r',  0x01,   0x0B,   0x7F, 0x85, 0xA0, 0x2028, 0xFEFF,
                             0xFFFD, 0xFFFE, 0xD83D, 0xDE00, u'=', u';', u'#', u']'};
    auto randomText = [&](bool carriableOnly) {
        QString s;
        const int length = std::uniform_int_distribution<int>(0, 40)(rng);
        while (s.size() < length) {
            if (carriableOnly && std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
                s += QString::fromUcs4(U"\U0001F3B5");
                continue;
            }
            const char16_t u =
                pool[std::uniform_int_distribution<size_t>(0, std::size(pool) - 1)(rng)];
            if (carriableOnly && PD::storableText(QString(QChar(u))).isEmpty()) continue;
            s += QChar(u);
        }
        return s;
    };

    for (int round = 0; round < 40; ++round) {
        const bool carriableOnly = round % 2 == 0;
        ChapterList chapters;
        ChapterList expected;
        for (int c = 0; c < 4; ++c) {
            const QString name = randomText(carriableOnly);
            Chapter* chapter = addChapter(chapters, name);
            Chapter* model = addChapter(expected, PD::storableText(name));
            for (int e = 0; e < round % 5; ++e) {
                const QString n = randomText(carriableOnly), d = randomText(carriableOnly),
                              o = randomText(carriableOnly);
                const QByteArray sound = (e % 2) ? QByteArray() : QByteArray(e + 1, char(round));
                addEntry(chapter, n, d, o, sound);
                addEntry(model, PD::storableText(n), PD::storableText(d), PD::storableText(o),
                         sound);
                if (carriableOnly) {
                    ASSERT_EQ(PD::storableText(n), n);
                }
            }
        }
        SCOPED_TRACE(round);
        expectSameContent(storeAndLoad(chapters), expected);
    }
}

TEST(ProjectDescriptionTest, ReadsTheRootAfterDeclarationCommentAndProcessingInstruction) {
    const QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- written by hand -->\n"
        "<?voxtrail hint?>\n"
        "<!DOCTYPE vxt_project>\n"
        "<chapters>\n"
        "  <!-- a comment between chapters -->\n"
        "  some stray text\n"
        "  <chapter name='One'><entry note='n' name='e'/><cue desc='other tag'/></chapter>\n"
        "  <section name='Two'/>\n"
        "  <chapter/>\n"
        "</chapters>\n";
    PD::ReadResult result = PD::read(xml);
    ASSERT_TRUE(result.ok) << result.errorText().toStdString();
    ASSERT_EQ(result.chapters.size(), 3u);
    EXPECT_EQ(result.chapters[0]->name, "One");
    ASSERT_EQ(result.chapters[0]->entryCount(), 2);
    EXPECT_EQ(result.chapters[0]->entry(0)->name, "e");
    EXPECT_EQ(result.chapters[0]->entry(0)->desc, "");  // missing attribute reads as empty
    EXPECT_EQ(result.chapters[0]->entry(0)->note, "n");
    EXPECT_EQ(result.chapters[0]->entry(1)->desc, "other tag");
    EXPECT_EQ(result.chapters[1]->name, "Two");
    EXPECT_EQ(result.chapters[2]->name, "");
}

// A description written by the toolkit's DOM writer (attributes in any order, '>' left
// raw) reads the same as ours.
TEST(ProjectDescriptionTest, ReadsADocumentWrittenByTheDomWriter) {
    QDomDocument doc(QStringLiteral("vxt_project"));
    QDomElement root = doc.createElement(QStringLiteral("chapters"));
    QDomElement chapter = doc.createElement(QStringLiteral("chapter"));
    chapter.setAttribute(QStringLiteral("name"), QStringLiteral("a > b\nc"));
    QDomElement entry = doc.createElement(QStringLiteral("entry"));
    entry.setAttribute(QStringLiteral("note"), QStringLiteral("N\t\"q\""));
    entry.setAttribute(QStringLiteral("desc"), QStringLiteral("D & <"));
    entry.setAttribute(QStringLiteral("name"), QStringLiteral("E"));
    chapter.appendChild(entry);
    root.appendChild(chapter);
    doc.appendChild(root);

    PD::ReadResult result = PD::read(doc.toByteArray(1));
    ASSERT_TRUE(result.ok) << result.errorText().toStdString();
    ASSERT_EQ(result.chapters.size(), 1u);
    EXPECT_EQ(result.chapters[0]->name, "a > b\nc");
    ASSERT_EQ(result.chapters[0]->entryCount(), 1);
    EXPECT_EQ(result.chapters[0]->entry(0)->name, "E");
    EXPECT_EQ(result.chapters[0]->entry(0)->desc, "D & <");
    EXPECT_EQ(result.chapters[0]->entry(0)->note, "N\t\"q\"");
}

TEST(ProjectDescriptionTest, IllFormedInputFailsWithPositionAndLeavesTheProjectAlone) {
    Project& project = Project::instance();
    project.clear();
    addEntry(project.addChapter(), "kept", "", "", "bytes");

    const QByteArray bad[] = {
        "",
        "   \n",
        "<!DOCTYPE vxt_project>\n<chapters>\n <chapter name=\"x\">\n</chapters>\n",
        "<!DOCTYPE vxt_project>\n<chapters>\n <chapter name=\"x\x01\"/>\n</chapters>\n",
        "<chapters><chapter name=\"unterminated/></chapters>",
        "<chapters><chapter name=\"a\" name=\"b\"/></chapters>",
        "<chapters/><chapters/>",
        "<chapters>&undefined;</chapters>",
        "not xml at all",
        QByteArray("<chapters name=\"\xff\xfe\"/>"),
        QByteArray("\0\1\2\3", 4),
    };
    for (const QByteArray& bytes : bad) {
        SCOPED_TRACE(bytes.toStdString());
        PD::ReadResult result = PD::read(bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.chapters.empty());
        EXPECT_FALSE(result.errorMessage.isEmpty());
        if (result.ok) project.replaceContent(std::move(result.chapters));
    }
    // A case with a known place: the unclosed chapter is noticed at line 4.
    PD::ReadResult located = PD::read(bad[2]);
    EXPECT_EQ(located.errorLine, 4);
    EXPECT_GT(located.errorColumn, 0);
    EXPECT_TRUE(located.errorText().startsWith("line 4, column "));

    ASSERT_EQ(project.chapterCount(), 1);
    EXPECT_EQ(project.chapter(0)->entry(0)->name, "kept");
    EXPECT_EQ(project.chapter(0)->entry(0)->sound, "bytes");
    project.clear();
}

// A hostile description must neither take long nor run out of stack: elements nested
// below entries are ignored, and entity expansion is bounded.
TEST(ProjectDescriptionTest, HostileDescriptionsAreBounded) {
    QByteArray deep = "<chapters><chapter name='c'><entry name='e'>";
    for (int i = 0; i < 200000; ++i) deep += "<x>";
    for (int i = 0; i < 200000; ++i) deep += "</x>";
    deep += "</entry></chapter></chapters>";
    PD::ReadResult nested = PD::read(deep);
    ASSERT_TRUE(nested.ok) << nested.errorText().toStdString();
    ASSERT_EQ(nested.chapters.size(), 1u);
    EXPECT_EQ(nested.chapters[0]->entryCount(), 1);

    QByteArray laughs = "<!DOCTYPE chapters [<!ENTITY a0 'ha'>";
    for (int i = 1; i < 12; ++i) {
        laughs += QByteArray("<!ENTITY a") + QByteArray::number(i) + " '" + QByteArray("&a") +
                  QByteArray::number(i - 1) + ";" + "&a" + QByteArray::number(i - 1) + ";&a" +
                  QByteArray::number(i - 1) + ";&a" + QByteArray::number(i - 1) + ";'>";
    }
    laughs += "]><chapters><chapter name='&a11;'/></chapters>";
    PD::ReadResult expanded = PD::read(laughs);
    EXPECT_FALSE(expanded.ok);
    EXPECT_TRUE(expanded.chapters.empty());
}

TEST(ProjectDescriptionTest, AttachSoundsAsksForEveryEntryInOrderAndIgnoresEmptyFiles) {
    ChapterList chapters;
    Chapter* a = addChapter(chapters, "a");
    addEntry(a, "0", "", "");
    addEntry(a, "1", "", "");
    addChapter(chapters, "empty");
    addEntry(addChapter(chapters, "c"), "0", "", "");

    std::vector<QByteArray> asked;
    PD::attachSounds(chapters, [&](const QByteArray& name) {
        asked.push_back(name);
        return name == "ch0_e1.snd" ? QByteArray("wave") : QByteArray();
    });
    EXPECT_EQ(asked, (std::vector<QByteArray>{"ch0_e0.snd", "ch0_e1.snd", "ch2_e0.snd"}));
    EXPECT_FALSE(a->entry(0)->hasSound());
    EXPECT_EQ(a->entry(1)->sound, "wave");
    EXPECT_FALSE(chapters[2]->entry(0)->hasSound());
}

}  // namespace
