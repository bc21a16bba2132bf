// The private runtime directory: the first candidate that is or becomes a real directory of
// this account with mode 0700; links, files and other accounts' directories are passed over.

#include "platform/private_runtime_dir.h"
#include "support/skip_outside_ci.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

static int modeOf(const QString& path) {
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : -1;
}

TEST(PrivateRuntimeDir, TakesTheFirstUsableCandidateAndLeavesItForTheOwnerAlone) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString root = scratch.path();
    ASSERT_TRUE(QDir(root).mkdir(QStringLiteral("open")));
    ASSERT_EQ(::chmod(QFile::encodeName(root + "/open").constData(), 0755), 0);
    ASSERT_TRUE(QFile::link(root + "/open", root + "/link"));
    QFile file(root + "/file");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    const std::tuple<const char*, QStringList, QString> rows[] = {
        {"missing: made with mode 0700", {root + "/made"}, root + "/made"},
        {"existing of this account: tightened to 0700", {root + "/open"}, root + "/open"},
        {"a symbolic link is passed over", {root + "/link", root + "/made"}, root + "/made"},
        {"nothing usable", {root + "/file", root + "/link", ""}, ""},
    };
    for (const auto& [name, candidates, chosen] : rows) {
        ::chmod(QFile::encodeName(root + "/open").constData(), 0755);
        EXPECT_EQ(privateRuntimeDir(candidates), chosen) << name;
        EXPECT_TRUE(chosen.isEmpty() || modeOf(chosen) == 0700) << name;
    }
    ::chmod(QFile::encodeName(root + "/open").constData(), 0755);
    EXPECT_EQ(privateRuntimeDir({root + "/link"}), QString());
    EXPECT_EQ(modeOf(root + "/open"), 0755) << "changed through the link";
}

TEST(PrivateRuntimeDir, PassesOverAnotherAccountsDirectory) {
    if (::geteuid() != 0)
        SKIP_OUTSIDE_CI("only root can make a directory of another account to try");
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString theirs = scratch.path() + "/theirs";
    ASSERT_TRUE(QDir(scratch.path()).mkdir(QStringLiteral("theirs")));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    EXPECT_EQ(privateRuntimeDir({theirs, scratch.path()}), scratch.path());
}
