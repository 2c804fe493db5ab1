#include "analysis/SoundDecoder.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "analysis/SoundDecoderHandle.h"

namespace analysis {

namespace {

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

void describe(const SF_INFO& info, Recording* r) {
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
    r->frames = info.frames;
    r->seconds = info.samplerate > 0 ? static_cast<double>(info.frames) / info.samplerate : 0;
}

}  // namespace

SoundDecoder::SoundDecoder(QByteArray bytes) : m_handle(std::make_unique<Handle>()) {
    Handle& h = *m_handle;
    h.bytes = std::move(bytes);
    h.source = {h.bytes.constData(), h.bytes.size()};
    SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
    h.file = sf_open_virtual(&io, SFM_READ, &h.info, &h.source);
    if (h.file == nullptr) {
        m_error = QString::fromLocal8Bit(sf_strerror(nullptr));
        m_handle.reset();
        return;
    }
    if (h.info.samplerate <= 0 || h.info.channels <= 0) {
        m_error = QStringLiteral("it has no sample rate or channels");
        m_handle.reset();
        return;
    }
    describe(h.info, &m_recording);
}

SoundDecoder::~SoundDecoder() = default;

SoundDecoder::Handle::~Handle() {
    if (file != nullptr) sf_close(file);
}

bool SoundDecoder::ok() const { return m_handle != nullptr; }

QString SoundDecoder::error() const { return m_error; }

int SoundDecoder::formatCode() const { return m_handle ? m_handle->info.format : 0; }

namespace {

template <typename Sample>
sf_count_t readFrames(SNDFILE* file, Sample* out, sf_count_t frames) {
    if constexpr (std::is_same_v<Sample, float>)
        return sf_readf_float(file, out, frames);
    else
        return sf_readf_double(file, out, frames);
}

}  // namespace

int64_t SoundDecoder::read(float* out, int64_t frames) { return readSome(out, frames); }

int64_t SoundDecoder::read(double* out, int64_t frames) { return readSome(out, frames); }

template <typename Sample>
int64_t SoundDecoder::readSome(Sample* out, int64_t frames) {
    if (!m_handle) return -1;
    const sf_count_t n = readFrames(m_handle->file, out, frames);
    if (n > 0) return n;
    if (sf_error(m_handle->file) != SF_ERR_NO_ERROR) {
        m_error = QString::fromLocal8Bit(sf_strerror(m_handle->file));
        return -1;
    }
    return 0;
}

QString SoundDecoder::readError() const { return m_error; }

}  // namespace analysis
