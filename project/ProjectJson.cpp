#include "project/ProjectJson.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <memory>

namespace ProjectJson {

QByteArray write(const ChapterList& chapters, const std::vector<ChapterFiles>& files) {
    QJsonArray chapterArray;
    for (size_t c = 0; c < chapters.size(); ++c) {
        const Chapter& chapter = *chapters[c];
        const ChapterFiles* where = c < files.size() ? &files[c] : nullptr;
        QJsonArray entryArray;
        for (int e = 0; e < chapter.entryCount(); ++e) {
            const Entry& entry = *chapter.entry(e);
            const auto index = static_cast<size_t>(e);
            QJsonObject o;
            o["name"] = entry.name;
            o["desc"] = entry.desc;
            o["note"] = entry.note;
            o["file"] = where && index < where->files.size() ? where->files[index] : QString();
            entryArray.append(o);
        }
        QJsonObject o;
        o["name"] = chapter.name;
        o["folder"] = where ? where->folder : QString();
        o["entries"] = entryArray;
        chapterArray.append(o);
    }
    QJsonObject root;
    root["format"] = kFormat;
    root["chapters"] = chapterArray;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool isPlainRelative(const QString& path) {
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.contains('\\')) return false;
    const QStringList parts = path.split('/');
    return std::none_of(parts.begin(), parts.end(),
                        [](const QString& p) { return p.isEmpty() || p == "." || p == ".."; });
}

ReadResult read(const QByteArray& bytes) {
    ReadResult result;
    auto bad = [&](const QString& reason) {
        result.chapters.clear();
        result.soundFiles.clear();
        result.error = reason;
        return std::move(result);
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (doc.isNull())
        return bad(QString("is not valid JSON at byte %1: %2")
                       .arg(parseError.offset)
                       .arg(parseError.errorString()));
    if (!doc.isObject() || !doc.object().value("chapters").isArray())
        return bad("has no \"chapters\" list");
    const QJsonValue format = doc.object().value("format");
    if (!format.isUndefined() && format.toInt(-1) != kFormat)
        return bad(QString("has format %1; this vxtool reads format %2")
                       .arg(format.toVariant().toString())
                       .arg(kFormat));
    auto text = [](const QJsonObject& o, const char* key, bool* ok) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined()) return QString();
        if (!v.isString()) *ok = false;
        return v.toString();
    };
    const QJsonArray chapterArray = doc.object().value("chapters").toArray();
    for (qsizetype c = 0; c < chapterArray.size(); ++c) {
        const QString where = QString("chapter %1").arg(c + 1);
        if (!chapterArray[c].isObject()) return bad(where + " is not an object");
        const QJsonObject co = chapterArray[c].toObject();
        bool ok = true;
        auto chapter = std::make_unique<Chapter>();
        chapter->name = text(co, "name", &ok);
        const QString folder = text(co, "folder", &ok);
        if (!ok) return bad(where + ": a text field is not a string");
        const QJsonValue entries = co.value("entries");
        if (!entries.isUndefined() && !entries.isArray())
            return bad(where + ": \"entries\" is not a list");
        const QJsonArray entryArray = entries.toArray();
        std::vector<QString> files;
        for (qsizetype e = 0; e < entryArray.size(); ++e) {
            const QString entryWhere = QString("%1, entry %2").arg(where).arg(e + 1);
            if (!entryArray[e].isObject()) return bad(entryWhere + " is not an object");
            const QJsonObject eo = entryArray[e].toObject();
            Entry* entry = chapter->addEntry();
            entry->name = text(eo, "name", &ok);
            entry->desc = text(eo, "desc", &ok);
            entry->note = text(eo, "note", &ok);
            const QString soundFile = text(eo, "file", &ok);
            if (!ok) return bad(entryWhere + ": a text field is not a string");
            if (soundFile.isEmpty()) {
                files.emplace_back();
                continue;
            }
            const QString relative = folder.isEmpty() ? soundFile : folder + '/' + soundFile;
            if (!isPlainRelative(relative))
                return bad(QString("%1: the sound file %2 is not inside the folder")
                               .arg(entryWhere, relative));
            files.push_back(relative);
        }
        result.chapters.push_back(std::move(chapter));
        result.soundFiles.push_back(std::move(files));
    }
    result.ok = true;
    return result;
}

}  // namespace ProjectJson
