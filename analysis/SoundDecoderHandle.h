// Inside SoundDecoder: libsndfile's state over the bytes. Private to analysis/; the code
// that writes a levelled recording reads the original's metadata through it.
#pragma once

#include <sndfile.h>

#include <QByteArray>

#include "analysis/SoundDecoder.h"

namespace analysis {

struct MemorySource {
    const char* data = nullptr;
    sf_count_t size = 0;
    sf_count_t position = 0;
};

struct SoundDecoder::Handle {
    Handle() = default;
    ~Handle();
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    QByteArray bytes;  // shared with the caller's array, never written
    MemorySource source;
    SF_INFO info{};
    SNDFILE* file = nullptr;
};

}  // namespace analysis
