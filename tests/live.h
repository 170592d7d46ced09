// A server on the real adapters in this process: a pseudo-terminal stands in for the
// switcher's serial line, clients are real TCP sockets on 127.0.0.1, files live in a
// folder of the test's own. Also the real executable run as a process on such a folder.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <memory>
#include <optional>

#include "app/demo_switcher.h"
#include "app/server_host.h"
#include "fakes.h"
#include "ini_text.h"

namespace qv::test {

// How long one step of a test may wait for what it expects (a connection, bytes, a lamp).
constexpr int kWaitMs = 5000;
// How long a write to the switcher's line may wait for the server to drain the line.
constexpr int kLineWriteMs = 20000;
// How long a started executable may take to listen, and one connection attempt meanwhile.
constexpr int kListenMs = 10000;
constexpr int kConnectTryMs = 500;
// How long a stopped executable may take to shut down.
constexpr int kStopMs = 10000;

// A pseudo-terminal: the test holds the master side, the server opens the slave path.
class Pty {
  public:
    Pty() {
        path_ = OpenRawPty(master_, slave_);
        if (path_.isEmpty()) qFatal("openpty failed");
    }
    ~Pty() {
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    const QString& path() const { return path_; }
    int MasterFd() const { return master_; }
    // Writes everything; while the line is full, waits until the server has drained some of it.
    // False if the line is gone or stays full for kLineWriteMs.
    [[nodiscard]] bool Write(const QByteArray& data) {
        const QDeadlineTimer deadline(kLineWriteMs);
        std::optional<QSocketNotifier> writable;
        std::optional<QSignalSpy> room;
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master_, data.constData() + done, data.size() - done);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (!writable) {
                writable.emplace(master_, QSocketNotifier::Write);
                room.emplace(&*writable, &QSocketNotifier::activated);
            }
            // The server reads the line from the event loop, which runs while this waits.
            if (deadline.hasExpired() || !room->wait(int(deadline.remainingTime()))) return false;
        }
        return true;
    }
    // What the server wrote to the switcher so far.
    QByteArray ReadAvailable() {
        QByteArray out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }
    termios Attributes() const {
        termios t{};
        ::tcgetattr(slave_, &t);
        return t;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1, slave_ = -1;
    QString path_;
};

inline quint16 FreePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// The folder a server keeps its files in: a fresh temporary folder, removed with this object,
// or a given path, which stays.
class TestFolder {
  public:
    TestFolder() : temp_(std::make_unique<QTemporaryDir>()) {
        if (!temp_->isValid()) qFatal("cannot make a temporary folder");
        path_ = temp_->path();
    }
    explicit TestFolder(const QString& path) : path_(path) {}
    const QString& path() const { return path_; }
    QString filePath(const QString& name) const { return QDir(path_).filePath(name); }
    // Writes a whole file; false if it cannot be written.
    [[nodiscard]] bool Write(const QString& name, const QByteArray& data) const {
        QFile f(filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }
    // A settings file from IniText.
    [[nodiscard]] bool WriteIni(const IniKeys& over = {}) const {
        return Write("quorvex.ini", QByteArray::fromStdString(IniText(over)));
    }
    // A whole file; empty if there is none.
    QByteArray Read(const QString& name) const {
        QFile f(filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

  private:
    std::unique_ptr<QTemporaryDir> temp_;
    QString path_;
};

// Connects s to port on 127.0.0.1 as soon as something listens there; false if nothing did
// within ms.
[[nodiscard]] inline bool ConnectWhenListening(QTcpSocket& s, quint16 port, int ms = kListenMs) {
    return QTest::qWaitFor(
        [&] {
            s.abort();
            s.connectToHost(QHostAddress::LocalHost, port);
            return s.waitForConnected(kConnectTryMs);
        },
        ms);
}

struct LiveServer {
    TestFolder dir;
    Pty pty;
    FakeView view;
    quint16 port = FreePort();
    std::unique_ptr<ServerHost> host;
    QByteArray switcherIn;  // everything written to the switcher

    // A complete settings file on a free port, not on top; over replaces values by key.
    explicit LiveServer(IniKeys over = {}, TestFolder folder = {}) : dir(std::move(folder)) {
        over.emplace("TCP/IP Port", std::to_string(port));
        over.emplace("Stay On Top", "No");
        if (!dir.WriteIni(over)) qFatal("cannot write the settings file");
        HostOptions o;
        o.folder = dir.path();
        o.comDevices.insert(1, pty.path());
        host = std::make_unique<ServerHost>(o, view);
        host->server().Start();
    }
    Server& server() { return host->server(); }
    qv::Settings& settings() { return server().settings(); }
    ServerState& state() { return server().state(); }

    // A client connected to the server; null if it could not connect in time.
    [[nodiscard]] std::unique_ptr<QTcpSocket> Connect() {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        if (!s->waitForConnected(kWaitMs)) return nullptr;
        return s;
    }
    // Waits until the client has received at least n bytes or ms have passed; returns what it
    // received, for the caller to compare. Woken by each arrival, not by polling.
    [[nodiscard]] static QByteArray Receive(QTcpSocket& s, qsizetype n, int ms = kWaitMs) {
        const QDeadlineTimer deadline(ms);
        QSignalSpy arrived(&s, &QIODevice::readyRead);
        QByteArray got = s.readAll();
        while (got.size() < n && !deadline.hasExpired() &&
               arrived.wait(int(deadline.remainingTime())))
            got += s.readAll();
        return got;
    }
    // Waits until the switcher has received at least n bytes or ms have passed; returns all it
    // received, for the caller to compare.
    [[nodiscard]] QByteArray SwitcherReceives(qsizetype n, int ms = kWaitMs) {
        (void)QTest::qWaitFor(
            [&] {
                switcherIn += pty.ReadAvailable();
                return switcherIn.size() >= n;
            },
            ms);
        return switcherIn;
    }
    // Sends part from client c and waits until the server has read it (its network lamp
    // lights), so that the next part comes as a read of its own. False if it did not.
    [[nodiscard]] bool ClientSends(QTcpSocket& c, const QByteArray& part) {
        view.lamps.erase(Lamp::Network);
        c.write(part);
        c.flush();
        return QTest::qWaitFor([&] { return LampLit(Lamp::Network); }, kWaitMs);
    }
    // Puts part on the switcher's line and waits until the server has read it (its serial lamp
    // lights). False if it did not.
    [[nodiscard]] bool SwitcherSends(const QByteArray& part) {
        view.lamps.erase(Lamp::Serial);
        return pty.Write(part) && QTest::qWaitFor([&] { return LampLit(Lamp::Serial); }, kWaitMs);
    }

  private:
    bool LampLit(Lamp l) const {
        const auto it = view.lamps.find(l);
        return it != view.lamps.end() && it->second == kColourGreen;
    }
};

// The real executable on a folder, stopped with SIGTERM as a service manager does.
struct ServerProcess {
    TestFolder dir;
    QProcess proc;

    explicit ServerProcess(TestFolder folder = {}) : dir(std::move(folder)) {}
    // Starts program with --dir and args; false if it did not start.
    [[nodiscard]] bool Start(const QString& program, const QStringList& args) {
        proc.start(program, QStringList{"--dir", dir.path()} + args);
        return proc.waitForStarted(kWaitMs);
    }
    // Sends SIGTERM; the exit code, -1 if the process did not end in time, -2 if it crashed.
    int Stop() {
        // A finished process has no id, and kill(0) would signal our own process group.
        const qint64 pid = proc.processId();
        if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGTERM);
        if (!proc.waitForFinished(kStopMs)) return -1;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -2;
    }
};

}  // namespace qv::test
