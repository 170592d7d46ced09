// The server: start-up and shut-down, the client table and intake, the send routines, the
// switcher link and the records. Every handler runs to completion on one thread; nothing here
// blocks or waits on an event loop.
//
// The code is spread by what it does: server.cpp (start-up, shut-down, lamps, panels,
// records), clients.cpp (connections, intake, sending), switcher_link.cpp (the serial port),
// setup.cpp (the setup dialog's changes and the password).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/ports.h"
#include "core/client_table.h"
#include "core/login_throttle.h"
#include "core/setup.h"
#include "link/client_interpreter.h"
#include "link/switcher_framing.h"
#include "records/event_log.h"
#include "records/history.h"
#include "records/recorder.h"
#include "records/settings.h"

namespace qv {

// Timer intervals, in milliseconds.
constexpr int kDecodeTcpIntervalMs = 15;  // as often as window timers fire (about 15.6 ms)
constexpr int kCmndChkIntervalMs = 20;
constexpr int kLedIntervalMs = 500;         // lamp period after traffic
constexpr int kLedDesignIntervalMs = 1024;  // network lamp timer's first period after load
constexpr int kLed2IntervalMs = 500;
constexpr int kHelpIntervalMs = 5000;

// Incomplete client text is flushed after this many quiet ticks of tmrDecodeTcp.
constexpr Integer kIdleFlushTicks = 200;

constexpr Integer kMaxClientSlots = kIntegerMax;

// Text held per client, read but not yet worked off. At the bound the client is not read until
// there is room again, so TCP slows its sender and nothing is dropped: room for the longest
// password (255 characters) and a few units while it awaits the password or is held, for a
// burst of units once logged in.
constexpr std::size_t kHeldTextMaxAwaitingLogin = 4 * 1024;
constexpr std::size_t kHeldTextMaxLoggedIn = 32 * 1024;
// While an address is being slowed, at most this many of its connections await the password;
// further ones are refused as they come.
constexpr int kSlowedAddressMaxAwaiting = 4;
// Connections awaiting the password, from all addresses; past it the one that has waited
// longest is put off. Far above any site's panel count.
constexpr int kMaxAwaitingLogin = 512;
// A refusal is said at most once per address in this long.
constexpr long long kRefusalReportMs = 60'000;

// Reopening a lost switcher link: the first try soon after the loss, then backing off,
// doubling, to one try every kSerialRetryMaxMs.
constexpr int kSerialRetryFirstMs = 400;
constexpr int kSerialRetryMaxMs = 5000;
// How often clients awaiting their password are checked against the login timeout.
constexpr int kLoginWaitCheckMs = 250;
// A client whose input ended is served its answers until this long has passed with no output
// to it, then closed: TCP cannot tell a client that closed from one that only half-closed.
constexpr int kInputEndedLingerMs = 1000;
// How often lingering clients are checked against the linger.
constexpr int kLingerCheckMs = 100;

struct Timers {
    ITimer& Led2;
    ITimer& Led;
    ITimer& Help;
    ITimer& DecodeTcp;
    ITimer& CmndChk;
    ITimer& SerialRetry;  // tries to reopen a lost switcher link
    ITimer& LoginWait;    // puts off clients that never log in (when asked to)
    ITimer& Linger;       // closes clients whose input ended once their answers are done
};

struct Ports {
    ISocketArray& sockets;
    ISerialPort& serial;
    IFileSystem& files;
    IClock& clock;
    IView& view;
    Timers timers;
};

// The switcher link: Closed before start-up and after shut-down, Open, or Down while the port
// could not be opened (or was lost) and is being tried again.
enum class SerialLinkState { Closed, Open, Down };

// Counts since start-up, for those who watch the server.
struct ServerCounters {
    std::uint64_t Logins = 0;        // clients logged in (with or without a password)
    std::uint64_t FailedLogins = 0;  // wrong passwords
    std::uint64_t UnitsForwarded = 0;
    std::uint64_t PiecesRelayed = 0;
    std::uint64_t SlowClientsPutOff = 0;
    std::uint64_t SerialLinkLosses = 0;
};

// The server's own run-time state.
struct ServerState {
    std::string AppPath;  // the program's folder, ending in one path separator
    Integer ConnectionCount = 0;
    Integer IdleTicks = 0;  // polling ticks without traffic
    ClientTable Clients;
    SerialLinkState SerialLink = SerialLinkState::Closed;
    ServerCounters Counters;
    // What the operator's window shows now: the two lamps and status-bar panels 1 to 3.
    Long SerialLamp = kColourRed;
    Long NetworkLamp = kColourRed;
    std::string StatusPanel[4];
    long long StartedAtMs = 0;  // on the monotonic clock
};

// The operator's view as the server drives it, remembering the lamps and panels it was given
// so that others (a status page) can show them too.
class ViewMirror final : public IView {
  public:
    ViewMirror(IView& view, ServerState& state) : view_(view), state_(state) {}
    void Report(const std::string& title, const std::string& text) override {
        view_.Report(title, text);
    }
    void HistoryRowAdded(const HistoryRow& row) override { view_.HistoryRowAdded(row); }
    void HistoryFirstRowRemoved() override { view_.HistoryFirstRowRemoved(); }
    void HistoryCleared() override { view_.HistoryCleared(); }
    void SetLampColour(Lamp lamp, Long colour) override {
        (lamp == Lamp::Serial ? state_.SerialLamp : state_.NetworkLamp) = colour;
        view_.SetLampColour(lamp, colour);
    }
    void SetCaption(Label label, const std::string& text) override {
        view_.SetCaption(label, text);
    }
    void SetToolTip(Label label, const std::string& text) override {
        view_.SetToolTip(label, text);
    }
    void SetStatusPanel(int panel, const std::string& text) override {
        if (panel >= 1 && panel <= 3) state_.StatusPanel[panel] = text;
        view_.SetStatusPanel(panel, text);
    }
    void ApplyZOrder(Long insertAfter) override { view_.ApplyZOrder(insertAfter); }
    void CloseAllWindows() override { view_.CloseAllWindows(); }

  private:
    IView& view_;
    ServerState& state_;
};

// Told of changes that those who watch the server care for.
class IServerWatch {
  public:
    virtual ~IServerWatch() = default;
    // The connection count or the switcher link's state changed.
    virtual void StatusChanged() {}
    // Wrong passwords from this address are now being slowed.
    virtual void AddressSlowed(const std::string& /*address*/) {}
    // Shut-down begins.
    virtual void ShuttingDown() {}
    // A connection from address was refused: too many of its connections await the password
    // while it is being slowed. Said at most once per kRefusalReportMs per address.
    virtual void ConnectionRefused(const std::string& /*address*/) {}
    // The password (or another setting) was changed while running.
    virtual void SettingsChanged() {}
};

class Server final : public ISocketEvents,
                     public ISerialEvents,
                     private ClientLink,
                     private SwitcherLink {
  public:
    // exeFolder stands for the program's folder (settings file and event log). Wires the
    // socket, serial and timer events to this server's handlers.
    Server(Ports ports, std::string exeFolder, char pathSeparator = '/');
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    Settings& settings() { return settings_; }
    const Settings& settings() const { return settings_; }
    ServerState& state() { return state_; }
    const ServerState& state() const { return state_; }
    Integer ClientSlotCount() const { return state_.Clients.ClientSlotCount(); }
    ClientSlot& slot(Integer index) { return state_.Clients[index]; }
    SwitcherLine& line() { return line_; }
    const SwitcherLine& line() const { return line_; }
    const ClientSession& session(Integer index) const { return state_.Clients[index]; }
    IClock& clock() const { return p_.clock; }
    void AddWatch(IServerWatch& watch) { watches_.push_back(&watch); }
    // A client still awaiting its password this long after it was taken is put off; 0: never.
    void SetLoginTimeout(long long ms) { loginTimeoutMs_ = ms; }
    const LoginThrottle& throttle() const { return throttle_; }
    std::size_t SlowedAddressCount() const { return throttle_.SlowedCount(p_.clock.MonotonicMs()); }
    const CommandHistory& history() const { return history_; }
    ActivityRecorder& recorder() { return recorder_; }

    // Start-up: window design state, defaults, settings file, captions, z-order, listener,
    // serial port. A failing step is reported and the rest skipped.
    void Start();
    // Shut-down, then every window closed.
    void Stop();
    // Shut-down: the switcher link and the listener closed, every client closed and recorded,
    // the settings written.
    void ShutDown();

    // Socket events.
    void ConnectionRequest(Long requestId) override;
    void DataArrival(Integer index) override;
    void Disconnected(Integer index) override;
    void InputEnded(Integer index) override;
    // Serial events.
    void OnComm(Integer commEvent) override;
    void PortLost(const ComponentError& error) override;
    void DeviceMayBeBack() override;

    // Timer ticks: the lost switcher link tried again; clients awaiting their password past the
    // login timeout put off; clients whose input ended closed after the linger; the lamps back
    // to red; the help menu's mode over; the client tick (clients' text worked off, the idle
    // flush) and the switcher tick (the switcher's output worked off).
    void RetrySerialLink();
    void CheckLoginWaits();
    void CheckLingeringClients();
    void SerialLampTimeout();
    void NetworkLampTimeout();
    void HelpMenuTimeout();
    void ClientTick();
    void SwitcherTick();

    // Text to every logged-in client / to one client; nothing is added to the text.
    void SendtoIP(std::string_view text) override;
    void SendtoSingleIP(std::string_view text, Integer index) override;
    // A unit to the switcher, one character per write.
    void TcptoSerial(std::string_view text) override;
    void LogActivity(std::string_view text, Integer comPort) override;
    void LogIPActivity(std::string_view text, std::string_view address) override;

    // The operator's commands: every client closed and recorded, the slots emptied; the
    // command history emptied.
    void DisconnectAllClients();
    void ClearHistory();
    void WriteSettings();

    // The change-password dialog's OK: the new password is taken and the file written.
    void ChangePassword(const std::string& password);
    // The settings file was changed by someone else while running: what changed is applied as
    // the setup dialog's OK applies it (its order and failure rules), the password as the
    // change-password dialog does; nothing is written. A file that is gone or unchanged since
    // last read or written changes nothing; one that cannot be read is reported and left.
    void ReloadSettings();
    std::string SerialSettingsText() const;  // as the serial control reads now
    // A report to the operator (non-blocking).
    void Report(const std::string& title, const std::string& text) { view_.Report(title, text); }

  private:
    friend class SetupChange;

    // The settings file's text now; nothing when it is missing or cannot be read.
    std::optional<std::string> SettingsFileText() const;
    void ApplyReloaded(const Settings& next);

    void WireTimers();
    void InitServer();
    void LoadWindowDesign();
    void NetworkLampOn(bool newInterval);
    void SerialLampOn();
    void ShowConnectionCount();
    void ShowLogFilePanel();
    void ShowPassThruPanel();
    void ShowSerialCaption();
    void ShowTcpPortCaption();
    void DropClient(Integer index);   // the client went away (or is put off)
    void CloseClient(Integer index);  // the server ends a connected client's connection
    void WriteTo(Integer index, std::string_view text);
    void DrainClient(Integer index);
    // A run of clients' units: their bytes go to the line first, then they are recorded.
    void BeginClientRun();
    void EndClientRun();
    // A run of switcher output: its pieces leave in one write per client, then are recorded.
    void BeginRun();
    void EndRun();
    // The client's password attempt waits: its address is being slowed.
    bool LoginHeld(Integer index);
    // Reading from the client stops while its held text is at its bound, and resumes below it.
    void PaceReading(Integer index);
    std::size_t HeldTextMax(Integer index) const;
    // A new connection from address may be taken (not one too many of a slowed address).
    bool TakesConnectionFrom(const std::string& address);
    // Past the cap of connections awaiting the password, the longest waiting is put off.
    void PutOffLongestAwaiting();
    // Slots above the highest in use go, so that loops over the clients cost what is connected.
    void TrimFreeSlots();
    void SlotFreed(int index);
    bool LineHasRoom(std::size_t n) override;
    void BumpIdleTicks();
    void OpenSerialPort();
    void StatusChanged();
    // The switcher link: open now, or down and tried again from now on.
    void SerialLinkOpened();
    void SerialLinkDown();

    // Setup services. ApplySerialSettings reopens the port with BaudRate and SerialPort; on
    // failure it reports, restores oldSerialPort and returns false.
    bool ApplySerialSettings(Integer oldSerialPort);
    // Disconnects all clients and moves the listener to TcpPort.
    void ApplyTcpPort();

    // ClientLink / SwitcherLink.
    std::string PeerAddress(Integer index) override;
    Integer CurrentCommPort() override;
    void StartHelpTimer() override;
    void StopCmndChkTimer() override;
    void PasswordChecked(Integer index, bool correct) override;

    Ports p_;
    Settings settings_;
    ServerState state_;
    ViewMirror view_;
    SwitcherLine line_;
    ActivityRecorder recorder_;
    CommandHistory history_;
    EventLog eventLog_;
    std::string exeFolder_;
    char sep_;
    std::vector<IServerWatch*> watches_;
    // The settings file as last read or written here: a file that differs at shut-down was
    // changed by someone else since, and is not overwritten with older values.
    std::optional<std::string> settingsSeen_;
    // The file was re-read since the last write, and nothing has been changed here since: it
    // holds the values chosen last, even where applying one failed.
    bool fileIsNewer_ = false;
    int serialRetryMs_ = kSerialRetryFirstMs;
    bool sendErrorReported_ = false;  // one "Serial Send Error" per outage
    bool inRun_ = false;              // between BeginRun and EndRun
    bool lampAtRunEnd_ = false;  // the run relayed something: the network lamp lights at its end
    LoginThrottle throttle_;
    long long loginTimeoutMs_ = 0;
    std::uint64_t attemptSeq_ = 0;  // orders the password attempts that wait
    bool lineFull_ = false;         // a unit waits for room on the switcher's line
    Integer elementsMade_ = 0;      // the highest socket element made and not removed
    int freeFrom_ = 1;              // every slot below it is connected: the search starts there
    std::unordered_map<std::string, long long> refusalSaid_;  // address block -> when
};

}  // namespace qv
