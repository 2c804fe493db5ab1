#pragma once

// The stored form of a project's content, free of any container: the bytes of the
// description "desc.xml" and the names and bytes of the stored sound files. The archive
// code only moves these bytes in and out of a volume.
//
// desc.xml (UTF-8, no XML declaration, one space of indentation per level):
//
//   <!DOCTYPE vxt_project>
//   <chapters>
//    <chapter name="...">                       one per chapter, in project order
//     <entry name="..." desc="..." note="..."/>  one per entry, in chapter order
//    </chapter>
//    <chapter name="..."/>                      a chapter without entries
//   </chapters>
//
// All texts are attribute values and every attribute is always written, also when empty.
// Sounds are not mentioned: an entry has a sound exactly when its stored file
// "ch<c>_e<e>.snd" exists and is not empty, c and e being zero-based positions; an entry
// without a sound still takes its index.
//
// A reader accepts any whitespace and attribute order, anything before the root element
// (XML declaration, comments, processing instructions, the document type), and elements
// of any name in the places of `chapter` and `entry`; missing attributes read as empty.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

#include "project/Project.h"

namespace ProjectDescription {

inline constexpr char kFileName[] = "desc.xml";
inline constexpr char kDocumentType[] = "vxt_project";

// The stored file name of the sound of entry `entry` of chapter `chapter`, "ch%d_e%d.snd";
// at most 28 bytes for any pair of non-negative ints.
QByteArray soundFileName(int chapter, int entry);

// text without the characters XML 1.0 cannot carry: control characters other than tab,
// line feed and carriage return, unpaired surrogates, U+FFFE and U+FFFF. Every other text
// is returned unchanged and round-trips exactly through write() and read().
QString storableText(const QString& text);

// The complete bytes of desc.xml for chapters. Texts pass through storableText().
QByteArray write(const ChapterList& chapters);

struct ReadResult {
    bool ok = false;
    // The chapters and entries with their texts; sounds are empty. Empty unless ok.
    ChapterList chapters;
    // When !ok: the XML parser's message and the position it refers to (1-based; 0 when
    // the failure has no position).
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;

    // "line L, column C: message", for showing to a person inside a sentence (no full stop).
    QString errorText() const;
};

// Parses desc.xml bytes into new chapters. Fails on anything that is not well-formed
// XML; never touches the project, so a caller keeps its content until it swaps in a
// result that succeeded (Project::replaceContent).
ReadResult read(const QByteArray& bytes);

struct StoredSound {
    QByteArray name;  // soundFileName(c, e)
    QByteArray data;  // the entry's sound bytes (shared, not copied)
};

// The sound files a save writes, in chapter and entry order: one per entry with a sound.
std::vector<StoredSound> soundFiles(const ChapterList& chapters);

// For every entry of chapters, in order, asks readFile for the bytes of its stored sound
// file (soundFileName) and makes a non-empty result the entry's sound. readFile returns
// an empty array for a file that is absent or empty.
void attachSounds(const ChapterList& chapters,
                  const std::function<QByteArray(const QByteArray& name)>& readFile);

}  // namespace ProjectDescription
