#include "shell/save_ini.h"

#include "platform/profile_file.h"

#include <QDir>

QString settingsPath(const QString& FileName) {
    const QString overridden = qEnvironmentVariable("TARNIX_INI");
    if (!overridden.isEmpty())
        return overridden;
    return QDir(QStringLiteral("/var/lib/tarnix")).filePath(FileName);
}

QString ReadINI(const QString& Section, const QString& Key, const QString& Default,
                const QString& FileName) {
    return ProfileFile::readString(settingsPath(FileName), Section, Key, Default);
}

bool WriteINI(const QString& Section, const QString& Key, const QString& Value,
              const QString& FileName) {
    return ProfileFile::writeString(settingsPath(FileName), Section, Key, Value);
}

bool CanWriteINI(const QString& FileName) {
    return ProfileFile::isWritable(settingsPath(FileName));
}
