#include "platform/connection_tracking.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
#include <memory>
#include <vector>

namespace {

struct ConntrackDeleter {
    void operator()(nf_conntrack* ct) const { nfct_destroy(ct); }
};
using Entry = std::unique_ptr<nf_conntrack, ConntrackDeleter>;

struct Dump {
    const std::set<quint32>* addresses;
    quint32 replySourceKept;
    std::vector<Entry> doomed;
};

int collect(enum nf_conntrack_msg_type, struct nf_conntrack* ct, void* data) {
    auto* dump = static_cast<Dump*>(data);
    const quint32 source = ntohl(nfct_get_attr_u32(ct, ATTR_ORIG_IPV4_SRC));
    const quint32 replySource = ntohl(nfct_get_attr_u32(ct, ATTR_REPL_IPV4_SRC));
    if (dump->addresses->count(source) > 0 && replySource != dump->replySourceKept)
        dump->doomed.emplace_back(nfct_clone(ct));
    return NFCT_CB_CONTINUE;
}

QString failure(const char* what) {
    return QStringLiteral("connection tracking: %1: %2")
        .arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

namespace ConnectionTracking {

int forgetForwarded(const std::set<quint32>& addresses, quint32 replySourceKept, QString* error) {
    if (addresses.empty())
        return 0;
    nfct_handle* handle = nfct_open(CONNTRACK, 0);
    if (handle == nullptr) {
        *error = failure("cannot open ctnetlink");
        return -1;
    }
    Dump dump{&addresses, replySourceKept, {}};
    nfct_callback_register(handle, NFCT_T_ALL, collect, &dump);
    nfct_filter_dump* filter = nfct_filter_dump_create();
    nfct_filter_dump_set_attr_u8(filter, NFCT_FILTER_DUMP_L3NUM, AF_INET);
    const int dumped = nfct_query(handle, NFCT_Q_DUMP_FILTER, filter);
    nfct_filter_dump_destroy(filter);
    if (dumped != 0) {
        *error = failure("cannot list the entries");
        nfct_close(handle);
        return -1;
    }
    // Deleted only after the dump: the handle answers one request at a time.
    int deleted = 0;
    for (const Entry& entry : dump.doomed) {
        if (entry == nullptr)
            continue;
        if (nfct_query(handle, NFCT_Q_DESTROY, entry.get()) == 0)
            ++deleted;
        else if (errno != ENOENT) { // gone by itself meanwhile: as good as deleted
            *error = failure("cannot delete an entry");
            nfct_close(handle);
            return -1;
        }
    }
    nfct_close(handle);
    return deleted;
}

} // namespace ConnectionTracking
