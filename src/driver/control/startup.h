// Start-up and shut-down of the library (pyx_init_env, pyx_finish_env).
#ifndef PYXDRIVER_CONTROL_STARTUP_H_
#define PYXDRIVER_CONTROL_STARTUP_H_

namespace pyx {

// Reads the configuration and starts the library: the framework, the worker
// colonies, the snapshot service's thread and one I/O driver per I/O worker.
// Over TCP one event colony of worker_num + 1 workers ("pyx-event-"; the
// last runs the manager). Over RDMA (is_tcp off) a one-worker event colony
// ("pyx-event-0") runs the manager over TCP and a polling colony of
// worker_num workers ("pyx-polling-") carries the I/O. 0 on success and when
// "use_orla" is off; -1 when a check fails (over RDMA also a recv_buff_size
// too small for the largest answer, no worker_num, or a worker_core_mask
// whose core count is not worker_num), when a colony cannot start (over
// RDMA, a device that cannot be opened; anywhere, a loop or pool the
// machine refuses; no colony is then left running), when the service
// thread cannot be created, or when the library already runs. A failed
// start logs why (the system's words among it) and returns: it never ends
// the host's process.
int InitEnv();

// Deletes the manager and its clients on the manager's own loop, fails every
// I/O the drivers still hold, waits until each is on the host's completion
// rings, then stops the colonies. An I/O that finds a ring full waits for
// the host to make room: the host keeps polling its rings (on another
// thread) until this returns. The wait ends early only when the host has
// taken nothing for finish_ring_wait_ms; what is left is then logged at
// ERROR and never reaches the host. The drivers, the service thread and the
// application worker stay. After a failed InitEnv there is nothing to stop,
// and a start tried again is stopped by the next call. Returns once every
// line logged before has reached the log file.
void FinishEnv();

// See FinishEnv; tests shorten it.
extern int finish_ring_wait_ms;

}  // namespace pyx

#endif  // PYXDRIVER_CONTROL_STARTUP_H_
