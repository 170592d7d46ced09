// A failure of an outside component (socket, serial port, file) with its number, and the text
// the operator is shown for it. Every error number the program raises is defined here once.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "base/types.h"

namespace qv {

class ComponentError : public std::exception {
  public:
    ComponentError(Long number, std::string description)
        : number_(number), description_(std::move(description)) {}
    Long number() const { return number_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    Long number_;
    std::string description_;
};

// Runtime errors, where no component gives a number.
constexpr Long kErrInvalidCall = 5;     // invalid procedure call or argument
constexpr Long kErrOverflow = 6;        // a number does not fit its width
constexpr Long kErrFileIo = 75;         // path/file access error
constexpr Long kErrInvalidValue = 380;  // invalid property value

// The serial control's numbers.
constexpr Long kErrTxFull = 1010;           // transmit buffer full
constexpr Long kErrInvalidPort = 8002;      // invalid port number / the device is not there
constexpr Long kErrPortAlreadyOpen = 8005;  // port already open (or not ours to open)
constexpr Long kErrHardware = 8010;         // the device failed
constexpr Long kErrNotOpen = 8012;          // the device is not open

// The socket control's numbers: 24000 plus the WinSock offset.
constexpr Long kErrSocket = 24000;               // any other socket failure
constexpr Long kErrSocketAccess = 24013;         // permission denied
constexpr Long kErrInvalidSocketHandle = 24038;  // no such connection
constexpr Long kErrAddressInUse = 24048;         // the port is taken
constexpr Long kErrAddressNotAvailable = 24049;  // no such local address
constexpr Long kErrNetworkDown = 24050;          // the network failed
constexpr Long kErrNoBuffers = 24055;            // out of resources
constexpr Long kErrConnectionReset = 24058;      // the peer closed

// "Context" CR CR "Error # " sign-position number " - " description.
inline std::string ErrorText(std::string_view context, Long number, std::string_view description) {
    std::string s(context);
    s += "\r\rError # ";
    if (number >= 0) s += ' ';  // where a minus sign would stand
    s += std::to_string(number);
    s += " - ";
    s += description;
    return s;
}
inline std::string ErrorText(std::string_view context, const ComponentError& e) {
    return ErrorText(context, e.number(), e.description());
}

}  // namespace qv
