#include "project/ProjectDescription.h"

#include <QXmlStreamReader>
#include <cstdio>

namespace ProjectDescription {
namespace {

// XML 1.0 Char, for one code unit that is not part of a surrogate pair.
bool isXmlChar(char16_t u) {
    if (u == 0x9 || u == 0xA || u == 0xD) return true;
    if (u < 0x20) return false;
    if (u >= 0xD800 && u <= 0xDFFF) return false;  // only whole pairs are characters
    return u != 0xFFFE && u != 0xFFFF;
}

// Appends text as the inside of a double-quoted attribute value. Tab, line feed and
// carriage return go out as character references: a parser turns literal ones into
// spaces (attribute value normalisation), which would not round-trip.
void appendAttributeText(QString& out, const QString& text) {
    const QString clean = storableText(text);
    for (QChar c : clean) {
        switch (c.unicode()) {
            case '&':
                out += QLatin1String("&amp;");
                break;
            case '<':
                out += QLatin1String("&lt;");
                break;
            case '>':
                out += QLatin1String("&gt;");
                break;
            case '"':
                out += QLatin1String("&quot;");
                break;
            case '\t':
                out += QLatin1String("&#x9;");
                break;
            case '\n':
                out += QLatin1String("&#xa;");
                break;
            case '\r':
                out += QLatin1String("&#xd;");
                break;
            default:
                out += c;
        }
    }
}

void appendAttribute(QString& out, const char* name, const QString& value) {
    out += QLatin1Char(' ');
    out += QLatin1String(name);
    out += QLatin1String("=\"");
    appendAttributeText(out, value);
    out += QLatin1Char('"');
}

}  // namespace

QByteArray soundFileName(int chapter, int entry) {
    char name[40];
    const int n = std::snprintf(name, sizeof name, "ch%d_e%d.snd", chapter, entry);
    return QByteArray(name, n);
}

QString storableText(const QString& text) {
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
        } else if (isXmlChar(c.unicode())) {
            out += c;
        }
    }
    return out;
}

QByteArray write(const ChapterList& chapters) {
    QString xml = QStringLiteral("<!DOCTYPE %1>\n").arg(QLatin1String(kDocumentType));
    if (chapters.empty()) {
        xml += QLatin1String("<chapters/>\n");
        return xml.toUtf8();
    }
    xml += QLatin1String("<chapters>\n");
    for (const auto& chapter : chapters) {
        xml += QLatin1String(" <chapter");
        appendAttribute(xml, "name", chapter->name);
        if (chapter->entries().empty()) {
            xml += QLatin1String("/>\n");
            continue;
        }
        xml += QLatin1String(">\n");
        for (const auto& entry : chapter->entries()) {
            xml += QLatin1String("  <entry");
            appendAttribute(xml, "name", entry->name);
            appendAttribute(xml, "desc", entry->desc);
            appendAttribute(xml, "note", entry->note);
            xml += QLatin1String("/>\n");
        }
        xml += QLatin1String(" </chapter>\n");
    }
    xml += QLatin1String("</chapters>\n");
    return xml.toUtf8();
}

QString ReadResult::errorText() const {
    // The parser's own messages end in a full stop; the text goes inside a sentence.
    QString message = errorMessage;
    while (message.endsWith(QLatin1Char('.'))) message.chop(1);
    if (errorLine <= 0) return message;
    return QStringLiteral("line %1, column %2: %3").arg(errorLine).arg(errorColumn).arg(message);
}

ReadResult read(const QByteArray& bytes) {
    // A streaming parser rather than a DOM: it checks the whole document for
    // well-formedness in one linear pass and keeps nothing of elements nested deeper than
    // entries, so a hostile file cannot make the load slow or deep.
    ReadResult result;
    QXmlStreamReader xml(bytes);
    int depth = 0;  // 1 = the root element, 2 = a chapter, 3 = an entry
    Chapter* chapter = nullptr;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
            case QXmlStreamReader::StartElement: {
                ++depth;
                const QXmlStreamAttributes attributes = xml.attributes();
                if (depth == 2) {
                    result.chapters.push_back(std::make_unique<Chapter>());
                    chapter = result.chapters.back().get();
                    chapter->name = attributes.value(QLatin1String("name")).toString();
                } else if (depth == 3) {
                    Entry* entry = chapter->addEntry();
                    entry->name = attributes.value(QLatin1String("name")).toString();
                    entry->desc = attributes.value(QLatin1String("desc")).toString();
                    entry->note = attributes.value(QLatin1String("note")).toString();
                }
                break;
            }
            case QXmlStreamReader::EndElement:
                --depth;
                break;
            default:
                break;
        }
    }
    if (xml.hasError()) {
        result.chapters.clear();
        result.errorMessage = xml.errorString();
        if (result.errorMessage.isEmpty())
            result.errorMessage = QStringLiteral("not well-formed XML");
        result.errorLine = static_cast<int>(xml.lineNumber());
        result.errorColumn = static_cast<int>(xml.columnNumber());
        return result;
    }
    result.ok = true;
    return result;
}

std::vector<StoredSound> soundFiles(const ChapterList& chapters) {
    std::vector<StoredSound> files;
    for (size_t c = 0; c < chapters.size(); ++c) {
        const auto& entries = chapters[c]->entries();
        for (size_t e = 0; e < entries.size(); ++e) {
            if (!entries[e]->hasSound()) continue;
            files.push_back(
                {soundFileName(static_cast<int>(c), static_cast<int>(e)), entries[e]->sound});
        }
    }
    return files;
}

void attachSounds(const ChapterList& chapters,
                  const std::function<QByteArray(const QByteArray& name)>& readFile) {
    for (size_t c = 0; c < chapters.size(); ++c) {
        const auto& entries = chapters[c]->entries();
        for (size_t e = 0; e < entries.size(); ++e) {
            QByteArray bytes = readFile(soundFileName(static_cast<int>(c), static_cast<int>(e)));
            if (!bytes.isEmpty()) entries[e]->sound = std::move(bytes);
        }
    }
}

}  // namespace ProjectDescription
