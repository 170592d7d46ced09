// quorvex-switcher-sim: a stand-in for the routing switcher on the serial line.
//
// Serves the protocol of switcher_sim.h on a fresh pseudo-terminal (default)
// or on a real serial device, so the server can be run and load-tested
// without hardware. Usage and wire shapes: docs/simulator.md.
#include "switcher_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

// Unsolicited frames are only queued while less than this is waiting, so a
// pty nobody reads does not grow our memory without bound.
constexpr std::size_t kUnsolicitedBacklog = 4096;

struct Options {
    const char* device = nullptr;
    long baud = 9600;
    double statusRate = 0;
    double quitAfter = 0;
};

void Usage(std::FILE* to) {
    std::fputs(
        "usage: quorvex-switcher-sim [--device PATH [--baud N]] [--status-rate N]\n"
        "                            [--quit-after SECONDS]\n"
        "Without --device a pseudo-terminal is opened and its path printed as\n"
        "'DEVICE /dev/pts/N' on the first line of stdout.\n",
        to);
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        char* end = nullptr;
        if (a == "--device") {
            o.device = v;
            continue;
        }
        const double n = std::strtod(v, &end);
        if (end == v || *end != '\0' || n < 0) return false;
        if (a == "--baud")
            o.baud = static_cast<long>(n);
        else if (a == "--status-rate")
            o.statusRate = n;
        else if (a == "--quit-after")
            o.quitAfter = n;
        else
            return false;
    }
    return true;
}

speed_t BaudConstant(long baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

// Raw 8N1, no flow control; the speed only matters on a real device.
bool MakeRaw(int fd, speed_t speed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SetNonBlocking(int fd) {
    const int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        Usage(stderr);
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: poll() must wake up
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int fd = -1;     // the side we serve on
    int slave = -1;  // held open in pty mode so the master never sees a hang-up
    std::string path;
    if (opt.device) {
        const speed_t speed = BaudConstant(opt.baud);
        if (speed == B0) {
            std::fprintf(stderr, "unsupported baud rate %ld\n", opt.baud);
            return 2;
        }
        fd = open(opt.device, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || !MakeRaw(fd, speed)) {
            std::fprintf(stderr, "%s: %s\n", opt.device, std::strerror(errno));
            return 1;
        }
        path = opt.device;
    } else {
        if (openpty(&fd, &slave, nullptr, nullptr, nullptr) != 0 || !MakeRaw(slave, B0) ||
            !SetNonBlocking(fd)) {
            std::fprintf(stderr, "openpty: %s\n", std::strerror(errno));
            return 1;
        }
        const char* name = ttyname(slave);
        path = name ? name : "?";
    }
    std::printf("DEVICE %s\n", path.c_str());
    std::fflush(stdout);

    SwitcherSim sim;
    std::string out;  // bytes still to be written
    const auto start = Clock::now();
    const auto quitAt = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(opt.quitAfter));
    Clock::duration period{};
    if (opt.statusRate > 0)
        period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / opt.statusRate));
    auto nextFrame = start + period;
    int nextDest = 1;
    int rc = 0;

    while (!g_stop) {
        auto now = Clock::now();
        if (opt.quitAfter > 0 && now >= quitAt) break;

        if (opt.statusRate > 0) {
            // After a stall, resume the pace instead of bursting to catch up.
            if (now - nextFrame > std::chrono::seconds(1)) nextFrame = now;
            while (now >= nextFrame) {
                if (out.size() < kUnsolicitedBacklog) out += sim.StatusFrame(nextDest);
                nextDest = nextDest % SwitcherSim::kSize + 1;
                nextFrame += period;
            }
        }

        auto wake = Clock::time_point::max();
        if (opt.statusRate > 0) wake = nextFrame;
        if (opt.quitAfter > 0 && quitAt < wake) wake = quitAt;
        int timeoutMs = -1;
        if (wake != Clock::time_point::max()) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
            timeoutMs = static_cast<int>(ms < 0 ? 0 : ms > 1000 ? 1000 : ms);
        }

        pollfd p{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        const int n = poll(&p, 1, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            rc = 1;
            break;
        }
        if (p.revents & (POLLERR | POLLNVAL)) {
            std::fprintf(stderr, "%s: line error\n", path.c_str());
            rc = 1;
            break;
        }
        if (p.revents & (POLLIN | POLLHUP)) {
            char buf[4096];
            const ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) {
                out += sim.Feed(std::string_view(buf, static_cast<std::size_t>(got)));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::fprintf(stderr, "%s: line closed\n", path.c_str());
                rc = 1;
                break;
            }
        }
        while (!out.empty()) {
            const ssize_t put = write(fd, out.data(), out.size());
            if (put > 0) {
                out.erase(0, static_cast<std::size_t>(put));
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else if (put < 0 && errno == EAGAIN) {
                break;  // poll() tells us when there is room again
            } else {
                std::perror("write");
                g_stop = 1;
                rc = 1;
                break;
            }
        }
    }

    if (slave >= 0) close(slave);
    close(fd);
    return rc;
}
