// A bad network for tests, preloaded into a program (LD_PRELOAD): every UDP
// datagram the program sends is lost, held back or sent twice, as the
// environment says. Preloaded into every program of a game, it spoils both
// directions. Other sockets (TCP, Unix, the X server) and files pass as they
// are.
//
//   BADNET_LOSS=0.1         share of datagrams lost
//   BADNET_DELAY_MS=100     time each datagram is held back...
//   BADNET_JITTER_MS=20     ...give or take up to this (reorders them)
//   BADNET_DUP=0.01         share sent twice (the copy with its own delay)
//   BADNET_REORDER=0.05     share held back a further BADNET_REORDER_MS (20)
//   BADNET_BURST=S:L:P      from S ms after the start, for L ms, loss P
//   BADNET_BURST_FILE=F     ...the start counted from F's modification time
//                           instead, no window before F exists
//   BADNET_SEED=7           the random choices repeat
//   BADNET_STATS=F          counters written to F ("%p": the process id),
//                           at exit and at most once a second as they change
//
// Held datagrams wait in a timed queue that a thread of the library sends
// from, through a duplicate of the socket: they still go out from the
// program's address when it has closed the socket, and at exit the library
// waits (2 s at most) until the last has gone.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// The C library's function of that name, looked up on the first call.
#define REAL(name) (reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name)))
#define CALL_REAL(name, ...)                    \
    static const auto real_##name = REAL(name); \
    return real_##name(__VA_ARGS__)

ssize_t RealSendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t toLength)
{
    CALL_REAL(sendto, fd, buf, len, flags, to, toLength);
}

double Number(const char* name, double otherwise = 0)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atof(v) : otherwise;
}

struct Held {
    Clock::time_point due;
    uint64_t order;  // equal times keep their order
    int fd;          // a duplicate, closed once sent
    std::vector<char> bytes;
    sockaddr_storage to;
    socklen_t toLength;
    bool operator>(const Held& o) const { return due != o.due ? due > o.due : order > o.order; }
};

struct Network {
    double loss = Number("BADNET_LOSS"), dup = Number("BADNET_DUP"), reorder = Number("BADNET_REORDER");
    double delayMs = Number("BADNET_DELAY_MS"), jitterMs = Number("BADNET_JITTER_MS");
    double reorderMs = Number("BADNET_REORDER_MS", 20);
    double burstStart = 0, burstLength = 0, burstLoss = 0;
    std::string burstFile, stats;
    std::atomic<bool> active = false;

    std::mutex lock;
    std::condition_variable wake;
    std::priority_queue<Held, std::vector<Held>, std::greater<>> queue;
    uint64_t order = 0;
    std::thread sender;
    pid_t senderPid = 0;
    bool stopping = false;
    std::mt19937_64 random;
    // The burst window's origin, wall-clock ms; 0: none yet.
    double origin = 0;
    Clock::time_point lastLook, lastStats;

    uint64_t sent = 0, dropped = 0, delayed = 0, duplicated = 0, written = ~0ull;

    Network()
    {
        const char* burst = std::getenv("BADNET_BURST");
        if (burst != nullptr) std::sscanf(burst, "%lf:%lf:%lf", &burstStart, &burstLength, &burstLoss);
        if (const char* f = std::getenv("BADNET_BURST_FILE")) burstFile = f;
        if (const char* f = std::getenv("BADNET_STATS")) stats = f;
        const char* seed = std::getenv("BADNET_SEED");
        random.seed(seed != nullptr ? std::strtoull(seed, nullptr, 10) : std::random_device{}());
        origin = burstFile.empty() ? WallMs() : 0;
        active = loss > 0 || dup > 0 || reorder > 0 || delayMs > 0 || jitterMs > 0 || burstLoss > 0 || !stats.empty();
    }

    static double WallMs()
    {
        using namespace std::chrono;
        return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
    }
    double Uniform() { return std::uniform_real_distribution<double>(0, 1)(random); }

    // The loss now: the burst's inside its window. Called with the lock held.
    double LossNow(Clock::time_point now)
    {
        if (burstLoss <= 0) return loss;
        if (!burstFile.empty() && origin == 0 && now - lastLook > Ms(50)) {
            lastLook = now;
            struct stat st;
            if (::stat(burstFile.c_str(), &st) == 0) origin = st.st_mtim.tv_sec * 1e3 + st.st_mtim.tv_nsec / 1e6;
        }
        const double t = WallMs() - origin;
        return origin > 0 && t >= burstStart && t < burstStart + burstLength ? std::max(loss, burstLoss) : loss;
    }

    void WriteStats()
    {
        if (stats.empty() || written == sent + dropped + delayed + duplicated) return;
        written = sent + dropped + delayed + duplicated;
        std::string path = stats;
        if (size_t at = path.find("%p"); at != std::string::npos) path.replace(at, 2, std::to_string(getpid()));
        const std::string part = path + ".part";
        if (FILE* f = std::fopen(part.c_str(), "w")) {
            std::fprintf(f, "sent %llu\ndropped %llu\ndelayed %llu\nduplicated %llu\n", (unsigned long long)sent,
                         (unsigned long long)dropped, (unsigned long long)delayed, (unsigned long long)duplicated);
            std::fclose(f);
            std::rename(part.c_str(), path.c_str());
        }
    }

    // Sends the held datagrams when they are due.
    void Run()
    {
        std::unique_lock<std::mutex> hold(lock);
        while (!stopping || !queue.empty()) {
            if (queue.empty()) {
                wake.wait(hold);
                continue;
            }
            // A copy: the wait lets senders in, whose pushes may move the queue.
            if (const Clock::time_point due = queue.top().due; Clock::now() < due) {
                wake.wait_until(hold, due);
                continue;
            }
            Held h = queue.top();
            queue.pop();
            hold.unlock();
            RealSendto(h.fd, h.bytes.data(), h.bytes.size(), MSG_NOSIGNAL,
                       h.toLength > 0 ? reinterpret_cast<sockaddr*>(&h.to) : nullptr, h.toLength);
            ::close(h.fd);
            hold.lock();
        }
    }

    void Hold(int fd, const char* data, size_t size, const sockaddr* to, socklen_t toLength, double ms)
    {
        Held h{Clock::now() + std::chrono::microseconds(int64_t(ms * 1000)), order++, -1, {data, data + size}, {}, 0};
        h.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (h.fd < 0) return;
        if (to != nullptr && toLength <= sizeof h.to) std::memcpy(&h.to, to, toLength), h.toLength = toLength;
        if (senderPid != getpid()) {
            new (&sender) std::thread;  // after a fork the parent's thread is not ours
            sender = std::thread([this] { Run(); });
            senderPid = getpid();
        }
        queue.push(std::move(h));
        wake.notify_one();
    }

    // What becomes of one datagram; now() sends it unchanged and at once.
    template <class Now>
    ssize_t Datagram(int fd, const std::vector<char>& bytes, const sockaddr* to, socklen_t toLength, Now now)
    {
        std::unique_lock<std::mutex> hold(lock);
        if (!active) return hold.unlock(), now();
        const auto t = Clock::now();
        ++sent;
        if (t - lastStats > std::chrono::seconds(1)) lastStats = t, WriteStats();
        if (Uniform() < LossNow(t)) return ++dropped, ssize_t(bytes.size());
        const int copies = Uniform() < dup ? 2 : 1;
        duplicated += copies - 1;
        ssize_t result = ssize_t(bytes.size());
        for (int c = 0; c < copies; ++c) {
            double ms = std::max(0.0, delayMs + jitterMs * (2 * Uniform() - 1));
            if (reorder > 0 && Uniform() < reorder) ms += reorderMs;
            if (ms <= 0) {
                hold.unlock();
                result = now();
                hold.lock();
            } else {
                ++delayed;
                Hold(fd, bytes.data(), bytes.size(), to, toLength, ms);
            }
        }
        return result;
    }

    // At exit: the counters written, the held datagrams sent; from then on
    // every datagram goes out unchanged.
    void Finish()
    {
        {
            std::unique_lock<std::mutex> hold(lock);
            if (stopping) return;
            stopping = true;
            active = false;
            written = ~0ull;
            WriteStats();
        }
        wake.notify_one();
        if (sender.joinable() && senderPid == getpid()) {
            // The last held datagrams go out; a network does not stop with its sender.
            const auto until = Clock::now() + std::chrono::seconds(2);
            while (Clock::now() < until && [&] {
                std::lock_guard<std::mutex> g(lock);
                return !queue.empty();
            }())
                std::this_thread::sleep_for(Ms(5));
            if (Clock::now() < until)
                sender.join();
            else
                sender.detach();
        }
    }
};

Network& Net()
{
    static Network* net = new Network;  // never destroyed: sends may come late in the exit
    return *net;
}

__attribute__((destructor)) void Finish() { Net().Finish(); }

// An IPv4 or IPv6 datagram socket; the library acts on nothing else.
bool Udp(int fd)
{
    if (!Net().active) return false;
    int type = 0;
    socklen_t n = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n) != 0 || type != SOCK_DGRAM) return false;
    sockaddr_storage a;
    n = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 &&
           (a.ss_family == AF_INET || a.ss_family == AF_INET6);
}

ssize_t RealSend(int fd, const void* buf, size_t len, int flags) { CALL_REAL(send, fd, buf, len, flags); }
ssize_t RealWrite(int fd, const void* buf, size_t len) { CALL_REAL(write, fd, buf, len); }
ssize_t RealWritev(int fd, const iovec* iov, int count) { CALL_REAL(writev, fd, iov, count); }
ssize_t RealSendmsg(int fd, const msghdr* msg, int flags) { CALL_REAL(sendmsg, fd, msg, flags); }
int RealSendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags) { CALL_REAL(sendmmsg, fd, msgs, count, flags); }

std::vector<char> Gather(const iovec* iov, size_t count)
{
    std::vector<char> bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.insert(bytes.end(), static_cast<const char*>(iov[i].iov_base),
                     static_cast<const char*>(iov[i].iov_base) + iov[i].iov_len);
    return bytes;
}

std::vector<char> Bytes(const void* data, size_t size)
{
    return {static_cast<const char*>(data), static_cast<const char*>(data) + size};
}

}  // namespace

extern "C" {

ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t toLength)
{
    if (!Udp(fd)) return RealSendto(fd, buf, len, flags, to, toLength);
    return Net().Datagram(fd, Bytes(buf, len), to, toLength,
                          [&] { return RealSendto(fd, buf, len, flags, to, toLength); });
}

ssize_t send(int fd, const void* buf, size_t len, int flags)
{
    if (!Udp(fd)) return RealSend(fd, buf, len, flags);
    return Net().Datagram(fd, Bytes(buf, len), nullptr, 0, [&] { return RealSend(fd, buf, len, flags); });
}

ssize_t write(int fd, const void* buf, size_t len)
{
    if (!Udp(fd)) return RealWrite(fd, buf, len);
    return Net().Datagram(fd, Bytes(buf, len), nullptr, 0, [&] { return RealWrite(fd, buf, len); });
}

ssize_t writev(int fd, const iovec* iov, int count)
{
    if (!Udp(fd)) return RealWritev(fd, iov, count);
    return Net().Datagram(fd, Gather(iov, size_t(count)), nullptr, 0, [&] { return RealWritev(fd, iov, count); });
}

ssize_t sendmsg(int fd, const msghdr* msg, int flags)
{
    if (!Udp(fd)) return RealSendmsg(fd, msg, flags);
    return Net().Datagram(fd, Gather(msg->msg_iov, msg->msg_iovlen), static_cast<const sockaddr*>(msg->msg_name),
                          msg->msg_namelen, [&] { return RealSendmsg(fd, msg, flags); });
}

int sendmmsg(int fd, mmsghdr* msgs, unsigned count, int flags)
{
    if (!Udp(fd)) return RealSendmmsg(fd, msgs, count, flags);
    for (unsigned i = 0; i < count; ++i) {
        const ssize_t n = sendmsg(fd, &msgs[i].msg_hdr, flags);
        if (n < 0) return i > 0 ? int(i) : -1;
        msgs[i].msg_len = unsigned(n);
    }
    return int(count);
}

}  // extern "C"
