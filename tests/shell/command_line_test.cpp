// The command line: options and exit codes, and --set-login's inputs, stored exactly or refused
// with the old settings file untouched and the password shown nowhere.
#include "platform/profile_file.h"
#include "shell/command_line.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QByteArray kOldFile = "[Setup]\nProviderID=old\nProviderPWD=oldpw\nAutoHide=1\n";

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("TARNIX_INI", QFile::encodeName(path()));
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(kOldFile);
    }
    void TearDown() override { qunsetenv("TARNIX_INI"); }

    CommandLine::Outcome run(QStringList arguments, const QByteArray& input = {}) {
        arguments.prepend(QStringLiteral("/usr/bin/tarnix-gateway"));
        QByteArray inputBytes = input;
        QBuffer in(&inputBytes);
        in.open(QIODevice::ReadOnly);
        out.clear();
        err.clear();
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        return CommandLine::handle(arguments, in, outStream, errStream);
    }
    QString path() const { return dir.filePath(QStringLiteral("Tarnix.ini")); }
    QByteArray file() const {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QString read(const char* key) const {
        return ProfileFile::readString(path(), QStringLiteral("Setup"), QString::fromLatin1(key),
                                       {});
    }

    QTemporaryDir dir;
    QString out;
    QString err;
};

TEST_F(CommandLineTest, OptionsAndExitCodes) {
    // Arguments, exit code (none: the gateway runs), headless, in standard output, in its error.
    const std::tuple<QStringList, std::optional<int>, bool, const char*, const char*> rows[] = {
        {{}, std::nullopt, false, "", ""},
        {{"--headless"}, std::nullopt, true, "", ""},
        {{"--version"}, 0, false, "tarnix-gateway 1.0.66\n", ""},
        {{"--bogus"}, 2, false, "", "Unknown option 'bogus'."},
        {{"--set-login"}, 2, false, "", "Missing value after"},
    };
    for (const auto& [arguments, exitCode, headless, inOut, inErr] : rows) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const CommandLine::Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.exitCode, exitCode);
        EXPECT_EQ(outcome.headless, headless);
        EXPECT_TRUE(out.contains(QString::fromLatin1(inOut))) << out.toStdString();
        EXPECT_TRUE(err.contains(QString::fromLatin1(inErr)));
    }
    EXPECT_EQ(file(), kOldFile);
}

TEST_F(CommandLineTest, SetLoginStoresTheLoginExactly) {
    // Query and file delimiters, blanks (kept at the ends too), non-ASCII.
    for (const QString& password :
         {QString::fromUtf8("s&cr=t pw \xC3\xA9"), QStringLiteral(" pw ")}) {
        SCOPED_TRACE(password.toStdString());
        const CommandLine::Outcome outcome =
            run({"--set-login", "op 42"}, password.toUtf8() + '\n');
        EXPECT_EQ(outcome.exitCode, 0) << err.toStdString();
        EXPECT_EQ(read("ProviderID"), QStringLiteral("op 42"));
        EXPECT_EQ(read("ProviderPWD"), password);
        EXPECT_EQ(read("AutoHide"), QStringLiteral("1"));
        EXPECT_TRUE(out.isEmpty() && !err.contains(password));
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    // Nothing is left beside the file.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(CommandLineTest, SetLoginRefusesBadInputAndKeepsTheOldFile) {
    const std::tuple<const char*, const char*, QByteArray, const char*> rows[] = {
        {"empty ID", "", "pw\n", "the provider ID is empty"},
        {"standard input closed at once", "op42", "", "no password on standard input"},
        {"empty password", "op42", "\n", "the password is empty"},
        {"control character", "op42", "p\x01w\n", "the password holds a control"},
        {"longer than the file keeps", "op42", QByteArray(2048, 'x') + '\n', "longer than 2047"},
    };
    for (const auto& [name, id, input, why] : rows) {
        SCOPED_TRACE(name);
        const CommandLine::Outcome outcome = run({"--set-login", QString::fromLatin1(id)}, input);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_TRUE(err.contains(QString::fromLatin1(why))) << err.toStdString();
        EXPECT_TRUE(err.contains(QStringLiteral("nothing was changed")));
        EXPECT_FALSE(input.size() > 1 && err.toUtf8().contains(input.left(2)));
        EXPECT_EQ(file(), kOldFile);
    }
}

} // namespace
