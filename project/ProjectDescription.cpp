#include "project/ProjectDescription.h"

#include <QDomDocument>
#include <QDomElement>

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
    return "ch" + QByteArray::number(chapter) + "_e" + QByteArray::number(entry) + ".snd";
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
    if (errorLine <= 0) return errorMessage;
    return QStringLiteral("line %1, column %2: %3")
        .arg(errorLine)
        .arg(errorColumn)
        .arg(errorMessage);
}

ReadResult read(const QByteArray& bytes) {
    ReadResult result;
    QDomDocument doc;
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(bytes, &message, &line, &column)) {
        result.errorMessage = message.isEmpty() ? QStringLiteral("not well-formed XML") : message;
        result.errorLine = line;
        result.errorColumn = column;
        return result;
    }
    const QDomElement root = doc.documentElement();
    if (root.isNull()) {
        result.errorMessage = QStringLiteral("the document has no root element");
        return result;
    }
    for (QDomElement c = root.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
        auto chapter = std::make_unique<Chapter>();
        chapter->name = c.attribute(QStringLiteral("name"));
        for (QDomElement e = c.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
            Entry* entry = chapter->addEntry();
            entry->name = e.attribute(QStringLiteral("name"));
            entry->desc = e.attribute(QStringLiteral("desc"));
            entry->note = e.attribute(QStringLiteral("note"));
        }
        result.chapters.push_back(std::move(chapter));
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
