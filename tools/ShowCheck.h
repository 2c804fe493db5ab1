// The show analysis behind project check and the commands built on its figures: the
// show's sounds read one at a time from its container, the player's own decoder asked
// whether each plays, and the analysis library's measures and warnings.
#pragma once

#include "analysis/ShowAnalysis.h"
#include "tools/ShowReader.h"

namespace vxtool {

// Analyses the open show. Returns ExitOk with *result filled, or prints why the dummy
// audio output cannot be opened and returns ExitUnusable.
int checkShow(ShowReader& show, const analysis::AnalysisOptions& options,
              analysis::ShowAnalysis* result, analysis::OutputFormat* output);

}  // namespace vxtool
