// The small interfaces through which the core reaches sockets, the serial port, timers, the
// operator's view, files and the clock. components/, ui/ and app/ implement them; tests
// implement them with fakes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/component_error.h"
#include "base/types.h"

namespace qv {

// Reports to the operator: a message box in the window, a line on stderr headless.
// Never blocks the caller.
class IReporter {
  public:
    virtual ~IReporter() = default;
    virtual void Report(const std::string& title, const std::string& text) = 0;
};

struct HistoryRow {
    std::string address;
    std::string description;
};

// Whoever shows the command history.
class IHistoryView {
  public:
    virtual ~IHistoryView() = default;
    virtual void HistoryRowAdded(const HistoryRow& row) = 0;
    virtual void HistoryFirstRowRemoved() = 0;
    virtual void HistoryCleared() = 0;
};

enum class Lamp { Serial, Network };                    // shpSerialStatus, shpRcvMsg
enum class Label { CmdHistory, SerialStatus, RcvMsg };  // lblCmdHistory, lblSerialStatus, lblRcvMsg

// The operator's window (or its headless stand-in).
class IView : public IReporter, public IHistoryView {
  public:
    virtual void SetLampColour(Lamp lamp, Long colour) = 0;
    virtual void SetCaption(Label label, const std::string& text) = 0;
    virtual void SetToolTip(Label label, const std::string& text) = 0;
    // Status-bar panel 1..3 (panel 4 is the clock and keeps itself).
    virtual void SetStatusPanel(int panel, const std::string& text) = 0;
    // Changes only the main window's z-order: kTopMost or kNotTopMost.
    virtual void ApplyZOrder(Long insertAfter) = 0;
    // Closes every open window, last opened first.
    virtual void CloseAllWindows() = 0;
};

// A view that shows nothing: those who need part of a view (a headless stand-in, a quiet
// reader of the settings) override that part only.
class NullView : public IView {
  public:
    void Report(const std::string&, const std::string&) override {}
    void HistoryRowAdded(const HistoryRow&) override {}
    void HistoryFirstRowRemoved() override {}
    void HistoryCleared() override {}
    void SetLampColour(Lamp, Long) override {}
    void SetCaption(Label, const std::string&) override {}
    void SetToolTip(Label, const std::string&) override {}
    void SetStatusPanel(int, const std::string&) override {}
    void ApplyZOrder(Long) override {}
    void CloseAllWindows() override {}
};

// A window timer with the timer rule: enabling an enabled timer leaves its period running;
// setting the interval, or disabling and enabling, starts a new full period.
class ITimer {
  public:
    virtual ~ITimer() = default;
    virtual void SetEnabled(bool on) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    // What runs on each tick; the owner of the handlers wires it.
    virtual void SetTick(std::function<void()> tick) = 0;
};

// Files, by full path. Every call throws ComponentError on failure.
class IFileSystem {
  public:
    virtual ~IFileSystem() = default;
    virtual bool Exists(const std::string& path) const = 0;
    virtual void Remove(const std::string& path) = 0;
    virtual std::string ReadAll(const std::string& path) const = 0;
    // Writes the new file beside the old one and replaces it in one rename.
    virtual void WriteReplace(const std::string& path, std::string_view data) = 0;
    virtual void Append(const std::string& path, std::string_view data) = 0;
};

struct LocalDateTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

// Qt-style patterns of the user's short date and long time ("M/d/yyyy", "h:mm:ss AP").
struct DateTimePatterns {
    std::string shortDate = "M/d/yyyy";
    std::string longTime = "h:mm:ss AP";
    friend bool operator==(const DateTimePatterns&, const DateTimePatterns&) = default;
};

class IClock {
  public:
    virtual ~IClock() = default;
    virtual LocalDateTime Now() const = 0;
    virtual DateTimePatterns Patterns() const = 0;
    // Milliseconds on a clock that never goes back (not the time of day).
    virtual long long MonotonicMs() const = 0;
};

// Events raised by the socket array; the server handles them.
class ISocketEvents {
  public:
    virtual ~ISocketEvents() = default;
    virtual void ConnectionRequest(Long requestId) = 0;
    virtual void DataArrival(Integer index) = 0;
    virtual void Disconnected(Integer index) = 0;  // the client went away
    // The client ended its sending side (a close or a half-close): output still reaches it
    // until the server closes it.
    virtual void InputEnded(Integer /*index*/) {}
};

// The socket control array wscktClients: element 0 listens, elements 1.. carry a client each.
class ISocketArray {
  public:
    enum class WriteResult { Ok, Failed, Overflow };
    virtual ~ISocketArray() = default;
    virtual void SetEvents(ISocketEvents* events) = 0;
    // Element 0. Listen and MoveListener throw ComponentError.
    virtual void Listen(Long port) = 0;
    virtual void MoveListener(Long port) = 0;
    virtual void CloseListener() = 0;
    virtual bool Listening() const = 0;
    // Client elements. CreateElement makes element i (i == current count + 1).
    virtual void CreateElement(Integer index) = 0;
    virtual void RemoveElement(Integer index) = 0;
    // Takes the pending connection over into element i; throws ComponentError.
    virtual void Accept(Integer index, Long requestId) = 0;
    // Closes a pending connection that gets no slot.
    virtual void Refuse(Long requestId) = 0;
    virtual bool Connected(Integer index) const = 0;
    virtual std::string PeerAddress(Integer index) const = 0;
    // The characters waiting on element i, at most `most` of them (the rest stays waiting and
    // raises DataArrival again); throws ComponentError.
    virtual std::string ReadAll(Integer index, std::size_t most) = 0;
    // Off: nothing more is read from element i, so TCP slows its sender; on again: reading
    // resumes, and what waits raises DataArrival.
    virtual void SetReading(Integer index, bool on) = 0;
    // The address of a connection not yet taken over (empty if there is no such request).
    virtual std::string RequestAddress(Long requestId) const = 0;
    // Overflow: the client's pending output passed the cap.
    virtual WriteResult Write(Integer index, std::string_view text) = 0;
    // Output written from HoldOutput until SendHeldOutput leaves then, in one write per client
    // (a run of pieces relayed at once costs one system call per client, not one per piece).
    // Under a steady stream the array may gather several runs into one write, briefly; later
    // output to a client never overtakes its held output.
    virtual void HoldOutput() = 0;
    virtual void SendHeldOutput() = 0;
    // Output written to element i and not yet taken by the network.
    virtual std::size_t QueuedOutput(Integer index) const = 0;
    // Action 7; raises no disconnect event.
    virtual void Close(Integer index) = 0;
};

class ISerialEvents {
  public:
    virtual ~ISerialEvents() = default;
    virtual void OnComm(Integer commEvent) = 0;
    // The device went away under the open port; the port is closed.
    virtual void PortLost(const ComponentError& error) = 0;
    // The device of a port that could not be opened (or was lost) may be there again.
    virtual void DeviceMayBeBack() {}
};

constexpr Integer kCommEventReceive = 2;  // received characters are waiting

// The serial control MSComm1. Members throw ComponentError on failure.
class ISerialPort {
  public:
    virtual ~ISerialPort() = default;
    virtual void SetEvents(ISerialEvents* events) = 0;
    virtual std::string Settings() const = 0;
    virtual void SetSettings(const std::string& settings) = 0;
    virtual Integer CommPort() const = 0;
    virtual void SetCommPort(Integer port) = 0;
    virtual bool PortOpen() const = 0;
    virtual void SetPortOpen(bool open) = 0;
    virtual Long InBufferCount() const = 0;
    virtual std::string Input() = 0;
    virtual void Output(char c) = 0;
    // How many characters Output can still queue now; a closed port takes any number (and
    // fails on each).
    virtual std::size_t OutputRoom() const { return static_cast<std::size_t>(-1); }
    // What Output queued goes to the line now, as far as it takes it without waiting, instead
    // of at a later turn of the event loop. A failure shows as the port's loss, from the loop.
    virtual void SendOutput() {}
};

}  // namespace qv
