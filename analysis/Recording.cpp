#include "analysis/Recording.h"

#include <QMap>

namespace analysis {

QString formatText(const Recording& r) {
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

QStringList conversionNotes(const Recording& r, const OutputFormat& out) {
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

}  // namespace analysis
