// The server: shared state, start-up and shut-down, the client table, intake, the send
// routines, the serial link's event and the record operations. Every handler runs to
// completion on one thread; nothing here blocks or waits on an event loop.
#pragma once

#include <string>
#include <string_view>

#include "core/ports.h"
#include "core/variables.h"
#include "link/decode_vantor.h"
#include "records/activity.h"

namespace qv {

// Timer intervals, in milliseconds.
constexpr int kDecodeTcpIntervalMs = 15;  // as often as window timers fire (about 15.6 ms)
constexpr int kCmndChkIntervalMs = 20;
constexpr int kLedIntervalMs = 500;         // lamp period after traffic
constexpr int kLedDesignIntervalMs = 1024;  // network lamp timer's first period after load
constexpr int kLed2IntervalMs = 500;
constexpr int kHelpIntervalMs = 5000;

// Quiet-period thresholds, in ticks of the two polling timers.
constexpr Integer kIdleFlushTicks = 200;      // incomplete client text is flushed above this
constexpr Integer kSerialCleanupTicks = 500;  // a stuck switcher buffer is discarded above this

// Switcher text that never completes a piece is relayed as it stands beyond this size.
constexpr std::size_t kSerialBufferLimit = 64 * 1024;
// A quiet tick that finds more than this in the switcher buffer works the whole backlog off:
// the switcher's own output never leaves that much unframed, so it is noise or lost framing.
constexpr std::size_t kSerialBacklogBytes = 1024;

constexpr Integer kMaxClientSlots = kIntegerMax;

struct Timers {
    ITimer& Led2;
    ITimer& Led;
    ITimer& Help;
    ITimer& DecodeTcp;
    ITimer& CmndChk;
};

struct Ports {
    ISocketArray& sockets;
    ISerialPort& serial;
    IFileSystem& files;
    IClock& clock;
    IView& view;
    Timers timers;
};

class Server final : public ISocketEvents,
                     public ISerialEvents,
                     private ClientLink,
                     private SwitcherLink {
  public:
    // exeFolder stands for the program's folder (settings file and event log).
    Server(Ports ports, std::string exeFolder, char pathSeparator = '/');
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    Variables& vars() { return v_; }
    const Variables& vars() const { return v_; }
    const ActivityRecorder& recorder() const { return recorder_; }

    // Start-up: window design state, defaults, settings file, captions, z-order, listener,
    // serial port. A failing step is reported and the rest skipped.
    void Form_Load();
    // Shut-down, then every window closed.
    void Form_Unload();
    void CloseServer();

    // Socket events.
    void ConnectionRequest(Long requestId) override;
    void DataArrival(Integer index) override;
    void Disconnected(Integer index) override;
    // Serial events.
    void OnComm(Integer commEvent) override;
    void PortLost(const ComponentError& error) override;

    // Timer ticks.
    void tmrLed2_Timer();
    void tmrLed_Timer();
    void tmrHelp_Timer();
    void tmrDecodeTcp_Timer();
    void tmrCmndChk_Timer();

    // Text to every logged-in client / to one client; nothing is added to the text.
    void SendtoIP(std::string_view text) override;
    void SendtoSingleIP(std::string_view text, Integer index) override;
    // A unit to the switcher, one character per write.
    void TcptoSerial(std::string_view text) override;
    void LogActivity(std::string_view text, Integer comPort) override;
    void LogIPActivity(std::string_view text, std::string_view address) override;

    void mnuDisconnectAllClients_Click();
    void cmdClearList_Click();
    void WriteSettings();

    // Setup dialog services. ApplySerialSettings reopens the port with BaudRate and
    // SerialPort; on failure it reports, restores oldSerialPort and returns false.
    bool ApplySerialSettings(Integer oldSerialPort);
    // Disconnects all clients and moves the listener to TcpPort.
    void ApplyTcpPort();
    std::string SerialSettingsText() const;  // as the serial control reads now
    // A report to the operator (non-blocking).
    void Report(const std::string& title, const std::string& text) { p_.view.Report(title, text); }
    void ShowLogFilePanel();
    void ShowPassThruPanel();

  private:
    void InitServer();
    void LoadWindowDesign();
    void NetworkLampOn(bool newInterval);
    void SerialLampOn();
    void ShowConnectionCount();
    void DropClient(Integer index);   // the client went away (or is put off)
    void CloseClient(Integer index);  // the server ends a connected client's connection
    void WriteTo(Integer index, std::string_view text);
    void DrainClient(Integer index);
    void DrainSerial(bool fromTick);
    void BumpIdleTicks();

    // ClientLink / SwitcherLink.
    std::string PeerAddress(Integer index) override;
    Integer CurrentCommPort() override;
    void StartHelpTimer() override;
    void StopCmndChkTimer() override;

    Ports p_;
    Variables v_;
    ActivityRecorder recorder_;
    std::string exeFolder_;
    char sep_;
};

}  // namespace qv
