// A recording held in memory, read by libsndfile: its header facts and its samples as
// floating point, in blocks, so that a sound is never held decoded.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "analysis/Recording.h"

namespace analysis {

class SoundDecoder final {
  public:
    // Shares bytes (no copy) for as long as the decoder lives.
    explicit SoundDecoder(QByteArray bytes);
    ~SoundDecoder();
    SoundDecoder(const SoundDecoder&) = delete;
    SoundDecoder& operator=(const SoundDecoder&) = delete;

    // Whether libsndfile reads the bytes as a recording with a rate and channels.
    bool ok() const;
    // Why not, when !ok().
    QString error() const;
    // The header facts; meaningful when ok().
    const Recording& recording() const { return m_recording; }
    // libsndfile's format code (SF_FORMAT_*), for code that writes the same format back.
    int formatCode() const;

    // Reads up to `frames` interleaved frames into out (recording().channels floats a
    // frame, full scale at ±1; float recordings keep what lies beyond). Returns the frames
    // read: 0 at the end, -1 when decoding failed (readError() says why).
    int64_t read(float* out, int64_t frames);
    // read() at full precision (32-bit PCM and 64-bit floats need it).
    int64_t read(double* out, int64_t frames);
    QString readError() const;

    // libsndfile's handle, for reading the recording's metadata; null when !ok().
    struct Handle;
    Handle* handle() const { return m_handle.get(); }

  private:
    template <typename Sample>
    int64_t readSome(Sample* out, int64_t frames);

    std::unique_ptr<Handle> m_handle;
    Recording m_recording;
    QString m_error;
};

}  // namespace analysis
