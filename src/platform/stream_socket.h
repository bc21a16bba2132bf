#pragma once
// A TCP stream on a non-blocking descriptor, read and written with plain system calls. Bytes
// received stay in the kernel until they are taken, so a reader that stops taking them holds
// the peer back by TCP itself; bytes sent go to the kernel at once and only what it cannot take
// yet is queued (shared, not copied). A relay may instead move bytes between two of them through
// a pipe with splice(2), never through the process. Every signal comes from the event loop,
// never from inside a call of the owner's.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>

class QSocketNotifier;
class QTimer;
class SplicePipe;

class StreamSocket : public QObject {
    Q_OBJECT
public:
    enum class State { Unconnected, HostLookup, Connecting, Connected };

    explicit StreamSocket(QObject* parent = nullptr);
    ~StreamSocket() override; // closes the descriptor

    // Takes an accepted connection. False (and the descriptor closed) when it is unusable.
    bool adopt(qintptr descriptor);
    // Which addresses a connection may go to; an empty one allows all.
    using AddressFilter = std::function<bool(const QHostAddress&)>;
    // Starts connecting to an address, or to a name once it is resolved (its first IPv4 address
    // the filter allows, else its first other one); connected() or errorOccurred() follows. A
    // name with no allowed address fails with error 0.
    void connectToHost(const QString& host, quint16 port, const AddressFilter& allowed = {});

    State state() const { return state_; }
    QHostAddress peerAddress() const { return peer_; }
    // Bytes the kernel holds for reading. Finding none means the owner wants to hear of the
    // next ones: readyRead is armed again.
    qint64 bytesAvailable() const;
    // What is there to read, at most max bytes.
    QByteArray read(qint64 max);
    // Sends what the kernel takes now and queues the rest.
    void write(const QByteArray& data);
    qint64 bytesToWrite() const { return queued_; }
    // The peer's end (or a reset) is already here, with nothing unread before it, though the
    // event loop may not have reported it yet.
    bool peerHasEnded() const;
    // Moves at most max received bytes into the pipe, which must be empty: how many (0: none
    // yet, or the end, which is signalled as read() does), or -1 when this stream cannot be
    // spliced (nothing moved: read() instead).
    qint64 readInto(SplicePipe& pipe, qint64 max);
    // Sends what the pipe holds, as much as the kernel takes now: bytesWritten follows when it
    // can take more. Queued bytes go first (the pipe's bytes join the queue), and so does a
    // stream that cannot take a splice.
    void writeFrom(SplicePipe& pipe);
    // Lets the queued bytes go out (for lingerMs at most), then closes and deletes itself.
    void closeWhenSent(int lingerMs);

signals:
    void connected();
    // Bytes are waiting; not signalled again until they have been read.
    void readyRead();
    // Queued bytes went out, or the stream takes bytes again after a writeFrom() it could not
    // finish. Not signalled for a write() the kernel took whole.
    void bytesWritten();
    // The peer ended the stream (or reset it), after the last of its bytes were read.
    void disconnected();
    // error: the system's error number (0: the name gave no address to connect to), with its
    // text.
    void errorOccurred(int error, const QString& description);

private:
    void startConnect(const QHostAddress& address, quint16 port);
    void setUp(int fd);
    void onReadable();
    void tellReadable();
    void onWritable();
    qint64 flushQueue();
    void end(int error);
    void endLater(int error);
    void fail(int error);
    void peerEnded();
    void closeDescriptor();

    int fd_ = -1;
    State state_ = State::Unconnected;
    QHostAddress peer_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    std::deque<QByteArray> queue_; // the front may be partly sent: frontSent_ bytes
    qint64 frontSent_ = 0;
    qint64 queued_ = 0;
    bool awaitingWritable_ = false; // a writeFrom() left bytes in its pipe
    bool ended_ = false;            // the peer's end (or an error) has been seen
    bool closing_ = false;          // closeWhenSent: delete once the queue is empty
    bool taken_ = false;            // the owner has read since it was told of bytes
    quint64 lookupGeneration_ = 0;
};
