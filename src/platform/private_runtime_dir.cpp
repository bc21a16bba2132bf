#include "platform/private_runtime_dir.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

QStringList defaultRuntimeDirCandidates() {
    QStringList candidates{QStringLiteral("/run/tarnix")};
    const QString userRuntime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!userRuntime.isEmpty())
        candidates << userRuntime + QStringLiteral("/tarnix");
    return candidates;
}

QString privateRuntimeDir(const QStringList& candidates) {
    for (const QString& candidate : candidates) {
        const QByteArray path = QFile::encodeName(candidate);
        if (path.isEmpty())
            continue;
        // Made here with mode 0700, or an existing one checked without following a link.
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            continue;
        struct stat status = {};
        if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid())
            continue;
        if ((status.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0)
            continue;
        return candidate;
    }
    return QString();
}
