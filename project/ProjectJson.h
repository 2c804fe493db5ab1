#pragma once

// project.json: a project laid out as plain files in a folder, the exchange form of
// `vxtool project export` and `vxtool project import`, beside desc.xml, the stored form it
// mirrors (project/ProjectDescription.h).
//
//   {
//       "chapters": [                           one per chapter, in project order
//           {
//               "entries": [                    one per entry, in chapter order
//                   {
//                       "desc": "...",
//                       "file": "01-Opening.wav",   the sound, in the chapter's folder;
//                       "name": "...",              "" for an entry without a sound
//                       "note": "..."
//                   }
//               ],
//               "folder": "01-Act one",         the chapter's folder, inside the export's
//               "name": "..."
//           }
//       ],
//       "format": 1
//   }
//
// Written by QJsonDocument, indented, keys in the order above. A reader accepts a missing
// "format" (taken as 1) and missing texts (empty), refuses any other format, a text field
// that is not a string, and a sound path that would leave the folder.

#include <QByteArray>
#include <QString>
#include <vector>

#include "project/Project.h"

namespace ProjectJson {

inline constexpr char kFileName[] = "project.json";
inline constexpr int kFormat = 1;

// Where an exported chapter's sounds lie: its folder, and for every entry its sound file's
// name in that folder, empty for an entry without a sound.
struct ChapterFiles {
    QString folder;
    std::vector<QString> files;
};

// The complete bytes of project.json for chapters (their texts) and files (one per chapter,
// in the same order).
QByteArray write(const ChapterList& chapters, const std::vector<ChapterFiles>& files);

struct ReadResult {
    bool ok = false;
    // The chapters and entries with their texts; sounds are empty. Empty unless ok.
    ChapterList chapters;
    // For every chapter, for every entry: the sound file's path relative to the folder that
    // holds project.json ("folder/file"), empty for an entry without a sound. Every path
    // passed isPlainRelative.
    std::vector<std::vector<QString>> soundFiles;
    // When !ok, why, as a clause after the file's name ("has no \"chapters\" list").
    QString error;
};

// Parses the bytes of project.json.
ReadResult read(const QByteArray& bytes);

// Whether path, as project.json gives it, stays inside the folder: relative, no "..",
// no ".", no empty part, no backslash.
bool isPlainRelative(const QString& path);

}  // namespace ProjectJson
