// Thin calls over the platform's TCP sockets (POSIX, or WinSock on Windows), for the socket
// array that owns its descriptors. Every call is non-blocking; failures come back as the
// platform's error number, never as an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::net {

#ifdef _WIN32
using Handle = std::uintptr_t;  // SOCKET
constexpr Handle kNoHandle = ~Handle(0);
#else
using Handle = int;
constexpr Handle kNoHandle = -1;
#endif

// The kernel's keep-alive and the give-up time for unacknowledged output.
struct KeepAlive {
    int idleS = 30;             // first probe after this long without traffic
    int intervalS = 10;         // between probes
    int probes = 3;             // unanswered probes before the peer counts as dead
    int userTimeoutMs = 60000;  // output unacknowledged this long: the peer counts as dead
};

// The kernel's send buffer per client (the kernel doubles it for its bookkeeping). The switcher
// sends a few kilobytes a second at most; a fixed buffer keeps what a client that stops reading
// ties up in the kernel small, and lets output that waits show in the array's own queue.
constexpr int kClientSendBuffer = 64 * 1024;

// Outcome of a read or write: bytes moved, or none for now, or the end, or a failure.
struct IoResult {
    enum Kind { Moved, WouldBlock, End, Error } kind = Error;
    std::size_t bytes = 0;
    int error = 0;
};

// The last error of the calling thread (errno or WSAGetLastError()).
int LastError();
// True for the errors that mean the process or the system is out of descriptors or memory.
bool IsOutOfResources(int error);
// A short English description of an error number.
std::string ErrorText(int error);

// Where a listener takes connections.
struct ListenAddress {
    enum Family { AnyIPv4, IPv4, IPv6, AnyBoth } family = AnyIPv4;
    unsigned char bytes[16] = {};  // the address, network order (4 bytes for IPv4)
};
// A listening socket; kNoHandle with *error set on failure.
Handle Listen(const ListenAddress& address, std::uint16_t port, int* error);
std::uint16_t LocalPort(Handle h);
// Takes one waiting connection, non-blocking; kNoHandle with *error set when none is taken.
Handle Accept(Handle listener, int* error);
// The peer's address as dotted text (IPv4-mapped IPv6 as plain IPv4).
std::string PeerAddress(Handle h);
// Keep-alive, the unacknowledged-data timeout, the send buffer and no Nagle delay on a client
// connection.
void SetClientOptions(Handle h, const KeepAlive& k);

IoResult Receive(Handle h, char* buffer, std::size_t size);
IoResult Send(Handle h, const char* data, std::size_t size);
// The pending error of the socket (0 if none).
int PendingError(Handle h);
// Discards urgent (out-of-band) data so it does not keep signalling.
void DiscardUrgent(Handle h);

// Releases the descriptor; the kernel still sends what it holds, then ends the connection.
void Close(Handle h);
// Ends the connection with a reset at once; nothing stays queued in the kernel.
void Abort(Handle h);

// Raises the soft limit of open descriptors to the hard limit (no-op where there is none).
void RaiseDescriptorLimit();

}  // namespace qv::net
