#include "shell/command_line.h"

#include "common/app_info.h"
#include "platform/profile_file.h"
#include "shell/save_ini.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral("tarnix-gateway");
// What the settings file gives back of a value (see ProfileFile::readString).
constexpr qsizetype kMaxValueLength = 2047;

// While the password is typed at a terminal, the terminal does not show it.
class EchoOff {
public:
    explicit EchoOff(QIODevice& in) {
        auto* file = qobject_cast<QFile*>(&in);
        fd_ = file ? file->handle() : -1;
        active_ = fd_ >= 0 && ::isatty(fd_) && ::tcgetattr(fd_, &saved_) == 0;
        if (!active_)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd_, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (active_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool atTerminal() const { return active_; }

private:
    int fd_ = -1;
    bool active_ = false;
    termios saved_{};
};

// One line without its line end (LF or CR LF); nullopt when the input ended before any byte.
// A line longer than the settings file keeps is cut, and loginProblem() refuses it.
std::optional<QByteArray> readLine(QIODevice& in) {
    QByteArray line = in.readLine(4 * kMaxValueLength + 8);
    if (line.isEmpty())
        return std::nullopt;
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

std::optional<QString> decodeUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString valueProblem(const QString& what, const QString& value) {
    if (value.trimmed().isEmpty())
        return what + QStringLiteral(" is empty");
    if (value.size() > kMaxValueLength)
        return what + QStringLiteral(" is longer than %1 characters").arg(kMaxValueLength);
    for (const QChar c : value) {
        if (c.category() == QChar::Other_Control)
            return what + QStringLiteral(" holds a control character");
    }
    return {};
}

int setLogin(const QString& id, QIODevice& in, QTextStream& err) {
    // The ID is checked first, so a wrong call never waits for a password.
    QString problem = valueProblem(QStringLiteral("the provider ID"), id);
    if (problem.isEmpty()) {
        std::optional<QByteArray> line;
        {
            EchoOff echoOff(in);
            if (echoOff.atTerminal()) {
                err << QStringLiteral("Provider password for %1: ").arg(id) << Qt::flush;
            }
            line = readLine(in);
            if (echoOff.atTerminal())
                err << Qt::endl;
        }
        const std::optional<QString> password = line ? decodeUtf8(*line) : std::nullopt;
        if (!line)
            problem = QStringLiteral("no password on standard input (one line is read)");
        else if (!password)
            problem = QStringLiteral("the password is not UTF-8 text");
        else
            problem = CommandLine::loginProblem(id, *password);
        if (problem.isEmpty()) {
            const QString path = settingsPath(QString::fromLatin1(kIniFileName));
            if (CommandLine::storeLogin(path, id, *password, &problem)) {
                err << QStringLiteral("%1: provider login for %2 stored in %3")
                           .arg(kProgram, id, path)
                    << Qt::endl;
                return 0;
            }
        }
    }
    err << kProgram << QStringLiteral(": --set-login: ") << problem
        << QStringLiteral("; nothing was changed") << Qt::endl;
    return CommandLine::kExitFailure;
}

} // namespace

namespace CommandLine {

Outcome handle(const QStringList& arguments, QIODevice& in, QTextStream& out, QTextStream& err) {
    QCommandLineParser parser;
    // "-platform" is one unknown option, not eight letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Pay-per-use Internet gateway for a LAN: DHCP, a web proxy on TCP 8080 "
                       "and the provider's purchase pages."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window (as QT_QPA_PLATFORM=offscreen): messages go to "
                       "standard error. Ends at once when a capability it needs or the "
                       "provider login is missing."));
    const QCommandLineOption setLoginOption(
        QStringLiteral("set-login"),
        QStringLiteral("Store the provider login in the settings file and exit: the password is "
                       "read as one line from standard input."),
        QStringLiteral("ID"));
    parser.addOptions({help, version, headless, setLoginOption});

    Outcome outcome;
    if (!parser.parse(arguments)) {
        err << kProgram << QStringLiteral(": ") << parser.errorText()
            << QStringLiteral(" (see --help)") << Qt::endl;
        outcome.exitCode = kExitUsage;
        return outcome;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << kProgram << QStringLiteral(": unexpected argument '")
            << parser.positionalArguments().constFirst() << QStringLiteral("' (see --help)")
            << Qt::endl;
        outcome.exitCode = kExitUsage;
        return outcome;
    }
    if (parser.isSet(help)) {
        // The usage line names the program itself rather than the path it was started by.
        QString text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char(' '), 7), QStringLiteral("Usage: ") + kProgram);
        out << text << Qt::flush;
        outcome.exitCode = 0;
    } else if (parser.isSet(version)) {
        out << kProgram << ' ' << AppInfo::versionText() << Qt::endl;
        outcome.exitCode = 0;
    } else if (parser.isSet(setLoginOption)) {
        outcome.exitCode = setLogin(parser.value(setLoginOption), in, err);
    }
    outcome.headless = parser.isSet(headless);
    return outcome;
}

Outcome handleProcess(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QFile in;
    // Unbuffered: nothing past the password's line is taken from standard input.
    in.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return handle(arguments, in, out, err);
}

QString loginProblem(const QString& id, const QString& password) {
    QString problem = valueProblem(QStringLiteral("the provider ID"), id);
    if (problem.isEmpty())
        problem = valueProblem(QStringLiteral("the password"), password);
    return problem;
}

bool storeLogin(const QString& path, const QString& id, const QString& password, QString* error) {
    const QFileInfo info(path);
    const QString fileName = info.fileName();
    if (!ProfileFile::isWritable(path)) {
        *error = QStringLiteral("the settings file %1 cannot be written by this account").arg(path);
        return false;
    }
    // Both keys go into a copy beside the file, which then replaces it whole: a failure half
    // way never leaves a file with the new ID and the old password.
    const QString copy = info.absolutePath() + QStringLiteral("/.") + fileName +
                         QStringLiteral(".set-login-%1").arg(::getpid());
    QFile::remove(copy);
    const bool hadFile = info.exists();
    errno = 0;
    bool stored =
        (!hadFile || QFile::copy(path, copy)) &&
        ProfileFile::writeString(copy, QStringLiteral("Setup"), QStringLiteral("ProviderID"), id) &&
        ProfileFile::writeString(copy, QStringLiteral("Setup"), QStringLiteral("ProviderPWD"),
                                 password);
    const QByteArray nativeCopy = QFile::encodeName(copy);
    if (stored && ::geteuid() == 0) {
        // Root storing a login for the service: the file stays its account's, not root's.
        struct stat owner {};
        const QString ownerPath = hadFile ? path : info.absolutePath();
        stored = ::stat(QFile::encodeName(ownerPath).constData(), &owner) == 0 &&
                 ::chown(nativeCopy.constData(), owner.st_uid, owner.st_gid) == 0;
    }
    if (stored)
        stored = ::rename(nativeCopy.constData(), QFile::encodeName(path).constData()) == 0;
    if (!stored) {
        const int cause = errno;
        QFile::remove(copy);
        *error = QStringLiteral("the settings file %1 could not be written").arg(path);
        if (cause != 0)
            *error += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(cause)));
    }
    return stored;
}

} // namespace CommandLine
