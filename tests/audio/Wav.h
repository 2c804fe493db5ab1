#pragma once

// Builds the bytes of a PCM WAV file in memory, so the player tests need no sample files.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testwav {

constexpr int kRate = 22050;  // the player's output rate: samples come out unresampled

inline void putLE(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Interleaved stereo 16-bit frames.
inline std::string wavFromFrames(const std::vector<std::int16_t>& interleaved, int rate = kRate) {
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(interleaved.size() * 2);
    std::string out = "RIFF";
    putLE(out, 36 + dataBytes, 4);
    out += "WAVEfmt ";
    putLE(out, 16, 4);
    putLE(out, 1, 2);  // PCM
    putLE(out, 2, 2);  // channels
    putLE(out, static_cast<std::uint32_t>(rate), 4);
    putLE(out, static_cast<std::uint32_t>(rate * 4), 4);
    putLE(out, 4, 2);  // block align
    putLE(out, 16, 2);
    out += "data";
    putLE(out, dataBytes, 4);
    for (std::int16_t s : interleaved) putLE(out, static_cast<std::uint16_t>(s), 2);
    return out;
}

// A sine tone; the right channel is the left one halved so the channels can be told apart.
inline std::vector<std::int16_t> toneFrames(int milliseconds, double hz = 440.0) {
    const int frames = kRate * milliseconds / 1000;
    std::vector<std::int16_t> samples;
    samples.reserve(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double v = std::sin(2.0 * M_PI * hz * i / kRate);
        samples.push_back(static_cast<std::int16_t>(std::lround(12000.0 * v)));
        samples.push_back(static_cast<std::int16_t>(std::lround(6000.0 * v)));
    }
    return samples;
}

inline std::string tone(int milliseconds, double hz = 440.0) {
    return wavFromFrames(toneFrames(milliseconds, hz));
}

// Polls until done() or the timeout; returns whether done() became true.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testwav
