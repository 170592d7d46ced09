#include "components/native_socket.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

// Kept apart: it uses winsock2.h's types, and include sorting would put it first.
#include <mstcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qv::net {
namespace {

using Native = decltype(::socket(0, 0, 0));  // int, or SOCKET on Windows

#ifdef _WIN32
struct WinSockUp {
    WinSockUp() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
};
const WinSockUp g_winsock;

void MakeNonBlocking(Handle h) {
    u_long on = 1;
    ioctlsocket(static_cast<SOCKET>(h), FIONBIO, &on);
}
bool WouldBlock(int e) {
    return e == WSAEWOULDBLOCK;
}
#else
void MakeNonBlocking(Handle h) {
    ::fcntl(h, F_SETFL, ::fcntl(h, F_GETFL) | O_NONBLOCK);
    ::fcntl(h, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    const int on = 1;  // no MSG_NOSIGNAL on these systems
    ::setsockopt(h, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}
bool WouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}
#endif

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a vanished peer is an error, not a signal
#else
constexpr int kSendFlags = 0;
#endif

template <typename T>
void SetOption(Handle h, int level, int name, T value) {
    ::setsockopt(static_cast<Native>(h), level, name, reinterpret_cast<const char*>(&value),
                 sizeof value);
}

}  // namespace

int LastError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

bool IsOutOfResources(int e) {
#ifdef _WIN32
    return e == WSAEMFILE || e == WSAENOBUFS;
#else
    return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM;
#endif
}

std::string ErrorText(int e) {
#ifdef _WIN32
    return "Socket error " + std::to_string(e);
#else
    return std::strerror(e);
#endif
}

Handle Listen(const ListenAddress& address, std::uint16_t port, int* error) {
    const bool v6 =
        address.family == ListenAddress::IPv6 || address.family == ListenAddress::AnyBoth;
    const auto s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == static_cast<Native>(kNoHandle)) {
        *error = LastError();
        return kNoHandle;
    }
    const auto h = static_cast<Handle>(s);
#ifdef _WIN32
    SetOption(h, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, BOOL(TRUE));  // no second listener on the port
#else
    SetOption(h, SOL_SOCKET, SO_REUSEADDR, 1);  // a restart need not wait for old connections
#endif
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        if (address.family == ListenAddress::IPv6)
            std::memcpy(&a.sin6_addr, address.bytes, 16);
        else
            a.sin6_addr = in6addr_any;
        // "::" takes both families; an IPv6 address its own family only.
        SetOption(h, IPPROTO_IPV6, IPV6_V6ONLY, address.family == ListenAddress::IPv6 ? 1 : 0);
        size = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (address.family == ListenAddress::IPv4)
            std::memcpy(&a.sin_addr, address.bytes, 4);
        else
            a.sin_addr.s_addr = htonl(INADDR_ANY);
        size = sizeof a;
    }
    if (::bind(s, reinterpret_cast<const sockaddr*>(&storage), size) != 0 ||
        ::listen(s, SOMAXCONN) != 0) {
        *error = LastError();
        Close(h);
        return kNoHandle;
    }
    MakeNonBlocking(h);
    return h;
}

std::uint16_t LocalPort(Handle h) {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    if (::getsockname(static_cast<Native>(h), reinterpret_cast<sockaddr*>(&a), &n) != 0) return 0;
    // The port stands at the same place in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

Handle Accept(Handle listener, int* error) {
    const auto l = static_cast<Native>(listener);
#if defined(__linux__)
    const int s = ::accept4(l, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const auto s = ::accept(l, nullptr, nullptr);
#endif
    if (s == static_cast<Native>(kNoHandle)) {
        *error = LastError();
        if (WouldBlock(*error)) *error = 0;
        return kNoHandle;
    }
#if !defined(__linux__)
    MakeNonBlocking(static_cast<Handle>(s));
#endif
    return static_cast<Handle>(s);
}

std::string PeerAddress(Handle h) {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    if (::getpeername(static_cast<Native>(h), reinterpret_cast<sockaddr*>(&a), &n) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        const auto* b = reinterpret_cast<const unsigned char*>(&v6->sin6_addr);
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(b, kMapped, sizeof kMapped) == 0)
            ::inet_ntop(AF_INET, b + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return text;
}

void SetClientOptions(Handle h, const KeepAlive& k) {
    SetOption(h, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(h, SOL_SOCKET, SO_SNDBUF, kClientSendBuffer);
    SetOption(h, SOL_SOCKET, SO_KEEPALIVE, 1);
#ifdef _WIN32
    tcp_keepalive ka{1, static_cast<ULONG>(k.idleS) * 1000, static_cast<ULONG>(k.intervalS) * 1000};
    DWORD out = 0;
    WSAIoctl(static_cast<SOCKET>(h), SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &out, nullptr,
             nullptr);
#else
#if defined(TCP_KEEPIDLE)
    SetOption(h, IPPROTO_TCP, TCP_KEEPIDLE, k.idleS);
#elif defined(TCP_KEEPALIVE)
    SetOption(h, IPPROTO_TCP, TCP_KEEPALIVE, k.idleS);  // macOS
#endif
#ifdef TCP_KEEPINTVL
    SetOption(h, IPPROTO_TCP, TCP_KEEPINTVL, k.intervalS);
#endif
#ifdef TCP_KEEPCNT
    SetOption(h, IPPROTO_TCP, TCP_KEEPCNT, k.probes);
#endif
#endif
#ifdef TCP_USER_TIMEOUT
    SetOption(h, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<unsigned>(k.userTimeoutMs));
#endif
}

IoResult Receive(Handle h, char* buffer, std::size_t size) {
#ifdef _WIN32
    const int n = ::recv(static_cast<SOCKET>(h), buffer, static_cast<int>(size), 0);
#else
    const ssize_t n = ::recv(h, buffer, size, 0);
#endif
    if (n > 0) return {IoResult::Moved, static_cast<std::size_t>(n), 0};
    if (n == 0) return {IoResult::End, 0, 0};
    const int e = LastError();
    if (WouldBlock(e)) return {IoResult::WouldBlock, 0, 0};
    return {IoResult::Error, 0, e};
}

IoResult Send(Handle h, const char* data, std::size_t size) {
#ifdef _WIN32
    const int n = ::send(static_cast<SOCKET>(h), data, static_cast<int>(size), 0);
#else
    const ssize_t n = ::send(h, data, size, kSendFlags);
#endif
    if (n >= 0) return {IoResult::Moved, static_cast<std::size_t>(n), 0};
    const int e = LastError();
    if (WouldBlock(e)) return {IoResult::WouldBlock, 0, 0};
    return {IoResult::Error, 0, e};
}

int PendingError(Handle h) {
    int e = 0;
    socklen_t n = sizeof e;
    ::getsockopt(static_cast<Native>(h), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &n);
    return e;
}

void DiscardUrgent(Handle h) {
    char c;
    ::recv(static_cast<Native>(h), &c, 1, MSG_OOB);
}

void Close(Handle h) {
#ifdef _WIN32
    ::closesocket(static_cast<SOCKET>(h));
#else
    ::close(h);
#endif
}

void Abort(Handle h) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;  // close sends a reset and drops whatever is queued
    SetOption(h, SOL_SOCKET, SO_LINGER, l);
    Close(h);
}

void RaiseDescriptorLimit() {
#ifndef _WIN32
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);  // where the system caps it lower, the old limit stays
#endif
}

}  // namespace qv::net
