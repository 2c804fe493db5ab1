// One recording brought to another level: every sample times one constant gain, written
// back in the recording's own container, encoding, rate, channels and frame count, with
// the metadata libsndfile carries. No limiter, no compression, no equalisation.
//
// Processing is in floating point. Integer encodings of 16 bits or fewer (8- and 16-bit
// PCM, A-law, µ-law) get TPDF dither, from a generator the caller keys (ditherKey), so that the
// same call writes the same bytes.
//
// WAV chunks kept: the LIST/INFO texts (title, artist, comment, date and the rest),
// bext (broadcast), cart, cue points, smpl (instrument) and the channel mask of
// WAV-extensible; a float recording gets a fresh PEAK chunk. Every other chunk (iXML,
// axml, ID3, cue labels, padding) is dropped.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "analysis/Recording.h"

namespace analysis {

// Why the recording cannot be written back as it was (a container other than WAV or
// WAV-extensible, or an encoding libsndfile cannot write: IMA or MS ADPCM, Vorbis, ...);
// empty when it can.
QString writeBackProblem(const Recording& recording);

// The largest gain in dB that keeps the recording's true peak, once written back in its
// own encoding, at or below ceilingDbtp: the true peak scales with the gain, and the
// rounding to the encoding's steps (with dither) can add at most a known amount to it.
double largestGainDb(const Recording& recording, double truePeakDbtp, double ceilingDbtp);

// Decodes bytes and writes them, times gainDb, to fd: an empty regular file open for
// reading and writing, written from its offset 0 and left open. Empty on success, else
// why not (nothing useful is then in fd).
QString writeLevelled(const QByteArray& bytes, double gainDb, uint32_t ditherKey, int fd);

}  // namespace analysis
