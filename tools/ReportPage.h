// The show report of vxtool project report: one HTML page that holds everything it shows
// (its style sheet and drawings inline, no script, nothing loaded from elsewhere), for a
// screen and for print on A4 or Letter.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "analysis/ShowAnalysis.h"
#include "project/Project.h"

namespace vxtool {

// Points of each cue's envelope that the report asks of the analysis: a strip's width in
// steps, few enough that a cue's row stays within a few kilobytes.
constexpr int kReportEnvelopePoints = 300;

struct ReportInput {
    QString name;  // the show's name
    QString file;  // the file it was read from
    QString date;  // when the report was made
    const ChapterList& chapters;
    // chapters' cues, analysed with envelopes of kReportEnvelopePoints points.
    const analysis::ShowAnalysis& show;
    std::optional<double> targetLufs;  // none: loudness against the show's median
};

// The page, UTF-8. Every text of the project in it is escaped (HtmlText.h).
QByteArray reportPage(const ReportInput& input);

}  // namespace vxtool
