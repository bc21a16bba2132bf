// The settings file with any content: reads stay within bounds, and a value written in place
// (line breaks dropped) reads back exactly, up to the 2047 characters a read returns.

#include "fuzz_support.h"
#include "platform/profile_file.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // On tmpfs when there is one: the atomic replace syncs to disk, which costs 15 ms on a disk.
    static const QString dir =
        QStringLiteral("%1/tarnix-fuzz-profile-%2")
            .arg(QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm" : "/tmp")
            .arg(getpid());
    static const QString path = dir + QStringLiteral("/Tarnix.ini");
    static const bool made =
        QDir().mkpath(dir) && std::atexit([] { QDir(dir).removeRecursively(); }) == 0;
    FUZZ_CHECK(made);

    const QByteArray content = exactBytes(data, size);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(content) == content.size());
    file.close();

    const QString setup = QStringLiteral("Setup");
    for (const char* key : {"ProviderID", "ProviderPWD", "AutoHide"}) {
        const QString value =
            ProfileFile::readString(path, setup, QString::fromLatin1(key), QString());
        FUZZ_CHECK(value.size() <= 2047);
    }

    QString value = QString::fromUtf8(content);
    value.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    FUZZ_CHECK(ProfileFile::isWritable(path));
    FUZZ_CHECK(ProfileFile::writeString(path, setup, QStringLiteral("ProviderPWD"), value));
    const QString back =
        ProfileFile::readString(path, setup, QStringLiteral("ProviderPWD"), QString());
    FUZZ_CHECK(back == value.left(2047));
    return 0;
}
