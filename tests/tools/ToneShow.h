// Shows for the vxtool tests built from WAVs made here with libsndfile: sines with silence,
// clipping, hiss and true-peak overs of known figures, imported through project.json.
#pragma once

#include <sndfile.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <vector>

#include "VxtoolTestSupport.h"

namespace vxtest {

struct Tone {
    int rate = 22050;
    int channels = 2;
    int subtype = SF_FORMAT_PCM_16;
    double lead = 0;         // seconds of silence in front
    double seconds = 1;      // of a sine
    double trail = 0;        // seconds of silence after it
    double amplitude = 0.5;  // above 1 the sine is clipped at full scale
    double hz = 1000;        // at 1 kHz a stereo sine's loudness in LUFS is its peak in dBFS
    double phase = 0;
    double hissDbfs = 0;   // below 0: the silences hold noise of this RMS level instead
    double clickDbfs = 0;  // below 0: a one-sample click of this level every half second
};

inline void writeWav(const QString& path, const Tone& t) {
    SF_INFO info{};
    info.samplerate = t.rate;
    info.channels = t.channels;
    info.format = SF_FORMAT_WAV | t.subtype;
    SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto lead = static_cast<sf_count_t>(t.lead * t.rate);
    const auto tone = static_cast<sf_count_t>(t.seconds * t.rate);
    const sf_count_t frames = lead + tone + static_cast<sf_count_t>(t.trail * t.rate);
    std::vector<double> samples(static_cast<size_t>(frames * t.channels), 0.0);
    const double hiss = t.hissDbfs < 0 ? std::pow(10.0, t.hissDbfs / 20.0) * std::sqrt(3.0) : 0;
    uint32_t x = 1;
    for (sf_count_t i = 0; i < frames; ++i) {
        x = x * 1664525u + 1013904223u;
        double v = hiss * (double(x >> 8) / double(1 << 23) - 1.0);
        if (i >= lead && i < lead + tone)
            v = t.amplitude * std::sin(2 * M_PI * t.hz * double(i - lead) / t.rate + t.phase);
        if (t.clickDbfs < 0 && i % (t.rate / 2) == t.rate / 4) v = std::pow(10.0, t.clickDbfs / 20);
        for (int c = 0; c < t.channels; ++c)
            samples[static_cast<size_t>(i * t.channels + c)] = std::clamp(v, -1.0, 1.0);
    }
    EXPECT_EQ(sf_writef_double(f, samples.data(), frames), frames);
    sf_close(f);
}

struct EntrySpec {
    QString name, desc, note;
    QString file;  // in the chapter folder; empty: no sound
    Tone tone;
    int cutTo = -1;  // bytes the WAV is cut to, so that it does not decode
};
struct ChapterSpec {
    QString name;
    std::vector<EntrySpec> entries;
};

// Writes the WAVs and a project.json into a fresh folder and imports it as a new show.
inline QString importShow(const QString& name, const std::vector<ChapterSpec>& chapters) {
    const QString dir = freshPath(name + "-src");
    QJsonArray chapterArray;
    for (size_t c = 0; c < chapters.size(); ++c) {
        const QString folder = QString::number(c + 1);
        EXPECT_TRUE(QDir().mkpath(dir + "/" + folder));
        QJsonArray entryArray;
        for (const EntrySpec& e : chapters[c].entries) {
            if (!e.file.isEmpty()) {
                const QString path = dir + "/" + folder + "/" + e.file;
                writeWav(path, e.tone);
                if (e.cutTo >= 0) QFile(path).resize(e.cutTo);
            }
            entryArray.append(QJsonObject{
                {"name", e.name}, {"desc", e.desc}, {"note", e.note}, {"file", e.file}});
        }
        chapterArray.append(
            QJsonObject{{"name", chapters[c].name}, {"folder", folder}, {"entries", entryArray}});
    }
    vxtest::writeAll(
        dir + "/project.json",
        QJsonDocument(QJsonObject{{"format", 1}, {"chapters", chapterArray}}).toJson());
    const QString show = freshPath(name + ".vx");
    const Result r = vxtool({"project", "import", dir, show});
    EXPECT_EQ(r.code, 0) << r;
    return show;
}

}  // namespace vxtest
