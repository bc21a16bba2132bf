#include "platform/stream_socket.h"

#include "platform/splice_pipe.h"

#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QHostAddress addressOf(const sockaddr_storage& storage) {
    QHostAddress address;
    address.setAddress(reinterpret_cast<const sockaddr*>(&storage));
    return address;
}

// At most this many queued pieces go out in one system call.
constexpr int kMaxPiecesPerWrite = 16;

constexpr unsigned kSpliceFlags = SPLICE_F_NONBLOCK | SPLICE_F_MOVE;

// A descriptor that splice(2) does not serve: the bytes must be copied instead.
bool spliceUnsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

StreamSocket::StreamSocket(QObject* parent) : QObject(parent) {}

StreamSocket::~StreamSocket() {
    closeDescriptor();
}

bool StreamSocket::adopt(qintptr descriptor) {
    const int fd = static_cast<int>(descriptor);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) < 0) {
        ::close(fd);
        return false;
    }
    peer_ = addressOf(peer);
    setUp(fd);
    state_ = State::Connected;
    readNotifier_->setEnabled(true);
    return true;
}

void StreamSocket::connectToHost(const QString& host, quint16 port, const AddressFilter& allowed) {
    QHostAddress address;
    if (address.setAddress(host)) {
        if (allowed && !allowed(address)) {
            state_ = State::Unconnected;
            ended_ = true;
            QTimer::singleShot(0, this, [this] {
                emit errorOccurred(0, QStringLiteral("No address to connect to"));
            });
            return;
        }
        startConnect(address, port);
        return;
    }
    state_ = State::HostLookup;
    const quint64 generation = ++lookupGeneration_;
    // Not aborted when no longer wanted (that would leak the toolkit's callback); the
    // generation drops a late answer.
    QHostInfo::lookupHost(host, this, [this, generation, port, allowed](const QHostInfo& info) {
        if (generation != lookupGeneration_ || state_ != State::HostLookup)
            return;
        QHostAddress chosen;
        for (const QHostAddress& candidate : info.addresses()) {
            if (allowed && !allowed(candidate))
                continue;
            if (chosen.isNull() || (candidate.protocol() == QAbstractSocket::IPv4Protocol &&
                                    chosen.protocol() != QAbstractSocket::IPv4Protocol))
                chosen = candidate;
        }
        if (chosen.isNull()) {
            state_ = State::Unconnected;
            ended_ = true;
            emit errorOccurred(0, QStringLiteral("No address to connect to"));
            return;
        }
        startConnect(chosen, port);
    });
}

void StreamSocket::startConnect(const QHostAddress& address, quint16 port) {
    sockaddr_storage target{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&target);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&target);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(errno);
        return;
    }
    peer_ = address;
    setUp(fd);
    state_ = State::Connecting;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), length) == 0 || errno == EINPROGRESS) {
        // Done when the descriptor becomes writable, even if it already is.
        writeNotifier_->setEnabled(true);
        return;
    }
    fail(errno);
}

void StreamSocket::setUp(int fd) {
    fd_ = fd;
    readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    readNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, &StreamSocket::onReadable);
    writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &StreamSocket::onWritable);
}

qint64 StreamSocket::bytesAvailable() const {
    if (fd_ < 0 || state_ != State::Connected)
        return 0;
    int available = 0;
    if (::ioctl(fd_, FIONREAD, &available) < 0)
        available = 0;
    if (available == 0 && !ended_ && !closing_)
        readNotifier_->setEnabled(true);
    return available;
}

bool StreamSocket::peerHasEnded() const {
    if (ended_ || fd_ < 0)
        return true;
    char probe = 0;
    const ssize_t got = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
}

QByteArray StreamSocket::read(qint64 max) {
    if (fd_ < 0 || state_ != State::Connected || ended_ || max <= 0)
        return QByteArray();
    taken_ = true;
    int available = 0;
    if (::ioctl(fd_, FIONREAD, &available) < 0 || available <= 0)
        available = 16384; // the end or an error, found by the read
    QByteArray data(static_cast<qsizetype>(std::min<qint64>(available, max)), Qt::Uninitialized);
    const ssize_t got = ::recv(fd_, data.data(), static_cast<size_t>(data.size()), 0);
    if (got > 0) {
        data.truncate(got);
        readNotifier_->setEnabled(true);
        return data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        readNotifier_->setEnabled(true);
    } else {
        readNotifier_->setEnabled(false);
        endLater(got == 0 ? 0 : errno);
    }
    return QByteArray();
}

void StreamSocket::write(const QByteArray& data) {
    if (fd_ < 0 || state_ != State::Connected || ended_ || data.isEmpty())
        return;
    queue_.push_back(data);
    queued_ += data.size();
    // What the kernel takes at once needs no report; the write notifier reports the rest.
    if (queue_.size() == 1)
        flushQueue();
}

qint64 StreamSocket::readInto(SplicePipe& pipe, qint64 max) {
    if (fd_ < 0 || state_ != State::Connected || ended_ || max <= 0 || !pipe.isOpen())
        return 0;
    taken_ = true;
    for (;;) {
        const ssize_t got = ::splice(fd_, nullptr, pipe.writeEnd(), nullptr,
                                     static_cast<size_t>(max), kSpliceFlags);
        if (got > 0) {
            pipe.added(got);
            readNotifier_->setEnabled(true);
            return got;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            readNotifier_->setEnabled(true);
            return 0;
        }
        if (got < 0 && spliceUnsupported(errno))
            return -1;
        readNotifier_->setEnabled(false);
        endLater(got == 0 ? 0 : errno);
        return 0;
    }
}

void StreamSocket::writeFrom(SplicePipe& pipe) {
    if (pipe.held() <= 0)
        return;
    if (fd_ < 0 || state_ != State::Connected || ended_) {
        pipe.takeAll(); // nowhere to go, as with write()
        return;
    }
    if (!queue_.empty()) {
        write(pipe.takeAll());
        return;
    }
    while (pipe.held() > 0) {
        const ssize_t sent = ::splice(pipe.readEnd(), nullptr, fd_, nullptr,
                                      static_cast<size_t>(pipe.held()), kSpliceFlags);
        if (sent > 0) {
            pipe.removed(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno == EAGAIN) {
            awaitingWritable_ = true;
            writeNotifier_->setEnabled(true);
            return;
        }
        if (sent < 0 && spliceUnsupported(errno)) {
            write(pipe.takeAll());
            return;
        }
        pipe.takeAll();
        endLater(sent < 0 ? errno : EPIPE);
        return;
    }
}

// Sends from the queue until it is empty or the kernel takes no more: how many bytes went.
qint64 StreamSocket::flushQueue() {
    qint64 total = 0;
    while (!queue_.empty()) {
        iovec pieces[kMaxPiecesPerWrite];
        int count = 0;
        for (auto it = queue_.begin(); it != queue_.end() && count < kMaxPiecesPerWrite; ++it) {
            const qint64 skip = count == 0 ? frontSent_ : 0;
            pieces[count].iov_base = const_cast<char*>(it->constData()) + skip;
            pieces[count].iov_len = static_cast<size_t>(it->size() - skip);
            ++count;
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            const int error = errno;
            queue_.clear();
            queued_ = 0;
            frontSent_ = 0;
            writeNotifier_->setEnabled(false);
            endLater(error);
            return total;
        }
        qint64 left = sent;
        queued_ -= sent;
        total += sent;
        while (left > 0) {
            const qint64 rest = queue_.front().size() - frontSent_;
            if (left < rest) {
                frontSent_ += left;
                break;
            }
            left -= rest;
            frontSent_ = 0;
            queue_.pop_front();
        }
    }
    writeNotifier_->setEnabled(!queue_.empty() || awaitingWritable_);
    return total;
}

void StreamSocket::onReadable() {
    if (fd_ < 0 || ended_)
        return;
    int available = 0;
    if (::ioctl(fd_, FIONREAD, &available) == 0 && available > 0) {
        tellReadable();
        return;
    }
    // Nothing to read: the peer's end, a reset, or a wake-up for nothing.
    char probe = 0;
    const ssize_t got = ::recv(fd_, &probe, 1, MSG_PEEK);
    if (got > 0) {
        tellReadable();
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        readNotifier_->setEnabled(false);
        end(got == 0 ? 0 : errno);
    }
}

// The notifier stays on while the owner reads (no switching it off and on for every read); an
// owner that leaves the bytes where they are is told again only once it reads.
void StreamSocket::tellReadable() {
    taken_ = false;
    emit readyRead();
    if (!taken_ && readNotifier_)
        readNotifier_->setEnabled(false);
}

void StreamSocket::onWritable() {
    if (fd_ < 0)
        return;
    if (state_ == State::Connecting) {
        writeNotifier_->setEnabled(false);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
        if (error != 0) {
            state_ = State::Unconnected;
            ended_ = true;
            emit errorOccurred(error, errorText(error));
            return;
        }
        state_ = State::Connected;
        readNotifier_->setEnabled(true);
        emit connected();
        return;
    }
    // Whoever left bytes in a pipe splices them on from bytesWritten.
    const bool awaited = std::exchange(awaitingWritable_, false);
    const qint64 sent = flushQueue();
    if (closing_ && queue_.empty()) {
        deleteLater(); // the descriptor is closed with it
        return;
    }
    if (!ended_ && (sent > 0 || awaited))
        emit bytesWritten();
}

void StreamSocket::closeWhenSent(int lingerMs) {
    setParent(nullptr);
    disconnect();
    ++lookupGeneration_;
    if (fd_ >= 0 && state_ == State::Connected && !ended_ && !queue_.empty()) {
        closing_ = true;
        readNotifier_->setEnabled(false);
        connect(this, &StreamSocket::disconnected, this, &QObject::deleteLater);
        connect(this, &StreamSocket::errorOccurred, this, &QObject::deleteLater);
        QTimer::singleShot(lingerMs, this, &QObject::deleteLater);
        return;
    }
    closeDescriptor();
    deleteLater();
}

// The stream's end: the peer's (0: a close, or a reset or broken pipe), or an error.
void StreamSocket::end(int error) {
    ended_ = true;
    if (error == 0 || error == ECONNRESET || error == EPIPE)
        peerEnded();
    else
        emit errorOccurred(error, errorText(error));
}

// The same from the event loop, for an end found inside a call of the owner's.
void StreamSocket::endLater(int error) {
    ended_ = true;
    QTimer::singleShot(0, this, [this, error] { end(error); });
}

void StreamSocket::peerEnded() {
    state_ = State::Unconnected;
    if (readNotifier_)
        readNotifier_->setEnabled(false);
    emit disconnected();
}

void StreamSocket::fail(int error) {
    state_ = State::Unconnected;
    endLater(error);
}

void StreamSocket::closeDescriptor() {
    if (fd_ < 0)
        return;
    // The notifiers go first: the event loop must not watch a closed descriptor. They are not
    // deleted on the spot, since this may run inside one of their own signals.
    for (QSocketNotifier* notifier : {readNotifier_, writeNotifier_}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    readNotifier_ = writeNotifier_ = nullptr;
    ::close(fd_);
    fd_ = -1;
    state_ = State::Unconnected;
}
