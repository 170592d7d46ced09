// Another machine for a test: a network namespace of its own with a veth pair into it.
#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qv::test {

// Runs a command; true when it ran and succeeded.
inline bool RunTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A network namespace with a veth pair into it, torn down on destruction.
struct Namespace {
    QString name, outer, inner, outerAddress, innerAddress;
    bool up = false;

    Namespace() {
        const qint64 id = QCoreApplication::applicationPid() % 10000;
        name = QStringLiteral("qvtest%1").arg(id);
        outer = QStringLiteral("qvo%1").arg(id);
        inner = QStringLiteral("qvi%1").arg(id);
        const int net = int(id % 60) * 4;  // a /30 inside 192.0.2.0/24 (TEST-NET-1)
        outerAddress = QStringLiteral("192.0.2.%1").arg(net + 1);
        innerAddress = QStringLiteral("192.0.2.%1").arg(net + 2);
        if (!RunTool("ip", {"netns", "add", name})) return;
        up = RunTool("ip", {"link", "add", outer, "type", "veth", "peer", "name", inner}) &&
             RunTool("ip", {"link", "set", inner, "netns", name}) &&
             RunTool("ip", {"addr", "add", outerAddress + "/30", "dev", outer}) &&
             RunTool("ip", {"link", "set", outer, "up"}) &&
             Inside({"ip", "addr", "add", innerAddress + "/30", "dev", inner}) &&
             Inside({"ip", "link", "set", inner, "up"});
    }
    ~Namespace() {
        RunTool("ip", {"netns", "del", name});
        RunTool("ip", {"link", "del", outer});  // normally gone with its peer already
    }
    bool Inside(const QStringList& command) {
        return RunTool("ip", QStringList{"netns", "exec", name} + command);
    }
};

}  // namespace qv::test
