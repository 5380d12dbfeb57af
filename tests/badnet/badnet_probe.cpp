// Sends N numbered datagrams between two UDP sockets on 127.0.0.1, taking
// turns over the ways a program can send one (sendto, sendmsg, send, write),
// and as many over a Unix datagram pair, which a bad network leaves alone.
// Prints what arrived:
//   received R unix U reordered O min_ms A max_ms B
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

struct Stamp {
    int seq;
    int64_t sentNs;
};

int64_t Ns() { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1); }

}  // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int in = socket(AF_INET, SOCK_DGRAM, 0), out = socket(AF_INET, SOCK_DGRAM, 0);
    const int linked = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t len = sizeof at;
    if (bind(in, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(in, reinterpret_cast<sockaddr*>(&at), &len) != 0 ||
        connect(linked, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        return 2;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) return 2;

    // Only our own two senders count: another program on this machine may
    // still send to a port it had before this probe took it.
    auto ours = [&](const sockaddr_in& from) {
        for (int sender : {out, linked}) {
            sockaddr_in a{};
            socklen_t l = sizeof a;
            if (getsockname(sender, reinterpret_cast<sockaddr*>(&a), &l) == 0 && a.sin_port == from.sin_port)
                return true;
        }
        return false;
    };
    int received = 0, unix = 0, reordered = 0, highest = -1;
    double minMs = 1e9, maxMs = 0;
    auto drain = [&](int wait) {
        pollfd p[2] = {{in, POLLIN, 0}, {pair[1], POLLIN, 0}};
        while (poll(p, 2, wait) > 0) {
            Stamp s;
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            if ((p[0].revents & POLLIN) &&
                recvfrom(in, &s, sizeof s, 0, reinterpret_cast<sockaddr*>(&from), &fromLen) == sizeof s && ours(from)) {
                const double ms = (Ns() - s.sentNs) / 1e6;
                ++received, minMs = std::min(minMs, ms), maxMs = std::max(maxMs, ms);
                if (s.seq < highest) ++reordered;
                highest = std::max(highest, s.seq);
            }
            if ((p[1].revents & POLLIN) && recv(pair[1], &s, sizeof s, 0) == sizeof s) ++unix;
        }
    };
    for (int i = 0; i < n; ++i) {
        Stamp s{i, Ns()};
        iovec iov{&s, sizeof s};
        msghdr msg{};
        msg.msg_name = &at, msg.msg_namelen = sizeof at, msg.msg_iov = &iov, msg.msg_iovlen = 1;
        switch (i % 4) {
            case 0:
                sendto(out, &s, sizeof s, 0, reinterpret_cast<sockaddr*>(&at), sizeof at);
                break;
            case 1:
                sendmsg(out, &msg, 0);
                break;
            case 2:
                send(linked, &s, sizeof s, 0);
                break;
            case 3:
                (void)!write(linked, &s, sizeof s);
                break;
        }
        (void)!write(pair[0], &s, sizeof s);
        drain(0);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    drain(1000);  // the held ones, until a second passes without any
    std::printf("received %d unix %d reordered %d min_ms %.2f max_ms %.2f\n", received, unix, reordered, minMs, maxMs);
    return 0;
}
