// One recording analysed: what libsndfile reads in it and, when asked, its levels measured
// on every decoded sample. Runs on any thread; nothing is shared between calls.
#pragma once

#include <QByteArray>
#include <QString>

#include "analysis/LevelMeter.h"
#include "analysis/Recording.h"

namespace analysis {

struct AnalysisOptions {
    bool measure = true;     // false: the header alone
    int envelopePoints = 0;  // points of the sound's envelope; 0 for none
};

struct Analysis {
    bool decoded = false;  // libsndfile reads the bytes as a recording
    QString decodeError;   // why not
    Recording recording;   // when decoded
    bool measured = false;
    QString measureError;  // why a decoded recording could not be measured
    Levels levels;         // when measured
};

Analysis analyzeSound(const QByteArray& bytes, const AnalysisOptions& options = {});

// Seconds as "1.25 s".
QString secondsText(double seconds);

}  // namespace analysis
