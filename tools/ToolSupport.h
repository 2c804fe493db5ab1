// Shared pieces of vxtool's commands: exit codes, error output and standard output.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

class EfsVolume;

namespace vxtool {

// Exit status of every command.
enum Exit : int {
    ExitOk = 0,
    // The operation was refused or found a problem (a missing stored file, a name that
    // is taken, damage found by check).
    ExitRefused = 1,
    // A file could not be used at all (not a container, unreadable), or the command line
    // was wrong.
    ExitUnusable = 2,
};

// The command line after "vxtool COMMAND": plain arguments in order, and the options seen.
struct Arguments {
    QList<QByteArray> plain;  // raw bytes as given: stored names are not re-encoded
    QStringList options;      // "-l", "--json", ...
    bool has(const char* option) const { return options.contains(QString::fromLatin1(option)); }
};

// Splits argv[first..argc) into options and plain arguments; "--" ends the options.
Arguments splitArguments(int argc, char** argv, int first);

// A path given on the command line, decoded as the system encodes file names.
QString pathArgument(const QByteArray& raw);

// Prints "vxtool: SUBJECT: reason" to standard error and returns code.
int fail(int code, const QString& subject, const QString& reason);
// Prints "vxtool: message" to standard error.
void warn(const QString& message);
// Prints "vxtool: COMMAND: reason" and the hint to run COMMAND --help; returns ExitUnusable.
int usageError(const QString& command, const QString& reason);

// The volume's last error in words.
QString volumeReason(const EfsVolume& volume);

// Standard output. Every write is checked; finishOutput() reports a failed write (a full
// disk behind a redirection, a closed pipe) so that a script never takes a cut-off
// listing for a complete one.
bool writeOut(const char* data, int64_t length);
bool writeOut(const QByteArray& bytes);
bool writeOut(const QString& text);
int finishOutput(int code);

// text with backslashes, line feeds and carriage returns shown as \\, \n and \r, so
// that one text stays on one line.
QString escapedText(const QString& text);
// A duration as M:SS.t (tenths), or H:MM:SS.t from one hour on or when withHours.
QString clockText(double seconds, bool withHours = false);

// Numbers of the JSON outputs: value rounded to decimals; a level in decibels with 2
// decimals, null for -infinity (digital silence) or for none.
double jsonRounded(double value, int decimals);
QJsonValue jsonLevel(double db);
QJsonValue jsonLevel(const std::optional<double>& db);

// The help texts.
void printMainHelp();
// False when command has no help text (no such command).
bool printCommandHelp(const QString& command);

// Project commands (ProjectCommands.cpp); args are the arguments after "project".
int runProject(int argc, char** argv, int first);
// project check (CheckCommand.cpp) and project script (ScriptCommand.cpp).
int runProjectCheck(const Arguments& args);
int runProjectScript(int argc, char** argv, int first);
// project level (LevelCommand.cpp).
int runProjectLevel(int argc, char** argv, int first);
// project report (ReportCommand.cpp).
int runProjectReport(int argc, char** argv, int first);

}  // namespace vxtool
