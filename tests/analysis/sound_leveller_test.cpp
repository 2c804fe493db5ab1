// One recording levelled in every encoding that is written back: the result has the same
// format, frame count and metadata, its samples are the original's times the gain (to the
// encoding's rounding), and at the largest gain the ceiling allows its true peak, measured
// again, is at or below that ceiling.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryFile>
#include <cmath>
#include <vector>

#include "Signals.h"
#include "analysis/SoundAnalysis.h"
#include "analysis/SoundLeveller.h"

namespace {

struct Decoded {
    int format = 0;
    int64_t frames = 0;
    std::vector<double> samples;
    QString title;
    QString bextDescription;
    uint32_t cues = 0;
};

Decoded decode(const QString& path) {
    Decoded d;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (f == nullptr) return d;
    d.format = info.format;
    d.frames = info.frames;
    d.samples.resize(static_cast<size_t>(info.frames * info.channels));
    sf_readf_double(f, d.samples.data(), info.frames);
    if (const char* t = sf_get_string(f, SF_STR_TITLE)) d.title = t;
    SF_BROADCAST_INFO bext{};
    if (sf_command(f, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE)
        d.bextDescription = QString::fromLatin1(bext.description);
    sf_command(f, SFC_GET_CUE_COUNT, &d.cues, sizeof d.cues);
    sf_close(f);
    return d;
}

// A second of a sine at -12 dBFS, written by libsndfile with a title, bext and a cue point.
QByteArray recording(int format, int channels) {
    QTemporaryFile file;
    EXPECT_TRUE(file.open());
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(file.fileName().toLocal8Bit().constData(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_set_string(f, SF_STR_TITLE, "The storm");
    SF_BROADCAST_INFO bext{};
    std::snprintf(bext.description, sizeof bext.description, "take 3");
    sf_command(f, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
    SF_CUES cues{};
    cues.cue_count = 1;
    cues.cue_points[0].indx = 1;
    cues.cue_points[0].sample_offset = 4000;
    sf_command(f, SFC_SET_CUE, &cues, sizeof cues);
    std::vector<double> samples(16000 * static_cast<size_t>(channels));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.25 * std::sin(2 * M_PI * 440.0 * double(i / channels) / 16000);
    sf_writef_double(f, samples.data(), 16000);
    sf_close(f);
    return file.readAll();
}

}  // namespace

TEST(SoundLeveller, WritesBackEveryEncodingAsItWasTimesTheGain) {
    struct Case {
        const char* what;
        int format;
        int channels;
        double step;  // the largest difference from the exact product, relative to full scale
    };
    const Case cases[] = {
        {"8-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 2.0 / 128},
        {"16-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 2.0 / 32768},
        {"24-bit extensible", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 2, 1.0 / 8388608},
        {"32-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1, 1e-9},
        {"float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 1e-7},
        {"double", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, 1e-12},
        {"mu-law", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 0.5 / 32 + 2.0 / 32768},
        {"A-law", SF_FORMAT_WAV | SF_FORMAT_ALAW, 1, 0.5 / 32 + 2.0 / 32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray original = recording(c.format, c.channels);
        QTemporaryFile in;
        ASSERT_TRUE(in.open());
        in.write(original);
        in.flush();
        const Decoded before = decode(in.fileName());
        ASSERT_EQ(before.format, c.format);
        // The largest gain a ceiling of -1 dBTP allows: a sine at -12 dBFS goes up about 11 dB.
        const analysis::Analysis a = analysis::analyzeSound(original);
        ASSERT_TRUE(a.measured);
        const double gain = analysis::largestGainDb(a.recording, a.levels.truePeakDbtp, -1.0);
        EXPECT_GT(gain, 10.0);
        EXPECT_LT(gain, 11.1);
        QTemporaryFile out;
        ASSERT_TRUE(out.open());
        ASSERT_EQ(analysis::writeLevelled(original, gain, 7, out.handle()), QString());
        const Decoded after = decode(out.fileName());
        EXPECT_EQ(after.format, before.format);
        EXPECT_EQ(after.frames, before.frames);
        EXPECT_EQ(after.title, "The storm");
        EXPECT_EQ(after.bextDescription, "take 3");
        EXPECT_EQ(after.cues, 1u);
        const double factor = std::pow(10.0, gain / 20.0);
        double worst = 0;
        for (size_t i = 0; i < before.samples.size(); ++i)
            worst = std::max(worst, std::fabs(after.samples[i] - before.samples[i] * factor));
        EXPECT_LE(worst, c.step);
        QFile levelled(out.fileName());
        ASSERT_TRUE(levelled.open(QIODevice::ReadOnly));
        EXPECT_LE(analysis::analyzeSound(levelled.readAll()).levels.truePeakDbtp, -1.0);
    }

    // What libsndfile cannot write back, or the tool does not level, is named.
    analysis::Recording adpcm;
    adpcm.container = "wav";
    adpcm.encoding = "ima-adpcm";
    EXPECT_TRUE(analysis::writeBackProblem(adpcm).contains("IMA ADPCM"));
    analysis::Recording flac;
    flac.container = "flac";
    flac.encoding = "pcm16";
    EXPECT_TRUE(analysis::writeBackProblem(flac).contains("FLAC"));
}
