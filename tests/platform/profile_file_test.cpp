// The settings file reader/writer: exact bytes on disk, value rules, modes and failed writes.
#include "platform/profile_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
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
    QString read(const char* key, const char* section = "Setup") const {
        return ProfileFile::readString(path(), QString::fromUtf8(section), QString::fromUtf8(key),
                                       QStringLiteral("<default>"));
    }
    static mode_t modeOf(const QString& p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    QTemporaryDir dir;
};

// --- Reading: the file as written by hand or by older versions -----------------------------

struct ReadCase {
    const char* name;
    const char* content;
    const char* key;
    const char* expected;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileFileRead : public ProfileFileTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ProfileFileRead, ValueOrDefault) {
    writeRaw(GetParam().content);
    EXPECT_EQ(read(GetParam().key), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    ProfileFileTable, ProfileFileRead,
    ::testing::Values(
        ReadCase{"EmptyValueIsEmpty", "[Setup]\nAutoHide=\n", "AutoHide", ""},
        ReadCase{"ZeroIsZero", "[Setup]\nAutoHide=0\n", "AutoHide", "0"},
        ReadCase{"MissingKeyGivesDefault", "[Setup]\nProviderID=x\n", "AutoHide", "<default>"},
        ReadCase{"MissingSectionGivesDefault", "[Other]\nAutoHide=1\n", "AutoHide", "<default>"},
        ReadCase{"KeyBeforeAnySectionIgnored", "AutoHide=1\n[Setup]\n", "AutoHide", "<default>"},
        ReadCase{"KeyInLaterSectionIgnored", "[Setup]\n[Next]\nAutoHide=1\n", "AutoHide",
                 "<default>"},
        ReadCase{"CommentedKeyIgnored", "[Setup]\n;AutoHide=1\n# AutoHide=2\n", "AutoHide",
                 "<default>"},
        ReadCase{"OnlyFirstEqualsSplits", "[Setup]\nProviderPWD==a=b==\n", "ProviderPWD", "=a=b=="},
        ReadCase{"SectionAndKeyCaseIgnored", "[sETUP]\nproviderid=abc\n", "ProviderID", "abc"},
        ReadCase{"BlanksAroundKeyIgnored", "[ Setup ]\n \tProviderID  = v \n", "ProviderID", " v "},
        ReadCase{"CrOfCrlfNotInValue", "[Setup]\r\nProviderID=abc\r\n", "ProviderID", "abc"},
        ReadCase{"LastLineWithoutBreak", "[Setup]\nProviderID=abc", "ProviderID", "abc"},
        ReadCase{"Utf8Decoded",
                 "[Setup]\nProviderID=Gr\xc3\xbc\xc3\x9f"
                 "e\n",
                 "ProviderID",
                 "Gr\xc3\xbc\xc3\x9f"
                 "e"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileFileTest, MissingFileGivesDefault) {
    EXPECT_EQ(read("ProviderID"), QStringLiteral("<default>"));
    EXPECT_FALSE(QFileInfo::exists(path()));
}

TEST_F(ProfileFileTest, LongValueCutTo2047) {
    const QByteArray exact(2047, 'x');
    writeRaw("[Setup]\nA=" + exact + "\nB=" + exact + "yz\n");
    EXPECT_EQ(read("A"), QString::fromLatin1(exact));
    EXPECT_EQ(read("B"), QString::fromLatin1(exact));
}

// --- Writing: exact file contents after one write ------------------------------------------

struct WriteCase {
    const char* name;
    const char* before; // nullptr: no file yet
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileFileWrite : public ProfileFileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ProfileFileWrite, FileContents) {
    const WriteCase& c = GetParam();
    if (c.before)
        writeRaw(c.before);
    ASSERT_TRUE(ProfileFile::writeString(path(), QString::fromUtf8(c.section),
                                         QString::fromUtf8(c.key), QString::fromUtf8(c.value)));
    EXPECT_EQ(readRaw(), QByteArray(c.after));
}

INSTANTIATE_TEST_SUITE_P(
    ProfileFileTable, ProfileFileWrite,
    ::testing::Values(
        WriteCase{"FirstWriteCreatesFileAndSection", nullptr, "Setup", "ProviderID", "abc",
                  "[Setup]\nProviderID=abc\n"},
        WriteCase{"ReplacedInPlaceKeepsOtherLines",
                  "; settings\n[Setup]\nProviderID=old\n\n# note\nAutoHide=1\n[Other]\nX=1\n",
                  "Setup", "ProviderID", "new",
                  "; settings\n[Setup]\nProviderID=new\n\n# note\nAutoHide=1\n[Other]\nX=1\n"},
        WriteCase{"AppendedInsideSectionBeforeNextOne", "[Setup]\nProviderID=a\n\n[Other]\nX=1\n",
                  "Setup", "AutoHide", "0", "[Setup]\nProviderID=a\nAutoHide=0\n\n[Other]\nX=1\n"},
        WriteCase{"SectionAppendedAtEnd", "[Other]\nX=1", "Setup", "AutoHide", "1",
                  "[Other]\nX=1\n[Setup]\nAutoHide=1\n"},
        WriteCase{"CaseInsensitiveMatchReplaces", "[setup]\n providerid = old\n", "Setup",
                  "ProviderID", "new", "[setup]\n providerid =new\n"},
        WriteCase{"CrlfStyleKept", "[Setup]\r\nProviderID=a\r\n", "Setup", "AutoHide", "1",
                  "[Setup]\r\nProviderID=a\r\nAutoHide=1\r\n"},
        WriteCase{"PasswordWithEqualsUnchanged", nullptr, "Setup", "ProviderPWD", "a=b==c",
                  "[Setup]\nProviderPWD=a=b==c\n"},
        WriteCase{"BlanksAndQuotesStoredAsIs", nullptr, "Setup", "ProviderPWD", " \"x\\y\" ",
                  "[Setup]\nProviderPWD= \"x\\y\" \n"},
        WriteCase{"EmptyValueKeepsKey", "[Setup]\nAutoHide=1\n", "Setup", "AutoHide", "",
                  "[Setup]\nAutoHide=\n"},
        WriteCase{"LineBreaksDropped", nullptr, "Setup", "ProviderPWD", "ab\r\ncd\ne\r",
                  "[Setup]\nProviderPWD=abcde\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileFileTest, RoundTripsSpecialValues) {
    for (const QString& value :
         {QStringLiteral("a=b==c"), QStringLiteral("=lead"), QStringLiteral("  pad  "),
          QStringLiteral("Gr\u00fc\u00dfe ;#[x]"), QString()}) {
        ASSERT_TRUE(ProfileFile::writeString(path(), QStringLiteral("Setup"),
                                             QStringLiteral("ProviderPWD"), value));
        EXPECT_EQ(read("ProviderPWD"), value) << value.toStdString();
    }
    EXPECT_EQ(readRaw(), QByteArray("[Setup]\nProviderPWD=\n"));
}

// --- Modes, failures and isWritable --------------------------------------------------------

TEST_F(ProfileFileTest, ModesPrivateToOwner) {
    writeRaw("[Setup]\nProviderID=a\n");
    ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadOther | QFile::ReadGroup));
    ASSERT_TRUE(ProfileFile::writeString(path(), QStringLiteral("Setup"),
                                         QStringLiteral("ProviderPWD"), QStringLiteral("pw")));
    EXPECT_EQ(modeOf(path()), mode_t(0600));

    const QString nested = dir.filePath(QStringLiteral("a/b/Tarnix.ini"));
    ASSERT_TRUE(ProfileFile::writeString(nested, QStringLiteral("Setup"),
                                         QStringLiteral("ProviderPWD"), QStringLiteral("pw")));
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
    const bool written =
        ProfileFile::writeString(path(), QStringLiteral("Setup"), QStringLiteral("ProviderPWD"),
                                 QString(20000, QLatin1Char('p')));
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(readRaw(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("Tarnix.ini")});
}

TEST_F(ProfileFileTest, IsWritable) {
    EXPECT_TRUE(ProfileFile::isWritable(path()));
    EXPECT_TRUE(ProfileFile::isWritable(dir.filePath(QStringLiteral("new/deeper/Tarnix.ini"))));
    writeRaw("[Setup]\n");
    EXPECT_TRUE(ProfileFile::isWritable(path()));

    // Permission bits do not stop root, so a regular file in the way stands for "cannot write".
    QFile blocker(dir.filePath(QStringLiteral("afile")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // Executable too, so that only its being no directory can make the answer false.
    ASSERT_TRUE(blocker.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    for (const char* sub : {"afile/Tarnix.ini", "afile/sub/Tarnix.ini"}) {
        const QString blocked = dir.filePath(QString::fromUtf8(sub));
        EXPECT_FALSE(ProfileFile::isWritable(blocked)) << sub;
        EXPECT_FALSE(ProfileFile::writeString(blocked, QStringLiteral("Setup"),
                                              QStringLiteral("AutoHide"), QStringLiteral("1")))
            << sub;
    }
    EXPECT_FALSE(ProfileFile::isWritable(dir.path())) << "a directory is no settings file";
}

} // namespace
