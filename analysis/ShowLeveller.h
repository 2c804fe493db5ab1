// A show written again with its cues levelled: the sounds the plan changes are decoded,
// multiplied by their gain and written back in their own format; every other sound, and
// every chapter, entry and text, is stored exactly as it was.
#pragma once

#include <QString>

#include "analysis/LevelPlan.h"
#include "analysis/ShowAnalysis.h"
#include "project/Project.h"

class ProjectArchive;

namespace analysis {

// Writes chapters (their texts; sounds are taken from source) levelled as plan says into
// a new container that replaces target in one step, through the project save on archive:
// a failure or a kill at any point leaves target as it was. source.readSound gives each
// sound in running order, one at a time; a levelled one waits in an unnamed scratch file,
// not in memory, until the save copies it. A sound that cannot be read fails the write
// rather than being dropped. False with the reason in *error.
bool writeLevelledShow(const ChapterList& chapters, const LevelPlan& plan, const ShowSource& source,
                       ProjectArchive& archive, const QString& target, QString* error);

}  // namespace analysis
