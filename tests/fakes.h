// Fakes for driving the core tick by tick: sockets, serial port, timers on a fake clock, the
// view, an in-memory file system and a fixed clock.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/ports.h"
#include "core/server.h"

namespace qv::test {

class FakeScheduler;

class FakeTimer final : public ITimer {
  public:
    FakeTimer(FakeScheduler& s, std::string name) : sched_(s), name_(std::move(name)) {}
    void SetEnabled(bool on) override;
    bool Enabled() const override { return enabled_; }
    void SetInterval(int ms) override;
    int Interval() const override { return interval_; }
    void SetTick(std::function<void()> t) override { tick = std::move(t); }
    std::function<void()> tick;
    long long due = 0;
    int ticks = 0;
    const std::string& name() const { return name_; }

  private:
    friend class FakeScheduler;
    FakeScheduler& sched_;
    std::string name_;
    bool enabled_ = false;
    int interval_ = 0;
};

// Fires enabled timers in due order as fake time advances.
class FakeScheduler {
  public:
    long long now = 0;
    std::vector<FakeTimer*> timers;
    void Advance(long long ms) {
        const long long target = now + ms;
        for (;;) {
            FakeTimer* next = nullptr;
            for (FakeTimer* t : timers)
                if (t->enabled_ && t->due <= target && (!next || t->due < next->due)) next = t;
            if (!next) break;
            now = next->due;
            next->due = now + std::max(1, next->interval_);
            ++next->ticks;
            if (next->tick) next->tick();
        }
        now = target;
    }
};

inline void FakeTimer::SetEnabled(bool on) {
    if (on && !enabled_) due = sched_.now + std::max(1, interval_);
    enabled_ = on;
}
inline void FakeTimer::SetInterval(int ms) {
    interval_ = ms;
    if (enabled_) due = sched_.now + std::max(1, interval_);
}

class FakeSockets final : public ISocketArray {
  public:
    int heldSends = 0;  // runs of output sent
    struct Element {
        bool connected = false;
        std::string peer;
        std::string in;                   // waiting to be read
        std::string out;                  // written to the client
        std::vector<std::string> writes;  // one entry per write
        bool overflow = false;
        std::size_t queued = 0;  // what QueuedOutput says
        bool reading = true;     // SetReading
    };
    ISocketEvents* events = nullptr;
    bool listening = false;
    Long listenPort = 0;
    bool failListen = false;
    bool failAccept = false;
    std::map<Integer, Element> elements;
    std::map<Long, std::string> pending;
    std::vector<Long> refused;
    std::vector<std::string> calls;
    Long nextId = 0;

    void SetEvents(ISocketEvents* e) override { events = e; }
    void Listen(Long port) override {
        calls.push_back("listen " + std::to_string(port));
        if (failListen) throw ComponentError(24048, "Address in use");
        listening = true;
        listenPort = port;
    }
    void MoveListener(Long port) override {
        calls.push_back("move " + std::to_string(port));
        listening = false;
        Listen(port);
    }
    void CloseListener() override {
        calls.push_back("close listener");
        listening = false;
    }
    bool Listening() const override { return listening; }
    void CreateElement(Integer i) override { elements[i]; }
    void RemoveElement(Integer i) override { elements.erase(i); }
    void Accept(Integer i, Long id) override {
        if (failAccept) throw ComponentError(24038, "Invalid socket handle");
        Element& e = elements.at(i);
        e = Element{};
        e.connected = true;
        e.peer = pending.at(id);
        pending.erase(id);
    }
    void Refuse(Long id) override {
        refused.push_back(id);
        pending.erase(id);
    }
    bool Connected(Integer i) const override {
        auto it = elements.find(i);
        return it != elements.end() && it->second.connected;
    }
    std::string PeerAddress(Integer i) const override {
        auto it = elements.find(i);
        return it == elements.end() ? std::string() : it->second.peer;
    }
    std::string ReadAll(Integer i, std::size_t most) override {
        Element& e = elements.at(i);
        std::string text = e.in.substr(0, most);
        e.in.erase(0, text.size());
        return text;
    }
    void SetReading(Integer i, bool on) override {
        if (auto it = elements.find(i); it != elements.end()) it->second.reading = on;
    }
    std::string RequestAddress(Long id) const override {
        const auto it = pending.find(id);
        return it == pending.end() ? std::string() : it->second;
    }
    WriteResult Write(Integer i, std::string_view text) override {
        Element& e = elements.at(i);
        if (e.overflow) return WriteResult::Overflow;
        e.out.append(text);
        e.writes.emplace_back(text);
        return WriteResult::Ok;
    }
    void HoldOutput() override {}
    void SendHeldOutput() override { ++heldSends; }
    std::size_t QueuedOutput(Integer i) const override {
        auto it = elements.find(i);
        return it == elements.end() ? 0 : it->second.queued;
    }
    void Close(Integer i) override {
        auto it = elements.find(i);
        if (it != elements.end()) it->second.connected = false;
    }

    // A client connects; returns the request id.
    Long Connect(const std::string& peer) {
        const Long id = ++nextId;
        pending[id] = peer;
        events->ConnectionRequest(id);
        return id;
    }
    // As the real array does, text the server did not take yet is offered again while it reads.
    void Send(Integer i, std::string_view text) {
        elements.at(i).in.append(text);
        events->DataArrival(i);
        for (;;) {
            const auto it = elements.find(i);
            if (it == elements.end() || !it->second.connected || !it->second.reading ||
                it->second.in.empty())
                break;
            const std::size_t before = it->second.in.size();
            events->DataArrival(i);
            const auto again = elements.find(i);
            if (again == elements.end() || again->second.in.size() == before) break;
        }
    }
    void Hangup(Integer i) { events->Disconnected(i); }
    // The client ends its sending side (closes, or half-closes).
    void EndInput(Integer i) { events->InputEnded(i); }
    std::string TakeOut(Integer i) { return std::exchange(elements.at(i).out, {}); }
};

class FakeSerial final : public ISerialPort {
  public:
    ISerialEvents* events = nullptr;
    std::string settings = "9600,n,8,1";
    Integer commPort = 1;
    bool open = false;
    std::string in;
    std::string written;
    int writes = 0;
    std::set<Integer> failingPorts;
    bool failOutput = false;
    std::size_t room = static_cast<std::size_t>(-1);  // what the open port can still queue
    std::vector<std::string> calls;

    void SetEvents(ISerialEvents* e) override { events = e; }
    std::string Settings() const override { return settings; }
    void SetSettings(const std::string& s) override {
        calls.push_back("settings " + s);
        settings = s;
    }
    Integer CommPort() const override { return commPort; }
    void SetCommPort(Integer p) override {
        calls.push_back("port " + std::to_string(p));
        commPort = p;
    }
    bool PortOpen() const override { return open; }
    void SetPortOpen(bool o) override {
        calls.push_back(o ? "open" : "close");
        if (o && failingPorts.count(commPort)) throw ComponentError(8002, "Invalid Port Number");
        open = o;
    }
    Long InBufferCount() const override { return static_cast<Long>(in.size()); }
    std::string Input() override { return std::exchange(in, {}); }
    void Output(char c) override {
        if (!open || failOutput) throw ComponentError(8012, "The device is not open");
        if (room == 0) throw ComponentError(8010, "Transmit buffer full");
        if (room != static_cast<std::size_t>(-1)) --room;
        written.push_back(c);
        ++writes;
    }
    std::size_t OutputRoom() const override { return open ? room : static_cast<std::size_t>(-1); }
    std::string sent;  // what had been offered to the line by SendOutput
    void SendOutput() override { sent = written; }
    // The switcher prints text.
    void Feed(std::string_view text) {
        in.append(text);
        events->OnComm(kCommEventReceive);
    }
};

class FakeView final : public IView {
  public:
    std::map<Lamp, Long> lamps;
    std::map<Label, std::string> captions, tooltips;
    std::map<int, std::string> panels;
    std::vector<Long> zorder;
    std::vector<std::pair<std::string, std::string>> reports;
    std::vector<HistoryRow> rows;
    bool closed = false;

    void Report(const std::string& t, const std::string& x) override { reports.push_back({t, x}); }
    void HistoryRowAdded(const HistoryRow& r) override { rows.push_back(r); }
    void HistoryFirstRowRemoved() override {
        if (!rows.empty()) rows.erase(rows.begin());
    }
    void HistoryCleared() override { rows.clear(); }
    void SetLampColour(Lamp l, Long c) override { lamps[l] = c; }
    void SetCaption(Label l, const std::string& t) override { captions[l] = t; }
    void SetToolTip(Label l, const std::string& t) override { tooltips[l] = t; }
    void SetStatusPanel(int p, const std::string& t) override { panels[p] = t; }
    void ApplyZOrder(Long z) override { zorder.push_back(z); }
    void CloseAllWindows() override { closed = true; }
};

class MemFileSystem final : public IFileSystem {
  public:
    std::map<std::string, std::string> files;
    bool failWrite = false;
    bool failAppend = false;
    int appends = 0;
    int writes = 0;
    std::function<void()> onWrite;  // runs as a file is replaced

    bool Exists(const std::string& p) const override { return files.count(p) > 0; }
    void Remove(const std::string& p) override { files.erase(p); }
    std::string ReadAll(const std::string& p) const override {
        auto it = files.find(p);
        if (it == files.end()) throw ComponentError(53, "File not found");
        return it->second;
    }
    void WriteReplace(const std::string& p, std::string_view d) override {
        if (failWrite) throw ComponentError(28, "No space left on device");
        ++writes;
        if (onWrite) onWrite();
        files[p] = std::string(d);
    }
    void Append(const std::string& p, std::string_view d) override {
        if (failAppend) throw ComponentError(28, "No space left on device");
        ++appends;
        files[p].append(d);
    }
};

class FakeClock final : public IClock {
  public:
    LocalDateTime now{2002, 3, 5, 15, 4, 5};
    DateTimePatterns patterns;
    LocalDateTime Now() const override { return now; }
    DateTimePatterns Patterns() const override { return patterns; }
    // Follows the scheduler's fake time when one is attached.
    long long MonotonicMs() const override { return sched ? sched->now : monotonic; }
    const FakeScheduler* sched = nullptr;
    long long monotonic = 0;
};

// Everything a server needs, faked. The program's folder is "/app/".
struct FakePlatform {
    FakeScheduler sched;
    FakeTimer led2{sched, "led2"}, led{sched, "led"}, help{sched, "help"},
        decodeTcp{sched, "decodeTcp"}, cmndChk{sched, "cmndChk"}, serialRetry{sched, "serialRetry"},
        loginWait{sched, "loginWait"}, linger{sched, "linger"};
    FakeSockets sockets;
    FakeSerial serial;
    MemFileSystem files;
    FakeClock clock;
    std::unique_ptr<Server> server;

    static constexpr const char* kIni = "/app/quorvex.ini";
    static constexpr const char* kLog = "/app/Eventlog.txt";

    // Builds the server with view as its window; it wires the timers to its handlers.
    void MakeServer(IView& view) {
        sched.timers = {&led2,    &led,         &help,      &decodeTcp,
                        &cmndChk, &serialRetry, &loginWait, &linger};
        clock.sched = &sched;
        server = std::make_unique<Server>(
            Ports{sockets, serial, files, clock, view,
                  Timers{led2, led, help, decodeTcp, cmndChk, serialRetry, loginWait, linger}},
            "/app", '/');
    }
    Settings& settings() { return server->settings(); }
    ServerState& state() { return server->state(); }
    ClientSlot& slot(Integer i) { return server->slot(i); }
    SwitcherLine& line() { return server->line(); }
};

// A server on fakes with a fake view.
struct CoreFixture : FakePlatform {
    FakeView view;
    CoreFixture() { MakeServer(view); }
    void Start() { server->Start(); }
};

// A record sink that keeps each record and notes with it what `at` says then: what had left
// before it.
struct RecordProbe final : IRecordSink {
    using Seen = std::vector<std::pair<std::string, std::string>>;  // description, `at`
    std::function<std::string()> at = [] { return std::string(); };
    std::vector<ActivityRecord> records;
    Seen seen;
    int ends = 0;
    void Recorded(const ActivityRecord& r) override {
        records.push_back(r);
        seen.emplace_back(r.description, at());
    }
    void RecordsEnded() override { ++ends; }
};

}  // namespace qv::test
