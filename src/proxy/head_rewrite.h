#pragma once
// The request head as the upstream sees it. Only the head is rewritten, never a body.

#include "proxy/head_faults.h"
#include "proxy/request_head.h"

#include <QByteArray>

// Every "If-Modified-Since" becomes "nothing1" (the origin answers in full) and every
// "Proxy-Connection" becomes "Connection", ignoring case; the absolute address of the request
// line becomes a path; and when the request line named the target, the Host line names it too
// (added after the request line when there is none), so that no origin can be asked for one
// site while the proxy checked and connected to another.
QByteArray upstreamHead(QByteArray head, const QByteArray& method, const Destination& destination);
// The same for a head whose scan is at hand: nothing is searched for that it did not find.
QByteArray upstreamHead(QByteArray head, const QByteArray& method, const Destination& destination,
                        const RequestHeadScan& scan);
