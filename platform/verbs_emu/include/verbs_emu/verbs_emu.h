// Test hooks of the emulated verbs device.
//
// libverbs_emu defines the libibverbs entry points that <infiniband/verbs.h>
// makes compiled code call, and fills every context's operation table so that
// the header's inline ibv_post_send, ibv_post_recv, ibv_post_srq_recv,
// ibv_poll_cq and ibv_req_notify_cq reach it.  Behind them lives one
// in-process fabric: devices with ports and GID tables, protection domains,
// completion queues, shared receive queues, reliable-connected queue pairs
// (found by GID and queue-pair number) and memory regions.  Test programs link
// it in place of libibverbs.
//
// The fabric is process-wide and thread-safe.  Transport progress (delivery,
// receiver-not-ready waits, retry timeouts) happens inside the verbs calls
// themselves, mostly inside ibv_poll_cq: there is no background thread.
//
// Where code must not count on a kinder device than real adapters, the
// emulator is as strict as they are:
//   - the flush completions of a queue pair moved to ERROR (by ibv_modify_qp,
//     a failed work request or KillQp), and of work posted to a queue pair in
//     ERROR, are not there when that call returns: each becomes visible only
//     from the second poll of its CQ on, so a poll that comes back empty
//     does not mean that nothing more is on its way;
//   - ibv_destroy_qp (and a move to RESET) discards every completion of the
//     queue pair still queued or on its way;
//   - queue-pair numbers are per device: every device numbers its queue
//     pairs from the same start, so two devices hand out the same numbers.
//     Hooks that name a queue pair by number alone act only when the number
//     is unambiguous; the overloads with a device name pick the device.
//
// Everything here may be called from any thread.
#ifndef VERBS_EMU_VERBS_EMU_H_
#define VERBS_EMU_VERBS_EMU_H_

#include <infiniband/verbs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace verbs_emu {

// One port of an emulated device.
struct PortConfig {
  ibv_port_state state = IBV_PORT_ACTIVE;
  uint8_t link_layer = IBV_LINK_LAYER_ETHERNET;  // RoCE unless told otherwise
  ibv_mtu max_mtu = IBV_MTU_4096;
  ibv_mtu active_mtu = IBV_MTU_1024;
  uint16_t lid = 0;                // InfiniBand link layer only
  uint32_t max_msg_sz = 1u << 30;  // largest message the port carries
  // The GID table, one IPv6 text per index ("::ffff:10.0.0.5", "fe80::1");
  // "" or "::" leaves the entry empty (all zeroes), as real tables have.
  std::vector<std::string> gids;
};

// One emulated device.  attr.phys_port_cnt is taken from ports.size().
struct DeviceConfig {
  std::string name;
  std::vector<PortConfig> ports;  // ports[0] is port 1
  ibv_device_attr attr;
};

// Attributes of a typical modern adapter (max_sge 30, max_qp_wr 32768,
// max_cqe 4194303, max_srq_wr 32767, ...).
ibv_device_attr DefaultDeviceAttr();

// The device present when a test defines none: "emu_0", one active RoCE port
// whose GID table is fe80::2:c9ff:fe00:1, ::ffff:192.0.2.10, fd00::a,
// ::ffff:127.0.0.1 (indexes 0 to 3; the loopback address is the last one).
DeviceConfig DefaultDevice();

// Drops every verbs object (contexts, PDs, CQs, SRQs, QPs, MRs, pending
// events), every armed failure and the time scales; the default device is the
// only device again.  Only call it when no verbs object is still in use.
void ResetFabric();

// Replaces the listed devices by these.  Contexts already open on earlier
// devices keep working; only the device list changes.
void DefineDevices(const std::vector<DeviceConfig>& devices);
// Lists no device at all (ibv_get_device_list answers an empty list).
void RemoveAllDevices();

// Makes the next `times` calls of the named verb fail with errno `err`, in the
// verb's own way of failing (NULL and errno, a positive errno value, -1 and
// errno, or a negative count for ibv_poll_cq).  Names are the libibverbs call
// names: "ibv_get_device_list", "ibv_open_device", "ibv_query_device",
// "ibv_query_port", "ibv_query_gid", "ibv_alloc_pd", "ibv_create_cq",
// "ibv_create_srq", "ibv_create_qp", "ibv_modify_qp", "ibv_query_qp",
// "ibv_destroy_qp", "ibv_reg_mr", "ibv_dereg_mr", "ibv_post_send",
// "ibv_post_recv", "ibv_post_srq_recv", "ibv_poll_cq", "ibv_get_async_event",
// ...  Returns false for a name the emulator does not know.
bool FailNextCall(const std::string& verb, int err, int times = 1);
void ClearFailures();

// Queues an asynchronous event on every open context of the device (device
// and port events) or on the queue pair's context.  False when the device,
// port or queue pair does not exist.
bool InjectDeviceEvent(const std::string& device, ibv_event_type type);
bool InjectPortEvent(const std::string& device, uint8_t port, ibv_event_type type);
bool InjectQpEvent(uint32_t qp_num, ibv_event_type type);
bool InjectQpEvent(const std::string& device, uint32_t qp_num, ibv_event_type type);

// A fatal error of the queue pair: it enters ERROR (outstanding work is
// flushed, an SRQ-attached queue pair also reports its last WQE) and its
// context gets IBV_EVENT_QP_FATAL.  False when the queue pair does not exist.
bool KillQp(uint32_t qp_num);
bool KillQp(const std::string& device, uint32_t qp_num);

// Takes a port down (IBV_EVENT_PORT_ERR) or up (IBV_EVENT_PORT_ACTIVE) on every
// open context of the device.  Traffic through a port that is down is lost:
// senders see IBV_WC_RETRY_EXC_ERR after their retry timeout.
bool SetPortState(const std::string& device, uint8_t port, bool active);

// Scales the transport retry timeout (4.096 us * 2^timeout * (retry_cnt + 1));
// the default, 0.001, turns timeout 17 with 3 retries into about 2 ms.
void SetTimeScale(double scale);
// Scales the receiver-not-ready wait (the responder's RNR timer times the
// sender's rnr_retry; rnr_retry 7 waits for ever).  Default 1.
void SetRnrTimeScale(double scale);

// Live objects and outstanding work, over the whole fabric.
struct Counters {
  int contexts = 0;
  int pds = 0;
  int cqs = 0;
  int srqs = 0;
  int qps = 0;
  int mrs = 0;
  uint64_t send_wrs = 0;  // send WRs posted whose completion was not polled yet
  uint64_t recv_wrs = 0;  // receive WRs of queue pairs' own receive queues, likewise
  uint64_t srq_wrs = 0;   // receives waiting in shared receive queues
  uint64_t cqes = 0;      // completions not polled yet
  uint64_t flushes_in_transit = 0;  // flush completions not yet visible
  uint64_t events = 0;    // asynchronous events not read yet
};
Counters GetCounters();

// The queue pair's state; false when it does not exist.
bool GetQpState(uint32_t qp_num, ibv_qp_state* state);
bool GetQpState(const std::string& device, uint32_t qp_num, ibv_qp_state* state);

// The last successful ibv_modify_qp that moved the queue pair to `to`: its
// attribute mask and attributes as the caller passed them.
struct ModifyRecord {
  int attr_mask = 0;
  ibv_qp_attr attr{};
};
bool GetLastModify(uint32_t qp_num, ibv_qp_state to, ModifyRecord* record);

}  // namespace verbs_emu

#endif  // VERBS_EMU_VERBS_EMU_H_
