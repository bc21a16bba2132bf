#pragma once
// The program's command line: --help, --version, --headless, and --set-login ID, which stores a
// provider login for a box without a screen. The password comes as one line on standard input,
// never as an argument, where every account on the machine could read it in the process list.

#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <optional>

namespace CommandLine {

inline constexpr int kExitFailure = 1;
// Wrong use of the command line, as the usual tools say it.
inline constexpr int kExitUsage = 2;

struct Outcome {
    // Set when the command line did all there was to do: the program ends with this code.
    std::optional<int> exitCode;
    // --headless: no window, operator messages on standard error (QT_QPA_PLATFORM=offscreen).
    bool headless = false;
};

// arguments as in argv, the program's name first. Help and version go to out, errors to err as
// one line each. The password read from in is written nowhere but the settings file.
Outcome handle(const QStringList& arguments, QIODevice& in, QTextStream& out, QTextStream& err);

// handle() over this process's arguments, standard input, output and error.
Outcome handleProcess(int argc, char** argv);

// Why a login cannot be stored; empty when it can. "&", "=", blanks and any Unicode text are
// fine: the settings file keeps a value unchanged after its first "=", and the provider page's
// query percent-encodes the UTF-8 bytes. Control characters and over-long values are not.
QString loginProblem(const QString& id, const QString& password);

// Stores ID and password in the settings file at path in one atomic replacement (other keys
// kept, mode 0600); run by root, the file keeps its owner, so the service account can still
// read it. On failure *error says why and the old file stays as it was.
bool storeLogin(const QString& path, const QString& id, const QString& password, QString* error);

} // namespace CommandLine
