// Protocol core of the Quorvex switcher simulator.
//
// Header-only and free of platform calls so that both the stand-alone
// simulator (tools/switcher_sim.cpp) and an in-process demo mode can use the
// same byte-level behaviour. Feed() takes whatever arrived on the line, cuts
// it into command units and returns the bytes the switcher prints in reply.
// See docs/simulator.md for the wire shapes.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "link/unit_table.h"

class SwitcherSim {
  public:
    static constexpr int kSize = 16;  // destinations and sources, numbered 1..kSize

    // Lead characters of the command units.
    static constexpr char kAck = qv::ctl::ACK, kBs = qv::ctl::BS, kHt = qv::ctl::HT,
                          kCr = qv::ctl::CR, kDc2 = qv::ctl::DC2, kDc3 = qv::ctl::DC3,
                          kDc4 = qv::ctl::DC4, kCan = qv::ctl::CAN, kEm = qv::ctl::EM,
                          kEot = qv::ctl::EOT;
    // Reply markers.
    static constexpr char kBel = qv::ctl::BEL, kEsc = qv::ctl::ESC;

    SwitcherSim() { ResetTable(); }

    // Straight-through routing: destination n carries source n.
    void ResetTable() {
        for (int d = 0; d < kSize; ++d) src_[static_cast<std::size_t>(d)] = d + 1;
    }

    // Drops a half-received unit, e.g. after the line was reopened.
    void ClearInput() { buf_.clear(); }
    std::size_t PendingInput() const { return buf_.size(); }

    // Source routed to dest (1-based), or 0 if dest is out of range.
    int Source(int dest) const {
        return InRange(dest) ? src_[static_cast<std::size_t>(dest - 1)] : 0;
    }

    // Takes bytes off the line (possibly a fragment of a unit, possibly many
    // units) and returns the reply for every unit completed by them, in order.
    std::string Feed(std::string_view bytes) {
        buf_.append(bytes);
        std::string out;
        std::size_t pos = 0;
        while (pos < buf_.size()) {
            const std::string_view rest = std::string_view(buf_).substr(pos);
            const std::size_t len = UnitLength(rest);
            if (len == 0 || len > rest.size()) break;  // wait for the rest of it
            out += Answer(rest.substr(0, len));
            pos += len;
        }
        buf_.erase(0, pos);
        return out;
    }

    // 10 chars: CAN, char(dest), "S" sss "T" ddd. Empty if dest is out of range.
    std::string StatusFrame(int dest) const {
        if (!InRange(dest)) return {};
        std::string f;
        f += kCan;
        f += static_cast<char>(dest);
        f += 'S';
        f += Three(Source(dest));
        f += 'T';
        f += Three(dest);
        return f;
    }

    // 4 chars: BEL "ACK".
    static std::string Ack() { return std::string(1, kBel) + "ACK"; }

    // 17 chars: ESC "[2J" ESC "[H" "QMT READY>".
    static std::string ReadyScreen() {
        return std::string(1, kEsc) + "[2J" + kEsc + "[H" + "QMT READY>";
    }

    static std::string HelpMenu() {
        std::string m(1, kEsc);
        m += "[2J";
        m += kEsc;
        m += "[H";
        m += "QUORVEX SIM HELP\r\n";
        m += "CR           ready screen\r\n";
        m += "DC4 dddsss   route source sss to destination ddd (001-016)\r\n";
        m += "EOT I xx     list the crosspoint table\r\n";
        m += "EOT T HELP?  this menu\r\n";
        m += "other units  OK\r\n";
        m += "Fx31) End of help\r\n";
        return m;
    }

    // One "DST dd SRC ss" line per destination.
    std::string TableListing() const {
        std::string t;
        for (int d = 1; d <= kSize; ++d) t += "DST " + Two(d) + " SRC " + Two(Source(d)) + "\r\n";
        return t;
    }

  private:
    static bool InRange(int n) { return n >= 1 && n <= kSize; }

    static std::string Two(int n) {
        return {static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10)};
    }
    static std::string Three(int n) {
        return {static_cast<char>('0' + n / 100 % 10), static_cast<char>('0' + n / 10 % 10),
                static_cast<char>('0' + n % 10)};
    }

    // Three decimal digits as a number, or -1 if any of them is not a digit.
    static int Number3(std::string_view s) {
        int n = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return -1;
            n = n * 10 + (c - '0');
        }
        return n;
    }

    // Length of the unit at the front of b; 0 when its lead alone does not tell
    // yet (EOT needs its second char). Anything unknown is a 1-char stray.
    // The server's unit table, read as a switcher does: a character that opens no unit is a
    // unit of its own, and EOT with another character is two characters.
    static std::size_t UnitLength(std::string_view b) {
        const std::size_t n = qv::UnitLength(b);
        if (n == qv::kNoUnit) return 1;
        if (n == qv::kWholeBuffer) return 2;
        return n;
    }

    std::string Answer(std::string_view u) {
        static const std::string kOk = "OK\r\n";
        switch (u[0]) {
            case kCr:
                return ReadyScreen();
            case kDc4: {
                const int dest = Number3(u.substr(1, 3));
                const int src = Number3(u.substr(4, 3));
                if (!InRange(dest) || !InRange(src)) return "ERR RANGE\r\n";
                src_[static_cast<std::size_t>(dest - 1)] = src;
                return StatusFrame(dest) + Ack();
            }
            case kEot:
                if (u[1] == 'I') return TableListing();
                if (u.substr(2) == "HELP?") return HelpMenu();
                return kOk;
            case kBs:
            case kDc3:
            case kDc2:
            case kHt:
            case kCan:
            case kEm:
            case kAck:
                return kOk;
            default:
                return {};  // stray: the real switcher ignores it too
        }
    }

    std::string buf_;
    std::array<int, kSize> src_{};
};
