#pragma once
// A small INI ("profile") file: sections in square brackets, then key=value lines. Values are
// stored unquoted and unchanged; only the first "=" of a line separates key from value.
// Writes replace the whole file atomically and keep it readable by its owner alone.

#include <QString>

namespace ProfileFile {

// The value of key in section, or defaultValue when the file, section or key is missing.
// Section and key names are matched without regard to case. At most 2047 characters come back.
QString readString(const QString& path, const QString& section, const QString& key,
                   const QString& defaultValue);

// Replaces the key's value in place, or appends the key (and the section) when missing.
// Creates the file (mode 0600) and its directory (mode 0700) when missing. Line breaks in
// the value are dropped. False when the file could not be written; the old file then stays.
bool writeString(const QString& path, const QString& section, const QString& key,
                 const QString& value);

// Whether writeString could replace the file now.
bool isWritable(const QString& path);

} // namespace ProfileFile
