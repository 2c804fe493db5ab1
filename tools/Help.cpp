// vxtool's help texts. The output formats described here are a promise to scripts: change
// them only by adding to them.
#include <QMap>
#include <QString>

#include "tools/ToolSupport.h"

namespace vxtool {

namespace {

const char kMainHelp[] =
    R"(Usage: vxtool COMMAND [OPTIONS] ARGUMENTS...

Works on .vx containers (the show files of voxtrail) and the projects stored in them.

Container commands:
  ls [-l] FILE             list the stored files
  cat FILE NAME            write a stored file's bytes to standard output
  put FILE NAME [SRC]      store SRC (or standard input) as NAME; creates FILE if missing
  rm FILE NAME...          remove stored files
  mv FILE OLD NEW          rename a stored file
  info [--json] FILE       format version, open flag, parameters, sizes, file count
  check FILE               look for damage, change nothing
  dump FILE [OUT]          the diagnostic report of every stored file
  compact FILE             rewrite the container without unused space

Project commands:
  project show [--json] FILE    chapters and entries with their texts and sound sizes
  project export FILE DIR       write the sounds and texts into a new folder
  project import DIR FILE       build a new project file from a folder
  project check [--json] FILE   will every cue play? formats, conversions, levels
  project script [--format F] FILE   the running order: text, csv or markdown

Other:
  --help, COMMAND --help   describe everything, or one command
  --version                the program's version and container format version

Read-only commands (ls, cat, info, check, dump, and every project command but import)
never write to the container: they leave even the open flag of a container that was not
closed cleanly as it is. Commands that change a container refuse a file that is not one
and never write to it.

Stored names are bytes, at most 29 of them; longer names are cut to 29 bytes (put and
mv warn on standard error when they cut one). Names are case-sensitive.

Exit status:
  0  success
  1  the operation was refused or found a problem (a stored file that does not exist, a
     name already taken, damage found by check, a folder that is not empty, a project
     sound that cannot be read, a cue that will not play or a warning of project check)
  2  a file cannot be used (missing, unreadable, not a container, a write failed), or
     the command line is wrong
Errors go to standard error as "vxtool: FILE: reason".

Output formats (stable; later versions only add to them):
  ls       one line per stored file, in file-table order:
             SIZE<TAB>NAME
           with -l:
             SIZE<TAB>RECORD<TAB>FITSIZE<TAB>FRAGMENTS<TAB>ALLBLOCKS<TAB>CREATED<TAB>
             CHANGED<TAB>ACCESSED<TAB>NAME
           SIZE in bytes; RECORD the first block of the file's record; FITSIZE the
           record's blocks; FRAGMENTS the data fragments (0: data kept in the record);
           ALLBLOCKS the data blocks; times in UTC as YYYY-MM-DDTHH:MM:SSZ, "-" when
           unset. NAME is printed as stored, unchanged.
  info --json   one JSON object:
           {"formatVersion": int, "openFlag": int (0 closed cleanly, 1 not closed
            cleanly), "parameters": {"blockSize", "growthStep", "minLargestRun",
            "reserveBlocks", "allocMode"}, "hostSize": bytes, "freeBytes": bytes,
            "freePercent": number, "fileCount": int}
  project show --json   one JSON object:
           {"chapters": [{"name": text, "entries": [{"name": text, "desc": text,
             "note": text, "soundBytes": int}]}]}
           in project order; soundBytes is 0 for an entry without a sound.
  project check --json   one JSON object; see vxtool project check --help.
  project script --format csv   see vxtool project script --help.
)";

const QMap<QString, QString>& commandHelp() {
    static const QMap<QString, QString> help = {
        {"ls", R"(Usage: vxtool ls [-l] FILE

One line per stored file, in file-table order: SIZE<TAB>NAME.
  -l   SIZE<TAB>RECORD<TAB>FITSIZE<TAB>FRAGMENTS<TAB>ALLBLOCKS<TAB>CREATED<TAB>CHANGED<TAB>
       ACCESSED<TAB>NAME (see vxtool --help for the fields)
Read-only. Exit 1 when a record cannot be read (the others are still listed).
)"},
        {"cat", R"(Usage: vxtool cat FILE NAME

Writes the bytes of the stored file NAME to standard output. Read-only.
Exit 1 when there is no stored file NAME.
)"},
        {"put", R"(Usage: vxtool put FILE NAME [SRC]

Stores the bytes of SRC (or of standard input) as NAME, replacing any earlier content of
NAME. The earlier content stays until the new one is completely stored. Creates FILE as a
new container when it does not exist; refuses a FILE that is not a container.
NAME longer than 29 bytes is cut to 29 bytes, with a warning on standard error.
)"},
        {"rm", R"(Usage: vxtool rm FILE NAME...

Removes the stored files NAME... Each missing name is reported (exit 1); the others are
still removed.
)"},
        {"mv", R"(Usage: vxtool mv FILE OLD NEW

Renames the stored file OLD to NEW. Refused (exit 1) when OLD does not exist or NEW is
already taken.
)"},
        {"info", R"(Usage: vxtool info [--json] FILE

Format version, open flag (0 closed cleanly, 1 not closed cleanly), parameters, host
file size, free bytes and percentage, number of stored files. Read-only.
  --json   one JSON object; the format is in vxtool --help
)"},
        {"check", R"(Usage: vxtool check FILE

Reads the whole container and prints every problem found, one per line, then a summary
line. Read-only: it repairs nothing and leaves the open flag as it is.
Exit 0 when no problem was found, 1 when the container is damaged, 2 when the file cannot
be opened as a container at all.
)"},
        {"dump", R"(Usage: vxtool dump FILE [OUT]

Writes the diagnostic report of every stored record (names, record fields, fragments)
to OUT, replacing it once the report is complete, or to standard output. Read-only for
FILE; OUT may not be FILE.
)"},
        {"compact", R"(Usage: vxtool compact FILE

Rewrites the container into a new host file without unused space and puts it in place of
the old one; on any failure the old file stays as it was.
)"},
        {"project", R"(Usage: vxtool project show [--json] FILE
       vxtool project export FILE DIR
       vxtool project import DIR FILE
       vxtool project check [--json] FILE
       vxtool project script [--format text|csv|markdown] FILE

See vxtool project show --help, project export --help, project import --help,
project check --help, project script --help.
)"},
        {"project check", R"(Usage: vxtool project check [--json] FILE

Checks a show before a performance. For every chapter and entry, in running order:
  - whether the sound will play: the stored bytes are given to SDL_mixer's
    Mix_LoadMUS_RW, the call the player makes, on an output opened as the player opens
    it (22050 Hz, 16-bit, stereo) on SDL's dummy audio driver, so no sound card is needed
    and nothing is heard. An entry with no sound will not play either: PLAY on it plays
    nothing. A sound that cannot be read from the container will not play.
  - the recording: format, sample rate, channels, duration and size (read by
    libsndfile), and how the player converts it to its output ("converted:" lines:
    resampling, channels, sample size). Conversions are notes, not warnings.
  - levels, measured on the samples as the player will play them (decoded by libsndfile,
    converted by SDL's own audio conversion to the output's format), each a warning with
    its figure when a threshold is passed:
      leading silence   more than 0.5 s before the first sample reaching -50 dBFS
                        (GO seems late)
      trailing silence  more than 2.0 s after the last sample reaching -50 dBFS (the next
                        GO waits on nothing)
      clipping          3 or more samples in a row at one level (within one 16-bit
                        step) at or above -0.1 dBFS: a flat top at full scale
      quiet take        a peak below -20 dBFS
      silent            no sample reaches -50 dBFS (instead of the warnings above)
      not measured      the sound plays, but libsndfile cannot read its format or
                        decode it to its end, so its levels are unknown
  - a summary: entries, entries that will not play, warnings, each chapter's duration and
    the show's duration (the sum of the entries that will play).
Read-only. Exit 0 when every entry will play and there is no warning, 1 when there is a
problem (a cue that will not play, a warning, a sound that cannot be read), 2 when FILE
cannot be read as a project or the dummy audio output cannot be opened.

Text output (one block per chapter):
  chapter C: NAME
    entry E (cue N): NAME
      sound: FORMAT, RATE Hz, CHANNELS, M:SS.t, BYTES bytes
      converted: NOTE                      (any number)
      levels: peak -6.0 dBFS, silence 0.00 s in front and 0.00 s at the end
      warning: TEXT                        (any number)
      WILL NOT PLAY: REASON                (instead of converted/levels/warning)
  summary: entries, will not play, warnings, chapter C: M:SS.t  NAME, show: M:SS.t
Names are escaped as in project show (\n, \\).

--json: one JSON object (stable; later versions only add to it):
  {"output": {"rate": 22050, "channels": 2, "bits": 16},
   "thresholds": {"silenceDbfs": -50, "leadingSilenceSeconds": 0.5,
     "trailingSilenceSeconds": 2, "quietPeakDbfs": -20, "fullScaleDbfs": -0.1,
     "clipRunSamples": 3},
   "chapters": [{"name": text, "durationSeconds": number, "entries": [
     {"cue": int (1, 2, 3, ... across chapters), "name": text,
      "sound": "present" | "none" | "unreadable", "soundBytes": int,
      "plays": bool, "problem": text (only when plays is false),
      "recording": null | {"container": "wav" | "wav-extensible" | "rf64" | "ogg" |
         "flac" | "mp3" | "aiff" | "other", "encoding": "pcm8" | "pcm16" | "pcm24" |
         "pcm32" | "float32" | "float64" | "alaw" | "ulaw" | "vorbis" | "opus" | "mp3" |
         "ima-adpcm" | "ms-adpcm" | "other", "bits": int (0 for compressed),
         "rate": int, "channels": int, "durationSeconds": number},
      "conversions": [text],
      "levels": null | {"peakDbfs": number or null (digital silence),
         "leadingSilenceSeconds": number, "trailingSilenceSeconds": number,
         "clippedRuns": int, "firstClipSeconds": number},
      "warnings": [{"kind": "leading-silence" | "trailing-silence" | "clipping" |
         "quiet" | "silent" | "not-measured", "value": number (seconds for the
         silences, runs for clipping, peak dBFS for quiet and silent, 0 for
         not-measured), "text": text}]}]}],
   "summary": {"entries": int, "notPlaying": int, "warnings": int,
     "durationSeconds": number}}
Seconds have 3 decimals, dBFS 2.
)"},
        {"project script", R"(Usage: vxtool project script [--format text|csv|markdown] FILE

The running order as a narrator or stage manager prints it: cue numbers running across
chapters (1, 2, 3, ...) under chapter headings; each entry's name, description and note;
its length; the time it starts if every cue follows the one before; chapter totals and
the show's total. Lengths are read from the recordings' headers (libsndfile). A cue with
no sound shows "-" and takes no time; one whose length cannot be read shows "?" and takes
no time (vxtool project check says why). Times are M:SS.t (tenths), H:MM:SS.t from an
hour on. Read-only. Exit 1 when a sound cannot be read from the container, 2 when FILE
cannot be read as a project.
  --format text       (default) for printing: 80 columns; names, descriptions and notes
                      wrapped where Unicode allows a line break (wide characters of East
                      Asian scripts take two columns), their own line breaks kept.
  --format csv        RFC 4180: comma-separated, CRLF line ends, a field holding a
                      comma, a double quote or a line break is put in double quotes with
                      its quotes doubled; UTF-8 with a byte order mark, so spreadsheets
                      read every script as it is. Columns:
                        Chapter,Cue,Start,Duration,Name,Description,Note
                      A chapter's row has an empty Cue, the chapter's name as Name, its
                      start and total as Start and Duration; each cue's row follows.
                      Times are always H:MM:SS.t, which spreadsheets read as times.
  --format markdown   one "## Chapter C: NAME" section with a table per chapter (Cue,
                      Start, Length, Name, Description, Note); Markdown characters are
                      escaped with "\" and line breaks become <br>.
)"},
        {"project show", R"(Usage: vxtool project show [--json] FILE

The project's chapters and entries in order, with each entry's name, description, note
and sound size in bytes. Read-only.
  --json   {"chapters": [{"name", "entries": [{"name", "desc", "note", "soundBytes"}]}]}
Without --json, line breaks and backslashes inside texts are shown as \n and \\.
An entry whose sound is stored but cannot be read (a damaged file) is shown with
"sound: UNREADABLE" (with --json: "soundUnreadable": true and "soundBytes": 0), each
such entry is named on standard error, and the exit status is 1.
)"},
        {"project export", R"(Usage: vxtool project export FILE DIR

Writes every sound of the project into DIR (created when missing; refused when it exists
and is not empty): one folder per chapter and one file per entry with a sound, numbered
so that they sort in project order, e.g. "01-Intro/03-Opening line.wav". Characters that
file names cannot carry are replaced by "_". The file extension follows the sound's
bytes: .wav for RIFF/WAVE, .ogg, .mp3, .flac, otherwise .wav.
DIR/project.json holds every text, so that project import gives back the same project:
  {"format": 1, "chapters": [{"name", "folder", "entries": [{"name", "desc", "note",
    "file"}]}]}
("file" is relative to the chapter folder, empty for an entry without a sound).
Read-only for FILE. A sound that cannot be read is not exported: its entry is named on
standard error, exported without a sound, and the exit status is 1.
)"},
        {"project import", R"(Usage: vxtool project import [--force] DIR FILE

Builds a project from DIR and saves it as FILE (the whole file is written beside FILE
and put in place in one step, like the program's save).
With DIR/project.json (written by project export) the project is rebuilt exactly as
described there. Without it: one chapter per subfolder in natural sort order, named
after the folder; one entry per .wav file in natural order, named after the file name
without its extension. A folder with no subfolders gives one chapter named after the
folder; .wav files directly in DIR beside subfolders become a first chapter named after
DIR.
Refused when FILE exists, unless --force is given (FILE is then replaced; a FILE that is
not a container is never replaced). A sound file that cannot be read, or that another
program cuts short while it is copied, fails the import with that reason, and FILE is left
as it was.
)"},
    };
    return help;
}

}  // namespace

void printMainHelp() { writeOut(QString::fromUtf8(kMainHelp)); }

bool printCommandHelp(const QString& command) {
    const auto it = commandHelp().find(command);
    if (it == commandHelp().end()) return false;
    writeOut(it.value());
    return true;
}

}  // namespace vxtool
