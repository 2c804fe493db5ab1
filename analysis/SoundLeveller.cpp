#include "analysis/SoundLeveller.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "analysis/SoundDecoder.h"
#include "analysis/SoundDecoderHandle.h"

namespace analysis {

namespace {

enum class Kind { Pcm8, Pcm16, Pcm24, Pcm32, Float, Double, Companded, None };

Kind kindOf(const QString& encoding) {
    if (encoding == "pcm8") return Kind::Pcm8;
    if (encoding == "pcm16") return Kind::Pcm16;
    if (encoding == "pcm24") return Kind::Pcm24;
    if (encoding == "pcm32") return Kind::Pcm32;
    if (encoding == "float32") return Kind::Float;
    if (encoding == "float64") return Kind::Double;
    if (encoding == "ulaw" || encoding == "alaw") return Kind::Companded;
    return Kind::None;
}

// How far rounding to the encoding's steps may move a true peak, as a part of full scale:
// half a step of rounding and, where there is dither, one step more. The steps of A-law
// and µ-law grow with the level; their largest, in the top segment, is 1/32 of full scale.
// The interpolation that finds the true peak sums a handful of neighbouring errors: twice
// the largest one bounds it with room to spare.
double roundingOf(Kind kind) {
    constexpr double kSpread = 2.0;
    switch (kind) {
        case Kind::Pcm8:
            return kSpread * 1.5 / 128;
        case Kind::Pcm16:
            return kSpread * 1.5 / 32768;
        case Kind::Pcm24:
            return kSpread * 0.5 / 8388608;
        case Kind::Pcm32:
            return kSpread * 0.5 / 2147483648.0;
        case Kind::Companded:
            return kSpread * (0.5 / 32 + 1.5 / 32768);
        default:
            return 0;
    }
}

// The measure itself rounds (libebur128 oversamples floats): a true peak is trusted to
// this part of itself.
constexpr double kMeasureRounding = 1e-6;

// Two uniform numbers in [-0.5, 0.5) a sample: their sum has the triangular distribution
// of TPDF dither, one step wide on either side.
class Dither final {
  public:
    explicit Dither(uint32_t key) : m_state(key * 2654435761u + 0x9e3779b9u) {}
    double next() { return uniform() + uniform(); }

  private:
    double uniform() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return static_cast<double>(m_state) / 4294967296.0 - 0.5;
    }
    uint32_t m_state;
};

// Rounds v (full scale ±1) to a step of `steps` per unit with dither, within the range of
// an integer of that width.
int32_t quantised(double v, double steps, Dither* dither) {
    const double scaled = v * steps + (dither != nullptr ? dither->next() : 0.0);
    return static_cast<int32_t>(std::clamp(std::round(scaled), -steps, steps - 1));
}

// The metadata of the original that libsndfile carries, copied to the new file before any
// sample is written.
void copyMetadata(SNDFILE* from, SNDFILE* to, bool extensible) {
    for (int s = SF_STR_FIRST; s <= SF_STR_LAST; ++s) {
        if (const char* text = sf_get_string(from, s)) sf_set_string(to, s, text);
    }
    // libsndfile refuses to set a struct of its own largest size: each goes back with the
    // size its text needs.
    SF_BROADCAST_INFO_VAR(16000) bext{};
    if (sf_command(from, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE) {
        const size_t size = std::max(sizeof(SF_BROADCAST_INFO),
                                     offsetof(decltype(bext), coding_history) +
                                         std::min<size_t>(bext.coding_history_size, 16000));
        sf_command(to, SFC_SET_BROADCAST_INFO, &bext, static_cast<int>(size));
    }
    SF_CART_INFO_VAR(16000) cart{};
    if (sf_command(from, SFC_GET_CART_INFO, &cart, sizeof cart) == SF_TRUE) {
        const size_t size =
            std::max(sizeof(SF_CART_INFO), offsetof(decltype(cart), tag_text) +
                                               std::min<size_t>(cart.tag_text_size, 16000));
        sf_command(to, SFC_SET_CART_INFO, &cart, static_cast<int>(size));
    }
    uint32_t cues = 0;
    if (sf_command(from, SFC_GET_CUE_COUNT, &cues, sizeof cues) == SF_TRUE && cues > 0) {
        std::vector<char> buffer(sizeof(uint32_t) + cues * sizeof(SF_CUE_POINT));
        if (sf_command(from, SFC_GET_CUE, buffer.data(), static_cast<int>(buffer.size())) ==
            SF_TRUE)
            sf_command(to, SFC_SET_CUE, buffer.data(), static_cast<int>(buffer.size()));
    }
    SF_INSTRUMENT instrument{};
    if (sf_command(from, SFC_GET_INSTRUMENT, &instrument, sizeof instrument) == SF_TRUE)
        sf_command(to, SFC_SET_INSTRUMENT, &instrument, sizeof instrument);
    if (extensible) {
        SF_INFO info{};
        sf_command(from, SFC_GET_CURRENT_SF_INFO, &info, sizeof info);
        std::vector<int> map(static_cast<size_t>(std::max(info.channels, 1)));
        if (sf_command(from, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int))) == SF_TRUE)
            sf_command(to, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int)));
    }
}

}  // namespace

QString writeBackProblem(const Recording& r) {
    if (r.container != "wav" && r.container != "wav-extensible")
        return QString("its container (%1) is not levelled: only WAV is written back")
            .arg(formatText(r).section(',', 0, 0));
    if (kindOf(r.encoding) == Kind::None)
        return QString("libsndfile cannot write its encoding (%1) back as it was")
            .arg(formatText(r).section(", ", 1));
    return {};
}

double largestGainDb(const Recording& r, double truePeakDbtp, double ceilingDbtp) {
    const double ceiling = std::pow(10.0, ceilingDbtp / 20.0);
    const double peak = std::pow(10.0, truePeakDbtp / 20.0);
    if (!(peak > 0)) return INFINITY;
    const double room = ceiling * (1.0 - kMeasureRounding) - roundingOf(kindOf(r.encoding));
    return room > 0 ? 20.0 * std::log10(room / peak) : -INFINITY;
}

QString writeLevelled(const QByteArray& bytes, double gainDb, uint32_t ditherKey, int fd) {
    SoundDecoder decoder(bytes);
    if (!decoder.ok()) return "libsndfile cannot read it: " + decoder.error();
    const Recording& r = decoder.recording();
    if (const QString problem = writeBackProblem(r); !problem.isEmpty()) return problem;
    const Kind kind = kindOf(r.encoding);
    SF_INFO info{};
    info.samplerate = r.rate;
    info.channels = r.channels;
    info.format = decoder.formatCode();
    SNDFILE* out = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (out == nullptr)
        return "libsndfile cannot write it back: " + QString::fromLocal8Bit(sf_strerror(nullptr));
    copyMetadata(decoder.handle()->file, out, r.container == "wav-extensible");

    const double gain = std::pow(10.0, gainDb / 20.0);
    Dither dither(ditherKey);
    Dither* dithered =
        kind == Kind::Pcm8 || kind == Kind::Pcm16 || kind == Kind::Companded ? &dither : nullptr;
    constexpr int64_t kFrames = 4096;
    const size_t samples = static_cast<size_t>(kFrames * r.channels);
    std::vector<double> in(samples);
    std::vector<short> shorts(
        kind == Kind::Pcm8 || kind == Kind::Pcm16 || kind == Kind::Companded ? samples : 0);
    std::vector<int> ints(kind == Kind::Pcm24 || kind == Kind::Pcm32 ? samples : 0);
    QString problem;
    int64_t written = 0;
    for (int64_t n; problem.isEmpty() && (n = decoder.read(in.data(), kFrames)) != 0;) {
        if (n < 0) {
            problem = "decoding stopped: " + decoder.readError();
            break;
        }
        const size_t count = static_cast<size_t>(n * r.channels);
        sf_count_t put = 0;
        switch (kind) {
            case Kind::Pcm8:
                // Rounded to 8 bits here, so libsndfile's reduction of the 16-bit value
                // (dropping its low byte) is exact.
                for (size_t i = 0; i < count; ++i)
                    shorts[i] = static_cast<short>(quantised(in[i] * gain, 128, dithered) * 256);
                put = sf_writef_short(out, shorts.data(), n);
                break;
            case Kind::Pcm16:
            case Kind::Companded:
                for (size_t i = 0; i < count; ++i)
                    shorts[i] = static_cast<short>(quantised(in[i] * gain, 32768, dithered));
                put = sf_writef_short(out, shorts.data(), n);
                break;
            case Kind::Pcm24:
                for (size_t i = 0; i < count; ++i)
                    ints[i] = quantised(in[i] * gain, 8388608, nullptr) * 256;
                put = sf_writef_int(out, ints.data(), n);
                break;
            case Kind::Pcm32:
                for (size_t i = 0; i < count; ++i)
                    ints[i] = quantised(in[i] * gain, 2147483648.0, nullptr);
                put = sf_writef_int(out, ints.data(), n);
                break;
            case Kind::Float:
            case Kind::Double:
                // libsndfile stores doubles as floats for a float recording, by rounding.
                for (size_t i = 0; i < count; ++i) in[i] *= gain;
                put = sf_writef_double(out, in.data(), n);
                break;
            case Kind::None:
                break;
        }
        if (put != n) problem = "writing failed: " + QString::fromLocal8Bit(sf_strerror(out));
        written += n;
    }
    if (problem.isEmpty() && written != r.frames)
        problem =
            QString("its data holds %1 frames where its header says %2").arg(written).arg(r.frames);
    if (sf_close(out) != 0 && problem.isEmpty())
        problem = "writing failed: " + QString::fromLocal8Bit(sf_strerror(nullptr));
    return problem;
}

}  // namespace analysis
