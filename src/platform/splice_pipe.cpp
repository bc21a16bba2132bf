#include "platform/splice_pipe.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int pipesOpen = 0;
int budgetCap = -1;

// Two directions of 300 connections spliced at once take 1,200 descriptors beyond the reserve.
constexpr rlim_t kWantedDescriptors = 4096;

// Bytes a pipe holds: four times the default, so that a wake-up moves a quarter megabyte in two
// system calls. The kernel keeps the default when it refuses more (a user over its pipe quota).
constexpr int kPipeBytes = 256 * 1024;

int computeBudget() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    // The usual soft limit of 1024 leaves no room for pipes; the hard limit usually does.
    if (limit.rlim_cur < kWantedDescriptors && limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(limit.rlim_max, kWantedDescriptors);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    const rlim_t free = limit.rlim_cur > SplicePipe::kReservedDescriptors
                            ? limit.rlim_cur - SplicePipe::kReservedDescriptors
                            : 0;
    return static_cast<int>(std::min<rlim_t>(free / 2, 1 << 20));
}

} // namespace

int SplicePipe::openCount() {
    return pipesOpen;
}

int SplicePipe::budget() {
    static const int pipes = computeBudget();
    return budgetCap >= 0 ? std::min(budgetCap, pipes) : pipes;
}

void SplicePipe::capBudget(int pipes) {
    budgetCap = pipes;
}

bool SplicePipe::open() {
    if (isOpen())
        return true;
    if (pipesOpen >= budget())
        return false;
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    ::fcntl(writeEnd_, F_SETPIPE_SZ, kPipeBytes);
    held_ = 0;
    ++pipesOpen;
    return true;
}

void SplicePipe::close() {
    if (!isOpen())
        return;
    ::close(readEnd_);
    ::close(writeEnd_);
    readEnd_ = writeEnd_ = -1;
    held_ = 0;
    --pipesOpen;
}

QByteArray SplicePipe::takeAll() {
    QByteArray data;
    if (!isOpen() || held_ <= 0)
        return data;
    data.resize(static_cast<qsizetype>(held_));
    qsizetype got = 0;
    while (got < data.size()) {
        const ssize_t n =
            ::read(readEnd_, data.data() + got, static_cast<size_t>(data.size() - got));
        if (n > 0)
            got += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    data.truncate(got);
    held_ = 0;
    return data;
}
