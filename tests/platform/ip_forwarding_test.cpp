// IPv4 forwarding switched on and given back, against a stand-in for the sysctl file: the
// earlier value survives a crash through the state file.

#include "platform/ip_forwarding.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

class IpForwardingTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString control = dir.filePath(QStringLiteral("ip_forward"));
    QString stateDirectory = dir.filePath(QStringLiteral("settings"));
    QString stateFile = stateDirectory + QStringLiteral("/ip_forward.before");
};

} // namespace

TEST_F(IpForwardingTest, OnWhileRunningThenTheEarlierValue) {
    // The sysctl at start, a crashed run's state file (empty: none), the earlier value.
    const std::tuple<const char*, QByteArray, QByteArray, int> rows[] = {
        {"was off", "0\n", {}, 0},
        {"was on", "1\n", {}, 1},
        {"a crashed run left it on: its state file says off", "1\n", "0\n", 0},
    };
    for (const auto& [name, before, stateFound, earlier] : rows) {
        SCOPED_TRACE(name);
        writeFile(control, before);
        if (!stateFound.isEmpty()) {
            ASSERT_TRUE(QDir().mkpath(stateDirectory));
            writeFile(stateFile, stateFound);
        }
        IpForwarding forwarding(control);
        ASSERT_TRUE(forwarding.remember(stateDirectory)) << forwarding.errorText().toStdString();
        EXPECT_EQ(forwarding.earlier(), earlier);
        // Kept before forwarding is switched on, so a crash from here on loses nothing.
        EXPECT_EQ(readFile(stateFile).trimmed().toInt(), earlier);
        EXPECT_EQ(readFile(control), before);

        ASSERT_TRUE(forwarding.switchOn());
        EXPECT_EQ(readFile(control).trimmed(), "1");

        ASSERT_TRUE(forwarding.restore()) << forwarding.errorText().toStdString();
        EXPECT_EQ(readFile(control).trimmed().toInt(), earlier);
        EXPECT_FALSE(QFile::exists(stateFile));
        EXPECT_FALSE(forwarding.earlier().has_value());
    }
}

TEST_F(IpForwardingTest, AFailedRestoreKeepsTheStateFile) {
    writeFile(control, "0\n");
    IpForwarding forwarding(control);
    ASSERT_TRUE(forwarding.remember(stateDirectory));
    ASSERT_TRUE(forwarding.switchOn());
    // Unwritable even for root: a directory in the sysctl's place.
    ASSERT_TRUE(QFile::remove(control));
    ASSERT_TRUE(QDir().mkdir(control));
    EXPECT_FALSE(forwarding.restore());
    EXPECT_TRUE(forwarding.errorText().contains(control));
    EXPECT_EQ(readFile(stateFile), "0\n");
    EXPECT_EQ(forwarding.earlier(), 0);
}
