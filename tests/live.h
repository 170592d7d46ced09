// A server on the real adapters in this process: a pseudo-terminal stands in for the
// switcher's serial line, clients are real TCP sockets on 127.0.0.1, files live in a
// temporary folder.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app/demo_switcher.h"
#include "app/server_host.h"
#include "fakes.h"

namespace qv::test {

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
    // Writes everything, waiting while the line is full.
    void Write(const QByteArray& data) {
        qsizetype done = 0;
        QElapsedTimer t;
        t.start();
        while (done < data.size() && t.elapsed() < 20000) {
            const ssize_t n = ::write(master_, data.constData() + done, data.size() - done);
            if (n > 0)
                done += n;
            else
                QTest::qWait(1);  // let the server drain the line
        }
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

using IniKeys = std::map<std::string, std::string>;

struct LiveServer {
    QTemporaryDir dir;
    Pty pty;
    FakeView view;
    quint16 port = FreePort();
    std::unique_ptr<ServerHost> host;
    QByteArray switcherIn;  // everything written to the switcher

    // A complete settings file on a free port; over replaces values by key.
    explicit LiveServer(IniKeys over = {}) {
        std::vector<std::pair<std::string, std::string>> keys = {
            {"Serial Port", "1"},  {"Baud Rate", "9600"},   {"TCP/IP Port", std::to_string(port)},
            {"Stay On Top", "No"}, {"Max List Size", "25"}, {"Maintain Log File", "No"},
            {"Pass Thru", "No"},   {"Password", ""}};
        std::string text = "[CONFIGURATION]\r\n";
        for (auto& [k, v] : keys) text += k + "=" + (over.count(k) ? over[k] : v) + "\r\n";
        QFile ini(dir.filePath("quorvex.ini"));
        if (!ini.open(QIODevice::WriteOnly)) qFatal("cannot write the settings file");
        ini.write(QByteArray::fromStdString(text));
        ini.close();
        HostOptions o;
        o.folder = dir.path();
        o.comDevices.insert(1, pty.path());
        host = std::make_unique<ServerHost>(o, view);
        host->server().Form_Load();
    }
    Server& server() { return host->server(); }
    qv::Settings& settings() { return server().settings(); }
    ServerState& state() { return server().state(); }

    std::unique_ptr<QTcpSocket> Connect() {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        if (!s->waitForConnected(5000)) qWarning("connect failed");
        return s;
    }
    // Waits until the client has received at least n bytes; returns what it received.
    static QByteArray Receive(QTcpSocket& s, qsizetype n, int ms = 5000) {
        QByteArray got;
        if (!QTest::qWaitFor(
                [&] {
                    got += s.readAll();
                    return got.size() >= n;
                },
                ms))
            qWarning("client received %lld of %lld bytes", qlonglong(got.size()), qlonglong(n));
        return got;
    }
    // Waits until the switcher has received at least n bytes.
    QByteArray SwitcherReceives(qsizetype n, int ms = 5000) {
        if (!QTest::qWaitFor(
                [&] {
                    switcherIn += pty.ReadAvailable();
                    return switcherIn.size() >= n;
                },
                ms))
            qWarning("switcher received %lld of %lld bytes", qlonglong(switcherIn.size()),
                     qlonglong(n));
        return switcherIn;
    }
};

}  // namespace qv::test
