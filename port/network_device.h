// Ports without a system handle: a network serial port (Telnet with the
// COM-PORT-OPTION), raw TCP and the loop. Each emulates a local port's calls
// with the system's semantics for an overlapped handle:
// - reads honour the time-out record (ReadIntervalTimeout MAXDWORD with both
//   totals 0 returns at once; with the multiplier MAXDWORD as well a read waits
//   up to the constant for its first byte and ends with it), EV_RXCHAR is
//   raised by every arrival, a mask change ends a pending wait with mask 0;
// - an operation that cannot finish at once completes later through its
//   record (Internal the error, InternalHigh the count) and its event.
// A port's state belongs to its one I/O thread: callers hand each call over
// and wait for its answer, so there is no lock. The thread sleeps on the
// socket's events and a wake event, never on a timer unless a read has a
// time-out due.
//
// What each kind does with the line:
// - rfc2217: line settings, flow control, DTR, RTS, break and purges go to the
//   server; a purge returns when the server has answered it (bounded), so that
//   nothing the far end sends after it is purged; other acknowledgements are
//   not awaited. Modem lines and line errors come from its notifications.
// - socket: settings and lines are accepted and change nothing; CTS, DSR and
//   RLSD read as on while connected.
// - loop: sent bytes are received; RTS shows as CTS, DTR as DSR and RLSD; a
//   break shows as a received break.
// A connection that ends makes every later call fail with the system's error
// (WSAEDISCON when the far end closed it, otherwise the socket's error); bytes
// received before stay readable.
#pragma once

#include <windows.h>

#include <memory>

#include "port/device.h"
#include "port/port_name.h"

namespace qlr::port {

// Longest wait for a connection and, on rfc2217, for the server's answer to
// the COM-PORT-OPTION. A server that ends the connection before it answers
// is connected to again within the same bound.
constexpr DWORD kConnectBoundMs = 5000;

// Opens a port of kind kRfc2217, kSocket or kLoop; null with error set to the
// system's error when it cannot (a name that does not resolve, a refused or
// timed-out connection: the Winsock error; a server that refuses the
// COM-PORT-OPTION: ERROR_NOT_SUPPORTED).
std::unique_ptr<Device> OpenNetworkDevice(const PortAddress& address, DWORD& error);

}  // namespace qlr::port
