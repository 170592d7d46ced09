// The process-wide server state. One instance lives in the Server; every routine reaches it
// by reference. Widths are kept as stored: Integer is 16-bit, Long 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

using Integer = std::int16_t;
using Long = std::int32_t;

constexpr Integer kIntegerMax = 32767;
constexpr Long kColourRed = 255;      // Windows colour value 0x0000FF
constexpr Long kColourGreen = 65280;  // Windows colour value 0x00FF00
constexpr Long kTopMost = -1;         // HWND_TOPMOST
constexpr Long kNotTopMost = -2;      // HWND_NOTOPMOST

// A text that is consumed from the front and appended at the back. Consuming is O(1)
// amortised, so a long run of input worked off piece by piece costs O(length) overall.
class TextBuffer {
  public:
    std::string_view view() const { return std::string_view(data_).substr(head_); }
    std::size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    char operator[](std::size_t i) const { return data_[head_ + i]; }
    void append(std::string_view s) { data_.append(s); }
    void assign(std::string_view s) {
        data_.assign(s);
        head_ = 0;
    }
    void clear() {
        data_.clear();
        head_ = 0;
    }
    // Removes the first n characters (all of them when n >= size()).
    void consume(std::size_t n) {
        if (n >= size()) {
            clear();
            return;
        }
        head_ += n;
        if (head_ >= 4096 && head_ * 2 >= data_.size()) {
            data_.erase(0, head_);
            head_ = 0;
        }
    }
    friend bool operator==(const TextBuffer& b, std::string_view s) { return b.view() == s; }

  private:
    std::string data_;
    std::size_t head_ = 0;
};

struct Variables {
    // Settings, persisted in quorvex.ini.
    Integer MaxListSize = 0;
    Long StayOnTopMode = 0;
    bool LogFileOn = false;
    bool PassThruMode = false;
    std::string Password;
    Long TcpPort = 0;
    Integer SerialPort = 0;
    std::string BaudRate;

    // Derived and run-time state.
    std::string AppPath;  // the program's folder, ending in one path separator
    Integer ClientSlotCount = 0;
    Integer ConnectionCount = 0;
    std::vector<TextBuffer> ClientBuffer;  // indexes 0..ClientSlotCount; 0 never used
    std::vector<bool> LoggedIn;            // indexes 0..ClientSlotCount; 0 never used
    Integer IdleTicks = 0;
    TextBuffer SerialBuffer;
    Integer HelpMenuActive = 0;  // -1 while the switcher prints its help menu
    std::string ReadyPrompt;
};

// The switcher's ready screen: clear screen, cursor home, prompt.
inline std::string MakeReadyPrompt() {
    return "\x1b[2J\x1b[HQMT READY>";
}

}  // namespace qv
