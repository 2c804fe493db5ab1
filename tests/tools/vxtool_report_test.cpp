// vxtool project report on one show that holds every kind of row, read back by an HTML
// parser (report_page.py, html5lib) and compared with project check --json of the same show.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cmath>
#include <limits>

#include "ToneShow.h"
#include "VxtoolTestSupport.h"

using vxtest::freshPath;
using vxtest::Result;
using vxtest::Tone;
using vxtest::vxtool;

namespace {

const QString kHostileName = R"(<script>alert(1)</script> & "x")";

// The page as report_page.py reads it.
QJsonObject pageOf(const QString& path) {
    QProcess p;
    p.start("/usr/bin/python3", {REPORT_PAGE_SCRIPT, path});
    EXPECT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString()
                               << " (python3-html5lib is installed by scripts/setup.sh)";
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

// A figure as the page shows it ("-6.7 LUFS +0.0 LU", "-inf dBFS", "none"): its number,
// NaN for none.
double shown(const QJsonValue& text) {
    const QString first = text.toString().section(' ', 0, 0);
    if (first == "-inf") return -std::numeric_limits<double>::infinity();
    bool ok = false;
    const double v = first.toDouble(&ok);
    return ok ? v : std::nan("");
}

// A time as the page shows it: M:SS.t.
QString clockOf(double seconds) {
    const int tenths = static_cast<int>(std::lround(seconds * 10));
    return QString("%1:%2.%3")
        .arg(tenths / 600)
        .arg(tenths / 10 % 60, 2, 10, QChar('0'))
        .arg(tenths % 10);
}

// The page shows one decimal of what --json gives with two; null there is none or -inf.
void expectFigure(const QJsonValue& page, const QJsonValue& json, const char* what, int cue) {
    const double v = shown(page);
    if (json.isNull())
        EXPECT_TRUE(std::isnan(v) || std::isinf(v)) << what << " of cue " << cue;
    else
        EXPECT_NEAR(v, json.toDouble(), 0.0501) << what << " of cue " << cue;
}

}  // namespace

// Every cue is one row with the check's figures, warnings, notes and reasons; the summary
// links every problem to its row; the chart has one mark per cue; the strips show the
// silence, the clipping and the overs; no text can open an element; and the page loads
// nothing and runs nothing.
TEST(VxtoolReport, OneRowPerCueWithTheCheckFigures) {
    Tone clean;
    clean.trail = 0.6;
    Tone late{44100, 1};
    late.lead = 1.0;
    Tone clipped{44100, 1};
    clipped.amplitude = 2.0;
    clipped.trail = 0.6;
    Tone quiet{48000, 1, SF_FORMAT_PCM_24};
    quiet.amplitude = 0.05;
    quiet.trail = 3.0;
    Tone brief = clean;
    brief.seconds = 0.3;
    brief.trail = 0;
    const QString show = vxtest::importShow(
        "report", {{"Scene <1> & \"act\"",
                    {{"clean", "line one\nline two", "calm & 'slow'", "clean.wav", clean},
                     {kHostileName, "", "", "late.wav", late},
                     {"clipped", "", "", "clipped.wav", clipped}}},
                   {"Storm",
                    {{"quiet", "", "", "quiet.wav", quiet},
                     {"truncated", "", "", "cut.wav", Tone{}, 30},
                     {"silent cue", "", "", "", Tone{}},
                     {"brief", "", "", "brief.wav", brief}}},
                   {"", {}}});
    const Result check = vxtool({"project", "check", "--json", show});
    ASSERT_EQ(check.code, 1) << check;
    const QJsonObject root = QJsonDocument::fromJson(check.out).object();

    const QString folder = freshPath("report-out");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString report = folder + "/show.html";
    const Result r = vxtool({"project", "report", show, "-o", report});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"show.html"});
    const QJsonObject page = pageOf(report);
    ASSERT_FALSE(page.contains("error")) << page["error"].toString().toStdString();
    EXPECT_EQ(page["scripts"].toInt(), 0);
    EXPECT_TRUE(page["loads"].toArray().isEmpty());
    EXPECT_EQ(page["title"].toString(), "report: show report");
    EXPECT_FALSE(vxtest::readAll(report).contains("<script>"));

    const QJsonArray rows = page["cues"].toArray();
    const QJsonArray chapters = root["chapters"].toArray();
    ASSERT_EQ(page["chapters"].toArray().size(), 3);
    EXPECT_EQ(page["chapters"][0]["heading"].toString(), "Chapter 1: Scene <1> & \"act\"");
    EXPECT_EQ(page["chapters"][2]["heading"].toString(), "Chapter 3");
    int n = 0;
    double start = 0;
    QJsonArray marks;
    QMap<QString, int> problemLinks;  // each cue's problems: its warnings, or will not play
    for (int c = 0; c < chapters.size(); ++c) {
        for (const QJsonValue e : chapters[c]["entries"].toArray()) {
            ASSERT_LT(n, rows.size());
            const QJsonObject row = rows[n++].toObject();
            const int cue = e["cue"].toInt();
            marks.append(QString("#cue-%1").arg(cue));
            EXPECT_EQ(row["id"].toString(), QString("cue-%1").arg(cue));
            EXPECT_EQ(row["number"].toString(), QString::number(cue));
            EXPECT_EQ(row["chapter"].toInt(), c + 1);
            EXPECT_EQ(row["start"].toString(), clockOf(start)) << cue;
            EXPECT_EQ(row["name"].toString().toStdString(), e["name"].toString().toStdString());
            EXPECT_EQ(row["warnings"].toArray(), QJsonArray::fromStringList([&] {
                          QStringList texts;
                          for (const QJsonValue w : e["warnings"].toArray())
                              texts << w["text"].toString();
                          return texts;
                      }()));
            EXPECT_EQ(row["notes"].toArray(), e["notes"].toArray()) << cue;
            const int problems = e["warnings"].toArray().size() + (e["plays"].toBool() ? 0 : 1);
            if (problems > 0) problemLinks[QString("#cue-%1").arg(cue)] = problems;
            EXPECT_EQ(row["bad"].toBool(), problems > 0) << cue;
            if (!e["plays"].toBool()) {
                EXPECT_EQ(row["state"].toString(),
                          e["sound"] == "none" ? QString("no sound")
                                               : "will not play: " + e["problem"].toString());
                EXPECT_TRUE(row["strip"].isNull());
                continue;
            }
            const QJsonObject loudness = e["loudness"].toObject();
            expectFigure(row["lufs"], loudness["integratedLufs"], "loudness", cue);
            expectFigure(row["truePeak"], loudness["truePeakDbtp"], "true peak", cue);
            expectFigure(row["noiseFloor"], loudness["noiseFloorDbfs"], "noise floor", cue);
            expectFigure(row["peak"], loudness["samplePeakDbfs"], "peak", cue);
            const double seconds = e["recording"]["durationSeconds"].toDouble();
            EXPECT_EQ(row["length"].toString(), clockOf(seconds)) << cue;
            start += seconds;
            EXPECT_TRUE(row["strip"]["wave"].toBool()) << cue;
        }
    }
    EXPECT_EQ(n, rows.size());
    EXPECT_EQ(page["marks"].toArray(), marks);

    // Every problem is linked once from the summary.
    QMap<QString, int> linked;
    for (const QJsonValue links : page["problems"].toObject())
        for (const QJsonValue link : links.toArray()) ++linked[link.toString()];
    EXPECT_EQ(linked, problemLinks);
    EXPECT_EQ(page["problems"]["Leading silence"].toArray(), QJsonArray{"#cue-2"});

    EXPECT_EQ(rows[0]["desc"].toString(), "line one\nline two");
    EXPECT_EQ(rows[0]["note"].toString(), "calm & 'slow'");
    EXPECT_EQ(rows[1]["name"].toString().toStdString(), kHostileName.toStdString());
    // Strips: 1 s of 2 s shaded in front; 3 s of 4 s at the end; clipping and overs marked
    // on the clipped take alone.
    const QJsonObject lateStrip = rows[1]["strip"].toObject();
    ASSERT_EQ(lateStrip["quiet"].toArray().size(), 1);
    EXPECT_NEAR(lateStrip["quiet"][0][1].toDouble() / lateStrip["width"].toDouble(), 0.5, 0.01);
    const QJsonObject quietStrip = rows[3]["strip"].toObject();
    const QJsonArray trail = quietStrip["quiet"].toArray().last().toArray();
    EXPECT_NEAR(trail[0].toDouble() / quietStrip["width"].toDouble(), 0.25, 0.01);
    EXPECT_GT(rows[2]["strip"]["clips"].toInt(), 0);
    EXPECT_GT(rows[2]["strip"]["overs"].toInt(), 0);
    for (int i : {0, 1, 3, 6}) EXPECT_EQ(rows[i]["strip"]["clips"].toInt(), 0) << i;
    for (int i : {0, 1, 3, 6}) EXPECT_EQ(rows[i]["strip"]["overs"].toInt(), 0) << i;
    EXPECT_EQ(rows[2]["flagged"].toArray(), (QJsonArray{"lu", "tp", "pk"}));
    EXPECT_LT(page["bytes"].toInt(), 10 * 1024 * rows.size());

    // Against a target: the marks off it by more than 3 LU are named, the check's
    // warnings stay as they are.
    ASSERT_EQ(vxtool({"project", "report", "--target", "-16", show, "--output=" + report}).code, 0);
    const QJsonObject targeted = pageOf(report);
    for (const QJsonValue row : targeted["cues"].toArray()) {
        const double lufs = shown(row["lufs"]);
        EXPECT_EQ(row["offTarget"].toArray().size(), std::fabs(lufs + 16) > 3 ? 1 : 0)
            << row["id"].toString().toStdString();
    }
    EXPECT_EQ(targeted["problems"]["Off the target"].toArray().size(), 4);
    EXPECT_EQ(targeted["cues"].toArray()[1].toObject()["warnings"], rows[1].toObject()["warnings"]);

    // Exit 2, leaving an earlier report as it was: a file that is not a project, a
    // folder that does not exist, the show itself as the report, a wrong command line.
    const QString plain = freshPath("not-a-show.vx");
    ASSERT_EQ(vxtool({"put", plain, "x"}, "x").code, 0);
    const QByteArray before = vxtest::readAll(report);
    const QByteArray showBytes = vxtest::readAll(show);
    for (const QStringList& args :
         {QStringList{"project", "report", plain, "-o", report},
          QStringList{"project", "report", show, "-o", folder + "/missing/r.html"},
          QStringList{"project", "report", show, "-o", show},
          QStringList{"project", "report", show}, QStringList{"project", "report", "-o", report},
          QStringList{"project", "report", show, "-o", report, "--target", "5"},
          QStringList{"project", "report", show, "-o", report, "--target", "loud"},
          QStringList{"project", "report", show, "-o", report, "--json"}}) {
        const Result bad = vxtool(args);
        EXPECT_EQ(bad.code, 2) << args.join(' ').toStdString() << bad;
        EXPECT_TRUE(bad.err.startsWith("vxtool: ")) << bad;
    }
    EXPECT_EQ(vxtest::readAll(report), before);
    EXPECT_EQ(vxtest::readAll(show), showBytes);
    EXPECT_EQ(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"show.html"});
}
