// Relay benchmarks on the real adapters: a pseudo-terminal as the switcher, a TCP client on
// 127.0.0.1. Reports times; targets are in the README of this folder, not asserted anywhere.
//   bench_relay [rounds] [--status]
// --status runs the same with the status page open in headless Chromium, updating twice a
// second, to show what the page costs the relay.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cstdio>

#include "browser.h"
#include "components/status_server.h"
#include "live.h"

using namespace qv::test;

namespace {

// Runs the event loop until done() holds, woken by the given signal source; no polling delay.
template <typename Source, typename Signal, typename Done>
void WaitUntil(Source* source, Signal signal, Done done, int ms = 10000) {
    QEventLoop loop;
    QObject::connect(source, signal, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!done()) loop.exec();
}

// A salvo of frames written at once: time until the client has all of it.
double SalvoMs(LiveServer& s, QTcpSocket& c, int frames) {
    QByteArray salvo;
    for (int i = 0; i < frames; ++i)
        salvo += QByteArray("\x18") + char(i % 16 + 1) + QByteArray::number(10000000 + i).right(8);
    QElapsedTimer t;
    t.start();
    if (!s.pty.Write(salvo)) std::fprintf(stderr, "the switcher line stayed full\n");
    QByteArray got;
    WaitUntil(&c, &QTcpSocket::readyRead, [&] {
        got += c.readAll();
        return got.size() >= salvo.size();
    });
    const double ms = t.nsecsElapsed() / 1e6;
    if (got != salvo)
        std::fprintf(stderr, "salvo incomplete: %lld of %lld bytes\n", qlonglong(got.size()),
                     qlonglong(salvo.size()));
    return ms;
}

// Commands from one client: time until the switcher has all of them.
double CommandsMs(LiveServer& s, QTcpSocket& c, int units) {
    QByteArray burst;
    for (int i = 0; i < units; ++i)
        burst += "\x14" + QByteArray::number(100000 + i % 900000).right(6);
    s.switcherIn.clear();
    QElapsedTimer t;
    t.start();
    c.write(burst);
    QSocketNotifier readable(s.pty.MasterFd(), QSocketNotifier::Read);
    qsizetype got = 0;
    WaitUntil(&readable, &QSocketNotifier::activated, [&] {
        got += s.pty.ReadAvailable().size();
        return got >= burst.size();
    });
    return t.nsecsElapsed() / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool withPage = args.contains("--status");
    const int rounds = args.size() > 1 && args[1] != "--status" ? std::max(1, args[1].toInt()) : 5;
    LiveServer s(IniKeys{{"Max List Size", "25"}});
    std::unique_ptr<qv::StatusServer> status;
    std::unique_ptr<HeadlessBrowser> browser;
    if (withPage) {
        status = std::make_unique<qv::StatusServer>(s.server(), s.host->sockets());
        QString error;
        if (!status->Listen({QHostAddress(QHostAddress::LocalHost), FreePort()}, &error)) {
            std::fprintf(stderr, "status page: %s\n", qPrintable(error));
            return 1;
        }
        browser = std::make_unique<HeadlessBrowser>();
        if (!browser->Start() ||
            !browser->Open(QStringLiteral("http://127.0.0.1:%1/").arg(status->Port())) ||
            !browser->WaitFor("document.getElementById('state').textContent.startsWith('Live')",
                              10000)) {
            std::fprintf(stderr, "the page did not open in chromium\n");
            return 1;
        }
        std::printf("with the status page open in headless Chromium\n");
    }
    auto c = s.Connect();
    if (!c || LiveServer::Receive(*c, 17) != "Login Sucessful\r\n") {
        std::fprintf(stderr, "no client login on the relay\n");
        return 1;
    }
    for (int frames : {200, 2000}) {
        double best = 1e9, sum = 0;
        for (int r = 0; r < rounds; ++r) {
            const double ms = SalvoMs(s, *c, frames);
            best = std::min(best, ms);
            sum += ms;
        }
        std::printf("switcher salvo of %5d frames -> client: best %.2f ms, mean %.2f ms\n", frames,
                    best, sum / rounds);
    }
    for (int units : {200, 2000}) {
        double best = 1e9;
        for (int r = 0; r < rounds; ++r) best = std::min(best, CommandsMs(s, *c, units));
        std::printf("client burst of %5d takes -> switcher: best %.2f ms\n", units, best);
    }
    return 0;
}
