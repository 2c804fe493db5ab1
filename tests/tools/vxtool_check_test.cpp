// vxtool project check and project script on shows imported from WAVs made here with
// libsndfile, and the memory the read-only project commands hold on a large show.
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <cmath>
#include <vector>

#include "ToneShow.h"
#include "VxtoolTestSupport.h"
#include "project/Project.h"

using vxtest::freshPath;
using vxtest::importShow;
using vxtest::Result;
using vxtest::Tone;
using vxtest::vxtool;
using vxtest::writeWav;

namespace {

// Each warning kind of an entry of check --json, with its figure.
QMap<QString, double> warningsOf(const QJsonObject& entry) {
    QMap<QString, double> out;
    for (const QJsonValue w : entry["warnings"].toArray())
        out[w["kind"].toString()] = w["value"].toDouble();
    return out;
}

}  // namespace

// One show with every kind of problem: each is found with its figure, the entries that will
// not play are named, and the summary adds up. A clean show exits 0. The clean takes end in
// 0.6 s of digital silence, a pause whose noise floor is -inf.
TEST(VxtoolCheck, FindsEveryProblemWithItsFigures) {
    // A 1 s sine before or after silence: of its ten 400 ms gating blocks that start in it,
    // seven hold only the sine and three hold 3/4, 1/2 and 1/4 of it; the blocks of silence
    // fall below the gates. So a sine at -6 dBFS measures -6 + 10 log10(8.5 / 10) LUFS.
    const double gated = 10 * std::log10(0.85);
    Tone clean;
    clean.trail = 0.6;
    Tone late{44100, 1};
    late.lead = 1.0;
    Tone clipped{44100, 1};
    clipped.amplitude = 2.0;
    clipped.trail = 0.6;
    Tone hissy = clean;
    hissy.hissDbfs = -40;
    hissy.trail = 1.0;
    // A quarter of the rate, 45 degrees off its crest: samples at -1 dBFS, the wave between
    // them 3 dB higher.
    Tone over{22050,       1,       SF_FORMAT_PCM_16, 0, 1, 0.6, std::pow(10.0, 2.0 / 20),
              22050 / 4.0, M_PI / 4};
    Tone quiet{48000, 1, SF_FORMAT_PCM_24};
    quiet.amplitude = 0.05;  // -26 dBFS: 20 LU below the others
    quiet.trail = 3.0;
    Tone brief = clean;
    brief.seconds = 0.3;
    brief.trail = 0;
    const QString show = importShow("problems", {{"Scene",
                                                  {{"clean", "", "", "clean.wav", clean},
                                                   {"late", "", "", "late.wav", late},
                                                   {"clipped", "", "", "clipped.wav", clipped},
                                                   {"hissy", "", "", "hissy.wav", hissy},
                                                   {"over", "", "", "over.wav", over}}},
                                                 {"Storm",
                                                  {{"quiet", "", "", "quiet.wav", quiet},
                                                   {"truncated", "", "", "cut.wav", Tone{}, 30},
                                                   {"silent cue", "", "", "", Tone{}},
                                                   {"brief", "", "", "brief.wav", brief}}}});
    const Result r = vxtool({"project", "check", "--json", show});
    ASSERT_EQ(r.code, 1) << r;
    const QJsonObject root = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(root["output"].toObject(),
              (QJsonObject{{"rate", 22050}, {"channels", 2}, {"bits", 16}}));
    const QJsonArray chapters = root["chapters"].toArray();
    ASSERT_EQ(chapters.size(), 2);
    const QJsonArray scene = chapters[0]["entries"].toArray();
    const QJsonArray storm = chapters[1]["entries"].toArray();
    ASSERT_EQ(scene.size(), 5);
    ASSERT_EQ(storm.size(), 4);

    const QJsonObject cleanEntry = scene[0].toObject();
    EXPECT_TRUE(cleanEntry["plays"].toBool());
    EXPECT_EQ(cleanEntry["recording"].toObject(), (QJsonObject{{"container", "wav"},
                                                               {"encoding", "pcm16"},
                                                               {"bits", 16},
                                                               {"rate", 22050},
                                                               {"channels", 2},
                                                               {"durationSeconds", 1.6}}));
    EXPECT_TRUE(cleanEntry["conversions"].toArray().isEmpty());
    EXPECT_NEAR(cleanEntry["levels"]["peakDbfs"].toDouble(), -6.0, 0.1);
    const QJsonObject loudness = cleanEntry["loudness"].toObject();
    EXPECT_NEAR(loudness["integratedLufs"].toDouble(), -6.0 + gated, 0.1);
    EXPECT_NEAR(loudness["truePeakDbtp"].toDouble(), -6.0, 0.1);
    EXPECT_NEAR(loudness["samplePeakDbfs"].toDouble(), -6.0, 0.1);
    EXPECT_TRUE(loudness["noiseFloorDbfs"].isNull());  // digital silence
    EXPECT_TRUE(warningsOf(cleanEntry).isEmpty());

    const QJsonObject lateEntry = scene[1].toObject();
    EXPECT_EQ(warningsOf(lateEntry).keys(), QStringList{"leading-silence"});
    EXPECT_NEAR(warningsOf(lateEntry)["leading-silence"], 1.0, 0.01);
    // Mono is measured as played, on both channels: as loud as the stereo take.
    EXPECT_NEAR(lateEntry["loudness"]["integratedLufs"].toDouble(), -6.0 + gated, 0.1);
    const QString notes = lateEntry["conversions"].toVariant().toStringList().join('|');
    EXPECT_TRUE(notes.contains("from 44100 Hz to 22050 Hz: sound above 11025 Hz is lost"))
        << notes.toStdString();
    EXPECT_TRUE(notes.contains("mono, played on both channels")) << notes.toStdString();

    // A 1 kHz sine clipped on every half period: about 2,000 flat tops in one second, as
    // loud as the square wave it has become and jumping out of the show.
    const QJsonObject clippedEntry = scene[2].toObject();
    const QMap<QString, double> clippedWarnings = warningsOf(clippedEntry);
    EXPECT_EQ(clippedWarnings.keys(), (QStringList{"clipping", "loudness-jump", "true-peak"}));
    EXPECT_NEAR(clippedEntry["levels"]["clippedRuns"].toDouble(), 2000, 30);
    EXPECT_LT(clippedEntry["levels"]["firstClipSeconds"].toDouble(), 0.002);
    EXPECT_GT(clippedWarnings["loudness-jump"], -6.0 + 3.0);

    const QJsonObject hissyEntry = scene[3].toObject();
    EXPECT_EQ(warningsOf(hissyEntry).keys(), QStringList{"noise-floor"});
    EXPECT_NEAR(warningsOf(hissyEntry)["noise-floor"], -40.0, 0.5);
    EXPECT_NEAR(hissyEntry["loudness"]["integratedLufs"].toDouble(), -6.0 + gated, 0.1);

    const QJsonObject overEntry = scene[4].toObject();
    EXPECT_NEAR(overEntry["loudness"]["samplePeakDbfs"].toDouble(), -1.0, 0.05);
    // Its loudness jumps too: K-weighting lifts 5.5 kHz by about 4 dB.
    EXPECT_EQ(warningsOf(overEntry).keys(), (QStringList{"loudness-jump", "true-peak"}));
    EXPECT_NEAR(warningsOf(overEntry)["true-peak"], 2.0, 0.15);

    const QJsonObject quietEntry = storm[0].toObject();
    EXPECT_EQ(quietEntry["recording"]["encoding"].toString(), "pcm24");
    EXPECT_TRUE(quietEntry["conversions"].toVariant().toStringList().contains(
        "24-bit samples reduced to 16-bit"));
    const QMap<QString, double> quietWarnings = warningsOf(quietEntry);
    EXPECT_EQ(quietWarnings.keys(), (QStringList{"loudness-jump", "quiet", "trailing-silence"}));
    EXPECT_NEAR(quietWarnings["quiet"], -26.0, 0.1);
    EXPECT_NEAR(quietWarnings["loudness-jump"], -26.0 + gated, 0.1);
    EXPECT_NEAR(quietWarnings["trailing-silence"], 3.0, 0.05);

    EXPECT_FALSE(storm[1]["plays"].toBool());
    EXPECT_EQ(storm[1]["sound"].toString(), "present");
    EXPECT_TRUE(storm[1]["problem"].toString().contains("SDL_mixer cannot decode it"));
    EXPECT_FALSE(storm[2]["plays"].toBool());
    EXPECT_EQ(storm[2]["sound"].toString(), "none");
    EXPECT_TRUE(storm[2]["loudness"]["integratedLufs"].isNull());
    // Too short for a gating block: a note, not a warning.
    EXPECT_TRUE(storm[3]["warnings"].toArray().isEmpty());
    EXPECT_TRUE(storm[3]["loudness"]["integratedLufs"].isNull());
    EXPECT_EQ(storm[3]["notes"].toArray().size(), 1);

    const QJsonObject summary = root["summary"].toObject();
    EXPECT_EQ(summary["entries"].toInt(), 9);
    EXPECT_EQ(summary["notPlaying"].toInt(), 2);
    EXPECT_EQ(summary["warnings"].toInt(), 10);
    EXPECT_NEAR(summary["medianLufs"].toDouble(), -6.0 + gated, 0.1);
    EXPECT_DOUBLE_EQ(summary["durationSeconds"].toDouble(), 13.1);
    EXPECT_DOUBLE_EQ(chapters[0]["durationSeconds"].toDouble(), 8.8);
    EXPECT_DOUBLE_EQ(chapters[1]["durationSeconds"].toDouble(), 4.3);

    // The text form says the same in words.
    const Result text = vxtool({"project", "check", show});
    EXPECT_EQ(text.code, 1) << text;
    EXPECT_EQ(text.out.count("    WILL NOT PLAY: "), 2) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("    warning: leading silence 1.00 s (more than 0.50 s)"));
    EXPECT_TRUE(text.out.contains("    warning: quiet take: peak -26.0 dBFS (below -20.0 dBFS)"));
    EXPECT_TRUE(
        text.out.contains("    warning: loudness jump: -26.7 LUFS, 20.0 LU below the "
                          "show's median of -6.7 LUFS"))
        << text.out.toStdString();
    EXPECT_TRUE(
        text.out.contains("    loudness: -6.7 LUFS integrated, true peak -6.0 dBTP, "
                          "noise floor -inf dBFS\n"))
        << text.out.toStdString();
    EXPECT_TRUE(
        text.out.endsWith("summary:\n  entries: 9\n  will not play: 2\n  warnings: 10\n"
                          "  median loudness: -6.7 LUFS\n"
                          "  chapter 1: 0:08.8  Scene\n  chapter 2: 0:04.3  Storm\n"
                          "  show: 0:13.1\n"))
        << text.out.toStdString();

    // Clean recordings, converted or not, make a clean show.
    Tone cleanMono{44100, 1};
    cleanMono.trail = 0.6;
    const QString good = importShow(
        "clean", {{"Only", {{"a", "", "", "a.wav", clean}, {"b", "", "", "b.wav", cleanMono}}}});
    const Result ok = vxtool({"project", "check", good});
    EXPECT_EQ(ok.code, 0) << ok << ok.out.toStdString();
    EXPECT_TRUE(ok.out.contains("  will not play: 0\n  warnings: 0\n")) << ok.out.toStdString();

    // A file that is not a project cannot be checked or listed.
    const QString plain = freshPath("not-a-show.vx");
    ASSERT_EQ(vxtool({"put", plain, "x"}, "x").code, 0);
    EXPECT_EQ(vxtool({"project", "check", plain}).code, 2);
    EXPECT_EQ(vxtool({"project", "script", plain}).code, 2);
}

// The running order as printed: cue numbers across chapters, start times, chapter totals,
// and texts with commas, quotes, line breaks and other scripts intact.
TEST(VxtoolScript, PrintsTheRunningOrderAsTextAndCsv) {
    Tone twoSeconds;
    twoSeconds.seconds = 2.0;
    Tone oneAndHalf{44100, 1};
    oneAndHalf.seconds = 1.5;
    Tone half;
    half.seconds = 0.5;
    const QString show = importShow(
        "script", {{"Prologue, part 1",
                    {{"Welcome", "The narrator greets the audience, \"warmly\".",
                      "Wait for silence", "w.wav", twoSeconds},
                     {"Storm — 雷雨", "Line one\nLine two", "", "s.wav", oneAndHalf},
                     {"Blackout", "", "cue: \"lights\", then go", "", Tone{}}}},
                   {"Epilogue",
                    {{"Farewell",
                      "A long description that has to be wrapped across more than one line of the "
                      "printed script, so it is.",
                      "", "f.wav", half}}},
                   {"", {}}});

    const Result text = vxtool({"project", "script", show});
    ASSERT_EQ(text.code, 0) << text;
    EXPECT_EQ(text.out.toStdString(),
              std::string(
                  "Chapter 1: Prologue, part 1\n"
                  "   Cue      Start     Length  Name, description, note\n"
                  "     1     0:00.0     0:02.0  Welcome\n"
                  "                              The narrator greets the audience, \"warmly\".\n"
                  "                              Note: Wait for silence\n"
                  "     2     0:02.0     0:01.5  Storm — 雷雨\n"
                  "                              Line one\n"
                  "                              Line two\n"
                  "     3     0:03.5          -  Blackout\n"
                  "                              Note: cue: \"lights\", then go\n"
                  "  Chapter 1 total: 0:03.5\n"
                  "\n"
                  "Chapter 2: Epilogue\n"
                  "   Cue      Start     Length  Name, description, note\n"
                  "     4     0:03.5     0:00.5  Farewell\n"
                  "                              A long description that has to be wrapped across\n"
                  "                              more than one line of the printed script, so it\n"
                  "                              is.\n"
                  "  Chapter 2 total: 0:00.5\n"
                  "\n"
                  "Chapter 3:\n"
                  "  (no entries)\n"
                  "  Chapter 3 total: 0:00.0\n"
                  "\n"
                  "Show total: 0:04.0, 4 cue(s)\n"));

    const Result csv = vxtool({"project", "script", "--format", "csv", show});
    ASSERT_EQ(csv.code, 0) << csv;
    EXPECT_EQ(
        csv.out.toStdString(),
        std::string("\xEF\xBB\xBF"
                    "Chapter,Cue,Start,Duration,Name,Description,Note\r\n"
                    "1,,0:00:00.0,0:00:03.5,\"Prologue, part 1\",,\r\n"
                    "1,1,0:00:00.0,0:00:02.0,Welcome,\"The narrator greets the audience, "
                    "\"\"warmly\"\".\",Wait for silence\r\n"
                    "1,2,0:00:02.0,0:00:01.5,Storm — 雷雨,\"Line one\nLine two\",\r\n"
                    "1,3,0:00:03.5,-,Blackout,,\"cue: \"\"lights\"\", then go\"\r\n"
                    "2,,0:00:03.5,0:00:00.5,Epilogue,,\r\n"
                    "2,4,0:00:03.5,0:00:00.5,Farewell,\"A long description that has to be "
                    "wrapped across more than one line of the printed script, so it is.\",\r\n"
                    "3,,0:00:04.0,0:00:00.0,,,\r\n"));

    const Result md = vxtool({"project", "script", show, "--format=markdown"});
    ASSERT_EQ(md.code, 0) << md;
    EXPECT_TRUE(
        md.out.contains("| 2 | 0:02.0 | 0:01.5 | Storm — 雷雨 | Line one<br>Line two |  |\n"))
        << md.out.toStdString();
    EXPECT_EQ(vxtool({"project", "script", "--format", "pdf", show}).code, 2);
}

namespace {

// Runs vxtool with args and returns its peak resident size in bytes, or -1.
int64_t peakOf(const QStringList& args) {
    std::vector<QByteArray> raw{QByteArray(VXTOOL_PROGRAM)};
    for (const QString& a : args) raw.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : raw) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!freopen("/dev/null", "w", stdout);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
    if (WEXITSTATUS(status) > 1) return -1;
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace

// show, export, check and script walk a show far larger than the bound and stay within
// the largest sound plus 64 MB: they hold one sound at a time.
TEST(VxtoolCheck, ReadOnlyCommandsHoldOneSoundAtATime) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine and shadow memory";
#endif
    constexpr int kSounds = 40;
    constexpr int64_t kSoundBytes = 4 << 20;
    const QString source = freshPath("large-src.wav");
    Tone t;
    t.seconds = double(kSoundBytes - 44) / (22050 * 4);
    writeWav(source, t);
    const QByteArray sound = vxtest::readAll(source);
    Project& project = Project::instance();
    project.clear();
    Chapter* chapter = project.addChapter();
    for (int i = 0; i < kSounds; ++i) chapter->addEntry()->sound = sound;
    const QString show = freshPath("large.vx");
    ASSERT_TRUE(project.save(show)) << project.lastError().toStdString();
    project.clear();
    const int64_t bound = sound.size() + (int64_t(64) << 20);
    ASSERT_GT(int64_t(kSounds) * sound.size(), bound + (int64_t(64) << 20));
    for (const QStringList& args :
         {QStringList{"project", "show", show}, QStringList{"project", "check", show},
          QStringList{"project", "script", show},
          QStringList{"project", "export", show, freshPath("large-export")}}) {
        const int64_t peak = peakOf(args);
        EXPECT_GT(peak, 0) << args.join(' ').toStdString();
        EXPECT_LE(peak, bound) << args.join(' ').toStdString();
    }
}

namespace {

double dbfs(double db) { return std::pow(10.0, db / 20.0); }

// Every cue of project check --json, in running order.
std::vector<QJsonObject> checkedCues(const QString& show) {
    const Result r = vxtool({"project", "check", "--json", show});
    EXPECT_LE(r.code, 1) << r;
    std::vector<QJsonObject> cues;
    for (const QJsonValue c : QJsonDocument::fromJson(r.out).object()["chapters"].toArray())
        for (const QJsonValue e : c["entries"].toArray()) cues.push_back(e.toObject());
    return cues;
}

// The stored sound of cue (chapter c, entry e) as vxtool cat gives it.
QByteArray storedSound(const QString& show, int c, int e) {
    return vxtool({"cat", show, QString("ch%1_e%2.snd").arg(c).arg(e)}).out;
}

// libsndfile's format code and frame count of a recording's bytes.
std::pair<int, int64_t> formatOf(const QByteArray& bytes) {
    QTemporaryFile file;
    if (!file.open() || file.write(bytes) != bytes.size()) return {0, -1};
    file.flush();
    SF_INFO info{};
    SNDFILE* f = sf_open(file.fileName().toLocal8Bit().constData(), SFM_READ, &info);
    if (f == nullptr) return {0, -1};
    sf_close(f);
    return {info.format, info.frames};
}

}  // namespace

// One show of takes at many levels and in every format the player plays, levelled to its
// median: changed cues reach it, the one whose peak holds it stays below the ceiling, the
// rest are byte for byte as they were, formats and frame counts are kept, and project
// check finds no loudness jump in the result. A dry run and a refused output write nothing.
TEST(VxtoolLevel, BringsAShowToItsMedianWithoutPassingTheCeiling) {
    auto take = [](int rate, int channels, int subtype, double db, double seconds = 2) {
        Tone t{rate, channels, subtype};
        t.seconds = seconds;
        t.amplitude = dbfs(db);
        return t;
    };
    // Clicks at -9 dBFS over a sine at -30: raising it 10 dB to the median would put them
    // above full scale, so it stops about 2 LU short, with its peaks at the ceiling.
    Tone hot = take(22050, 1, SF_FORMAT_PCM_16, -30);
    hot.clickDbfs = -9;
    const QString show = importShow(
        "level", {{"Act one",
                   {{"at -30", "d1", "n1", "a.wav", take(22050, 2, SF_FORMAT_PCM_16, -30)},
                    {"at -20", "", "", "b.wav", take(44100, 1, SF_FORMAT_PCM_16, -20)},
                    {"at -12", "", "", "c.wav", take(22050, 2, SF_FORMAT_PCM_16, -12)},
                    {"hot", "", "", "d.wav", hot}}},
                  {"Act two",
                   {{"24-bit", "", "", "e.wav", take(48000, 2, SF_FORMAT_PCM_24, -24)},
                    {"float", "", "", "f.wav", take(44100, 1, SF_FORMAT_FLOAT, -18)},
                    {"mu-law", "", "", "g.wav", take(8000, 1, SF_FORMAT_ULAW, -16)},
                    {"adpcm", "", "", "h.wav", take(22050, 1, SF_FORMAT_IMA_ADPCM, -30)},
                    {"blackout", "no sound", "", "", Tone{}}}}});
    const QByteArray original = vxtest::readAll(show);
    const std::vector<QJsonObject> before = checkedCues(show);
    ASSERT_EQ(before.size(), 9u);

    // Neither a dry run nor an output that exists without --force writes anything.
    const QString out = freshPath("levelled.vx");
    EXPECT_EQ(vxtool({"project", "level", show, "-o", out, "--dry-run"}).code, 1);
    EXPECT_FALSE(QFileInfo::exists(out));
    EXPECT_EQ(vxtool({"project", "level", show, "--in-place", "--dry-run"}).code, 1);
    vxtest::writeAll(out, "someone's file");
    EXPECT_EQ(vxtool({"project", "level", show, "-o", out}).code, 2);
    EXPECT_EQ(vxtest::readAll(out), QByteArray("someone's file"));
    EXPECT_EQ(vxtool({"project", "level", show, "-o", show}).code, 2);
    // Not even --force overwrites a file that is not a show.
    EXPECT_EQ(vxtool({"project", "level", show, "-o", out, "--force"}).code, 2);
    EXPECT_EQ(vxtest::readAll(out), QByteArray("someone's file"));
    QFile::remove(out);
    ASSERT_EQ(vxtool({"put", out, "x"}, "x").code, 0);  // a container may be replaced

    const Result r = vxtool({"project", "level", show, "-o", out, "--force", "--json"});
    EXPECT_EQ(r.code, 1) << r;  // held by its peak, and the ADPCM take cannot play
    EXPECT_EQ(vxtest::readAll(show), original);
    const QJsonObject report = QJsonDocument::fromJson(r.out).object();
    const double target = report["targetLufs"].toDouble();
    EXPECT_NEAR(target, -20.0, 0.1);  // the median of the seven takes that play
    std::vector<QJsonObject> levels;
    for (const QJsonValue c : report["chapters"].toArray())
        for (const QJsonValue e : c["entries"].toArray()) levels.push_back(e.toObject());
    ASSERT_EQ(levels.size(), 9u);
    const QStringList actions = {"changed", "left",    "changed", "held", "changed",
                                 "changed", "changed", "left",    "left"};
    const std::vector<QJsonObject> after = checkedCues(out);
    ASSERT_EQ(after.size(), 9u);
    for (size_t i = 0; i < levels.size(); ++i) {
        SCOPED_TRACE(before[i]["name"].toString().toStdString());
        EXPECT_EQ(levels[i]["action"].toString(), actions[static_cast<qsizetype>(i)]);
        const int c = i < 4 ? 0 : 1, e = i < 4 ? static_cast<int>(i) : static_cast<int>(i) - 4;
        const QByteArray was = storedSound(show, c, e), now = storedSound(out, c, e);
        if (levels[i]["action"].toString() == "left") {
            EXPECT_EQ(now, was);
            continue;
        }
        EXPECT_NE(now, was);
        EXPECT_EQ(formatOf(now), formatOf(was));
        EXPECT_EQ(after[i]["recording"], before[i]["recording"]);
        const double lufs = after[i]["loudness"]["integratedLufs"].toDouble();
        const double peak = after[i]["loudness"]["truePeakDbtp"].toDouble();
        EXPECT_LE(peak, -1.0);
        EXPECT_NEAR(lufs, levels[i]["afterLufs"].toDouble(), 0.1);
        if (levels[i]["action"].toString() == "changed") {
            EXPECT_NEAR(lufs, target, 0.1);
        } else {
            EXPECT_NEAR(peak, -1.0, 0.1);
            EXPECT_LT(lufs, target - 1.0);
        }
    }
    EXPECT_TRUE(storedSound(out, 1, 4).isEmpty());
    for (const QJsonObject& cue : after)
        for (const QJsonValue w : cue["warnings"].toArray())
            EXPECT_NE(w["kind"].toString(), "loudness-jump")
                << cue["name"].toString().toStdString();

    // The texts, the order and the lengths are the show's, and the window's load opens it.
    const Result script = vxtool({"project", "script", out});
    EXPECT_EQ(script.out, vxtool({"project", "script", show}).out);
    EXPECT_TRUE(script.out.contains("blackout")) << script.out.toStdString();
    Project& project = Project::instance();
    ASSERT_TRUE(project.load(out)) << project.lastError().toStdString();
    EXPECT_EQ(project.chapter(0)->entry(0)->desc, "d1");
    project.clear();
}
