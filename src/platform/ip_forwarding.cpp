#include "platform/ip_forwarding.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {

// "0\n", "1\n": the sysctl's own format, and the state file's.
std::optional<int> parseValue(const QByteArray& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

IpForwarding::IpForwarding(QString controlPath) : controlPath_(std::move(controlPath)) {}

QString IpForwarding::statePath() const {
    return QDir(stateDirectory_).filePath(QString::fromLatin1(kStateFileName));
}

std::optional<int> IpForwarding::readControl() {
    QFile control(controlPath_);
    if (!control.open(QIODevice::ReadOnly)) {
        error_ = QStringLiteral("cannot read %1: %2").arg(controlPath_, control.errorString());
        return std::nullopt;
    }
    const std::optional<int> value = parseValue(control.readAll());
    if (!value)
        error_ = QStringLiteral("%1 holds no number").arg(controlPath_);
    return value;
}

bool IpForwarding::writeControl(int value) {
    QFile control(controlPath_);
    if (!control.open(QIODevice::WriteOnly) ||
        control.write(QByteArray::number(value) + '\n') < 0 || !control.flush()) {
        error_ = QStringLiteral("cannot set %1 to %2: %3")
                     .arg(controlPath_)
                     .arg(value)
                     .arg(control.errorString());
        return false;
    }
    return true;
}

bool IpForwarding::remember(const QString& stateDirectory) {
    error_.clear();
    stateDirectory_ = stateDirectory;
    QFile saved(statePath());
    if (saved.exists()) {
        // An earlier run switched forwarding on and never gave it back. A state file that
        // cannot be read stands for 0, the kernel's own default.
        std::optional<int> value;
        if (saved.open(QIODevice::ReadOnly))
            value = parseValue(saved.read(64));
        earlier_ = value.value_or(0);
        return true;
    }
    const std::optional<int> current = readControl();
    if (!current)
        return false;
    if (!QDir().mkpath(stateDirectory_)) {
        error_ = QStringLiteral("cannot create %1").arg(stateDirectory_);
        return false;
    }
    QSaveFile state(statePath());
    if (!state.open(QIODevice::WriteOnly) || state.write(QByteArray::number(*current) + '\n') < 0 ||
        !state.commit()) {
        error_ = QStringLiteral("cannot keep the earlier forwarding setting in %1: %2")
                     .arg(statePath(), state.errorString());
        return false;
    }
    earlier_ = current;
    return true;
}

bool IpForwarding::switchOn() {
    error_.clear();
    const std::optional<int> current = readControl();
    if (!current)
        return false;
    return *current == 1 || writeControl(1);
}

bool IpForwarding::restore() {
    error_.clear();
    if (!earlier_)
        return true;
    const std::optional<int> current = readControl();
    if (!current)
        return false;
    if (*current != *earlier_ && !writeControl(*earlier_))
        return false;
    if (!QFile::remove(statePath()) && QFile::exists(statePath())) {
        error_ = QStringLiteral("cannot remove %1").arg(statePath());
        return false;
    }
    earlier_.reset();
    return true;
}
