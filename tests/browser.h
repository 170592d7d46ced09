// A real browser for page tests: headless Chromium driven over its DevTools protocol on a pipe
// (file descriptors 3 and 4 of the child, messages are JSON ended by a NUL byte), so no port
// and no WebSocket library is needed. Every wait runs the caller's event loop, so a server in
// the test's own process keeps serving while the browser works.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace qv::test {

constexpr int kBrowserReplyMs = 10000;  // one DevTools command, a page load included
constexpr int kBrowserCloseMs = 5000;

class HeadlessBrowser {
  public:
    static QString Executable() { return QStandardPaths::findExecutable("chromium"); }

    HeadlessBrowser() = default;
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;
    ~HeadlessBrowser() { Stop(); }

    // Starts the browser with a fresh profile; false if it does not answer.
    bool Start() {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
        if (::pipe2(fromChild, O_CLOEXEC) != 0) return false;
        toFd_ = toChild[1];
        fromFd_ = fromChild[0];
        ::fcntl(fromFd_, F_SETFL, ::fcntl(fromFd_, F_GETFL) | O_NONBLOCK);
        const int childIn = toChild[0], childOut = fromChild[1];
        proc_.setChildProcessModifier([childIn, childOut] {
            // Through high numbers first, so that neither end is overwritten on the way.
            const int in = ::fcntl(childIn, F_DUPFD, 10), out = ::fcntl(childOut, F_DUPFD, 10);
            ::dup2(in, 3);
            ::dup2(out, 4);
            // Nothing else of the test's: a switcher line the test closes must really close.
            ::close_range(5, ~0U, 0);
        });
        proc_.setStandardOutputFile(QProcess::nullDevice());
        proc_.setStandardErrorFile(QProcess::nullDevice());
        proc_.start(Executable(), {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync",
                                   "--disable-dev-shm-usage", "--user-data-dir=" + profile_.path(),
                                   "--remote-debugging-pipe", "about:blank"});
        ::close(childIn);
        ::close(childOut);
        return proc_.waitForStarted(kBrowserReplyMs) && !Command("Target.getTargets", {}).isEmpty();
    }

    // Opens url in a new tab and makes it the tab that Evaluate reads.
    bool Open(const QString& url) {
        const QJsonObject target = Command("Target.createTarget", {{"url", url}});
        const QJsonObject session =
            Command("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
        session_ = session["sessionId"].toString();
        return !session_.isEmpty();
    }

    // The value of a JavaScript expression in the open tab (undefined on failure).
    QJsonValue Evaluate(const QString& expression) {
        const QJsonObject r =
            Command("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
        return r["result"].toObject()["value"];
    }

    // Waits, running the event loop, until the expression is true in the page.
    bool WaitFor(const QString& expression, int ms) {
        return QTest::qWaitFor([&] { return Evaluate(expression).toBool(); }, ms);
    }

    void Stop() {
        if (proc_.state() != QProcess::NotRunning) {
            Send("Browser.close", {});
            if (!QTest::qWaitFor([&] { return proc_.state() == QProcess::NotRunning; },
                                 kBrowserCloseMs)) {
                proc_.kill();
                proc_.waitForFinished(kBrowserCloseMs);
            }
        }
        for (int* fd : {&toFd_, &fromFd_})
            if (*fd >= 0) ::close(*fd), *fd = -1;
    }

  private:
    int Send(const QString& method, const QJsonObject& params) {
        QJsonObject m{{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (!session_.isEmpty() && !method.startsWith("Target.") && !method.startsWith("Browser."))
            m["sessionId"] = session_;
        const QByteArray bytes = QJsonDocument(m).toJson(QJsonDocument::Compact) + '\0';
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(toFd_, bytes.constData() + done, bytes.size() - done);
            if (n <= 0) return -1;
            done += n;
        }
        return lastId_;
    }
    // Sends a command and waits for its answer; the result, or empty on error or timeout.
    QJsonObject Command(const QString& method, const QJsonObject& params) {
        const int id = Send(method, params);
        if (id < 0) return {};
        QJsonObject reply;
        (void)QTest::qWaitFor(
            [&] {
                char buf[65536];
                for (ssize_t n; (n = ::read(fromFd_, buf, sizeof buf)) > 0;) in_.append(buf, n);
                for (qsizetype end; (end = in_.indexOf('\0')) >= 0;) {
                    const QJsonObject m = QJsonDocument::fromJson(in_.left(end)).object();
                    in_.remove(0, end + 1);
                    if (m["id"].toInt() == id) {
                        reply = m;
                        return true;
                    }
                }
                return proc_.state() == QProcess::NotRunning;
            },
            kBrowserReplyMs);
        if (reply.contains("error"))
            qWarning("%s: %s", qPrintable(method),
                     QJsonDocument(reply["error"].toObject()).toJson().constData());
        return reply["result"].toObject();
    }

    QTemporaryDir profile_;
    QProcess proc_;
    int toFd_ = -1, fromFd_ = -1;
    int lastId_ = 0;
    QString session_;
    QByteArray in_;
};

}  // namespace qv::test
