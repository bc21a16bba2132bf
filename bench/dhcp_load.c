/* DHCP load generator for bench/dhcp_bench.sh: simulated clients on one LAN interface, each with
 * its own locally administered hardware address, run four-way exchanges (DISCOVER, OFFER,
 * REQUEST, ACK) against whatever server answers on the segment, at a fixed offered rate.
 *
 * Usage: dhcp_load -i IFACE [-c CLIENTS] [-s SEED] [-r RATE[,RATE...]] [-d SECONDS]
 *                  [-t TIMEOUT_MS] [-g GAP_MS] [-W WARMUP_SECONDS] [-n]
 *   -c 150    simulated clients; their addresses follow from the seed, so runs with the same
 *             seed are the same clients (a server's address pool is not used up run by run)
 *   -r 1000   exchanges started per second; several rates are measured one after the other
 *   -d 10     seconds of starting exchanges at each rate
 *   -t 1000   an exchange without its ACK this long after its DISCOVER is dropped
 *   -g 500    idle milliseconds between rates, so a backlog of one rate does not spill over
 *   -W 20     the warm-up (every client completes one exchange first) gives up after this
 *   -n        no warm-up
 * Prints one line per rate on stdout, "rate=R started=N ... p99_ms=X" (key=value words), and a
 * readable account on stderr. Exit status 0 when every rate was measured, 2 when the warm-up
 * did not complete, 1 on a usage or socket error.
 *
 * Clients send from 0.0.0.0:68 to 255.255.255.255:67 with the broadcast flag set, as a client
 * without an address does, so every server answers by broadcast to port 68 of this segment.
 * Plain POSIX and Linux socket options; one thread; every loop ends by count or by the clock. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CLIENTS 4096
#define TABLE_BITS 18
#define TABLE_SIZE (1u << TABLE_BITS)
#define TABLE_MASK (TABLE_SIZE - 1u)
#define MAX_RATES 16
#define REQUEST_SIZE 300 /* a BOOTP message's usual minimum; many clients pad to it */
#define MAX_SENDS_PER_TURN 256
#define MAX_READS_PER_TURN 512

enum { FREE = 0, DISCOVER_SENT, REQUEST_SENT, DONE, FAILED };
enum { DHCPDISCOVER = 1, DHCPOFFER = 2, DHCPREQUEST = 3, DHCPACK = 5, DHCPNAK = 6 };

struct exchange {
    uint32_t xid;
    int client;
    int state;
    uint64_t started; /* ns, monotonic */
};

struct stats {
    uint64_t started, completed, naks, timed_out, offers, duplicates, strays, send_errors;
    uint32_t* latency_us; /* one per completed exchange */
    uint64_t latency_cap;
};

static int sock = -1;
static unsigned char macs[MAX_CLIENTS][6];
static int client_count = 150;
static int client_done[MAX_CLIENTS]; /* warm-up: has completed one exchange */
static int client_busy[MAX_CLIENTS]; /* warm-up: has an exchange in flight */
static struct exchange table[TABLE_SIZE];
static uint32_t xid_base;
static uint64_t next_seq;    /* sequence number of the next exchange; xid = xid_base + seq */
static uint64_t oldest_seq;  /* no exchange before it is in flight */
static uint32_t rxq_dropped; /* datagrams the kernel dropped on our socket (SO_RXQ_OVFL) */
static uint64_t timeout_ns = 1000000000ull;
static int warming;

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static uint64_t splitmix(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static void make_clients(uint64_t seed) {
    uint64_t state = seed;
    for (int i = 0; i < client_count; i++) {
        /* A fresh draw on a repeat; 48 random bits make even one repeat unlikely. */
        for (int attempt = 0; attempt < 100; attempt++) {
            uint64_t r = splitmix(&state);
            for (int b = 0; b < 6; b++)
                macs[i][b] = (unsigned char)(r >> (8 * b));
            macs[i][0] = (unsigned char)((macs[i][0] & 0xfc) | 0x02); /* local, unicast */
            int repeated = 0;
            for (int j = 0; j < i && !repeated; j++)
                repeated = memcmp(macs[i], macs[j], 6) == 0;
            if (!repeated)
                break;
        }
    }
}

static int open_socket(const char* iface) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int on = 1, big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface, (socklen_t)strlen(iface) + 1) != 0) {
        perror("setsockopt (SO_BROADCAST, SO_BINDTODEVICE)");
        close(fd);
        return -1;
    }
    /* A full receive queue here would show up as the server's drops: make it large. */
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(68);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr*)&local, sizeof local) != 0) {
        perror("bind 0.0.0.0:68");
        close(fd);
        return -1;
    }
    return fd;
}

/* A DISCOVER or a REQUEST (with the offered address and the server's identifier). */
static int build_request(unsigned char* out, int type, uint32_t xid, const unsigned char* mac,
                         uint32_t requested, uint32_t server) {
    static const unsigned char params[] = {1, 3, 6, 15, 28, 51, 54};
    memset(out, 0, REQUEST_SIZE);
    out[0] = 1; /* BOOTREQUEST */
    out[1] = 1; /* Ethernet */
    out[2] = 6;
    out[3] = 0; /* hops */
    uint32_t nxid = htonl(xid);
    memcpy(out + 4, &nxid, 4);
    out[10] = 0x80; /* broadcast flag: answers go to 255.255.255.255, as no address is held */
    memcpy(out + 28, mac, 6);
    static const unsigned char magic[] = {99, 130, 83, 99};
    memcpy(out + 236, magic, 4);
    int n = 240;
    out[n++] = 53;
    out[n++] = 1;
    out[n++] = (unsigned char)type;
    if (type == DHCPREQUEST) {
        out[n++] = 50;
        out[n++] = 4;
        memcpy(out + n, &requested, 4); /* already in network order */
        n += 4;
        out[n++] = 54;
        out[n++] = 4;
        memcpy(out + n, &server, 4);
        n += 4;
    }
    out[n++] = 55;
    out[n++] = sizeof params;
    memcpy(out + n, params, sizeof params);
    n += (int)sizeof params;
    out[n++] = 255;
    return REQUEST_SIZE;
}

static int send_request(const unsigned char* message, int length) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(67);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    for (int attempt = 0; attempt < 3; attempt++) {
        if (sendto(sock, message, (size_t)length, 0, (struct sockaddr*)&to, sizeof to) == length)
            return 0;
        if (errno != EINTR && errno != ENOBUFS && errno != EAGAIN)
            break;
    }
    return -1;
}

static void start_exchange(int client, uint64_t now, struct stats* st) {
    uint64_t seq = next_seq++;
    struct exchange* e = &table[seq & TABLE_MASK];
    e->xid = xid_base + (uint32_t)seq;
    e->client = client;
    e->started = now;
    e->state = DISCOVER_SENT;
    st->started++;
    if (warming)
        client_busy[client] = 1;
    unsigned char message[REQUEST_SIZE];
    int length = build_request(message, DHCPDISCOVER, e->xid, macs[client], 0, 0);
    if (send_request(message, length) != 0) {
        st->send_errors++;
        e->state = FAILED;
        if (warming)
            client_busy[client] = 0;
    }
}

static void finish(struct exchange* e, int state) {
    e->state = state;
    if (warming) {
        client_busy[e->client] = 0;
        if (state == DONE)
            client_done[e->client] = 1;
    }
}

/* Walks from the oldest exchange forward: finished ones are passed, overdue ones dropped. */
static void expire(uint64_t now, struct stats* st) {
    while (oldest_seq < next_seq) {
        struct exchange* e = &table[oldest_seq & TABLE_MASK];
        if (e->state == DISCOVER_SENT || e->state == REQUEST_SENT) {
            if (now - e->started < timeout_ns)
                break;
            st->timed_out++;
            finish(e, FAILED);
        }
        oldest_seq++;
    }
}

static int find_option(const unsigned char* p, int length, int code, const unsigned char** value) {
    int i = 240;
    while (i < length) {
        int c = p[i];
        if (c == 0) {
            i++;
            continue;
        }
        if (c == 255 || i + 1 >= length)
            break;
        int len = p[i + 1];
        if (i + 2 + len > length)
            break;
        if (c == code) {
            *value = p + i + 2;
            return len;
        }
        i += 2 + len;
    }
    return -1;
}

static void handle_reply(const unsigned char* p, int length, uint32_t source, uint64_t now,
                         struct stats* st) {
    static const unsigned char magic[] = {99, 130, 83, 99};
    if (length < 240 || p[0] != 2 || memcmp(p + 236, magic, 4) != 0)
        return;
    uint32_t xid;
    memcpy(&xid, p + 4, 4);
    xid = ntohl(xid);
    /* A run starts far fewer than 2^32 exchanges, so the offset is the sequence number. */
    uint64_t seq = (uint32_t)(xid - xid_base);
    struct exchange* e = &table[seq & TABLE_MASK];
    if (seq >= next_seq || seq < oldest_seq || e->xid != xid ||
        memcmp(p + 28, macs[e->client], 6) != 0) {
        st->strays++; /* too late, or not ours */
        return;
    }
    const unsigned char* value = NULL;
    if (find_option(p, length, 53, &value) != 1)
        return;
    int type = value[0];
    if (type == DHCPOFFER && e->state == DISCOVER_SENT) {
        uint32_t server = source, offered;
        if (find_option(p, length, 54, &value) == 4)
            memcpy(&server, value, 4);
        memcpy(&offered, p + 16, 4);
        st->offers++;
        unsigned char message[REQUEST_SIZE];
        int n = build_request(message, DHCPREQUEST, xid, macs[e->client], offered, server);
        if (send_request(message, n) != 0) {
            st->send_errors++;
            finish(e, FAILED);
            return;
        }
        e->state = REQUEST_SENT;
    } else if (type == DHCPACK && e->state == REQUEST_SENT) {
        if (st->completed < st->latency_cap)
            st->latency_us[st->completed] = (uint32_t)((now - e->started) / 1000);
        st->completed++;
        finish(e, DONE);
    } else if (type == DHCPNAK && e->state == REQUEST_SENT) {
        st->naks++;
        finish(e, FAILED);
    } else {
        st->duplicates++; /* a second copy of an answer already taken */
    }
}

static void read_replies(struct stats* st) {
    for (int i = 0; i < MAX_READS_PER_TURN; i++) {
        unsigned char buffer[2048];
        char control[CMSG_SPACE(sizeof(uint32_t))];
        struct sockaddr_in from;
        struct iovec iov = {buffer, sizeof buffer};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                memcpy(&rxq_dropped, CMSG_DATA(c), sizeof rxq_dropped);
        handle_reply(buffer, (int)n, from.sin_addr.s_addr, now_ns(), st);
    }
}

static void wait_for(uint64_t until, uint64_t now) {
    struct pollfd pfd = {sock, POLLIN, 0};
    uint64_t wait = until > now ? until - now : 0;
    struct timespec ts = {(time_t)(wait / 1000000000ull), (long)(wait % 1000000000ull)};
    ppoll(&pfd, 1, &ts, NULL);
}

/* The next client to start an exchange: in turn over all; in the warm-up, only those without
 * a completed exchange and without one in flight (-1 when there is none now). */
static int pick_client(uint64_t* cursor) {
    if (!warming)
        return (int)((*cursor)++ % (uint64_t)client_count);
    for (int i = 0; i < client_count; i++) {
        int c = (int)((*cursor)++ % (uint64_t)client_count);
        if (!client_done[c] && !client_busy[c])
            return c;
    }
    return -1;
}

static int all_done(void) {
    for (int i = 0; i < client_count; i++)
        if (!client_done[i])
            return 0;
    return 1;
}

/* Starts exchanges at rate for send_ns, then waits for the last ones (at most the timeout).
 * The warm-up ends early once every client has completed one. */
static void run_phase(double rate, uint64_t send_ns, struct stats* st) {
    uint64_t cursor = 0, begin = now_ns(), send_end = begin + send_ns, end = send_end + timeout_ns;
    uint64_t interval = (uint64_t)(1e9 / rate), due = begin;
    for (;;) {
        uint64_t now = now_ns();
        if (now >= end || (warming && all_done()))
            break;
        read_replies(st);
        expire(now, st);
        if (now >= send_end && oldest_seq == next_seq)
            break; /* every exchange answered or dropped */
        for (int i = 0; i < MAX_SENDS_PER_TURN && due <= now && due < send_end; i++) {
            int client = pick_client(&cursor);
            if (client >= 0)
                start_exchange(client, now, st);
            due += interval;
        }
        uint64_t until = end;
        if (due < send_end && due < until)
            until = due;
        if (oldest_seq < next_seq) {
            uint64_t expiry = table[oldest_seq & TABLE_MASK].started + timeout_ns;
            if (expiry < until)
                until = expiry;
        }
        now = now_ns();
        if (until > now)
            wait_for(until, now);
    }
    /* Whatever is still in flight at the end is dropped. */
    expire(UINT64_MAX / 2, st);
}

/* Reads and drops whatever arrives for ms milliseconds. */
static void idle(int ms, struct stats* st) {
    uint64_t end = now_ns() + (uint64_t)ms * 1000000ull;
    for (uint64_t now = now_ns(); now < end; now = now_ns()) {
        read_replies(st);
        wait_for(end, now);
    }
    read_replies(st);
}

static int compare_u32(const void* a, const void* b) {
    uint32_t x = *(const uint32_t*)a, y = *(const uint32_t*)b;
    return (x > y) - (x < y);
}

static double percentile_ms(const uint32_t* sorted, uint64_t n, double p) {
    if (n == 0)
        return -1;
    uint64_t rank = (uint64_t)(p * (double)n + 0.999999); /* nearest rank */
    if (rank < 1)
        rank = 1;
    if (rank > n)
        rank = n;
    return sorted[rank - 1] / 1000.0;
}

static void usage(void) {
    fprintf(stderr, "usage: dhcp_load -i IFACE [-c CLIENTS] [-s SEED] [-r RATE[,RATE...]] "
                    "[-d SECONDS] [-t TIMEOUT_MS] [-g GAP_MS] [-W WARMUP_SECONDS] [-n]\n");
}

int main(int argc, char** argv) {
    const char *iface = NULL, *rate_list = "1000";
    unsigned long long seed = 1;
    int seconds = 10, timeout_ms = 1000, gap_ms = 500, warmup_s = 20, warmup = 1, opt;
    while ((opt = getopt(argc, argv, "i:c:s:r:d:t:g:W:n")) != -1) {
        switch (opt) {
        case 'i':
            iface = optarg;
            break;
        case 'c':
            client_count = atoi(optarg);
            break;
        case 's':
            seed = strtoull(optarg, NULL, 0);
            break;
        case 'r':
            rate_list = optarg;
            break;
        case 'd':
            seconds = atoi(optarg);
            break;
        case 't':
            timeout_ms = atoi(optarg);
            break;
        case 'g':
            gap_ms = atoi(optarg);
            break;
        case 'W':
            warmup_s = atoi(optarg);
            break;
        case 'n':
            warmup = 0;
            break;
        default:
            usage();
            return 1;
        }
    }
    double rates[MAX_RATES];
    int rate_count = 0;
    char *list = strdup(rate_list), *save = NULL;
    for (char* word = strtok_r(list, ",", &save); word && rate_count < MAX_RATES;
         word = strtok_r(NULL, ",", &save))
        rates[rate_count++] = atof(word);
    free(list);
    if (!iface || client_count < 1 || client_count > MAX_CLIENTS || seconds < 1 || seconds > 600 ||
        timeout_ms < 10 || timeout_ms > 10000 || gap_ms < 0 || gap_ms > 60000 || warmup_s < 1 ||
        warmup_s > 600 || rate_count == 0) {
        usage();
        return 1;
    }
    for (int r = 0; r < rate_count; r++) {
        /* Every exchange in flight needs its own table slot. */
        if (rates[r] < 1 || rates[r] * (timeout_ms / 1000.0 + 0.1) >= TABLE_SIZE) {
            fprintf(stderr, "dhcp_load: rate %g out of range for a %d ms timeout\n", rates[r],
                    timeout_ms);
            return 1;
        }
    }
    timeout_ns = (uint64_t)timeout_ms * 1000000ull;

    /* Ends on its own even if the clock misbehaves: the plan's length and a margin. */
    unsigned plan = (unsigned)(warmup ? warmup_s : 0) + 30u;
    for (int r = 0; r < rate_count; r++)
        plan += (unsigned)seconds + (unsigned)(timeout_ms + gap_ms) / 1000u + 1u;
    signal(SIGALRM, SIG_DFL);
    alarm(plan);

    make_clients((uint64_t)seed);
    uint64_t xid_state = (uint64_t)seed ^ now_ns() ^ ((uint64_t)getpid() << 32);
    xid_base = (uint32_t)splitmix(&xid_state);
    sock = open_socket(iface);
    if (sock < 0)
        return 1;

    if (warmup) {
        struct stats st;
        memset(&st, 0, sizeof st);
        warming = 1;
        /* Slow enough that a server probing each new client's number keeps up. */
        run_phase(100.0, (uint64_t)warmup_s * 1000000000ull, &st);
        warming = 0;
        int done = 0;
        for (int i = 0; i < client_count; i++)
            done += client_done[i];
        fprintf(stderr,
                "dhcp_load: warm-up: %d of %d clients hold a lease (%llu exchanges "
                "started, %llu dropped)\n",
                done, client_count, (unsigned long long)st.started,
                (unsigned long long)st.timed_out);
        printf("warmup clients=%d leased=%d started=%llu\n", client_count, done,
               (unsigned long long)st.started);
        fflush(stdout);
        if (done < client_count)
            return 2;
        idle(gap_ms, &st);
    }

    for (int r = 0; r < rate_count; r++) {
        struct stats st;
        memset(&st, 0, sizeof st);
        st.latency_cap = (uint64_t)(rates[r] * seconds) + MAX_SENDS_PER_TURN + 16;
        st.latency_us = calloc(st.latency_cap, sizeof(uint32_t));
        if (!st.latency_us) {
            fprintf(stderr, "dhcp_load: out of memory\n");
            return 1;
        }
        uint32_t drops_before = rxq_dropped;
        run_phase(rates[r], (uint64_t)seconds * 1000000000ull, &st);
        uint64_t kept = st.completed < st.latency_cap ? st.completed : st.latency_cap;
        qsort(st.latency_us, kept, sizeof(uint32_t), compare_u32);
        /* "-" when nothing completed: there is no latency to show. */
        char p50[32] = "-", p99[32] = "-";
        if (kept > 0) {
            snprintf(p50, sizeof p50, "%.3f", percentile_ms(st.latency_us, kept, 0.50));
            snprintf(p99, sizeof p99, "%.3f", percentile_ms(st.latency_us, kept, 0.99));
        }
        double done_rate = (double)st.completed / seconds;
        double offered = (double)st.started / seconds;
        double drop_pct =
            st.started ? 100.0 * (double)(st.started - st.completed) / (double)st.started : 0;
        printf("rate=%.0f offered_per_s=%.1f started=%llu completed=%llu exchanges_per_s=%.1f "
               "drop_pct=%.2f p50_ms=%s p99_ms=%s naks=%llu timed_out=%llu offers=%llu "
               "duplicates=%llu strays=%llu send_errors=%llu rxq_drops=%u\n",
               rates[r], offered, (unsigned long long)st.started, (unsigned long long)st.completed,
               done_rate, drop_pct, p50, p99, (unsigned long long)st.naks,
               (unsigned long long)st.timed_out, (unsigned long long)st.offers,
               (unsigned long long)st.duplicates, (unsigned long long)st.strays,
               (unsigned long long)st.send_errors, rxq_dropped - drops_before);
        fflush(stdout);
        fprintf(stderr,
                "dhcp_load: %.0f/s offered (%.0f/s sent) for %d s: %.0f exchanges/s, %.2f%% "
                "dropped, p50 %s ms, p99 %s ms\n",
                rates[r], offered, seconds, done_rate, drop_pct, p50, p99);
        free(st.latency_us);
        if (r + 1 < rate_count)
            idle(gap_ms, &st);
    }
    close(sock);
    return 0;
}
