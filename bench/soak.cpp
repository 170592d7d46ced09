// Soak of the relay: the real executable run as a process for minutes with many logged-in
// clients while a switcher, the pseudo-terminal this program holds, streams numbered frames at
// 115,200 baud. Every well-behaved client checks that it hears each frame once and in order; a
// few clients never read (the server is to put them off); others connect and abort all the time.
// The server's resident memory and CPU are sampled as it goes. A summary comes last on stdout;
// the exit status is 1 when any well-behaved client lost a frame, heard one out of order or a
// byte that is not a frame, or was disconnected, or when the server died.
//   bench_soak [--clients N] [--minutes M] [--stalled K] [--churn R] [--quorvex PATH]
//              [--sample-seconds S]
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_kit.h"

namespace {

using namespace qv::bench;

constexpr const char* kProgram = "bench_soak";

constexpr int kDefaultClients = 1000;
constexpr double kDefaultMinutes = 10;
constexpr int kDefaultStalled = 5;
constexpr double kDefaultChurn = 5;  // connections a second
constexpr double kDefaultSampleSeconds = 10;
constexpr long kMaxClients = 20000;
constexpr double kMinMinutes = 0.05;
constexpr double kMaxMinutes = 24 * 60;
constexpr double kMaxChurn = 1000;
constexpr double kMinSampleSeconds = 0.1;

// A stalled client asks for the smallest receive buffer (the kernel rounds it up to a few kB), so
// its window closes at once and the server is left holding its output.
constexpr int kStalledRcvbuf = 1;
// Churn: how many such clients may be open at once, how long one reads before its abort, and how
// many of them abort as soon as they are connected, before the greeting (one in kEarlyAbortOneIn).
constexpr int kMaxChurnAlive = 50;
constexpr Ns kChurnReadMaxNs = 2 * kNsPerS;
constexpr int kEarlyAbortOneIn = 4;
constexpr unsigned kChurnSeed = 1;  // the same churn every run

// After the last frame is written, how long every client has to hear it.
constexpr Ns kDrainNs = 10 * kNsPerS;
// The client loop wakes at least this often, for churn deadlines.
constexpr Ns kTickNs = 10 * kNsPerMs;
// The switcher side gives up when the server has not read the line for this long.
constexpr Ns kLineFullGiveUpNs = 10 * kNsPerS;

// Memory is judged after a warm-up of a tenth of the stream, a minute at most; growth is measured
// over the last five minutes of the stream, or its last half when it is shorter than ten.
constexpr double kWarmShare = 0.1;
constexpr Ns kWarmMaxNs = 60 * kNsPerS;
constexpr Ns kGrowthWindowNs = 5 * 60 * kNsPerS;

// Disconnections of well-behaved clients are listed one by one up to this many.
constexpr long kDisconnectsShown = 10;

constexpr int kMaxEvents = 1024;
constexpr int kReadChunk = 65536;

struct Options {
    int clients = kDefaultClients;
    double minutes = kDefaultMinutes;
    int stalled = kDefaultStalled;
    double churn = kDefaultChurn;
    std::string quorvex;
    double sample_seconds = kDefaultSampleSeconds;
};

// The switcher: on its own thread, writes frame k at start + k frame times, paced by the clock;
// when it is late (its thread was not run, or the line was full) it writes every frame that is due
// at once, as a UART's FIFO would hand them over. It also drains what the server writes to it.
class Switcher {
  public:
    Switcher(Pty& pty, long long frames) : pty_(pty), frames_(frames) {}
    ~Switcher() { Join(); }
    Switcher(const Switcher&) = delete;
    Switcher& operator=(const Switcher&) = delete;

    void Start(Ns start) {
        start_ = start;
        thread_ = std::thread([this] { Run(); });
    }
    // Asks the thread to stop early and waits for it.
    void Stop() {
        stop_ = true;
        Join();
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    long long written() const { return bytes_ / kFrameBytes; }
    bool done() const { return done_; }
    // Read only once done() is true.
    Ns end() const { return end_; }
    Ns blocked() const { return blocked_; }
    Ns longest_block() const { return longest_block_; }
    long blocks() const { return blocks_; }
    Ns latest() const { return latest_; }
    std::size_t drained() const { return drained_; }
    const std::string& failure() const { return failure_; }

  private:
    void Run() {
        std::string pending;
        long long next = 0;  // the first frame not yet in pending
        Ns blocked_since = -1;
        for (;;) {
            const Ns now = Now();
            if (pending.empty()) {
                if (next == frames_) break;
                const long long due = std::min(frames_, (now - start_) / kFrameWireNs + 1);
                if (due > next) latest_ = std::max(latest_, now - (start_ + next * kFrameWireNs));
                for (; next < due; ++next) pending += Frame(next);
            }
            if (!pending.empty()) {
                const ssize_t n = ::write(pty_.master(), pending.data(), pending.size());
                if (n > 0) {
                    pending.erase(0, std::size_t(n));
                    bytes_ += n;
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    failure_ = std::string("switcher write failed: ") + std::strerror(errno);
                    break;
                }
                const Ns after = Now();
                if (!pending.empty() && blocked_since < 0) {
                    blocked_since = after;
                    ++blocks_;
                } else if (pending.empty() && blocked_since >= 0) {
                    blocked_ += after - blocked_since;
                    longest_block_ = std::max(longest_block_, after - blocked_since);
                    blocked_since = -1;
                }
                if (blocked_since >= 0 && after - blocked_since > kLineFullGiveUpNs) {
                    failure_ = "the server did not read the switcher line for " +
                               std::to_string(kLineFullGiveUpNs / kNsPerS) + " s";
                    break;
                }
            }
            drained_ += pty_.ReadAvailable().size();
            if (stop_) break;
            // Until the next frame is due, or the line has room again; never longer than a tick,
            // so a request to stop is seen.
            const Ns wake = pending.empty() ? start_ + next * kFrameWireNs : Now() + kTickNs;
            pollfd p{pty_.master(), short(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
            const timespec t = Until(std::min(wake, Now() + kTickNs));
            ::ppoll(&p, 1, &t, nullptr);
        }
        if (blocked_since >= 0) blocked_ += Now() - blocked_since;
        end_ = Now();
        done_ = true;
    }

    Pty& pty_;
    const long long frames_;
    Ns start_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<long long> bytes_{0};
    // Written by the thread, read after done_.
    Ns end_ = 0, blocked_ = 0, longest_block_ = 0, latest_ = 0;
    long blocks_ = 0;
    std::size_t drained_ = 0;
    std::string failure_;
};

// A well-behaved client's view of the stream: frames cut from its bytes and checked against the
// number it expects next. A frame further on than expected counts the ones skipped as lost; one
// behind it (repeated or late) counts as out of order.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    bool gone() const { return gone_; }
    Ns gone_at() const { return gone_at_; }
    long long next() const { return next_; }
    long long received() const { return received_; }
    long long lost() const { return lost_; }
    long long reordered() const { return reordered_; }
    long long bad() const { return bad_; }

    void Feed(const char* data, std::size_t n) {
        buf_.append(data, n);
        std::size_t i = 0;
        while (i < buf_.size()) {
            // A byte that does not open a valid frame is counted and skipped, so the reader finds
            // the next frame again.
            if (buf_[i] != kCan) {
                ++bad_;
                ++i;
                continue;
            }
            if (buf_.size() - i < std::size_t(kFrameBytes)) break;
            const std::optional<long long> number = FrameNumber(buf_.data() + i);
            if (!number) {
                ++bad_;
                ++i;
                continue;
            }
            Count(Unwrap(*number));
            i += kFrameBytes;
        }
        buf_.erase(0, i);
    }
    // The stream of `frames` is over: what never came counts as lost.
    void Finish(long long frames) {
        if (next_ < frames) lost_ += frames - next_;
        next_ = std::max(next_, frames);
    }
    void Close(Ns at, bool by_server) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (by_server && !gone_) {
            gone_ = true;
            gone_at_ = at;
        }
    }

  private:
    // The frame number nearest the one expected whose last eight digits are these.
    long long Unwrap(long long digits) const {
        long long n = next_ - next_ % kFrameNumbers + digits;
        if (n > next_ + kFrameNumbers / 2 && n >= kFrameNumbers) n -= kFrameNumbers;
        if (n < next_ - kFrameNumbers / 2) n += kFrameNumbers;
        return n;
    }
    void Count(long long n) {
        ++received_;
        if (n < next_) {
            ++reordered_;
            return;
        }
        lost_ += n - next_;
        next_ = n + 1;
    }
    int fd_;
    bool gone_ = false;
    Ns gone_at_ = 0;
    std::string buf_;
    long long next_ = 0, received_ = 0, lost_ = 0, reordered_ = 0, bad_ = 0;
};

// A client that never reads: only whether and when the server put it off.
struct Stalled {
    int fd = -1;
    Ns put_off_at = -1;  // since the stream started
    std::string how;     // "reset" or "closed"
};

// A churn client's life: connecting, then (unless it aborts at once) waiting for its greeting,
// then reading until its abort.
struct Churner {
    enum class State { Free, Connecting, Greeting, Reading };
    State state = State::Free;
    int fd = -1;
    bool early = false;  // aborts as soon as it is connected
    Ns deadline = 0;     // greeting wait, then the abort
    std::size_t heard = 0;
};

struct ChurnCounts {
    long made = 0, early_aborts = 0, greeted = 0, aborted = 0, refused = 0, no_greeting = 0,
         closed_by_server = 0, cut_short = 0, skipped = 0;
};

struct Sample {
    Ns at = 0;  // since the stream started
    long rss_kb = 0;
    Ns cpu = 0;
    Ns own_cpu = 0;          // this program's, which shares the cores with the server
    Ns span = 0;             // since the sample before
    double cpu_percent = 0;  // over span
    long alive = 0;
    long long frames = 0;
    long long behind = 0;  // frames written that the slowest well-behaved client has not heard
};

// epoll keys: the kind of client in the high half, its index in the low half.
enum class Kind32 : std::uint64_t { Reader = 1, Stalled = 2, Churn = 3 };
std::uint64_t Key(Kind32 kind, std::size_t index) {
    return (std::uint64_t(kind) << 32) | index;
}

class Soak {
  public:
    Soak(const Options& o)
        : o_(o),
          frames_((long long)(o.minutes * 60 * double(kNsPerS) / double(kFrameWireNs))),
          server_(qv::bench::Kind{"quorvex", o.quorvex, false, false}, pty_.path()),
          switcher_(pty_, frames_),
          ep_(::epoll_create1(EPOLL_CLOEXEC)),
          churn_(kMaxChurnAlive),
          rng_(kChurnSeed) {}
    ~Soak() {
        for (Reader& r : readers_) r.Close(0, false);
        for (Stalled& s : stalled_)
            if (s.fd >= 0) ::close(s.fd);
        for (Churner& c : churn_)
            if (c.fd >= 0) ::close(c.fd);
        ::close(ep_);
    }
    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    // Runs it all; the exit status.
    int Run() {
        if (pty_.path().empty()) return Fail("no pseudo-terminal");
        if (!server_.running()) return Fail("the server did not start: " + server_.Stderr());
        std::string failure;
        const std::vector<int> good = ConnectLoggedIn(server_.port(), o_.clients, failure);
        if (!failure.empty()) return Fail("clients not taken: " + failure);
        for (const int fd : good) {
            Watch(fd, EPOLLIN, Key(Kind32::Reader, readers_.size()));
            readers_.emplace_back(fd);
        }
        const std::vector<int> stalled =
            ConnectLoggedIn(server_.port(), o_.stalled, failure, kStalledRcvbuf);
        if (!failure.empty()) return Fail("stalled clients not taken: " + failure);
        for (const int fd : stalled) {
            // Only a hang-up is of interest; EPOLLHUP and EPOLLERR come without asking.
            Watch(fd, EPOLLRDHUP, Key(Kind32::Stalled, stalled_.size()));
            stalled_.push_back(Stalled{fd, -1, {}});
        }
        std::fprintf(stderr,
                     "%d clients and %d that never read logged in; streaming %lld frames "
                     "(%.2f min)\n",
                     o_.clients, o_.stalled, frames_, o_.minutes);

        start_ = Now();
        TakeSample(start_);
        switcher_.Start(start_);
        Loop();
        switcher_.Stop();
        return Report();
    }

  private:
    int Fail(const std::string& why) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return 1;
    }
    void Watch(int fd, std::uint32_t events, std::uint64_t key) {
        epoll_event e{};
        e.events = events;
        e.data.u64 = key;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
    }
    void Unwatch(int fd) { ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr); }

    void Loop() {
        const Ns sample_every = Ns(o_.sample_seconds * double(kNsPerS));
        const Ns churn_every = o_.churn > 0 ? Ns(double(kNsPerS) / o_.churn) : 0;
        Ns next_sample = start_ + sample_every;
        Ns next_churn = start_;
        Ns drain_until = 0;
        epoll_event ev[kMaxEvents];
        for (;;) {
            const Ns now = Now();
            if (!streamed_ && switcher_.done()) {
                streamed_ = true;
                stream_end_ = switcher_.end();
                TakeSample(stream_end_);
                for (std::size_t i = 0; i < churn_.size(); ++i) EndChurner(i, false);
                drain_until = now + kDrainNs;
            }
            if (streamed_ && AllHeardLast()) {
                all_heard_ = now;
                break;
            }
            if (streamed_ && now >= drain_until) break;
            if (!streamed_) {
                if (now >= next_sample) {
                    TakeSample(now);
                    next_sample += sample_every;
                    if (!server_.Alive()) break;
                }
                for (; churn_every > 0 && now >= next_churn; next_churn += churn_every)
                    StartChurner(now);
            }
            for (std::size_t i = 0; i < churn_.size(); ++i)
                if (churn_[i].state != Churner::State::Free && now >= churn_[i].deadline)
                    EndChurner(i, true);

            Ns wake = now + kTickNs;
            if (!streamed_) {
                wake = std::min(wake, next_sample);
                if (churn_every > 0) wake = std::min(wake, next_churn);
            }
            const int timeout_ms = int(std::max<Ns>(0, wake - now + kNsPerMs - 1) / kNsPerMs);
            const int n = ::epoll_wait(ep_, ev, kMaxEvents, timeout_ms);
            const Ns at = Now();
            for (int k = 0; k < n; ++k) {
                const std::uint64_t key = ev[k].data.u64;
                const std::size_t index = std::size_t(key & 0xffffffffu);
                switch (Kind32(key >> 32)) {
                    case Kind32::Reader:
                        ReadReader(index, at);
                        break;
                    case Kind32::Stalled:
                        PutOff(index, ev[k].events, at);
                        break;
                    case Kind32::Churn:
                        ChurnEvent(index, ev[k].events, at);
                        break;
                }
            }
        }
    }

    bool AllHeardLast() const {
        for (const Reader& r : readers_)
            if (!r.gone() && r.next() < frames_) return false;
        return true;
    }

    void ReadReader(std::size_t i, Ns at) {
        Reader& r = readers_[i];
        char buf[kReadChunk];
        // Level-triggered: one read per wake-up, the rest comes with the next one.
        const ssize_t n = ::read(r.fd(), buf, sizeof buf);
        if (n > 0) {
            r.Feed(buf, std::size_t(n));
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        Unwatch(r.fd());
        r.Close(at - start_, true);
        if (++disconnected_ <= kDisconnectsShown)
            std::fprintf(stderr, "  client %zu disconnected at %.1f s\n", i + 1,
                         Seconds(r.gone_at()));
    }

    void PutOff(std::size_t i, std::uint32_t events, Ns at) {
        Stalled& s = stalled_[i];
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        s.how = (events & EPOLLERR) || error == ECONNRESET ? "reset" : "closed";
        s.put_off_at = at - start_;
        Unwatch(s.fd);
        ::close(s.fd);
        s.fd = -1;
        std::fprintf(stderr, "  stalled client %zu put off (%s) at %.1f s\n", i + 1, s.how.c_str(),
                     Seconds(s.put_off_at));
    }

    void StartChurner(Ns now) {
        const auto free = std::find_if(churn_.begin(), churn_.end(), [](const Churner& c) {
            return c.state == Churner::State::Free;
        });
        if (free == churn_.end()) {
            ++counts_.skipped;
            return;
        }
        ++counts_.made;
        const int fd = ConnectLoopback(server_.port(), true);
        if (fd < 0) {
            ++counts_.refused;
            return;
        }
        Churner& c = *free;
        c = Churner{Churner::State::Connecting, fd, rng_() % kEarlyAbortOneIn == 0, now + kWaitNs,
                    0};
        Watch(fd, EPOLLOUT | EPOLLIN | EPOLLRDHUP,
              Key(Kind32::Churn, std::size_t(free - churn_.begin())));
    }

    // A churn client's time is up: the planned abort, or a greeting that never came. With
    // on_time false the stream is over and every churn client goes.
    void EndChurner(std::size_t i, bool on_time) {
        Churner& c = churn_[i];
        if (c.state == Churner::State::Free) return;
        if (c.state == Churner::State::Reading)
            ++counts_.aborted;
        else if (on_time)
            ++counts_.no_greeting;
        else
            ++counts_.cut_short;
        Unwatch(c.fd);
        Abort(c.fd);
        c = Churner{};
    }

    void ChurnEvent(std::size_t i, std::uint32_t events, Ns at) {
        Churner& c = churn_[i];
        if (c.state == Churner::State::Free) return;
        if (c.state == Churner::State::Connecting) {
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0) {
                ++counts_.refused;
                Unwatch(c.fd);
                ::close(c.fd);
                c = Churner{};
                return;
            }
            if (c.early) {
                ++counts_.early_aborts;
                Unwatch(c.fd);
                Abort(c.fd);
                c = Churner{};
                return;
            }
            c.state = Churner::State::Greeting;
            epoll_event e{};
            e.events = EPOLLIN | EPOLLRDHUP;
            e.data.u64 = Key(Kind32::Churn, i);
            ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &e);
        }
        if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return;
        char buf[kReadChunk];
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // The server let go of a client that was reading: not what it should do.
            ++counts_.closed_by_server;
            Unwatch(c.fd);
            ::close(c.fd);
            c = Churner{};
            return;
        }
        if (c.state == Churner::State::Greeting) {
            c.heard += std::size_t(n);
            if (c.heard < kGreeting.size()) return;
            ++counts_.greeted;
            c.state = Churner::State::Reading;
            std::uniform_int_distribution<Ns> read_for(0, kChurnReadMaxNs);
            c.deadline = at + read_for(rng_);
        }
    }

    void TakeSample(Ns now) {
        Sample s;
        s.at = now - start_;
        s.rss_kb = RssKb(server_.pid());
        s.cpu = CpuNs(server_.pid());
        s.own_cpu = CpuNs(::getpid());
        if (!samples_.empty() && s.at > samples_.back().at && s.cpu >= 0 &&
            samples_.back().cpu >= 0) {
            s.span = s.at - samples_.back().at;
            s.cpu_percent = 100.0 * double(s.cpu - samples_.back().cpu) / double(s.span);
        }
        for (const Reader& r : readers_) s.alive += !r.gone();
        for (const Stalled& st : stalled_) s.alive += st.put_off_at < 0;
        for (const Churner& c : churn_) s.alive += c.state != Churner::State::Free;
        s.frames = switcher_.written();
        for (const Reader& r : readers_)
            if (!r.gone()) s.behind = std::max(s.behind, s.frames - r.next());
        samples_.push_back(s);
        std::fprintf(
            stderr,
            "  %7.1f s  RSS %7ld kB  CPU %5.1f %%  clients %5ld  frames %lld  behind %lld\n",
            Seconds(s.at), s.rss_kb, s.cpu_percent, s.alive, s.frames, s.behind);
    }

    int Report() {
        const bool alive = server_.Alive();
        const Ns stream_ns = streamed_ ? stream_end_ - start_ : Now() - start_;
        const long long written = switcher_.written();

        long long lost = 0, reordered = 0, bad = 0, least = -1, most = 0;
        std::size_t worst_lost = 0, worst_reordered = 0, worst_bad = 0;
        long gone = 0, short_of_last = 0;
        for (std::size_t i = 0; i < readers_.size(); ++i) {
            Reader& r = readers_[i];
            short_of_last += r.next() < frames_;
            // A stream cut short (the server died) is judged on what was written.
            r.Finish(std::min(frames_, written));
            gone += r.gone();
            lost += r.lost();
            reordered += r.reordered();
            bad += r.bad();
            if (r.lost() > readers_[worst_lost].lost()) worst_lost = i;
            if (r.reordered() > readers_[worst_reordered].reordered()) worst_reordered = i;
            if (r.bad() > readers_[worst_bad].bad()) worst_bad = i;
            least = least < 0 ? r.received() : std::min(least, r.received());
            most = std::max(most, r.received());
        }

        std::printf("\nSoak: %d clients, %.2f minutes (stream %.1f s), %d stalled, churn %.1f/s\n",
                    o_.clients, o_.minutes, Seconds(stream_ns), o_.stalled, o_.churn);
        std::printf("frames written: %lld of %lld (%.1f a second)\n", written, frames_,
                    double(written) / Seconds(std::max<Ns>(stream_ns, 1)));
        std::printf(
            "switcher line full: %ld times, %.1f ms in all, longest %.1f ms; writer late by at "
            "most %.2f ms; %zu bytes from the server to the switcher\n",
            switcher_.blocks(), Ms(switcher_.blocked()), Ms(switcher_.longest_block()),
            Ms(switcher_.latest()), switcher_.drained());
        if (!switcher_.failure().empty())
            std::printf("switcher side stopped: %s\n", switcher_.failure().c_str());
        std::printf(
            "well-behaved clients: %zu; short of the last frame after %lld s: %ld; disconnected: "
            "%ld\n",
            readers_.size(), kDrainNs / kNsPerS, short_of_last, gone);
        long long behind = 0;
        for (const Sample& s : samples_) behind = std::max(behind, s.behind);
        if (all_heard_ > 0)
            std::printf("  every one had the last frame %.1f ms after it was written",
                        Ms(all_heard_ - stream_end_));
        else
            std::printf("  the last frame did not reach every one");
        std::printf("; at a sample the slowest was at most %lld frames behind the switcher\n",
                    behind);
        if (!readers_.empty()) {
            const auto line = [&](const char* what, long long total, std::size_t worst,
                                  long long of_worst) {
                std::printf("  %s: %lld in all, worst client %zu with %lld\n", what, total,
                            worst + 1, of_worst);
            };
            line("frames lost", lost, worst_lost, readers_[worst_lost].lost());
            line("out of order or repeated", reordered, worst_reordered,
                 readers_[worst_reordered].reordered());
            line("bytes not in a frame", bad, worst_bad, readers_[worst_bad].bad());
            std::printf("  frames heard per client: %lld to %lld\n", least, most);
            long shown = 0;
            for (std::size_t i = 0; i < readers_.size() && shown < kDisconnectsShown; ++i)
                if (readers_[i].gone() && ++shown)
                    std::printf("  client %zu disconnected at %.1f s\n", i + 1,
                                Seconds(readers_[i].gone_at()));
            if (gone > shown) std::printf("  and %ld more disconnected\n", gone - shown);
            // Every client that lost anything, by itself (the first of them, when many did).
            long faulty = 0;
            for (std::size_t i = 0; i < readers_.size(); ++i) {
                const Reader& r = readers_[i];
                if (r.lost() + r.reordered() + r.bad() == 0) continue;
                if (++faulty <= kDisconnectsShown)
                    std::printf(
                        "  client %zu: %lld lost, %lld out of order or repeated, %lld bad "
                        "bytes, %lld heard\n",
                        i + 1, r.lost(), r.reordered(), r.bad(), r.received());
            }
            if (faulty > kDisconnectsShown)
                std::printf("  and %ld more clients with a fault\n", faulty - kDisconnectsShown);
        }
        long put_off = 0;
        std::string when;
        for (const Stalled& s : stalled_) {
            if (s.put_off_at < 0) {
                when += " -";
                continue;
            }
            ++put_off;
            char buf[48];
            std::snprintf(buf, sizeof buf, " %.1f (%s)", Seconds(s.put_off_at), s.how.c_str());
            when += buf;
        }
        std::printf("stalled clients put off: %ld of %zu; seconds into the stream:%s\n", put_off,
                    stalled_.size(), when.empty() ? " -" : when.c_str());
        std::printf(
            "churn: %ld made, %ld aborted before the greeting, %ld greeted, %ld aborted while "
            "reading, %ld refused, %ld without a greeting in %lld s, %ld closed by the server, "
            "%ld cut short by the end, %ld not made (%d open at most)\n",
            counts_.made, counts_.early_aborts, counts_.greeted, counts_.aborted, counts_.refused,
            counts_.no_greeting, kWaitNs / kNsPerS, counts_.closed_by_server, counts_.cut_short,
            counts_.skipped, kMaxChurnAlive);
        ReportMemoryAndCpu(stream_ns);
        std::printf("server: %s\n", alive ? "alive" : ("dead, " + server_.Ended()).c_str());
        if (!alive) std::fprintf(stderr, "server stderr:\n%s\n", server_.Stderr().c_str());

        const bool pass = alive && streamed_ && switcher_.failure().empty() && lost == 0 &&
                          reordered == 0 && bad == 0 && gone == 0;
        std::printf("result: %s\n", pass ? "no loss" : "FAILED");
        return pass ? 0 : 1;
    }

    // Memory at the end of the warm-up and at the end, growth over the closing window, CPU.
    void ReportMemoryAndCpu(Ns stream_ns) {
        std::vector<Sample> in;  // samples within the stream
        for (const Sample& s : samples_)
            if (s.at <= stream_ns && s.rss_kb >= 0 && s.cpu >= 0) in.push_back(s);
        if (in.size() < 2) {
            std::printf("RSS / CPU: too few samples\n");
            return;
        }
        const Ns warm = std::min(kWarmMaxNs, Ns(kWarmShare * double(stream_ns)));
        const Ns window = std::min(kGrowthWindowNs, stream_ns / 2);
        const Sample* warmed = &in.back();
        for (const Sample& s : in)
            if (s.at >= warm) {
                warmed = &s;
                break;
            }
        // The sample nearest the opening of the window.
        const Sample* base = &in.front();
        const auto off = [&](const Sample& s) { return std::abs(s.at - (stream_ns - window)); };
        for (const Sample& s : in)
            if (off(s) < off(*base)) base = &s;
        long top = base->rss_kb, peak = 0;
        for (const Sample& s : in) {
            if (s.at >= base->at) top = std::max(top, s.rss_kb);
            peak = std::max(peak, s.rss_kb);
        }
        std::printf(
            "RSS: %ld kB at the start, %ld kB at the end of the warm-up (%.1f s), %ld kB at the "
            "end, %ld kB at most\n",
            in.front().rss_kb, warmed->rss_kb, Seconds(warmed->at), in.back().rss_kb, peak);
        std::printf("RSS growth over the last %.1f s: %+ld kB (largest after %.1f s minus that)\n",
                    Seconds(stream_ns - base->at), top - base->rss_kb, Seconds(base->at));
        // CPU time comes in clock ticks: a short last interval (the stream ended just after a
        // sample) says little, so it does not count for the largest.
        double top_cpu = 0;
        const Ns sample_ns = Ns(o_.sample_seconds * double(kNsPerS));
        for (std::size_t k = 1; k < in.size(); ++k)
            if (in[k].span * 2 >= sample_ns) top_cpu = std::max(top_cpu, in[k].cpu_percent);
        const double span = double(std::max<Ns>(in.back().at - in.front().at, 1));
        std::printf(
            "CPU: mean %.1f %%, largest %.1f %% of one core (per sample of %.1f s); this program "
            "beside it: mean %.1f %%\n",
            100.0 * double(in.back().cpu - in.front().cpu) / span, top_cpu, o_.sample_seconds,
            100.0 * double(in.back().own_cpu - in.front().own_cpu) / span);
    }

    const Options o_;
    const long long frames_;
    Pty pty_;
    ServerProcess server_;
    Switcher switcher_;
    int ep_;
    std::vector<Reader> readers_;
    std::vector<Stalled> stalled_;
    std::vector<Churner> churn_;
    ChurnCounts counts_;
    std::mt19937_64 rng_;
    std::vector<Sample> samples_;
    Ns start_ = 0;
    bool streamed_ = false;
    Ns stream_end_ = 0;
    long disconnected_ = 0;
    Ns all_heard_ = 0;  // when every well-behaved client had the last frame
};

void Usage() {
    std::printf(
        "bench_soak [--clients N] [--minutes M] [--stalled K] [--churn R] [--quorvex PATH]\n"
        "           [--sample-seconds S]\n"
        "  --clients N         logged-in clients that read everything (default %d)\n"
        "  --minutes M         length of the frame stream, fractions allowed (default %g)\n"
        "  --stalled K         logged-in clients that never read (default %d)\n"
        "  --churn R           connections a second that connect and abort (default %g; 0: none)\n"
        "  --quorvex PATH      the server to soak (default: quorvex beside this program)\n"
        "  --sample-seconds S  how often the server's memory and CPU are read (default %g)\n"
        "Exit status 0 when no well-behaved client lost a frame and the server lived, 1 "
        "otherwise, 2 on a bad option.\n",
        kDefaultClients, kDefaultMinutes, kDefaultStalled, kDefaultChurn, kDefaultSampleSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.quorvex = QuorvexBeside(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) BadOption(kProgram, a, "", "a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--clients") {
            o.clients = int(ParseWhole(kProgram, a, value(), 1, kMaxClients));
        } else if (a == "--minutes") {
            o.minutes = ParseNumber(kProgram, a, value(), kMinMinutes, kMaxMinutes,
                                    "minutes from 0.05 to 1440, e.g. 0.5");
        } else if (a == "--stalled") {
            o.stalled = int(ParseWhole(kProgram, a, value(), 0, kMaxClients));
        } else if (a == "--churn") {
            o.churn = ParseNumber(kProgram, a, value(), 0, kMaxChurn,
                                  "connections a second from 0 to 1000");
        } else if (a == "--quorvex") {
            o.quorvex = value();
        } else if (a == "--sample-seconds") {
            o.sample_seconds = ParseNumber(kProgram, a, value(), kMinSampleSeconds,
                                           kMaxMinutes * 60, "seconds of at least 0.1");
        } else {
            BadOption(kProgram, kProgram, a, "one of the options of --help");
        }
    }
    RequireServer(kProgram, o.quorvex);
    PrepareProcess();
    Soak soak(o);
    return soak.Run();
}
