#include "components/address_filter.h"

#include <QAbstractSocket>
#include <QRegularExpression>

namespace qv {

namespace {

// An address as written: dotted quad IPv4 or IPv6, nothing shorter (inet_aton would take
// "10.1.2" as 10.1.0.2).
bool ParseAddress(const QString& text, QHostAddress* address) {
    static const QRegularExpression dottedQuad(
        QStringLiteral("^\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}$"));
    if (!text.contains(QLatin1Char(':')) && !dottedQuad.match(text).hasMatch()) return false;
    return address->setAddress(text);
}

}  // namespace

QHostAddress Unmapped(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped && address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(v4)
                                                                         : address;
}

bool AddressFilter::Add(const QString& range) {
    const qsizetype slash = range.indexOf(QLatin1Char('/'));
    QHostAddress a;
    if (!ParseAddress(slash < 0 ? range : range.left(slash), &a)) return false;
    const int bits = a.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    QPair<QHostAddress, int> subnet{a, bits};
    if (slash >= 0) {
        bool ok = false;
        subnet.second = range.mid(slash + 1).toInt(&ok);
        if (!ok || subnet.second < 0 || subnet.second > bits) return false;
    }
    subnet.first = Unmapped(subnet.first);
    ranges_.append(subnet);
    return true;
}

bool AddressFilter::Allows(const QHostAddress& peer) const {
    const QHostAddress a = Unmapped(peer);
    for (const auto& r : ranges_)
        if (a.isInSubnet(r.first, r.second)) return true;
    return false;
}

bool AddressFilter::ShouldSay(const QHostAddress& peer, qint64 nowMs) {
    const QString key = Unmapped(peer).toString();
    const auto it = said_.constFind(key);
    if (it != said_.constEnd() && nowMs - it.value() < kRefusalNoticeMs) return false;
    if (said_.size() >= kRefusalNoticeCap) {
        for (auto i = said_.begin(); i != said_.end();)
            i = nowMs - i.value() >= kRefusalNoticeMs ? said_.erase(i) : std::next(i);
        if (said_.size() >= kRefusalNoticeCap) said_.clear();
    }
    said_.insert(key, nowMs);
    return true;
}

bool ParseListenAddress(const QString& text, QHostAddress* address) {
    if (text == QLatin1String("::")) {
        *address = QHostAddress(QHostAddress::Any);  // both families
        return true;
    }
    return ParseAddress(text, address);
}

}  // namespace qv
