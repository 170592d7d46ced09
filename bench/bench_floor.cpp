// Floor figures of the relay: the real executable run as a process, and ser2net (a
// serial-to-network proxy) beside it when it is installed, measured by the same code. The
// switcher is a pseudo-terminal this program holds; clients are non-blocking TCP sockets on
// 127.0.0.1 read through one epoll set, so that a single benchmark thread keeps up with hundreds
// of them and is not what is measured. Each figure starts a fresh server. Prints one markdown
// table at the end; asserts nothing.
//   bench_floor [--rounds N] [--quorvex PATH] [--ser2net PATH|none] [--figures 1,2,...]
//               [--chardelay]
#include <sys/epoll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench_kit.h"

namespace {

using namespace qv::bench;

constexpr const char* kProgram = "bench_floor";
constexpr int kTakeBytes = 7;
constexpr long kMaxRounds = 1000;

// Samples. The first kWarmSamples of every round are run and thrown away.
constexpr int kWarmSamples = 10;
constexpr int kLatencySamples = 200;       // per round, figures 1 and 2
constexpr Ns kSampleGapNs = 2 * kNsPerMs;  // quiet between samples, so each stands alone
constexpr int kFanoutClients = 500;
constexpr int kFanoutSamples = 40;
constexpr Ns kFanoutGapNs = 5 * kNsPerMs;
constexpr int kBurstFrames = 200;
constexpr int kBurstSamples = 20;
constexpr Ns kBurstGapNs = 20 * kNsPerMs;
constexpr Ns kLagStreamNs = 2 * kNsPerS;
constexpr int kLagStreams = 3;  // per round
constexpr int kIdleClients = 1000;
static_assert(kIdleClients < kSer2netMaxConnections, "ser2net must take every idle client");
constexpr Ns kSettleNs = 500 * kNsPerMs;  // before reading memory, so allocations have landed
constexpr int kCpuClients = 100;
constexpr Ns kCpuStreamNs = 5 * kNsPerS;

constexpr int kMaxEvents = 1024;
constexpr int kReadChunk = 65536;

// A take as a client sends it: DC4 and six digits.
std::string Take(int i) {
    return std::string("\x14") + std::to_string(100000 + i % 900000);
}

// Clients on 127.0.0.1, all in one epoll set. "Arming" sets, for a range of clients, how many
// more bytes each is to receive; Wait then reads until every armed client has them.
class Clients {
  public:
    Clients() : ep_(::epoll_create1(EPOLL_CLOEXEC)) {}
    ~Clients() {
        for (const C& c : c_)
            if (c.fd >= 0) ::close(c.fd);
        ::close(ep_);
    }
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    std::size_t size() const { return c_.size(); }
    int fd(std::size_t i) const { return c_[i].fd; }
    // The last bytes client i received (kept for checking content), at most kKeep of them.
    const std::string& tail(std::size_t i) const { return c_[i].tail; }

    // Connects n more logged-in clients; false unless each got its greeting.
    bool Connect(int port, int n) {
        std::string failure;
        for (const int fd : ConnectLoggedIn(port, n, failure)) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = c_.size();
            ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
            c_.push_back(C{fd, 0, 0, {}});
        }
        return failure.empty();
    }
    // Clients [from, to) are each to receive n more bytes; all others are not waited for.
    void Arm(std::size_t n, std::size_t from = 0, std::size_t to = SIZE_MAX) {
        to = std::min(to, c_.size());
        missing_ = 0;
        for (std::size_t i = 0; i < c_.size(); ++i) {
            c_[i].want = i >= from && i < to ? c_[i].got + n : 0;
            missing_ += c_[i].got < c_[i].want;
        }
    }
    // Reads until every armed client has its bytes; the time it happened, or -1 at the deadline
    // or when an armed client is gone.
    Ns Wait(Ns deadline) {
        while (missing_ > 0) {
            if (Now() >= deadline || gone_) return -1;
            Pump(deadline);
        }
        return Now();
    }
    // Reads whatever arrives until the deadline or the first arrival, whichever comes first.
    void Pump(Ns deadline) {
        pollfd p{ep_, POLLIN, 0};
        const timespec t = Until(deadline);
        if (::ppoll(&p, 1, &t, nullptr) <= 0) return;
        epoll_event ev[kMaxEvents];
        const int n = ::epoll_wait(ep_, ev, kMaxEvents, 0);
        const Ns at = Now();
        for (int k = 0; k < n; ++k) ReadOne(std::size_t(ev[k].data.u64), at);
    }
    // When the last armed client completed.
    Ns done() const { return done_; }
    bool gone() const { return gone_; }

  private:
    static constexpr std::size_t kKeep = 4096;
    struct C {
        int fd = -1;
        std::size_t got = 0, want = 0;
        std::string tail;
    };
    void ReadOne(std::size_t i, Ns at) {
        C& c = c_[i];
        char buf[kReadChunk];
        // Level-triggered: one read per wake-up, the rest comes with the next one.
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n > 0) {
            const bool short_before = c.got < c.want;
            c.got += std::size_t(n);
            c.tail.append(buf, std::size_t(n));
            if (c.tail.size() > kKeep) c.tail.erase(0, c.tail.size() - kKeep);
            if (short_before && c.got >= c.want && --missing_ == 0) done_ = at;
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        c.fd = -1;
        gone_ = true;
    }
    int ep_;
    std::vector<C> c_;
    std::size_t missing_ = 0;
    Ns done_ = 0;
    bool gone_ = false;
};

// One figure's samples for one server, or why there are none.
struct Samples {
    std::vector<double> v;
    std::string failure;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))];
}

// A fresh pty, a server on it and n logged-in clients, for one round of one figure.
struct Setup {
    Pty pty;
    ServerProcess server;
    Clients clients;
    std::string failure;
    Setup(const Kind& kind, int n) : server(kind, pty.path()) {
        if (pty.path().empty()) {
            failure = "no pseudo-terminal";
        } else if (!server.running()) {
            failure = "did not start: " + server.Stderr();
        } else if (!clients.Connect(server.port(), n)) {
            failure = "clients not taken: " + server.Stderr();
        }
    }
    // Single frames to every client until the server's paths are warm; false if one got lost.
    bool Warm() {
        for (int i = 0; i < kWarmSamples; ++i) {
            clients.Arm(kFrameBytes);
            if (!pty.Write(Frame(i)) || clients.Wait(Now() + kWaitNs) < 0) return false;
            SleepNs(kSampleGapNs);
        }
        return true;
    }
    // Frames written one at a time as a UART at kBaud would deliver them, for ns, while the
    // clients read; the time of the last write, or -1.
    Ns Stream(Ns ns) {
        const int frames = int(ns / kFrameWireNs);
        clients.Arm(std::size_t(frames) * kFrameBytes);
        const Ns start = Now();
        Ns last = -1;
        for (int k = 0; k < frames; ++k) {
            const Ns due = start + k * kFrameWireNs;
            while (Now() < due) clients.Pump(due);
            if (!pty.Write(Frame(k))) return -1;
            last = Now();
        }
        return last;
    }
};

using Figure = std::function<Samples(const Kind&, int round)>;

// 1: a take from one client until the switcher has all seven bytes.
Samples TakeToSwitcher(const Kind& kind, int) {
    Setup s(kind, 1);
    if (!s.failure.empty()) return {{}, s.failure};
    Samples out;
    for (int i = 0; i < kWarmSamples + kLatencySamples; ++i) {
        (void)s.pty.ReadAvailable();
        const std::string take = Take(i);
        const Ns t0 = Now();
        if (::write(s.clients.fd(0), take.data(), take.size()) != ssize_t(take.size()))
            return {{}, "client write failed"};
        const std::string got = s.pty.Read(take.size(), t0 + kWaitNs);
        const Ns t1 = Now();
        if (got != take) return {{}, "switcher got " + std::to_string(got.size()) + " bytes"};
        if (i >= kWarmSamples) out.v.push_back(Ms(t1 - t0));
        s.clients.Pump(Now());  // whatever the server says back is read and ignored
        SleepNs(kSampleGapNs);
    }
    return out;
}

// 2: a frame at the switcher until one logged-in client has all ten bytes.
Samples FrameToClient(const Kind& kind, int) {
    Setup s(kind, 1);
    if (!s.failure.empty()) return {{}, s.failure};
    Samples out;
    for (int i = 0; i < kWarmSamples + kLatencySamples; ++i) {
        const std::string frame = Frame(i);
        s.clients.Arm(frame.size());
        const Ns t0 = Now();
        if (!s.pty.Write(frame)) return {{}, "switcher line full"};
        const Ns t1 = s.clients.Wait(t0 + kWaitNs);
        if (t1 < 0) return {{}, "frame not relayed"};
        const std::string& tail = s.clients.tail(0);
        if (tail.substr(tail.size() - frame.size()) != frame) return {{}, "frame relayed changed"};
        if (i >= kWarmSamples) out.v.push_back(Ms(t1 - t0));
        SleepNs(kSampleGapNs);
    }
    return out;
}

// 3: a frame at the switcher until the last of kFanoutClients clients has it.
Samples FrameToLastOfMany(const Kind& kind, int) {
    Setup s(kind, kFanoutClients);
    if (!s.failure.empty()) return {{}, s.failure};
    if (!s.Warm()) return {{}, "warm-up frame lost"};
    Samples out;
    for (int i = 0; i < kFanoutSamples; ++i) {
        s.clients.Arm(kFrameBytes);
        const Ns t0 = Now();
        if (!s.pty.Write(Frame(i))) return {{}, "switcher line full"};
        const Ns t1 = s.clients.Wait(t0 + kWaitNs);
        if (t1 < 0) return {{}, "frame not relayed to every client"};
        out.v.push_back(Ms(t1 - t0));
        SleepNs(kFanoutGapNs);
    }
    return out;
}

// 4: kBurstFrames frames written at once at the switcher until the one client has them all.
Samples BurstToClient(const Kind& kind, int) {
    Setup s(kind, 1);
    if (!s.failure.empty()) return {{}, s.failure};
    if (!s.Warm()) return {{}, "warm-up frame lost"};
    std::string burst;
    for (int i = 0; i < kBurstFrames; ++i) burst += Frame(i);
    Samples out;
    for (int i = 0; i < kBurstSamples; ++i) {
        s.clients.Arm(burst.size());
        const Ns t0 = Now();
        if (!s.pty.Write(burst)) return {{}, "switcher line full"};
        const Ns t1 = s.clients.Wait(t0 + kWaitNs);
        if (t1 < 0) return {{}, "burst not relayed whole"};
        const std::string& tail = s.clients.tail(0);
        if (tail.substr(tail.size() - burst.size()) != burst) return {{}, "burst relayed changed"};
        out.v.push_back(Ms(t1 - t0));
        SleepNs(kBurstGapNs);
    }
    return out;
}

// 5: after a stream at line speed, from the last frame's write until the client has it.
Samples LagAfterStream(const Kind& kind, int) {
    Setup s(kind, 1);
    if (!s.failure.empty()) return {{}, s.failure};
    if (!s.Warm()) return {{}, "warm-up frame lost"};
    Samples out;
    for (int i = 0; i < kLagStreams; ++i) {
        const Ns last = s.Stream(kLagStreamNs);
        const Ns done = last < 0 ? -1 : s.clients.Wait(last + kWaitNs);
        if (done < 0) return {{}, "stream not relayed whole"};
        out.v.push_back(Ms(done - last));
        SleepNs(kBurstGapNs);
    }
    return out;
}

// 6: resident memory with kIdleClients idle logged-in clients minus with none, per client.
Samples MemoryPerClient(const Kind& kind, int) {
    Setup s(kind, 0);
    if (!s.failure.empty()) return {{}, s.failure};
    SleepNs(kSettleNs);
    const Memory before = MemoryOf(s.server.pid());
    if (!s.clients.Connect(s.server.port(), kIdleClients)) return {{}, "clients not taken"};
    SleepNs(kSettleNs);
    const Memory after = MemoryOf(s.server.pid());
    const auto per = [](long a, long b) { return double(a - b) * 1024.0 / 1000.0 / kIdleClients; };
    std::fprintf(stderr,
                 "    %s: %d idle clients: Rss %+ld KiB, Pss %+ld KiB, private %+ld KiB "
                 "(%.2f / %.2f / %.2f kB a client)\n",
                 kind.name.c_str(), kIdleClients, after.rss - before.rss, after.pss - before.pss,
                 after.priv - before.priv, per(after.rss, before.rss), per(after.pss, before.pss),
                 per(after.priv, before.priv));
    return {{per(after.rss, before.rss)}, {}};
}

// 7: server CPU while kCpuClients clients take a stream at line speed, frame by frame.
Samples CpuWhileStreaming(const Kind& kind, int) {
    Setup s(kind, kCpuClients);
    if (!s.failure.empty()) return {{}, s.failure};
    if (!s.Warm()) return {{}, "warm-up frame lost"};
    const Ns cpu0 = CpuNs(s.server.pid());
    const Ns t0 = Now();
    const Ns last = s.Stream(kCpuStreamNs);
    const Ns done = last < 0 ? -1 : s.clients.Wait(last + kWaitNs);
    if (done < 0) return {{}, "stream not relayed whole"};
    const Ns cpu1 = CpuNs(s.server.pid());
    return {{100.0 * double(cpu1 - cpu0) / double(done - t0)}, {}};
}

struct Row {
    int number;
    const char* name;
    const char* unit;
    const char* target;
    Figure run;
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {1, "client → switcher, 7 bytes, p50", "ms", "≤ 0.25 ms", TakeToSwitcher},
        {2, "switcher → 1 client, 10-byte frame, p50", "ms", "≤ 0.30 ms", FrameToClient},
        {3, "last of 500 clients has the frame, p50", "ms", "≤ 6 ms", FrameToLastOfMany},
        {4, "200-frame burst to 1 client, warm", "ms", "≤ 0.5 ms", BurstToClient},
        {5, "lag after a 115,200-baud stream", "ms", "≤ 0.5 ms", LagAfterStream},
        {6, "server memory per idle client", "kB", "≤ 4 KiB", MemoryPerClient},
        {7, "CPU, 100 clients, 115,200-baud stream arriving frame by frame (as a UART delivers it)",
         "% of a core", "≤ 20 % of a core", CpuWhileStreaming},
    };
    return rows;
}

std::string Cell(const Row& row, const Samples& s) {
    if (!s.failure.empty()) return "failed";
    if (s.v.empty()) return "-";
    char buf[64];
    const double m = Median(s.v);
    if (std::string(row.unit) == "ms")
        std::snprintf(buf, sizeof buf, "%.2f ms", m);
    else if (std::string(row.unit) == "kB")
        std::snprintf(buf, sizeof buf, "%.1f kB", m);
    else
        std::snprintf(buf, sizeof buf, "%.0f %%", m);
    return buf;
}

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin";
    std::istringstream s(dirs);
    for (std::string d; std::getline(s, d, ':');) {
        const std::string p = d + "/" + name;
        if (!d.empty() && ::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

void Usage() {
    std::printf(
        "bench_floor [--rounds N] [--quorvex PATH] [--ser2net PATH|none] [--figures LIST] "
        "[--chardelay]\n"
        "  --rounds N      rounds per figure, a fresh server each (default 2)\n"
        "  --quorvex PATH  the server to measure (default: quorvex beside this program)\n"
        "  --ser2net PATH  ser2net to measure beside it (default: found on PATH; none: skip)\n"
        "  --figures LIST  which figures, e.g. 1,2,7 (default: all of 1-7)\n"
        "  --chardelay     run ser2net with its default delay of two characters\n");
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2;
    std::string quorvex = QuorvexBeside(argv[0]);
    std::string ser2net = FindOnPath("ser2net");
    bool chardelay = false;
    std::set<int> figures;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) BadOption(kProgram, a, "", "a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--rounds") {
            rounds = int(ParseWhole(kProgram, a, value(), 1, kMaxRounds));
        } else if (a == "--quorvex") {
            quorvex = value();
        } else if (a == "--ser2net") {
            ser2net = value();
            if (ser2net == "none") ser2net.clear();
        } else if (a == "--figures") {
            const std::string v = value();
            std::istringstream s(v);
            for (std::string f; std::getline(s, f, ',');) {
                if (f.size() != 1 || f[0] < '1' || f[0] > '7')
                    BadOption(kProgram, a, v, "figure numbers from 1 to 7, e.g. 1,3,7");
                figures.insert(f[0] - '0');
            }
        } else if (a == "--chardelay") {
            chardelay = true;
        } else {
            BadOption(kProgram, kProgram, a, "one of the options of --help");
        }
    }
    if (figures.empty())
        for (const Row& r : Rows()) figures.insert(r.number);
    RequireServer(kProgram, quorvex);
    PrepareProcess();

    std::vector<Kind> kinds;
    if (!ser2net.empty())
        kinds.push_back(
            {chardelay ? "ser2net (delay on)" : "ser2net (delay off)", ser2net, true, chardelay});
    kinds.push_back({"quorvex", quorvex, false, false});

    std::map<std::pair<int, std::string>, Samples> results;
    for (const Row& row : Rows()) {
        if (!figures.count(row.number)) continue;
        for (int r = 0; r < rounds; ++r) {
            // Servers take turns within a round, so a drift of the machine hits both alike.
            for (const Kind& k : kinds) {
                Samples s = row.run(k, r);
                Samples& all = results[{row.number, k.name}];
                if (!s.failure.empty()) {
                    all.failure = s.failure;
                    std::fprintf(stderr, "  %d. %s, round %d: %s\n", row.number, k.name.c_str(),
                                 r + 1, s.failure.c_str());
                    continue;
                }
                std::fprintf(stderr, "  %d. %s, round %d: p50 %.3f, p10 %.3f, p90 %.3f %s (%zu)\n",
                             row.number, k.name.c_str(), r + 1, Median(s.v), Quantile(s.v, 0.1),
                             Quantile(s.v, 0.9), row.unit, s.v.size());
                all.v.insert(all.v.end(), s.v.begin(), s.v.end());
            }
        }
    }

    std::printf("\n| figure | %s | quorvex | target |\n|---|---|---|---|\n",
                chardelay ? "ser2net (delay on)" : "ser2net (delay off)");
    for (const Row& row : Rows()) {
        if (!figures.count(row.number)) continue;
        std::string ser = "-";
        for (const Kind& k : kinds)
            if (k.ser2net) ser = Cell(row, results[{row.number, k.name}]);
        std::printf("| %s | %s | %s | %s |\n", row.name, ser.c_str(),
                    Cell(row, results[{row.number, "quorvex"}]).c_str(), row.target);
    }
    std::printf("\n%d round(s); p50 over the samples of all rounds; each round a fresh server.\n",
                rounds);
    return 0;
}
