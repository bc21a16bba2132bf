#include "shell/headless_start.h"

#include "shell/save_ini.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace HeadlessStart {

QStringList missingCapabilities(std::uint64_t effective) {
    struct Needed {
        int bit;
        const char* name;
    };
    static constexpr Needed kNeeded[] = {{CAP_NET_BIND_SERVICE, "CAP_NET_BIND_SERVICE"},
                                         {CAP_NET_RAW, "CAP_NET_RAW"},
                                         {CAP_NET_ADMIN, "CAP_NET_ADMIN"}};
    QStringList missing;
    for (const Needed& need : kNeeded) {
        if ((effective & (std::uint64_t{1} << need.bit)) == 0)
            missing.append(QString::fromLatin1(need.name));
    }
    return missing;
}

std::uint64_t effectiveCapabilities() {
    // The kernel's own call: the gateway links no capability library for one question.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return 0;
    return data[0].effective | (std::uint64_t{data[1].effective} << 32);
}

QString problem() {
    const QStringList missing = missingCapabilities(effectiveCapabilities());
    if (!missing.isEmpty()) {
        return QStringLiteral("missing capability %1: run it as the service "
                              "(tarnix-gateway.service), as root, or give the program "
                              "cap_net_admin,cap_net_bind_service,cap_net_raw+ep with setcap")
            .arg(missing.join(QStringLiteral(", ")));
    }
    const QString ini = QString::fromLatin1(kIniFileName);
    if (ReadINI(QStringLiteral("Setup"), QStringLiteral("ProviderID"), QString(), ini).isEmpty() ||
        ReadINI(QStringLiteral("Setup"), QStringLiteral("ProviderPWD"), QString(), ini).isEmpty()) {
        return QStringLiteral("no provider login readable in %1: store one with "
                              "tarnix-gateway --set-login ID (the password on standard input)")
            .arg(settingsPath(ini));
    }
    return {};
}

} // namespace HeadlessStart
