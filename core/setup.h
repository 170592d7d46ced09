// The setup dialog's OK, as one routine over plain values. The dialog hands over what the
// operator chose; the routine asks its questions one at a time (the dialog shows them and
// answers), so the core never waits on a box.
#pragma once

#include <string>

#include "base/types.h"

namespace qv {

class Server;

// What the setup dialog hands back.
struct SetupValues {
    Integer SerialPort = 0;
    std::string BaudRate;
    std::string TcpPortText;  // as typed
    bool StayOnTop = false;
    bool LogFileOn = false;
    bool PassThruMode = false;
};

// One press of OK. Run it; while it returns a question, show it and Answer.
class SetupChange {
  public:
    enum class Question {
        None,               // finished: see Accepted()
        ConfirmSerialPort,  // "Serial Port Change", a new port (OK / Cancel)
        ConfirmBaudRate,    // "Serial Port Change", a new baud rate (OK / Cancel)
        BadTcpPort,         // "Port Error", out of range (OK only)
        ConfirmTcpPort,     // "IP Port Change" (OK / Cancel)
    };

    SetupChange(Server& server, SetupValues values);
    // Goes on to the next question, or to the end.
    Question Run();
    // The answer to the question Run returned: true for OK.
    void Answer(bool ok);
    // True when the changes are all applied and the dialog closes.
    bool Accepted() const { return accepted_; }

  private:
    enum class Step { Start, BaudRate, Apply, ApplyTcpPort, Done };

    Server& server_;
    SetupValues values_;
    Integer oldSerialPort_;
    Step step_ = Step::Start;
    Question asked_ = Question::None;
    bool serialChange_ = false;
    Long tcpPort_ = 0;
    bool accepted_ = false;
};

}  // namespace qv
