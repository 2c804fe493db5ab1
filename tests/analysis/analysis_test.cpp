// The measures on signals whose figures are known: the loudness cases of EBU Tech 3341, a
// sine whose true peak lies between its samples, and noise between tone bursts; and a show
// measured on threads, which must give exactly what measuring each sound alone gives.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <QFile>
#include <QTemporaryFile>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "Signals.h"
#include "analysis/ShowAnalysis.h"
#include "analysis/SoundAnalysis.h"

namespace {

using analysis::Analysis;
using analysis::analyzeSound;

using namespace testsignal;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct Case {
    const char* what;
    QByteArray bytes;
    double lufs;        // kNone: no integrated loudness
    double truePeak;    // dBTP
    double samplePeak;  // dBFS
    double noiseFloor;  // dBFS; kNone: no pause to measure it in
};

}  // namespace

TEST(Analysis, MeasuresSignalsOfKnownLevels) {
    constexpr int r = 48000;
    const int64_t second = r;
    const std::vector<Case> cases = {
        // EBU Tech 3341, cases 1, 2 and 5: stereo sines, the last gated in its loud middle.
        {"1 kHz at -23 dBFS", wav(sine(1000, -23, r), 20, r, 2), -23.0, -23.0, -23.0, -26.0},
        {"1 kHz at -33 dBFS", wav(sine(1000, -33, r), 20, r, 2), -33.0, -33.0, -33.0, -36.0},
        {"-26, -20, -26 dBFS",
         wav(sequence({{20 * second, sine(1000, -26, r)},
                       {20 * second + second / 10, sine(1000, -20, r)},
                       {20 * second, sine(1000, -26, r)}}),
             60.1, r, 2),
         -23.0, -20.0, -20.0, -29.0},
        // A mono recording plays on both channels: measured as dual mono.
        {"mono at -23 dBFS", wav(sine(1000, -23, r), 20, r, 1), -23.0, -23.0, -23.0, -26.0},
        // A quarter of the rate, sampled 45 degrees off its crest: every sample lies 3 dB
        // below the peak between them.
        {"fs/4 off its crest", wav(sine(r / 4.0, -6, r, M_PI / 4), 5, r, 1, SF_FORMAT_FLOAT),
         kNone /* any */, -6.0, -9.03, -9.03},
        // Tone bursts ("words") with hiss at -50 dBFS in the pauses between them, then the
        // same with digital silence, and words too close for any pause.
        {"hiss between words",
         wav(sequence({{second, sine(440, -12, r)},
                       {second, noise(-50)},
                       {second, sine(440, -12, r)},
                       {second, noise(-50)},
                       {second, sine(440, -12, r)}}),
             5, r, 1),
         kNone, -12.0, -12.0, -50.0},
        {"silence between words",
         wav(sequence({{second, sine(440, -12, r)},
                       {second, [](int64_t, int) { return 0.0; }},
                       {second, sine(440, -12, r)}}),
             3, r, 1),
         kNone, -12.0, -12.0, -kInf},
        {"no pause",
         wav(
             [&](int64_t i, int c) {
                 return (i / (r / 5)) % 2 == 0 ? sine(440, -12, r)(i, c)
                                               : 0.01 * sine(440, -12, r)(i, c);
             },
             3, r, 1),
         kNone, -12.0, -12.0, kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Analysis a = analyzeSound(c.bytes);
        ASSERT_TRUE(a.measured) << a.decodeError.toStdString() << a.measureError.toStdString();
        const analysis::Levels& l = a.levels;
        if (!std::isnan(c.lufs)) {
            ASSERT_TRUE(l.integratedLufs.has_value());
            EXPECT_NEAR(*l.integratedLufs, c.lufs, 0.1);
        }
        EXPECT_NEAR(l.truePeakDbtp, c.truePeak, 0.15);
        EXPECT_NEAR(l.samplePeakDbfs, c.samplePeak, 0.05);
        if (std::isnan(c.noiseFloor)) {
            EXPECT_FALSE(l.noiseFloorDbfs.has_value()) << *l.noiseFloorDbfs;
        } else {
            ASSERT_TRUE(l.noiseFloorDbfs.has_value());
            if (std::isinf(c.noiseFloor))
                EXPECT_EQ(*l.noiseFloorDbfs, c.noiseFloor);
            else
                EXPECT_NEAR(*l.noiseFloorDbfs, c.noiseFloor, 0.5);
        }
    }

    // Shorter than one 400 ms gating block: no loudness, said as a note and not a warning.
    const Analysis shortOne = analyzeSound(wav(sine(1000, -20, r), 0.3, r, 2));
    EXPECT_TRUE(shortOne.levels.tooShortForLoudness);
    EXPECT_FALSE(shortOne.levels.integratedLufs.has_value());
    const analysis::Findings f = analysis::judge(shortOne, true, -20.0);
    EXPECT_TRUE(f.warnings.empty());
    EXPECT_EQ(f.notes.size(), 1);
}

// A show measured on worker threads gives, cue for cue and in order, what each sound gives
// measured alone, with the loudness jump judged against the median of the measurable cues.
TEST(Analysis, ShowOnThreadsAgreesWithEachSoundAlone) {
    constexpr int r = 22050;
    std::vector<QByteArray> sounds;
    std::mt19937 random(7);
    for (int i = 0; i < 24; ++i) {
        const double level = -30.0 + static_cast<double>(random() % 200) / 10.0;
        sounds.push_back(i % 7 == 3 ? QByteArray("not a recording")
                                    : wav(sine(300 + 50 * i, level, r), 0.2 + i * 0.1, r, 1 + i % 2,
                                          SF_FORMAT_PCM_16));
    }
    ChapterList chapters;
    for (int c = 0; c < 3; ++c) {
        chapters.push_back(std::make_unique<Chapter>());
        for (int e = 0; e < 9; ++e) chapters.back()->addEntry();
    }
    auto soundOf = [&](int c, int e) { return c * 9 + e < 24 ? c * 9 + e : -1; };
    analysis::ShowSource source;
    source.soundSize = [&](int c, int e, int64_t* size) {
        const int i = soundOf(c, e);
        *size = i < 0 ? 0 : sounds[static_cast<size_t>(i)].size();
        return i < 0 ? analysis::SoundState::None : analysis::SoundState::Present;
    };
    source.readSound = [&](int c, int e, QByteArray* bytes) {
        *bytes = sounds[static_cast<size_t>(soundOf(c, e))];
        return analysis::SoundState::Present;
    };
    source.playability = [](const QByteArray& bytes) {
        return analysis::Playability{bytes.startsWith("RIFF"), "not a WAV", -1};
    };
    const analysis::ShowAnalysis show =
        analysis::analyzeShow(chapters, source, {22050, 2, 16}, {}, 3);

    ASSERT_EQ(show.cues.size(), 27u);
    std::vector<double> loudness;
    for (size_t i = 0; i < sounds.size(); ++i) {
        const Analysis alone = analyzeSound(sounds[i]);
        if (alone.measured && alone.levels.integratedLufs)
            loudness.push_back(*alone.levels.integratedLufs);
    }
    const std::optional<double> median = analysis::medianOf(loudness);
    ASSERT_TRUE(median.has_value());
    EXPECT_EQ(show.medianLufs, median);
    int notPlaying = 0;
    for (size_t i = 0; i < show.cues.size(); ++i) {
        const analysis::Cue& cue = show.cues[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(cue.number, static_cast<int>(i) + 1);
        EXPECT_EQ(cue.chapter * 9 + cue.entry, static_cast<int>(i));
        if (!cue.plays()) ++notPlaying;
        if (i >= sounds.size()) {
            EXPECT_EQ(cue.sound, analysis::SoundState::None);
            continue;
        }
        const Analysis alone = analyzeSound(sounds[i], {cue.plays(), 0});
        EXPECT_EQ(cue.analysis.measured, alone.measured);
        EXPECT_EQ(cue.analysis.levels.integratedLufs, alone.levels.integratedLufs);
        EXPECT_EQ(cue.analysis.levels.truePeakDbtp, alone.levels.truePeakDbtp);
        const analysis::Findings expected = analysis::judge(alone, cue.plays(), median);
        ASSERT_EQ(cue.findings.warnings.size(), expected.warnings.size());
        for (size_t w = 0; w < expected.warnings.size(); ++w)
            EXPECT_EQ(cue.findings.warnings[w].text, expected.warnings[w].text);
    }
    EXPECT_EQ(show.notPlaying, notPlaying);
    EXPECT_EQ(notPlaying, 3 + 3);  // the three that are not recordings, the three without one
}
