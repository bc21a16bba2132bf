#pragma once
// A kernel pipe that carries one direction of a relay from socket to socket with splice(2):
// the bytes stay in kernel pages and are never copied into the process. Opened when a spliced
// stretch starts and closed when it ends, so a connection at rest holds none. The process opens
// only as many as its descriptor limit leaves room for; beyond that, relays copy.

#include <QByteArray>

class SplicePipe {
public:
    // The descriptors kept free of pipes for sockets and the rest of the process: 300 proxy
    // connections of two sockets each, with room to spare.
    static constexpr int kReservedDescriptors = 1024;

    SplicePipe() = default;
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;
    ~SplicePipe() { close(); }

    // Opens the pipe (non-blocking both ends) unless it is open. False when the system has no
    // pipe to give, or the budget is spent: the caller copies instead.
    bool open();
    // Closes the pipe; bytes still in it are lost (take them first).
    void close();
    bool isOpen() const { return readEnd_ >= 0; }
    // Bytes in the pipe, put there by splicing in and not yet spliced out.
    qint64 held() const { return held_; }
    // Reads what the pipe holds into the process, for a socket that cannot take a splice or for
    // a copy that must not overtake it.
    QByteArray takeAll();

    int readEnd() const { return readEnd_; }
    int writeEnd() const { return writeEnd_; }
    void added(qint64 count) { held_ += count; }
    void removed(qint64 count) { held_ -= count; }

    // Pipes open in the process now, and how many it may open.
    static int openCount();
    static int budget();
    // Lowers that budget (0: every relay copies); a negative cap lifts it again.
    static void capBudget(int pipes);

private:
    int readEnd_ = -1;
    int writeEnd_ = -1;
    qint64 held_ = 0;
};
