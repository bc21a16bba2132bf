#include "platform/profile_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype MaxValueLength = 2047;

// The file split into lines without their line ends, plus the line end to write back.
struct Lines {
    QList<QByteArray> lines;
    QByteArray eol = "\n";
};

Lines splitLines(const QByteArray& content) {
    Lines result;
    const qsizetype firstBreak = content.indexOf('\n');
    if (firstBreak > 0 && content.at(firstBreak - 1) == '\r')
        result.eol = "\r\n";
    result.lines = content.split('\n');
    // A final line end leaves an empty piece behind that is no line of its own.
    if (content.isEmpty() || content.endsWith('\n'))
        result.lines.removeLast();
    for (QByteArray& line : result.lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

bool sameName(const QByteArray& raw, const QString& name) {
    return QString::fromUtf8(raw).compare(name.trimmed(), Qt::CaseInsensitive) == 0;
}

// The section named by a "[name]" line; false for any other line.
bool sectionHeader(const QByteArray& line, QByteArray* name) {
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith('['))
        return false;
    const qsizetype close = trimmed.indexOf(']');
    if (close < 0)
        return false;
    *name = trimmed.mid(1, close - 1).trimmed();
    return true;
}

// Splits "key=value" at its first "="; comments and lines without "=" are no entries.
bool keyValue(const QByteArray& line, QByteArray* key, QByteArray* value) {
    const QByteArray trimmed = line.trimmed();
    if (trimmed.startsWith(';') || trimmed.startsWith('#'))
        return false;
    const qsizetype equals = line.indexOf('=');
    if (equals < 0)
        return false;
    *key = line.left(equals).trimmed();
    *value = line.mid(equals + 1);
    return !key->isEmpty();
}

// Where section and key sit in the file: -1 when absent. sectionEnd is the line after which
// a new key of the section goes (its last entry, or its header).
struct Position {
    qsizetype keyLine = -1;
    qsizetype sectionEnd = -1;
};

Position locate(const QList<QByteArray>& lines, const QString& section, const QString& key) {
    Position pos;
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray name;
        QByteArray entryKey;
        QByteArray entryValue;
        if (sectionHeader(lines.at(i), &name)) {
            // Only the first section of that name counts, as for reads.
            if (inSection)
                break;
            inSection = sameName(name, section);
            if (inSection)
                pos.sectionEnd = i;
        } else if (inSection && keyValue(lines.at(i), &entryKey, &entryValue)) {
            pos.sectionEnd = i;
            if (sameName(entryKey, key)) {
                pos.keyLine = i;
                return pos;
            }
        }
    }
    return pos;
}

bool validName(const QString& name, bool isKey) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty() || trimmed.contains(QLatin1Char('\r')) ||
        trimmed.contains(QLatin1Char('\n')))
        return false;
    if (!isKey)
        return !trimmed.contains(QLatin1Char(']'));
    // A key that would read back as a comment, a header or a different key cannot be stored.
    return !trimmed.contains(QLatin1Char('=')) && !trimmed.startsWith(QLatin1Char(';')) &&
           !trimmed.startsWith(QLatin1Char('#')) && !trimmed.startsWith(QLatin1Char('['));
}

bool pathIsDirectory(const QByteArray& path, bool* exists) {
    struct stat st {};
    *exists = ::stat(path.constData(), &st) == 0;
    return *exists && S_ISDIR(st.st_mode);
}

// Creates the missing directories above the file one by one, each private to its owner.
bool makeDirectories(const QString& dirPath) {
    QList<QString> missing;
    QString current = QDir::cleanPath(dirPath);
    for (;;) {
        bool exists = false;
        const bool isDir = pathIsDirectory(QFile::encodeName(current), &exists);
        if (exists) {
            if (!isDir)
                return false;
            break;
        }
        missing.prepend(current);
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            return false;
        current = parent;
    }
    for (const QString& dir : missing) {
        const QByteArray native = QFile::encodeName(dir);
        if (::mkdir(native.constData(), 0700) != 0 || ::chmod(native.constData(), 0700) != 0)
            return false;
    }
    return true;
}

} // namespace

namespace ProfileFile {

QString readString(const QString& path, const QString& section, const QString& key,
                   const QString& defaultValue) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    const Lines content = splitLines(file.readAll());
    const Position pos = locate(content.lines, section, key);
    if (pos.keyLine < 0)
        return defaultValue;
    QByteArray entryKey;
    QByteArray entryValue;
    keyValue(content.lines.at(pos.keyLine), &entryKey, &entryValue);
    QString value = QString::fromUtf8(entryValue).left(MaxValueLength);
    // An empty entry is still an entry: keep it apart from a null default.
    if (value.isNull())
        value = QStringLiteral("");
    return value;
}

bool writeString(const QString& path, const QString& section, const QString& key,
                 const QString& value) {
    if (path.isEmpty() || !validName(section, false) || !validName(key, true))
        return false;

    QByteArray cleanValue = value.toUtf8();
    cleanValue.replace('\r', QByteArray()).replace('\n', QByteArray());

    const QFileInfo info(path);
    Lines content;
    if (info.exists()) {
        if (!info.isFile())
            return false;
        QFile old(path);
        // Never replace a file whose contents could not be kept.
        if (!old.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = old.readAll();
        if (old.error() != QFileDevice::NoError)
            return false;
        content = splitLines(bytes);
    } else if (!makeDirectories(info.absolutePath())) {
        return false;
    }

    const Position pos = locate(content.lines, section, key);
    if (pos.keyLine >= 0) {
        QByteArray& line = content.lines[pos.keyLine];
        line = line.left(line.indexOf('=') + 1) + cleanValue;
    } else {
        const QByteArray entry = key.trimmed().toUtf8() + '=' + cleanValue;
        if (pos.sectionEnd >= 0) {
            content.lines.insert(pos.sectionEnd + 1, entry);
        } else {
            content.lines.append('[' + section.trimmed().toUtf8() + ']');
            content.lines.append(entry);
        }
    }

    QByteArray bytes;
    for (const QByteArray& line : std::as_const(content.lines))
        bytes += line + content.eol;

    // Temporary file beside the old one, renamed over it on commit: a failed write anywhere
    // leaves the old file whole.
    // Unbuffered, so that a full disk fails the write itself: a buffered write that fails only
    // while committing would still be renamed over the old file, leaving it empty.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError)
        return false; // the uncommitted temporary file goes with the QSaveFile

    return file.commit();
}

bool isWritable(const QString& path) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    const QByteArray native = QFile::encodeName(info.absoluteFilePath());
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || ::access(native.constData(), R_OK) != 0)
            return false;
    } else if (errno != ENOENT) {
        return false;
    }

    // The nearest existing ancestor is where the file or its missing directories go.
    QString dir = QDir::cleanPath(info.absolutePath());
    for (;;) {
        bool exists = false;
        const bool isDir = pathIsDirectory(QFile::encodeName(dir), &exists);
        if (exists)
            return isDir && ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            return false;
        dir = parent;
    }
}

} // namespace ProfileFile
