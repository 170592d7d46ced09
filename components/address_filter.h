// Which client addresses may connect (the --allow ranges), and the listen address (--bind).
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

namespace qv {

// A refused address is said at most once in this long.
constexpr qint64 kRefusalNoticeMs = 60'000;
// Addresses remembered for that; past it the oldest notices are forgotten.
constexpr int kRefusalNoticeCap = 1024;

class AddressFilter {
  public:
    // Adds a range "ADDRESS" or "ADDRESS/PREFIX" (IPv4 or IPv6); false on a bad text.
    bool Add(const QString& range);
    // No ranges: every address is taken.
    bool Empty() const { return ranges_.isEmpty(); }
    // An IPv4-mapped IPv6 peer is matched as the IPv4 address it is.
    bool Allows(const QHostAddress& peer) const;
    // True when a refusal of peer should be said now: once a minute per address at most.
    bool ShouldSay(const QHostAddress& peer, qint64 nowMs);

  private:
    QList<QPair<QHostAddress, int>> ranges_;
    QHash<QString, qint64> said_;
};

// Parses a --bind address: an IPv4 or IPv6 address; "::" stands for every address of both
// families. False on a bad text.
bool ParseListenAddress(const QString& text, QHostAddress* address);

// The address as the history shows it: an IPv4-mapped IPv6 address as plain IPv4.
QHostAddress Unmapped(const QHostAddress& address);

}  // namespace qv
