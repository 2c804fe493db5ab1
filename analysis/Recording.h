// What a recording is, as libsndfile reads its header, and how the player's output turns
// it into what it plays.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace analysis {

struct Recording {
    QString container;  // wav, wav-extensible, rf64, ogg, flac, mp3, aiff, other
    QString encoding;   // pcm8, pcm16, pcm24, pcm32, float32, float64, alaw, ulaw, vorbis,
                        // opus, mp3, ima-adpcm, ms-adpcm, other
    int bits = 0;       // size of a stored sample; 0 for compressed encodings
    int rate = 0;
    int channels = 0;
    int64_t frames = 0;
    double seconds = 0;
};

// The format the player's output was opened with.
struct OutputFormat {
    int rate = 0;
    int channels = 0;
    int bits = 0;
};

// Human words for the container and encoding ("WAV, 16-bit PCM").
QString formatText(const Recording& recording);

// How the output converts the recording: resampling, channels, sample size. Derived from
// the formats alone.
QStringList conversionNotes(const Recording& recording, const OutputFormat& output);

}  // namespace analysis
