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
  project check [--json] FILE   will every cue play? formats, levels, loudness
  project script [--format F] FILE   the running order: text, csv or markdown
  project level FILE -o OUT     bring every cue to one loudness, without a clip
  project report FILE -o OUT    the show at a glance: one HTML page to view and print

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
       vxtool project level FILE (-o OUT | --in-place | --dry-run) [OPTIONS]
       vxtool project report FILE -o REPORT.html [--target LUFS|median]

See vxtool project show --help, project export --help, project import --help,
project check --help, project script --help, project level --help,
project report --help.
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
  - levels, measured on the recording's own samples at its own rate (decoded by
    libsndfile; loudness and true peak by libebur128, after ITU-R BS.1770 / EBU R 128):
      loudness      integrated loudness in LUFS; a mono recording plays on both channels,
                    so it is measured as dual mono (3 LU above one channel alone). A sound
                    shorter than one 400 ms gating block has none: a note, not a warning
      true peak     the peak between the samples too (4x oversampled), in dBTP
      sample peak   the largest sample, in dBFS
      noise floor   the RMS level of the quietest steady half-second, a pause: no 50 ms of
                    it 6 dB louder than another, so a stretch holding a word never counts.
                    -inf for digital silence; none when the sound has no such pause
    Each a warning with its figure when a threshold is passed:
      leading silence   more than 0.5 s before the first sample reaching -50 dBFS
                        (GO seems late)
      trailing silence  more than 2.0 s after the last sample reaching -50 dBFS (the next
                        GO waits on nothing)
      clipping          3 or more samples in a row at one level (within one 16-bit
                        step) at or above -0.1 dBFS: a flat top at full scale
      quiet take        a peak below -20 dBFS
      true peak         above -1.0 dBTP: will distort when converted for playing
      noise floor       above -60.0 dBFS: hiss between the words is heard through a PA
      loudness jump     more than 3.0 LU from the median loudness of the show's cues that
                        play and have a loudness (the figure is the cue's, the text names
                        the median)
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
      loudness: -23.0 LUFS integrated, true peak -6.0 dBTP, noise floor -62.0 dBFS
      note: TEXT                           (any number)
      warning: TEXT                        (any number)
      WILL NOT PLAY: REASON                (instead of converted/levels/warning)
  summary: entries, will not play, warnings, median loudness, chapter C: M:SS.t  NAME,
    show: M:SS.t
Names are escaped as in project show (\n, \\).

--json: one JSON object (stable; later versions only add to it):
  {"output": {"rate": 22050, "channels": 2, "bits": 16},
   "thresholds": {"silenceDbfs": -50, "leadingSilenceSeconds": 0.5,
     "trailingSilenceSeconds": 2, "quietPeakDbfs": -20, "fullScaleDbfs": -0.1,
     "clipRunSamples": 3, "loudnessJumpLu": 3, "truePeakDbtp": -1,
     "noiseFloorDbfs": -60},
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
      "loudness": {"integratedLufs": number or null, "truePeakDbtp": number or null,
         "samplePeakDbfs": number or null, "noiseFloorDbfs": number or null} (null
         when not measured, for digital silence, or when there is no such figure),
      "notes": [text],
      "warnings": [{"kind": "leading-silence" | "trailing-silence" | "clipping" |
         "quiet" | "silent" | "not-measured" | "true-peak" | "noise-floor" |
         "loudness-jump", "value": number (seconds for the silences, runs for
         clipping, peak dBFS for quiet and silent, dBTP for true-peak, dBFS for
         noise-floor, the cue's LUFS for loudness-jump, 0 for not-measured),
         "text": text}]}]}],
   "summary": {"entries": int, "notPlaying": int, "warnings": int,
     "durationSeconds": number, "medianLufs": number or null}}
Seconds have 3 decimals, dBFS, dBTP and LUFS 2.
)"},
        {"project level", R"(Usage: vxtool project level FILE -o OUT [--force] [OPTIONS]
       vxtool project level FILE --in-place [OPTIONS]
       vxtool project level FILE --dry-run [OPTIONS]

Brings every cue of a show to one loudness by changing its recording: the window has no
volume, so the recording itself must carry the level. Each cue gets one constant gain,
the target minus its integrated loudness measured as project check measures it (a mono
recording as dual mono). No limiter, no compression, no equalisation: a take's dynamics
stay the narrator's. The gain is lowered where needed so that the true peak after it
stays at or below the ceiling, allowing for the rounding of the recording's encoding;
that cue is "held by its peak".

Options:
  --target LUFS|median  the loudness to reach (default median: the median loudness of
                        the show's measurable cues, so that takes move towards each
                        other and as little as possible changes)
  --ceiling dBTP        the highest true peak after the gain, from -60 to 0 (default -1)
  --tolerance LU        a cue this close to the target is left as it is (default 0.5)
  --cue N[,N|N-M...]    level only these cues (numbers as project check gives them;
                        "--cue 3 7 9" and "--cue 2-5" too); the others are left
  --dry-run             say what would change; write nothing
  --json                the report as one JSON object (below)
  -o OUT                write the levelled show to OUT, a new file; an existing OUT is
                        refused unless --force. FILE is never opened for writing
  --in-place            replace FILE by the levelled show in one step, as the window's
                        save does: a failure or a kill part way leaves the old file

Left byte for byte as they are: a cue within the tolerance, a silent one, one too short
to measure (under 400 ms) or without loudness, one that will not play, one not among
--cue, an entry without a sound, and a recording libsndfile cannot write back as it was
(a container other than WAV, IMA or MS ADPCM, Vorbis, ...), which the report names.
A levelled recording keeps its container (WAV or WAV-extensible), its encoding (8-, 16-,
24- or 32-bit PCM, float, A-law, µ-law), its sample rate, channels and frame count.
Processing is in floating point; 8- and 16-bit PCM, A-law and µ-law get TPDF dither;
no sample clips. WAV chunks kept: the LIST/INFO texts (title, artist, comment, date,
...), bext, cart, cue points, smpl and the channel mask of WAV-extensible; a float
recording gets a fresh PEAK chunk. Dropped: every other chunk (iXML, axml, ID3, cue
labels, padding). Chapters, entries, their texts and their order are kept exactly.

Each sound is read once to be measured and once more to be written; a levelled sound is
decoded once and waits in an unnamed scratch file until the save copies it, so memory
stays within the largest sound plus 64 MB.

Exit 0 when every measurable cue reached the target, 1 when some were held by their peak
or left for a reason other than the tolerance (a cue that will not play, a silent one,
one that cannot be written back), 2 when FILE cannot be read (a sound of it included:
levelling would lose it) or OUT cannot be written.

Text output:
  target: -23.0 LUFS (the median of the show's measurable cues)
  ceiling: -1.0 dBTP, tolerance: 0.5 LU
  chapter C: NAME
    cue N (entry E): NAME
      -30.2 LUFS -> -23.0 LUFS, gain +7.2 dB, true peak -9.5 dBTP -> -2.3 dBTP
      held: reached -21.4 of -18.0: held by its peak      (a held cue)
      left: REASON (LOUDNESS)                             (instead, a cue left)
  summary: changed, held, left, spread of loudness before and after, written: OUT

--json: one JSON object (stable; later versions only add to it):
  {"targetLufs": number or null, "target": "median" | "given", "ceilingDbtp": number,
   "toleranceLu": number, "written": path or null (dry run),
   "chapters": [{"name": text, "entries": [{"cue": int, "name": text,
      "action": "changed" | "held" | "left", "reason": text or null,
      "beforeLufs": number or null, "afterLufs": number or null, "gainDb": number,
      "truePeakBeforeDbtp": number or null, "truePeakAfterDbtp": number or null}]}],
   "summary": {"changed": int, "held": int, "left": int,
     "spreadBeforeLu": number or null, "spreadAfterLu": number or null}}
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
        {"project report",
         R"(Usage: vxtool project report FILE -o REPORT.html [--target LUFS|median]

Writes the show at a glance as one HTML page, to read on a screen or to print and keep at
the desk during the show:
  - at the top: the show's name (its file's), the file, when the report was made, the
    cues and the show's duration; a loudness chart, one mark per cue in running order at
    its integrated loudness against the show's median (or the target), with a band of
    3.0 LU either side (project check's loudness jump) and the chapters along the axis;
    and the problems, each linking to its cues' rows.
  - per chapter, a heading with its cues and duration; per cue, one row: number, name,
    description and note, duration and the time it starts if every cue follows the one
    before (a cue that will not play takes no time); a waveform strip; loudness, true
    peak, noise floor and peak; the warnings in project check's words, or "will not
    play" with the reason, or "no sound".
The figures are project check's (see vxtool project check --help), from the same
analysis in one pass over each sound, one sound in memory at a time.
Each waveform strip spans its own cue from start to end, whatever its length: the
highest and lowest sample of each of up to 300 stretches, the silence at either end
shaded, where a clipped run starts marked in red along the bottom and true peaks above
-1.0 dBTP in orange along the top.
  -o, --output REPORT.html   the page. It is written whole beside REPORT.html and then
                             renamed over it, so an earlier report stays as it was until
                             the new one is complete. It may not be FILE.
  --target LUFS              draw the loudness against this target (-70 to 0) instead of
                             the median, and list the cues more than 3.0 LU from it as
                             off the target. project check's warnings, the loudness jump
                             from the median included, stay as they are.
  --target median            the default.
The page holds everything it shows: its style sheet and drawings (SVG) are inline, it has
no script and loads nothing (its content security policy forbids both), so it opens in any
browser, offline. Every text of the project is escaped. Printed, on A4 or Letter, each
chapter starts a new page and no row is split across two.
Read-only for FILE. Exit 0 when the report is written (cues that will not play and
warnings are in the report, not in the exit status), 2 when FILE cannot be read as a
project, REPORT.html cannot be written, the dummy audio output cannot be opened, or the
command line is wrong.
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
