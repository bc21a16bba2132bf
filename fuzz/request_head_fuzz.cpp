// An HTTP head (whole or still arriving) through every reader the proxy applies to it.

#include "fuzz_support.h"
#include "proxy/head_faults.h"
#include "proxy/head_rewrite.h"
#include "proxy/message_framing.h"
#include "proxy/request_head.h"

#include <algorithm>

static bool hasAsciiIn(const QByteArray& text, char first, char last) {
    return std::any_of(text.begin(), text.end(), [&](char c) { return c >= first && c <= last; });
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray head = exactBytes(data, size);

    const qsizetype space = head.indexOf(' ');
    const QByteArray method = space < 0 ? QByteArray() : head.left(space).toUpper();
    for (const char* name : {"Host", "Content-Length", "Transfer-Encoding", "Connection"}) {
        const QByteArray value = GetHeaderSection(head, name);
        FUZZ_CHECK(!value.contains('\n') && !hasAsciiIn(value, 'A', 'Z'));
    }
    // Where the request goes: a host that passes the check holds no byte a resolver would stop
    // at or read as something else; a head that may be forwarded stays so after its rewrite,
    // with exactly the Host line the request line names.
    const Destination destination = requestDestination(head);
    FUZZ_CHECK(destination.port >= 0 && destination.port <= 65535);
    FUZZ_CHECK(destination.fromTarget == !destination.authority.isEmpty());
    if (isValidHost(destination.host)) {
        for (const char c : destination.host)
            FUZZ_CHECK(c > ' ' && c != '/' && c != '\\' && c != '@' && c != 0x7F);
    }
    const qsizetype end = headEnd(head);
    // The proxy forwards only heads whose method is a word (a request line is never a header).
    const bool methodWord = !method.isEmpty() && !hasAsciiIn(method, ':', ':');
    if (end >= 0 && methodWord && requestHeadFault(head.left(end)) == HeadFault::None &&
        isValidHost(destination.host)) {
        const QByteArray whole = head.left(end);
        const QByteArray out = upstreamHead(whole, method, destination);
        FUZZ_CHECK(requestHeadFault(out) == HeadFault::None);
        if (destination.fromTarget)
            FUZZ_CHECK(GetHeaderSection(out, "Host") == destination.authority.toLower());
        // The reader's one scan finds what the readers above find on their own.
        const RequestHeadScan scan = scanRequestHead(whole);
        const Destination scanned = requestDestination(whole, scan.hostValueIn(whole));
        FUZZ_CHECK(scanned.host == destination.host && scanned.port == destination.port &&
                   scanned.authority == destination.authority);
        FUZZ_CHECK(upstreamHead(whole, method, destination, scan) == out);
        const BodyFraming framing = requestFraming(whole);
        const BodyFraming scannedFraming = requestFraming(scan.codings, scan.length);
        FUZZ_CHECK(framing.kind == scannedFraming.kind && framing.length == scannedFraming.length);
        FUZZ_CHECK(scan.expectsContinue ==
                   GetHeaderSection(whole, "Expect").contains("100-continue"));
    }

    // The empty line ending the head; a search resumed half way finds the same one.
    if (end >= 0) {
        FUZZ_CHECK(end >= 2 && end <= head.size() && head.at(end - 1) == '\n');
        FUZZ_CHECK(head.at(end - 2) == '\n' || (end >= 3 && head.mid(end - 3, 2) == "\n\r"));
    }
    const QByteArray firstHalf = QByteArray::fromRawData(head.constData(), head.size() / 2);
    if (headEnd(firstHalf) < 0)
        FUZZ_CHECK(headEnd(head, firstHalf.size()) == end);

    const int status = responseStatus(head);
    FUZZ_CHECK(status >= 0 && status <= 999 && (status == 0 || head.startsWith("HTTP/")));
    const BodyFraming request = requestFraming(head);
    FUZZ_CHECK(request.kind != BodyFraming::Kind::UntilClose && request.length >= 0);
    FUZZ_CHECK((request.kind == BodyFraming::Kind::Length) == (request.length > 0));
    const BodyFraming response = responseFraming(head, method);
    FUZZ_CHECK(response.kind != BodyFraming::Kind::Invalid && response.length >= 0);
    FUZZ_CHECK(method != "HEAD" || response.kind == BodyFraming::Kind::None);
    return 0;
}
