// The settings file reader/writer: exact bytes on disk, value rules, modes and failed writes.
// Values of any bytes, their length limit and their line breaks are the fuzz target's.
#include "platform/profile_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    QString path() const { return dir.filePath(QStringLiteral("Tarnix.ini")); }
    void writeRaw(const QByteArray& bytes) {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    QByteArray readRaw() const {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QString read(const char* key) const {
        return ProfileFile::readString(path(), QStringLiteral("Setup"), QString::fromUtf8(key),
                                       QStringLiteral("<default>"));
    }
    static bool write(const QString& file, const char* key, const QString& value) {
        return ProfileFile::writeString(file, QStringLiteral("Setup"), QString::fromUtf8(key),
                                        value);
    }
    static mode_t modeOf(const QString& p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    QTemporaryDir dir;
};

TEST_F(ProfileFileTest, ReadGivesTheValueOrTheDefault) {
    // The file (none: no file), the key read, the value read.
    const std::tuple<const char*, std::optional<QByteArray>, const char*, QString> rows[] = {
        {"missing file", std::nullopt, "AutoHide", "<default>"},
        {"missing key", "[Setup]\nProviderID=x\n", "AutoHide", "<default>"},
        {"only the first equals sign splits", "[Setup]\nProviderPWD==a=b==\n", "ProviderPWD",
         "=a=b=="},
        {"section and key case ignored", "[sETUP]\nproviderid=abc\n", "ProviderID", "abc"},
        {"CR of CR LF not in the value", "[Setup]\r\nProviderID=abc\r\n", "ProviderID", "abc"},
    };
    for (const auto& [name, content, key, expected] : rows) {
        SCOPED_TRACE(name);
        QFile::remove(path());
        if (content)
            writeRaw(*content);
        EXPECT_EQ(read(key), expected);
        EXPECT_EQ(QFileInfo::exists(path()), content.has_value());
    }
}

TEST_F(ProfileFileTest, WriteLeavesExactlyTheseBytes) {
    // The file before (nullptr: none), the key and value written, the file after.
    const std::tuple<const char*, const char*, const char*, QString, QByteArray> rows[] = {
        {"first write creates file and section", nullptr, "ProviderID", "abc",
         "[Setup]\nProviderID=abc\n"},
        {"replaced in place, other lines kept",
         "; settings\n[Setup]\nProviderID=old\n\n# note\nAutoHide=1\n[Other]\nX=1\n", "ProviderID",
         "new", "; settings\n[Setup]\nProviderID=new\n\n# note\nAutoHide=1\n[Other]\nX=1\n"},
        {"appended inside the section before the next one",
         "[Setup]\nProviderID=a\n\n[Other]\nX=1\n", "AutoHide", "0",
         "[Setup]\nProviderID=a\nAutoHide=0\n\n[Other]\nX=1\n"},
        {"case-insensitive match replaces", "[setup]\n providerid = old\n", "ProviderID", "new",
         "[setup]\n providerid =new\n"},
    };
    for (const auto& [name, before, key, value, after] : rows) {
        SCOPED_TRACE(name);
        QFile::remove(path());
        if (before)
            writeRaw(before);
        ASSERT_TRUE(write(path(), key, value));
        EXPECT_EQ(readRaw(), after);
    }
}

TEST_F(ProfileFileTest, ModesPrivateToOwnerAndWhatIsWritable) {
    EXPECT_TRUE(ProfileFile::isWritable(path()));
    EXPECT_TRUE(ProfileFile::isWritable(dir.filePath(QStringLiteral("new/deeper/Tarnix.ini"))));
    ASSERT_TRUE(QFile(dir.filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly));
    EXPECT_FALSE(ProfileFile::isWritable(dir.filePath(QStringLiteral("file/Tarnix.ini"))));
    EXPECT_FALSE(ProfileFile::isWritable(dir.path())) << "a directory is no settings file";
    writeRaw("[Setup]\nProviderID=a\n");
    ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadOther | QFile::ReadGroup));
    ASSERT_TRUE(write(path(), "ProviderPWD", QStringLiteral("pw")));
    EXPECT_EQ(modeOf(path()), mode_t(0600));

    const QString nested = dir.filePath(QStringLiteral("a/b/Tarnix.ini"));
    ASSERT_TRUE(write(nested, "ProviderPWD", QStringLiteral("pw")));
    EXPECT_EQ(modeOf(nested), mode_t(0600));
    EXPECT_EQ(modeOf(dir.filePath(QStringLiteral("a"))), mode_t(0700));
    EXPECT_EQ(modeOf(dir.filePath(QStringLiteral("a/b"))), mode_t(0700));
}

TEST_F(ProfileFileTest, FullDiskLeavesOldFileWhole) {
    const QByteArray before = "; keep me\n[Setup]\nProviderID=abc\nProviderPWD=old\n";
    writeRaw(before);
    // A file size limit makes write(2) fail with EFBIG even for root, like a full disk.
    struct rlimit oldLimit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = oldLimit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = write(path(), "ProviderPWD", QString(20000, QLatin1Char('p')));
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(readRaw(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("Tarnix.ini")});
}

} // namespace
