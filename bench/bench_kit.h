// What the benchmark programs share: the clock, the switcher's frames, the switcher's end of a
// pseudo-terminal, client sockets on 127.0.0.1 that log in, the server run as a process on a
// folder of its own, its CPU time and memory from /proc, and the handling of options.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ini_text.h"

namespace qv::bench {

using Ns = long long;
constexpr Ns kNsPerMs = 1'000'000;
constexpr Ns kNsPerS = 1'000'000'000;

// One UART character at 115,200 baud, 8N1, is ten bits on the wire.
constexpr int kBaud = 115200;
constexpr int kBitsPerChar = 10;
constexpr int kFrameBytes = 10;
constexpr Ns kFrameWireNs = Ns(kFrameBytes) * kBitsPerChar * kNsPerS / kBaud;  // about 0.87 ms

// A frame's number is its eight digits, so frame numbers wrap here.
constexpr int kFrameDigits = 8;
constexpr long long kFrameNumbers = 100'000'000;
constexpr char kCan = 0x18;
// The character after CAN runs through 1..16: no XON/XOFF (17, 19) a serial line could eat.
constexpr int kFrameCharacters = 16;

// Connections are made this many at a time: below the listen backlog of either server (ser2net
// listens with a backlog of 5; a connection beyond it waits for a SYN retry or stalls).
constexpr int kConnectBatch = 4;
// Longest wait for any one thing: a sample, a batch of greetings, a server to listen or stop.
constexpr Ns kWaitNs = 10 * kNsPerS;
constexpr Ns kRetryNs = 20 * kNsPerMs;
// ser2net refuses connections beyond its max-connections; room for the largest client count used.
constexpr int kSer2netMaxConnections = 1100;

// A client that is logged in hears this first. quorvex says it on its own when no password is set;
// ser2net is given it as its banner, so both tell the benchmark the same way that a connection
// has been taken.
inline const std::string kGreeting = "Login Sucessful\r\n";

inline Ns Now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return Ns(t.tv_sec) * kNsPerS + t.tv_nsec;
}

inline void SleepNs(Ns ns) {
    if (ns <= 0) return;
    const timespec t{time_t(ns / kNsPerS), long(ns % kNsPerS)};
    ::nanosleep(&t, nullptr);
}

// The time left until deadline, for ppoll.
inline timespec Until(Ns deadline) {
    const Ns left = std::max<Ns>(0, deadline - Now());
    return timespec{time_t(left / kNsPerS), long(left % kNsPerS)};
}

inline double Ms(Ns ns) {
    return double(ns) / double(kNsPerMs);
}

inline double Seconds(Ns ns) {
    return double(ns) / double(kNsPerS);
}

// A frame as the switcher prints it: CAN, a character code, eight digits. Here the digits carry
// number mod 10^8 and the character number mod 16 + 1, so a reader can check order and content.
// number is not negative.
inline std::string Frame(long long number) {
    std::string frame(kFrameBytes, '0');
    frame[0] = kCan;
    frame[1] = char(number % kFrameCharacters + 1);
    for (long long rest = number % kFrameNumbers, i = kFrameBytes - 1; rest > 0; rest /= 10, --i)
        frame[std::size_t(i)] = char('0' + rest % 10);
    return frame;
}

// The number of a frame made by Frame (mod 10^8), or nothing when the ten bytes at p are not one.
inline std::optional<long long> FrameNumber(const char* p) {
    if (p[0] != kCan) return std::nullopt;
    long long n = 0;
    for (int i = 2; i < kFrameBytes; ++i) {
        if (p[i] < '0' || p[i] > '9') return std::nullopt;
        n = n * 10 + (p[i] - '0');
    }
    // 10^8 is a multiple of 16, so the character agrees with the digits across the wrap.
    if (p[1] != char(n % kFrameCharacters + 1)) return std::nullopt;
    return n;
}

// The switcher's end of a raw pseudo-terminal; the server opens the slave path.
class Pty {
  public:
    Pty() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        // The server must not inherit either end: only its own open of the path counts.
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        path_ = name;
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    // Writes all of data, waiting while the line is full; false if it stayed full.
    bool Write(const std::string& data) {
        const Ns deadline = Now() + kWaitNs;
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += std::size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{master_, POLLOUT, 0};
            const timespec t = Until(deadline);
            if (Now() >= deadline || ::ppoll(&p, 1, &t, nullptr) < 0) return false;
        }
        return true;
    }
    // Whatever the server has written to the switcher so far.
    std::string ReadAvailable() {
        std::string out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, std::size_t(n));
        }
        return out;
    }
    // Reads until n bytes came; returns them, or fewer if the deadline passed.
    std::string Read(std::size_t n, Ns deadline) {
        std::string got = ReadAvailable();
        while (got.size() < n && Now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            const timespec t = Until(deadline);
            if (::ppoll(&p, 1, &t, nullptr) < 0 && errno != EINTR) break;
            got += ReadAvailable();
        }
        return got;
    }

  private:
    int master_ = -1, slave_ = -1;
    std::string path_;
};

inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A TCP socket to 127.0.0.1:port, or -1. A blocking one is connected on return; a non-blocking one
// may still be connecting. rcvbuf, when not 0, is set before connecting, so the window the server
// is offered is small from the start.
inline int ConnectLoopback(int port, bool nonblocking, int rcvbuf = 0) {
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
        !(nonblocking && errno == EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// n non-blocking clients, connected kConnectBatch at a time, each having read its greeting and
// nothing after it; empty with failure set unless every one was greeted (none is left open then).
inline std::vector<int> ConnectLoggedIn(int port, int n, std::string& failure, int rcvbuf = 0) {
    std::vector<int> fds;
    const auto fail = [&](const std::string& why) {
        for (int fd : fds) ::close(fd);
        fds.clear();
        failure = why;
        return fds;
    };
    while (int(fds.size()) < n) {
        const std::size_t from = fds.size();
        const int batch = std::min<int>(n - int(from), kConnectBatch);
        std::vector<pollfd> p;
        std::vector<std::string> heard(static_cast<std::size_t>(batch));
        for (int k = 0; k < batch; ++k) {
            const int fd = ConnectLoopback(port, true, rcvbuf);
            if (fd < 0) return fail("connection " + std::to_string(fds.size() + 1) + " refused");
            fds.push_back(fd);
            p.push_back(pollfd{fd, POLLIN, 0});
        }
        const Ns deadline = Now() + kWaitNs;
        for (int waiting = batch; waiting > 0;) {
            const timespec t = Until(deadline);
            if (Now() >= deadline || ::ppoll(p.data(), p.size(), &t, nullptr) < 0)
                return fail("no greeting within " + std::to_string(kWaitNs / kNsPerS) + " s");
            for (std::size_t k = 0; k < p.size(); ++k) {
                if (!p[k].revents) continue;
                std::string& h = heard[k];
                char buf[64];
                // No further than the greeting: what follows belongs to whoever reads the client.
                const ssize_t got = ::read(p[k].fd, buf, kGreeting.size() - h.size());
                if (got <= 0 && errno != EAGAIN && errno != EINTR)
                    return fail("connection " + std::to_string(from + k + 1) +
                                " closed before its greeting");
                if (got > 0) h.append(buf, std::size_t(got));
                if (h.size() < kGreeting.size()) continue;
                if (h != kGreeting) return fail("greeted with '" + h + "'");
                p[k].fd = -1;  // ppoll skips it from now on
                --waiting;
            }
        }
    }
    return fds;
}

// Closes a connection with a reset instead of the orderly close: a client that went away hard.
inline void Abort(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

inline bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    return bool(f);
}

struct Kind {
    std::string name;     // column heading
    std::string program;  // executable
    bool ser2net = false;
    bool chardelay = false;  // ser2net only: keep its default delay of two characters
};

// One server process on a folder of its own, stopped with SIGTERM as a service manager does.
class ServerProcess {
  public:
    ServerProcess(const Kind& kind, const std::string& device) {
        char tmpl[] = "/tmp/quorvex-bench.XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        dir_ = tmpl;
        port_ = FreePort();
        std::vector<std::string> args;
        if (kind.ser2net) {
            const std::string conf = dir_ + "/ser2net.yaml";
            std::string options = "    options:\n";
            options +=
                std::string("      chardelay: ") + (kind.chardelay ? "true" : "false") + "\n";
            options += "      max-connections: " + std::to_string(kSer2netMaxConnections) + "\n";
            options += "      banner: \"Login Sucessful\\r\\n\"\n";
            if (!WriteFile(conf,
                           "%YAML 1.1\n---\nconnection: &bench\n    accepter: tcp,127.0.0.1," +
                               std::to_string(port_) + "\n    connector: serialdev," + device +
                               ",115200n81,local\n" + options))
                return;
            args = {kind.program, "-n", "-u", "-P", dir_ + "/ser2net.pid", "-c", conf};
        } else {
            using qv::test::IniText;
            if (!WriteFile(dir_ + "/quorvex.ini", IniText({{"Baud Rate", std::to_string(kBaud)},
                                                           {"TCP/IP Port", std::to_string(port_)},
                                                           {"Stay On Top", "No"}})))
                return;
            args = {kind.program, "--headless", "--dir", dir_, "--com", "1=" + device};
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // The history rows go where a service's journal would take them: nowhere here, so a
            // full pipe never holds the server up.
            const int out = ::open("/dev/null", O_WRONLY);
            const int err = ::open((dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid_ > 0 && !WaitListening()) Stop();
    }
    ~ServerProcess() {
        Stop();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    // Whether the process still runs; once it is found ended, how is kept for Ended.
    bool Alive() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
        pid_ = -1;
        ended_ = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                     : "exited with status " + std::to_string(WEXITSTATUS(status));
        return false;
    }
    // How the process ended on its own, or empty.
    const std::string& Ended() const { return ended_; }
    // The server's complaints so far, for a failure message.
    std::string Stderr() const {
        std::ifstream f(dir_ + "/stderr.txt");
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

  private:
    bool WaitListening() {
        const Ns deadline = Now() + kWaitNs;
        while (Now() < deadline) {
            if (!Alive()) return false;
            const int fd = ConnectLoopback(port_, false);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            SleepNs(kRetryNs);
        }
        return false;
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        const Ns deadline = Now() + kWaitNs;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            SleepNs(kRetryNs);
        }
        pid_ = -1;
    }
    std::string dir_;
    std::string ended_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Server CPU time so far (user + system), from /proc; -1 when the process is gone.
inline Ns CpuNs(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(s.substr(close + 2));
    std::vector<std::string> field;
    for (std::string w; rest >> w;) field.push_back(w);
    // After the command come the fields from number 3 on; utime and stime are 14 and 15.
    if (field.size() < 13) return -1;
    const long ticks = std::stol(field[11]) + std::stol(field[12]);
    return Ns(ticks) * kNsPerS / ::sysconf(_SC_CLK_TCK);
}

// Resident, proportional and private memory of the server in KiB, from /proc.
struct Memory {
    long rss = 0, pss = 0, priv = 0;
};
inline Memory MemoryOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    Memory m;
    // The first line names the address range; then one "Key: value kB" a line.
    for (std::string line; std::getline(f, line);) {
        std::istringstream l(line);
        std::string key;
        long kb = 0;
        if (!(l >> key >> kb)) continue;
        if (key == "Rss:") m.rss = kb;
        if (key == "Pss:") m.pss = kb;
        if (key == "Private_Clean:" || key == "Private_Dirty:") m.priv += kb;
    }
    return m;
}

// The server's resident set in KiB (VmRSS, cheaper to read than smaps_rollup), or -1.
inline long RssKb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
        std::istringstream l(line);
        std::string key;
        long kb = 0;
        if (l >> key >> kb && key == "VmRSS:") return kb;
    }
    return -1;
}

// A thousand clients need a thousand descriptors here and in the server, which inherits the
// limit; a client the server resets must not kill this program on its next write.
inline void PrepareProcess() {
    rlimit nofile{};
    ::getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &nofile);
    ::signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] inline void BadOption(const char* program, const std::string& option,
                                   const std::string& value, const char* wants) {
    std::fprintf(stderr, "%s: %s wants %s, got '%s'\n", program, option.c_str(), wants,
                 value.c_str());
    std::exit(2);
}

// A whole number from min to max, or the program stops with BadOption.
inline long ParseWhole(const char* program, const std::string& option, const std::string& value,
                       long min, long max) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || errno || n < min || n > max) {
        const std::string wants =
            "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        BadOption(program, option, value, wants.c_str());
    }
    return n;
}

// A number (fractions allowed) from min to max, or the program stops with BadOption.
inline double ParseNumber(const char* program, const std::string& option, const std::string& value,
                          double min, double max, const char* wants) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value.c_str(), &end);
    if (value.empty() || *end || errno || !(v >= min) || v > max)
        BadOption(program, option, value, wants);
    return v;
}

// The quorvex executable built beside the program at argv0.
inline std::string QuorvexBeside(const char* argv0) {
    return (std::filesystem::path(argv0).parent_path() / "quorvex").string();
}

// Stops the program (status 2) when path is no executable.
inline void RequireServer(const char* program, const std::string& path) {
    if (::access(path.c_str(), X_OK) == 0) return;
    std::fprintf(stderr, "%s: no server at %s (--quorvex)\n", program, path.c_str());
    std::exit(2);
}

}  // namespace qv::bench
