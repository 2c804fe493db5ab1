// ProjectDescription::read on arbitrary bytes.
//
// Whatever the bytes, read() returns: either ok with chapters, or not ok with a message
// and no chapters. A description that was read is written back and read again, and must
// give the same chapters with the same texts (as far as XML can carry them).

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <string>

#include "FuzzQuietQt.h"
#include "FuzzSupport.h"
#include "project/Project.h"
#include "project/ProjectDescription.h"

namespace {

// Chapters and entries with the texts write() would store.
bool sameStoredContent(const ChapterList& a, const ChapterList& b) {
    using ProjectDescription::storableText;
    if (a.size() != b.size()) return false;
    for (size_t c = 0; c < a.size(); ++c) {
        if (storableText(a[c]->name) != b[c]->name) return false;
        if (a[c]->entryCount() != b[c]->entryCount()) return false;
        for (int e = 0; e < a[c]->entryCount(); ++e) {
            const Entry* x = a[c]->entry(e);
            const Entry* y = b[c]->entry(e);
            if (storableText(x->name) != y->name || storableText(x->desc) != y->desc ||
                storableText(x->note) != y->note)
                return false;
            if (y->hasSound()) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzQuietQt();
    std::string fuzzContext = "read";
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ProjectDescription::ReadResult result = ProjectDescription::read(bytes);
    if (!result.ok) {
        FUZZ_CHECK(result.chapters.empty());
        FUZZ_CHECK(!result.errorMessage.isEmpty());
        FUZZ_CHECK(result.errorLine >= 0 && result.errorColumn >= 0);
        FUZZ_CHECK(!result.errorText().isEmpty());
        return 0;
    }
    for (const auto& chapter : result.chapters) {
        FUZZ_CHECK(chapter != nullptr);
        for (const auto& entry : chapter->entries()) {
            FUZZ_CHECK(entry != nullptr);
            FUZZ_CHECK(!entry->hasSound());
        }
    }

    fuzzContext = "write and read again";
    const QByteArray written = ProjectDescription::write(result.chapters);
    const ProjectDescription::ReadResult again = ProjectDescription::read(written);
    FUZZ_CHECK(again.ok);
    FUZZ_CHECK(sameStoredContent(result.chapters, again.chapters));
    // A description written from what was read is written identically the second time.
    FUZZ_CHECK(ProjectDescription::write(again.chapters) == written);
    return 0;
}

namespace {

std::unique_ptr<Chapter> chapter(const QString& name, int entries, const QString& text) {
    auto c = std::make_unique<Chapter>();
    c->name = name;
    for (int i = 0; i < entries; ++i) {
        Entry* e = c->addEntry();
        e->name = text + QString::number(i);
        e->desc = i % 2 ? text : QString();
        e->note = i % 3 ? QString() : QStringLiteral("note ") + text;
    }
    return c;
}

std::string written(const ChapterList& chapters) {
    return ProjectDescription::write(chapters).toStdString();
}

}  // namespace

int fuzzWriteCorpus(const std::string& dir) {
    int n = 0;
    auto save = [&](const std::string& name, const std::string& bytes) {
        if (fuzzWriteFile(dir, name, bytes)) ++n;
    };

    // What the program itself writes.
    save("empty.xml", written(ChapterList()));
    {
        ChapterList list;
        list.push_back(chapter(QStringLiteral("Act one"), 3, QStringLiteral("line")));
        list.push_back(chapter(QString(), 0, QString()));
        list.push_back(chapter(QStringLiteral("Act two"), 1, QStringLiteral("x")));
        save("three-chapters.xml", written(list));
    }
    {
        ChapterList list;
        list.push_back(chapter(QStringLiteral("<&>\"'"), 2, QStringLiteral("a&b<c>\"d'")));
        list.push_back(
            chapter(QStringLiteral("tab\tline\ncr\r end "), 2, QStringLiteral("  spaces  \t")));
        list.push_back(chapter(QString::fromUtf8("Kapitel \xc3\xa4\xc3\xb6 \xe2\x80\x94 "
                                                 "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xa4"),
                               2, QString::fromUtf8("\xd0\xbc\xd0\xb8\xd1\x80")));
        save("escapes-and-unicode.xml", written(list));
    }
    {
        ChapterList list;
        for (int c = 0; c < 40; ++c) list.push_back(chapter(QString::number(c), c % 7, "e"));
        save("many-chapters.xml", written(list));
    }

    // Forms the reader accepts besides its own output.
    save("declaration-and-comments.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- made by hand -->\n"
         "<?processing instruction?>\n<!DOCTYPE vxt_project>\n"
         "<chapters><chapter name=\"a\"><!-- c --><entry note=\"n\" name=\"e\" desc=\"d\"/>"
         "</chapter></chapters>\n");
    save("other-element-names.xml",
         "<root>\n<section name='s'>\n<item name='i' desc='&lt;&amp;&gt;&#10;&#x9;'/>\n"
         "<item/>\n</section>\n<section/>\n</root>");
    save("missing-attributes.xml",
         "<chapters><chapter><entry/><entry name=\"only\"/></chapter></chapters>");
    save("text-and-cdata.xml",
         "<chapters>text<chapter name=\"c\"><![CDATA[<raw>]]><entry name=\"e\">inner</entry>"
         "</chapter></chapters>");
    save("internal-subset.xml",
         "<!DOCTYPE vxt_project [<!ENTITY who \"narrator\">]>\n"
         "<chapters><chapter name=\"&who;\"><entry name=\"&who; &who;\"/></chapter></chapters>");
    save("utf16.xml", std::string("\xff\xfe<\0c\0/\0>\0", 10));

    // Refused forms, so the error paths start out covered.
    save("not-xml.txt", "RIFF....WAVEfmt this is not a description");
    save("unclosed.xml", "<chapters><chapter name=\"a\">");
    save("bad-attribute.xml", "<chapters><chapter name=a/></chapters>");
    save("empty-file.xml", "");
    return n;
}
