#pragma once
// Fixed facts of this release: the title shown on message boxes, the version sent to the
// provider service and shown in the About window, and the maker's web address.

#include <QString>

namespace AppInfo {

inline constexpr char kTitle[] = "Tarnix Gateway";
inline constexpr int kVersionMajor = TARNIX_VERSION_MAJOR;
inline constexpr int kVersionMinor = TARNIX_VERSION_MINOR;
inline constexpr int kVersionRevision = TARNIX_VERSION_REVISION;
inline constexpr char kMakerSite[] = "www.tarnix.example";

// "1.0.66": major, minor and revision as decimals without leading zeros.
inline QString versionText() {
    return QStringLiteral("%1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision);
}

} // namespace AppInfo
