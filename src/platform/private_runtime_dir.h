#pragma once
// Where the gateway keeps the files it writes for its helper programs while it runs (the name
// service's configuration): a directory of the gateway's own account that no one else may
// enter, never one another account could have laid out or pointed elsewhere.

#include <QString>
#include <QStringList>

// /run/tarnix (made when the account may, e.g. root, or given by the service manager), then
// $XDG_RUNTIME_DIR/tarnix when that variable is set.
QStringList defaultRuntimeDirCandidates();

// The first candidate that is, or can be made, a real directory (no symbolic link) owned by
// this account, left with mode 0700; empty when none is.
QString privateRuntimeDir(const QStringList& candidates);
