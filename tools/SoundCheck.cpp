// Sound checks of vxtool project check and durations of project script.
//
// Decoding is libsndfile's and conversion SDL's own audio stream's. libsndfile because it
// reads every format the player's decoder plays (PCM WAV of any width, float, A-law and
// µ-law, FLAC, Ogg Vorbis) from one interface, with the header facts (format, rate,
// channels, length) a report needs, and streams the samples in blocks, so a sound is never
// held decoded. SDL's audio stream because it is the converter the player's own decoder
// feeds: resampling, channel mixing and the reduction to 16 bits, with clamping, are the
// ones the audience hears, so silence, peaks and clipping are measured on those samples.
// PlayerConverter gives that stream's bytes, resampling faster than SDL does (and checking
// itself against SDL's stream on every sound).
#include "tools/SoundCheck.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <sndfile.h>

#include <QMap>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "audio/SoundPlayer.h"
#include "tools/PlayerConverter.h"

namespace vxtool {

namespace {

// ---- libsndfile over bytes in memory -------------------------------------------------

struct MemorySource {
    const char* data;
    sf_count_t size;
    sf_count_t position = 0;
};

sf_count_t memoryLength(void* user) { return static_cast<MemorySource*>(user)->size; }

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto* m = static_cast<MemorySource*>(user);
    sf_count_t target = offset;
    if (whence == SEEK_CUR) target += m->position;
    if (whence == SEEK_END) target += m->size;
    if (target < 0 || target > m->size) return -1;
    m->position = target;
    return target;
}

sf_count_t memoryRead(void* out, sf_count_t count, void* user) {
    auto* m = static_cast<MemorySource*>(user);
    const sf_count_t n = std::clamp<sf_count_t>(m->size - m->position, 0, count);
    std::memcpy(out, m->data + m->position, static_cast<size_t>(n));
    m->position += n;
    return n;
}

sf_count_t memoryWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t memoryTell(void* user) { return static_cast<MemorySource*>(user)->position; }

}  // namespace

// An open libsndfile reader over bytes it shares (QByteArray's implicit sharing: no copy).
class Decoder final {
  public:
    explicit Decoder(QByteArray bytes)
        : m_bytes(std::move(bytes)), m_source{m_bytes.constData(), m_bytes.size()} {
        SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
        m_file = sf_open_virtual(&io, SFM_READ, &m_info, &m_source);
        if (m_file == nullptr) m_error = QString::fromLocal8Bit(sf_strerror(nullptr));
    }
    ~Decoder() {
        if (m_file != nullptr) sf_close(m_file);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool ok() const { return m_file != nullptr && m_info.samplerate > 0 && m_info.channels > 0; }
    QString error() const {
        return m_file == nullptr ? m_error : QStringLiteral("it has no sample rate or channels");
    }
    const SF_INFO& info() const { return m_info; }
    SNDFILE* file() const { return m_file; }

  private:
    QByteArray m_bytes;
    MemorySource m_source;
    SF_INFO m_info{};
    SNDFILE* m_file = nullptr;
    QString m_error;
};

namespace {

void describe(const SF_INFO& info, SoundReport* r) {
    switch (info.format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
            r->container = "wav";
            break;
        case SF_FORMAT_WAVEX:
            r->container = "wav-extensible";
            break;
        case SF_FORMAT_RF64:
            r->container = "rf64";
            break;
        case SF_FORMAT_OGG:
            r->container = "ogg";
            break;
        case SF_FORMAT_FLAC:
            r->container = "flac";
            break;
        case SF_FORMAT_MPEG:
            r->container = "mp3";
            break;
        case SF_FORMAT_AIFF:
            r->container = "aiff";
            break;
        default:
            r->container = "other";
            break;
    }
    struct Sub {
        int code;
        const char* name;
        int bits;
    };
    static const Sub kSubs[] = {
        {SF_FORMAT_PCM_S8, "pcm8", 8},         {SF_FORMAT_PCM_U8, "pcm8", 8},
        {SF_FORMAT_PCM_16, "pcm16", 16},       {SF_FORMAT_PCM_24, "pcm24", 24},
        {SF_FORMAT_PCM_32, "pcm32", 32},       {SF_FORMAT_FLOAT, "float32", 32},
        {SF_FORMAT_DOUBLE, "float64", 64},     {SF_FORMAT_ALAW, "alaw", 8},
        {SF_FORMAT_ULAW, "ulaw", 8},           {SF_FORMAT_VORBIS, "vorbis", 0},
        {SF_FORMAT_OPUS, "opus", 0},           {SF_FORMAT_MPEG_LAYER_I, "mp3", 0},
        {SF_FORMAT_MPEG_LAYER_II, "mp3", 0},   {SF_FORMAT_MPEG_LAYER_III, "mp3", 0},
        {SF_FORMAT_IMA_ADPCM, "ima-adpcm", 4}, {SF_FORMAT_MS_ADPCM, "ms-adpcm", 4},
    };
    r->encoding = "other";
    r->bits = 0;
    for (const Sub& s : kSubs) {
        if ((info.format & SF_FORMAT_SUBMASK) == s.code) {
            r->encoding = s.name;
            r->bits = s.bits;
        }
    }
    r->rate = info.samplerate;
    r->channels = info.channels;
    r->seconds = static_cast<double>(info.frames) / info.samplerate;
}

// How the output turns the recording into what it plays.
QStringList conversions(const SoundReport& r, const OutputFormat& out) {
    QStringList notes;
    if (r.rate > out.rate)
        notes << QString("resampled from %1 Hz to %2 Hz: sound above %3 Hz is lost")
                     .arg(r.rate)
                     .arg(out.rate)
                     .arg(out.rate / 2);
    else if (r.rate < out.rate)
        notes << QString("resampled from %1 Hz up to %2 Hz").arg(r.rate).arg(out.rate);
    if (r.channels == 1 && out.channels == 2)
        notes << "mono, played on both channels";
    else if (r.channels > out.channels)
        notes << QString("%1 channels mixed down to %2").arg(r.channels).arg(out.channels);
    else if (r.channels < out.channels)
        notes << QString("%1 channels spread over %2").arg(r.channels).arg(out.channels);
    if (r.encoding == "alaw" || r.encoding == "ulaw")
        notes << QString("%1 samples expanded to %2-bit")
                     .arg(r.encoding == "alaw" ? "A-law" : "µ-law")
                     .arg(out.bits);
    else if (r.encoding.startsWith("float"))
        notes << QString(
                     "floating-point samples reduced to %1-bit; anything beyond full scale "
                     "is clipped")
                     .arg(out.bits);
    else if (r.bits > out.bits)
        notes << QString("%1-bit samples reduced to %2-bit").arg(r.bits).arg(out.bits);
    else if (r.bits > 0 && r.bits < out.bits)
        notes << QString("%1-bit samples widened to %2-bit (no finer than %1-bit)")
                     .arg(r.bits)
                     .arg(out.bits);
    else if (r.bits == 0)
        notes << QString("decoded to %1-bit").arg(out.bits);
    return notes;
}

int16_t levelOf(double dbfs) {
    return static_cast<int16_t>(std::lround(32768.0 * std::pow(10.0, dbfs / 20.0)));
}

double dbfsOf(int peak) {
    return peak == 0 ? -std::numeric_limits<double>::infinity()
                     : 20.0 * std::log10(static_cast<double>(peak) / 32768.0);
}

// Levels of interleaved 16-bit frames, fed in blocks.
class LevelMeter final {
  public:
    explicit LevelMeter(int channels) : m_channels(channels), m_previous(channels, 0) {}

    void add(const int16_t* samples, int64_t count) {
        const int64_t frames = count / m_channels;
        if (frames == 0) return;
        count = frames * m_channels;
        // Most blocks are settled by their extremes alone (a loop compiled to vector
        // instructions, see CMakeLists.txt); only blocks that reach full scale are searched
        // for flat tops.
        int16_t high = 0, low = 0;
        for (int64_t i = 0; i < count; ++i) {
            high = std::max(high, samples[i]);
            low = std::min(low, samples[i]);
        }
        const int blockPeak = std::max<int>(high, -static_cast<int>(low));
        m_peak = std::max(m_peak, blockPeak);
        if (blockPeak >= kSilence) {
            if (m_firstSound < 0) {
                int64_t f = 0;
                while (std::abs(static_cast<int>(samples[f])) < kSilence) ++f;
                m_firstSound = m_frame + f / m_channels;
            }
            int64_t j = count - 1;
            while (std::abs(static_cast<int>(samples[j])) < kSilence) --j;
            m_lastSound = m_frame + j / m_channels;
        }
        if (blockPeak >= kFullScale) {
            // A clipped stretch is a flat top: samples that stay at one level at full
            // scale. Resampling keeps such a top flat but lowers it slightly below the
            // limit, hence the margin of kFullScaleDbfs. Frames are counted, not channels,
            // so a mono recording played on both channels counts once.
            for (int64_t n = 0; n < count; ++n) {
                const int s = samples[n];
                if (std::abs(s) < kFullScale) continue;
                const int64_t frame = n / m_channels;
                const int previous =
                    frame > 0 ? samples[n - m_channels] : m_previous[n % m_channels];
                const int64_t at = m_frame + frame;
                if (std::abs(s - previous) > 1 || at == m_lastFlat) continue;
                m_run = at == m_lastFlat + 1 ? m_run + 1 : 1;
                m_lastFlat = at;
                if (m_run == Thresholds::kClipRunSamples - 1) {
                    if (m_clippedRuns == 0) m_firstClip = at - m_run;
                    ++m_clippedRuns;
                }
            }
        }
        for (int c = 0; c < m_channels; ++c) m_previous[c] = samples[count - m_channels + c];
        m_frame += frames;
    }

    void report(int rate, SoundReport* r) const {
        r->measured = true;
        r->silent = m_firstSound < 0;
        r->peakDbfs = dbfsOf(m_peak);
        r->clippedRuns = m_clippedRuns;
        r->firstClipSeconds = m_clippedRuns > 0 ? static_cast<double>(m_firstClip) / rate : 0;
        if (m_firstSound < 0) {
            r->leadingSeconds = r->trailingSeconds = static_cast<double>(m_frame) / rate;
        } else {
            r->leadingSeconds = static_cast<double>(m_firstSound) / rate;
            r->trailingSeconds = static_cast<double>(m_frame - 1 - m_lastSound) / rate;
        }
    }

  private:
    static inline const int kSilence = levelOf(Thresholds::kSilenceDbfs);
    static inline const int kFullScale = levelOf(Thresholds::kFullScaleDbfs);
    int m_channels;
    std::vector<int> m_previous;  // each channel's last sample
    int64_t m_frame = 0;
    int m_peak = 0;
    int64_t m_firstSound = -1;
    int64_t m_lastSound = -1;
    int64_t m_lastFlat = -2;  // the last frame that held a flat top
    int64_t m_run = 0;        // flat frames in a row up to m_lastFlat
    int64_t m_clippedRuns = 0;
    int64_t m_firstClip = 0;
};

QString seconds(double s) { return QString::number(s, 'f', 2) + " s"; }

}  // namespace

QString dbfsText(double d) {
    if (std::isinf(d)) return QStringLiteral("-inf dBFS");
    const double tenths = std::round(d * 10.0) / 10.0;
    return QString::number(tenths == 0 ? 0.0 : tenths, 'f', 1) + " dBFS";
}

namespace {

// Decodes every sample, converts it as the output will and measures it. Empty on success,
// otherwise why the sound could not be measured.
QString measure(const Decoder& decoder, const OutputFormat& out, ConverterTrust* trust,
                SoundReport* r) {
    const SF_INFO& info = decoder.info();
    // Floats keep samples beyond full scale (float WAVs) until SDL's conversion clamps them,
    // as it does for the player. 16-bit PCM is read as stored and widened by SDL's own
    // converter instead: libsndfile would scale it by the same exact 1/32768 and SDL's stream
    // stages and splits its input by frames, so the output is the same bytes for less work.
    const bool shorts = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    PlayerConverter converter(shorts ? AUDIO_S16SYS : AUDIO_F32SYS, info.channels, info.samplerate,
                              AUDIO_S16SYS, out.channels, out.rate, trust);
    if (!converter.ok())
        return QString("SDL cannot convert %1 channels at %2 Hz: %3")
            .arg(info.channels)
            .arg(info.samplerate)
            .arg(converter.error());
    constexpr sf_count_t kFrames = 4096;
    std::vector<float> in(shorts ? 0 : static_cast<size_t>(kFrames * info.channels));
    std::vector<int16_t> inShorts(shorts ? static_cast<size_t>(kFrames * info.channels) : 0);
    const int sampleBytes = shorts ? 2 : 4;
    std::vector<int16_t> converted(static_cast<size_t>(kFrames) * 8);
    LevelMeter meter(out.channels);
    QString problem;
    sf_count_t decoded = 0;
    auto drain = [&] {
        const int bytes = static_cast<int>(converted.size() * sizeof(int16_t));
        for (int got; (got = converter.get(converted.data(), bytes)) > 0;)
            meter.add(converted.data(), got / static_cast<int>(sizeof(int16_t)));
    };
    for (;;) {
        const sf_count_t n = shorts ? sf_readf_short(decoder.file(), inShorts.data(), kFrames)
                                    : sf_readf_float(decoder.file(), in.data(), kFrames);
        if (n <= 0) {
            if (sf_error(decoder.file()) != SF_ERR_NO_ERROR)
                problem = QString("decoding stopped after %1: %2")
                              .arg(seconds(static_cast<double>(decoded) / info.samplerate),
                                   QString::fromLocal8Bit(sf_strerror(decoder.file())));
            if (converter.flush() != 0 && problem.isEmpty())
                problem = "SDL cannot convert it: " + converter.error();
            drain();
            break;
        }
        const void* samples = shorts ? static_cast<const void*>(inShorts.data()) : in.data();
        if (converter.put(samples, static_cast<int>(n * info.channels * sampleBytes)) != 0) {
            problem = "SDL cannot convert it: " + converter.error();
            break;
        }
        decoded += n;
        drain();
    }
    if (!problem.isEmpty()) return problem;
    meter.report(out.rate, r);
    return {};
}

void addWarnings(SoundReport* r) {
    using T = Thresholds;
    if (r->silent) {
        r->warnings.push_back({"silent", r->peakDbfs,
                               QString("silent: no sample reaches %1 (peak %2)")
                                   .arg(dbfsText(T::kSilenceDbfs), dbfsText(r->peakDbfs))});
        return;
    }
    if (r->leadingSeconds > T::kLeadingSeconds)
        r->warnings.push_back({"leading-silence", r->leadingSeconds,
                               QString("leading silence %1 (more than %2): GO will seem late")
                                   .arg(seconds(r->leadingSeconds), seconds(T::kLeadingSeconds))});
    if (r->trailingSeconds > T::kTrailingSeconds)
        r->warnings.push_back(
            {"trailing-silence", r->trailingSeconds,
             QString("trailing silence %1 (more than %2): the next GO waits on nothing")
                 .arg(seconds(r->trailingSeconds), seconds(T::kTrailingSeconds))});
    if (r->clippedRuns > 0)
        r->warnings.push_back(
            {"clipping", static_cast<double>(r->clippedRuns),
             QString("clipping: %1 run(s) of %2 or more samples at full scale, the first at %3")
                 .arg(r->clippedRuns)
                 .arg(T::kClipRunSamples)
                 .arg(seconds(r->firstClipSeconds))});
    if (r->peakDbfs < T::kQuietPeakDbfs)
        r->warnings.push_back({"quiet", r->peakDbfs,
                               QString("quiet take: peak %1 (below %2)")
                                   .arg(dbfsText(r->peakDbfs), dbfsText(T::kQuietPeakDbfs))});
}

}  // namespace

QString formatText(const SoundReport& r) {
    static const QMap<QString, QString> kContainers = {
        {"wav", "WAV"},   {"wav-extensible", "WAV (extensible)"},
        {"rf64", "RF64"}, {"ogg", "Ogg"},
        {"flac", "FLAC"}, {"mp3", "MP3"},
        {"aiff", "AIFF"},
    };
    static const QMap<QString, QString> kEncodings = {
        {"pcm8", "8-bit PCM"},    {"pcm16", "16-bit PCM"},     {"pcm24", "24-bit PCM"},
        {"pcm32", "32-bit PCM"},  {"float32", "32-bit float"}, {"float64", "64-bit float"},
        {"alaw", "A-law"},        {"ulaw", "µ-law"},           {"vorbis", "Vorbis"},
        {"opus", "Opus"},         {"mp3", "MPEG audio"},       {"ima-adpcm", "IMA ADPCM"},
        {"ms-adpcm", "MS ADPCM"},
    };
    return kContainers.value(r.container, "other format") + ", " +
           kEncodings.value(r.encoding, "other encoding");
}

SoundChecker::SoundChecker() : m_trust(std::make_shared<ConverterTrust>()) {
    // Whatever SDL_AUDIODRIVER says: a check must never sound or need a sound card.
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    // Nothing is heard, so the output mixes small chunks: closing it then waits about
    // 12 ms instead of the player's 190.
    m_player = std::make_unique<SoundPlayer>(256);
    if (!m_player->audioAvailable()) return;
    Uint16 format = 0;
    if (Mix_QuerySpec(&m_output.rate, &format, &m_output.channels) == 0) return;
    m_output.bits = SDL_AUDIO_BITSIZE(format);
}

SoundChecker::~SoundChecker() = default;

bool SoundChecker::ready() const { return m_player->audioAvailable() && m_output.rate > 0; }

QString SoundChecker::outputError() const {
    return QString::fromStdString(m_player->outputError());
}

std::unique_ptr<PendingSound> SoundChecker::begin(const QByteArray& bytes) {
    auto pending = std::make_unique<PendingSound>();
    SoundReport& r = pending->m_report;
    // The player's own load: SDL_mixer recognises the format from the bytes.
    double mixerSeconds = -1;
    if (bytes.size() > INT_MAX) {
        r.playError = "the sound is too large to play (2 GiB or more)";
    } else {
        SDL_RWops* source = SDL_RWFromConstMem(bytes.constData(), static_cast<int>(bytes.size()));
        Mix_Music* music = source != nullptr ? Mix_LoadMUS_RW(source, 0) : nullptr;
        if (music == nullptr) {
            r.playError = "SDL_mixer cannot decode it: " + QString::fromLocal8Bit(Mix_GetError());
        } else {
            r.plays = true;
            mixerSeconds = Mix_MusicDuration(music);
            Mix_FreeMusic(music);
        }
        if (source != nullptr) SDL_FreeRW(source);
    }

    auto decoder = std::make_unique<Decoder>(bytes);
    if (!decoder->ok()) {
        r.decodeError = decoder->error();
        if (r.plays) {
            r.seconds = std::max(0.0, mixerSeconds);
            r.warnings.push_back(
                {"not-measured", 0,
                 QString("not measured: libsndfile cannot read it (%1)").arg(r.decodeError)});
        }
        return pending;
    }
    r.decoded = true;
    describe(decoder->info(), &r);
    if (!r.plays) return pending;
    r.conversions = conversions(r, m_output);
    pending->m_decoder = std::move(decoder);
    pending->m_output = m_output;
    pending->m_trust = m_trust;
    return pending;
}

PendingSound::PendingSound() = default;
PendingSound::~PendingSound() = default;

SoundReport PendingSound::finish() {
    if (m_decoder != nullptr) {
        const QString problem = measure(*m_decoder, m_output, m_trust.get(), &m_report);
        m_decoder.reset();
        if (problem.isEmpty())
            addWarnings(&m_report);
        else
            m_report.warnings.push_back({"not-measured", 0, "not measured: " + problem});
    }
    return std::move(m_report);
}

SoundReport SoundChecker::check(const QByteArray& bytes) { return begin(bytes)->finish(); }

double headerSeconds(const QByteArray& bytes) {
    const Decoder decoder(bytes);
    if (!decoder.ok()) return -1;
    return static_cast<double>(decoder.info().frames) / decoder.info().samplerate;
}

}  // namespace vxtool
