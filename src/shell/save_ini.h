#pragma once
// The gateway's settings file: the provider login and the auto-hide choice, kept between runs.
// Callers name the file "Tarnix.ini"; it lives at one fixed per-machine place,
// /var/lib/tarnix/, unless the environment variable TARNIX_INI names another file.

#include <QString>

inline constexpr char kIniFileName[] = "Tarnix.ini";

// Where FileName is read from and written to.
QString settingsPath(const QString& FileName);

// The value of Key in Section, or Default when the file, section or key is missing.
QString ReadINI(const QString& Section, const QString& Key, const QString& Default,
                const QString& FileName);
// Stores Value unquoted. False when the file could not be written (the old file stays).
bool WriteINI(const QString& Section, const QString& Key, const QString& Value,
              const QString& FileName);
// Whether WriteINI could save the settings now.
bool CanWriteINI(const QString& FileName);
