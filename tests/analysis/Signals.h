// Signals of known levels written as WAV bytes by libsndfile, for the analysis tests.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <QByteArray>
#include <QTemporaryFile>
#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace testsignal {

// A signal by frame and channel, full scale at ±1.
using Signal = std::function<double(int64_t frame, int channel)>;

inline double fromDb(double db) { return std::pow(10.0, db / 20.0); }

inline Signal sine(double hz, double dbfs, int rate, double phase = 0) {
    const double a = fromDb(dbfs);
    return [=](int64_t i, int) { return a * std::sin(2 * M_PI * hz * double(i) / rate + phase); };
}

// The bytes of a WAV of `seconds` of signal, written by libsndfile.
inline QByteArray wav(const Signal& signal, double seconds, int rate, int channels,
                      int subtype = SF_FORMAT_PCM_24) {
    QTemporaryFile file;
    EXPECT_TRUE(file.open());
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subtype;
    SNDFILE* f = sf_open(file.fileName().toLocal8Bit().constData(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<int64_t>(std::llround(seconds * rate));
    std::vector<double> block;
    for (int64_t at = 0; at < frames; at += 4096) {
        const int64_t n = std::min<int64_t>(4096, frames - at);
        block.resize(static_cast<size_t>(n * channels));
        for (int64_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                block[static_cast<size_t>(i * channels + c)] = signal(at + i, c);
        sf_writef_double(f, block.data(), n);
    }
    sf_close(f);
    return file.readAll();
}

// Stretches of signals one after the other.
inline Signal sequence(std::vector<std::pair<int64_t, Signal>> parts) {
    return [parts](int64_t i, int c) {
        for (const auto& [frames, s] : parts) {
            if (i < frames) return s(i, c);
            i -= frames;
        }
        return 0.0;
    };
}

inline Signal noise(double rmsDbfs) {
    // Uniform noise of that RMS, the same for a frame on every channel.
    const double a = fromDb(rmsDbfs) * std::sqrt(3.0);
    return [a](int64_t i, int) {
        uint64_t x = static_cast<uint64_t>(i) * 6364136223846793005ull + 1442695040888963407ull;
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 33;
        return a * (double(x >> 11) / double(1ull << 53) * 2.0 - 1.0);
    };
}

}  // namespace testsignal
