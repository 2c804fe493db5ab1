// vxtool project script: the running order of a show as a narrator or stage manager prints
// it, as wrapped text, RFC 4180 CSV or a Markdown table.
#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <vector>

#include "analysis/SoundAnalysis.h"
#include "tools/ShowReader.h"
#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

constexpr int kTextWidth = 80;
// Text layout: "  " cue "  " start "  " length "  " texts.
constexpr int kCueWidth = 4;
constexpr int kTimeWidth = 9;
constexpr int kTextIndent = 2 + kCueWidth + 2 + kTimeWidth + 2 + kTimeWidth + 2;

// ---- The running order -----------------------------------------------------------------

struct Cue {
    int number = 0;
    const Entry* entry = nullptr;
    double start = 0;
    double seconds = 0;
    // None: no sound (plays nothing, takes no time); Unknown: a sound whose length cannot
    // be read (damaged, or a format libsndfile does not know); it counts as no time.
    enum class Length { Known, None, Unknown } length = Length::None;
};

struct ChapterOrder {
    int number = 0;
    const Chapter* chapter = nullptr;
    double start = 0;
    double seconds = 0;
    std::vector<Cue> cues;
};

// Every cue with its length and start, reading the sounds one at a time.
std::vector<ChapterOrder> runningOrder(ShowReader* show, bool* unknown) {
    std::vector<ChapterOrder> order;
    double clock = 0;
    int number = 0;
    QByteArray bytes;
    const ChapterList& chapters = show->chapters();
    for (size_t c = 0; c < chapters.size(); ++c) {
        ChapterOrder co{static_cast<int>(c) + 1, chapters[c].get(), clock, 0, {}};
        for (int e = 0; e < co.chapter->entryCount(); ++e) {
            Cue cue{++number, co.chapter->entry(e), clock, 0, Cue::Length::None};
            const ShowReader::Sound sound = show->readSound(static_cast<int>(c), e, &bytes);
            if (sound != ShowReader::Sound::None) {
                const analysis::Analysis header = sound == ShowReader::Sound::Present
                                                      ? analysis::analyzeSound(bytes, {false, 0})
                                                      : analysis::Analysis();
                const double seconds = header.decoded ? header.recording.seconds : -1;
                cue.length = seconds >= 0 ? Cue::Length::Known : Cue::Length::Unknown;
                cue.seconds = std::max(0.0, seconds);
                if (seconds < 0) *unknown = true;
            }
            bytes = QByteArray();
            clock += cue.seconds;
            co.seconds += cue.seconds;
            co.cues.push_back(cue);
        }
        order.push_back(std::move(co));
    }
    return order;
}

QString lengthText(const Cue& cue, bool withHours) {
    switch (cue.length) {
        case Cue::Length::Known:
            return clockText(cue.seconds, withHours);
        case Cue::Length::None:
            return "-";
        default:
            return "?";
    }
}

QStringList paragraphs(const QString& text) { return text.split(QRegularExpression("\r\n|\r|\n")); }

// ---- Text --------------------------------------------------------------------------------

// Columns a character takes on a terminal or in a monospaced print: 2 for East Asian wide
// and full-width characters, 0 for combining marks and zero-width characters, 1 otherwise.
int charWidth(char32_t u) {
    const QChar::Category cat = QChar::category(u);
    if (cat == QChar::Mark_NonSpacing || cat == QChar::Mark_Enclosing ||
        cat == QChar::Other_Format || (u >= 0x1160 && u <= 0x11FF))
        return 0;
    if ((u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0x303E) ||
        (u >= 0x3041 && u <= 0x33FF) || (u >= 0x3400 && u <= 0x4DBF) ||
        (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0xA000 && u <= 0xA4CF) ||
        (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
        (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
        (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x1F300 && u <= 0x1F64F) ||
        (u >= 0x1F900 && u <= 0x1F9FF) || (u >= 0x20000 && u <= 0x3FFFD))
        return 2;
    return 1;
}

int displayWidth(const QString& text) {
    int width = 0;
    for (const char32_t u : text.toUcs4()) width += charWidth(u);
    return width;
}

QString trimmedEnd(QString text) {
    while (!text.isEmpty() && text.back().isSpace()) text.chop(1);
    return text;
}

// text broken into lines of at most width columns, at the places Unicode allows a line
// break (spaces, and between most CJK characters); a word longer than a line is cut
// between characters. The text's own line breaks are kept; tabs become spaces.
QStringList wrapped(const QString& text, int width) {
    QStringList lines;
    for (QString paragraph : paragraphs(text)) {
        paragraph.replace('\t', ' ');
        QString line;
        auto place = [&](const QString& piece) {
            if (!line.isEmpty() && displayWidth(line) + displayWidth(trimmedEnd(piece)) > width) {
                lines << trimmedEnd(line);
                line.clear();
            }
            if (line.isEmpty() && displayWidth(trimmedEnd(piece)) > width) {
                QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, piece);
                qsizetype from = 0;
                for (qsizetype to = graphemes.toNextBoundary(); to != -1;
                     to = graphemes.toNextBoundary()) {
                    const QString g = piece.mid(from, to - from);
                    from = to;
                    if (!line.isEmpty() && displayWidth(line + g) > width) {
                        lines << trimmedEnd(line);
                        line.clear();
                    }
                    line += g;
                }
                return;
            }
            line += piece;
        };
        QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, paragraph);
        qsizetype from = 0;
        for (qsizetype to = breaks.toNextBoundary(); to != -1; to = breaks.toNextBoundary()) {
            if (to == from) continue;
            place(paragraph.mid(from, to - from));
            from = to;
        }
        lines << trimmedEnd(line);
    }
    return lines;
}

QString padLeft(const QString& text, int width) {
    return QString(std::max(0, width - displayWidth(text)), ' ') + text;
}

QString textScript(const std::vector<ChapterOrder>& order, int cues, double total, bool unknown) {
    const int textWidth = kTextWidth - kTextIndent;
    const QString indent(kTextIndent, ' ');
    QString out;
    for (const ChapterOrder& co : order) {
        QStringList heading =
            wrapped(QString("Chapter %1: %2").arg(co.number).arg(co.chapter->name), kTextWidth);
        out += heading.join('\n') + "\n";
        if (co.cues.empty()) {
            out += "  (no entries)\n";
        } else {
            out += "  " + padLeft("Cue", kCueWidth) + "  " + padLeft("Start", kTimeWidth) + "  " +
                   padLeft("Length", kTimeWidth) + "  Name, description, note\n";
        }
        for (const Cue& cue : co.cues) {
            QStringList lines = wrapped(cue.entry->name, textWidth);
            if (!cue.entry->desc.isEmpty()) lines << wrapped(cue.entry->desc, textWidth);
            if (!cue.entry->note.isEmpty()) {
                const QStringList note = wrapped("Note: " + cue.entry->note, textWidth);
                lines << note;
            }
            out += trimmedEnd("  " + padLeft(QString::number(cue.number), kCueWidth) + "  " +
                              padLeft(clockText(cue.start), kTimeWidth) + "  " +
                              padLeft(lengthText(cue, false), kTimeWidth) + "  " + lines.value(0)) +
                   "\n";
            for (qsizetype i = 1; i < lines.size(); ++i)
                out += trimmedEnd(indent + lines[i]) + "\n";
        }
        out += QString("  Chapter %1 total: %2\n\n").arg(co.number).arg(clockText(co.seconds));
    }
    out += QString("Show total: %1, %2 cue(s)\n").arg(clockText(total)).arg(cues);
    if (unknown) out += "?: the length of this sound cannot be read (see vxtool project check)\n";
    return out;
}

// ---- CSV (RFC 4180) ----------------------------------------------------------------------

QString csvField(const QString& text) {
    if (!text.contains(QRegularExpression("[\",\r\n]"))) return text;
    QString quoted = text;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

QString csvRow(const QStringList& fields) {
    QStringList out;
    for (const QString& f : fields) out << csvField(f);
    return out.join(',') + "\r\n";
}

QString csvScript(const std::vector<ChapterOrder>& order) {
    // The byte order mark tells spreadsheets that the file is UTF-8.
    QString out = QChar(0xFEFF);
    out += csvRow({"Chapter", "Cue", "Start", "Duration", "Name", "Description", "Note"});
    for (const ChapterOrder& co : order) {
        out += csvRow({QString::number(co.number), "", clockText(co.start, true),
                       clockText(co.seconds, true), co.chapter->name, "", ""});
        for (const Cue& cue : co.cues)
            out += csvRow({QString::number(co.number), QString::number(cue.number),
                           clockText(cue.start, true), lengthText(cue, true), cue.entry->name,
                           cue.entry->desc, cue.entry->note});
    }
    return out;
}

// ---- Markdown ----------------------------------------------------------------------------

// text for one table cell: characters Markdown would read as markup are escaped, and the
// text's line breaks become <br>.
QString markdownCell(const QString& text) {
    QString out;
    for (const QChar ch : text) {
        if (QStringLiteral("\\`*_[]<>|&~#").contains(ch)) out += '\\';
        out += ch;
    }
    return paragraphs(out).join("<br>");
}

QString markdownScript(const std::vector<ChapterOrder>& order, int cues, double total,
                       bool unknown) {
    QString out;
    for (const ChapterOrder& co : order) {
        out += QString("## Chapter %1: %2\n\n").arg(co.number).arg(markdownCell(co.chapter->name));
        if (co.cues.empty()) {
            out += "No entries.\n\n";
        } else {
            out += "| Cue | Start | Length | Name | Description | Note |\n";
            out += "| ---: | ---: | ---: | --- | --- | --- |\n";
            for (const Cue& cue : co.cues)
                out += QString("| %1 | %2 | %3 | %4 | %5 | %6 |\n")
                           .arg(cue.number)
                           .arg(clockText(cue.start), lengthText(cue, false),
                                markdownCell(cue.entry->name), markdownCell(cue.entry->desc),
                                markdownCell(cue.entry->note));
            out += "\n";
        }
        out += QString("Chapter %1 total: %2\n\n").arg(co.number).arg(clockText(co.seconds));
    }
    out += QString("**Show total: %1, %2 cue(s)**\n").arg(clockText(total)).arg(cues);
    if (unknown) out += "\n?: the length of this sound cannot be read (see vxtool project check)\n";
    return out;
}

}  // namespace

int runProjectScript(int argc, char** argv, int first) {
    // "--format VALUE" is taken as "--format=VALUE", wherever it stands.
    std::vector<QByteArray> joined;
    for (int i = first; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--") {
            for (; i < argc; ++i) joined.emplace_back(argv[i]);
            break;
        }
        if (a == "--format" && i + 1 < argc)
            joined.push_back("--format=" + QByteArray(argv[++i]));
        else
            joined.push_back(a);
    }
    std::vector<char*> pointers;
    for (QByteArray& a : joined) pointers.push_back(a.data());
    const Arguments args = splitArguments(static_cast<int>(pointers.size()), pointers.data(), 0);
    QString format = "text";
    for (const QString& option : args.options) {
        if (option.startsWith("--format="))
            format = option.mid(9);
        else
            return usageError("project script", "unknown option " + option);
    }
    if (format != "text" && format != "csv" && format != "markdown")
        return usageError("project script", "unknown format " + format + " (text, csv, markdown)");
    if (args.plain.size() != 1) return usageError("project script", "give one project file");
    ShowReader show;
    if (!show.open(pathArgument(args.plain[0]))) return ExitUnusable;
    bool unknown = false;
    const std::vector<ChapterOrder> order = runningOrder(&show, &unknown);
    int cues = 0;
    double total = 0;
    for (const ChapterOrder& co : order) {
        cues += static_cast<int>(co.cues.size());
        total += co.seconds;
    }
    if (format == "csv")
        writeOut(csvScript(order));
    else if (format == "markdown")
        writeOut(markdownScript(order, cues, total, unknown));
    else
        writeOut(textScript(order, cues, total, unknown));
    return finishOutput(show.status());
}

}  // namespace vxtool
