// Loopback ports for tests that need a real listening address.
//
// A picked port was free when it was picked: a random port below the
// kernel's ephemeral range (where no outgoing connection takes its local
// port) is bound and released, so another process may still take it before
// the test binds it, though rarely. Tests that cannot afford that race listen first (ListenLoopback in
// support/sockets.h) and use the port they got.
#ifndef TESTS_SUPPORT_PORTS_H_
#define TESTS_SUPPORT_PORTS_H_

#include <cstdint>

#include "tarn/sock_address.h"

namespace testsupport {

// A free TCP port on 127.0.0.1; 0 when none could be had.
uint16_t PickFreePort();

// A free TCP port on ::1; 0 when IPv6 loopback is unavailable.
uint16_t PickFreePort6();

// True when a TCP socket can be bound to ::1 on this machine.
bool Ipv6LoopbackAvailable();

// 127.0.0.1:port as the framework spells addresses.
tarn::SockAddress Loopback(uint16_t port);

// [::1]:port as the framework spells addresses.
tarn::SockAddress Loopback6(uint16_t port);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PORTS_H_
