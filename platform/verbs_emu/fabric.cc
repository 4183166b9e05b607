// The fabric's process-wide state, its device definitions, asynchronous
// events and the test hooks of verbs_emu.h.
#include "fabric.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace verbs_emu {
namespace internal {
namespace {

// Verbs that FailNextCall accepts.
const std::set<std::string>& KnownVerbs() {
  static const std::set<std::string> kVerbs = {
      "ibv_get_device_list", "ibv_open_device",     "ibv_close_device",
      "ibv_query_device",    "ibv_query_port",      "ibv_query_gid",
      "ibv_alloc_pd",        "ibv_dealloc_pd",      "ibv_create_cq",
      "ibv_destroy_cq",      "ibv_create_srq",      "ibv_destroy_srq",
      "ibv_create_qp",       "ibv_modify_qp",       "ibv_query_qp",
      "ibv_destroy_qp",      "ibv_reg_mr",          "ibv_dereg_mr",
      "ibv_post_send",       "ibv_post_recv",       "ibv_post_srq_recv",
      "ibv_poll_cq",         "ibv_req_notify_cq",   "ibv_get_async_event"};
  return kVerbs;
}

std::unique_ptr<Device> MakeDevice(const DeviceConfig& config) {
  auto dev = std::make_unique<Device>();
  std::memset(&dev->dev, 0, sizeof(dev->dev));
  dev->config = config;
  dev->config.attr.phys_port_cnt = static_cast<uint8_t>(config.ports.size());
  dev->dev.node_type = IBV_NODE_CA;
  dev->dev.transport_type = IBV_TRANSPORT_IB;
  std::snprintf(dev->dev.name, sizeof(dev->dev.name), "%s", config.name.c_str());
  std::snprintf(dev->dev.dev_name, sizeof(dev->dev.dev_name), "uverbs_%s",
                config.name.c_str());
  std::snprintf(dev->dev.dev_path, sizeof(dev->dev.dev_path),
                "/sys/class/infiniband_verbs/uverbs_%s", config.name.c_str());
  std::snprintf(dev->dev.ibdev_path, sizeof(dev->dev.ibdev_path),
                "/sys/class/infiniband/%s", config.name.c_str());
  for (const PortConfig& port : config.ports) {
    std::vector<ibv_gid> table;
    for (const std::string& text : port.gids) {
      ibv_gid gid;
      std::memset(&gid, 0, sizeof(gid));
      if (!text.empty()) inet_pton(AF_INET6, text.c_str(), gid.raw);
      table.push_back(gid);
    }
    dev->gids.push_back(std::move(table));
  }
  return dev;
}

void FreeEverything(Fabric& f) {
  for (Qp* qp : f.qp_set) delete qp;
  for (auto& kv : f.lkeys) delete kv.second;
  for (Srq* srq : f.srqs) delete srq;
  for (Cq* cq : f.cqs) delete cq;
  for (Pd* pd : f.pds) delete pd;
  for (Context* ctx : f.contexts) {
    close(ctx->ctx.async_fd);
    delete ctx;
  }
  f.qp_set.clear();
  for (auto& dev : f.devices) dev->qps.clear();
  f.deferred_count.store(0);
  f.lkeys.clear();
  f.rkeys.clear();
  f.srqs.clear();
  f.cqs.clear();
  f.pds.clear();
  f.contexts.clear();
  f.busy.clear();
  f.busy_count.store(0);
}

// True when the event is about this CQ, SRQ or QP (port and device events
// carry a port number, not an object).
bool NamesObject(const ibv_async_event& ev, const void* element) {
  switch (ev.event_type) {
    case IBV_EVENT_CQ_ERR:
      return ev.element.cq == element;
    case IBV_EVENT_SRQ_ERR:
    case IBV_EVENT_SRQ_LIMIT_REACHED:
      return ev.element.srq == element;
    case IBV_EVENT_QP_FATAL:
    case IBV_EVENT_QP_REQ_ERR:
    case IBV_EVENT_QP_ACCESS_ERR:
    case IBV_EVENT_COMM_EST:
    case IBV_EVENT_SQ_DRAINED:
    case IBV_EVENT_PATH_MIG:
    case IBV_EVENT_PATH_MIG_ERR:
    case IBV_EVENT_QP_LAST_WQE_REACHED:
      return ev.element.qp == element;
    default:
      return false;
  }
}

// A cleared event of the type; the caller names what it is about.
ibv_async_event EventOf(ibv_event_type type) {
  ibv_async_event ev;
  std::memset(&ev, 0, sizeof(ev));
  ev.event_type = type;
  return ev;
}

}  // namespace

Fabric& fabric() {
  // Never destroyed: objects stay reachable (and valid) until the process
  // ends, whatever the order of static destruction.
  static Fabric* f = [] {
    auto* fab = new Fabric;
    fab->devices.push_back(MakeDevice(DefaultDevice()));
    return fab;
  }();
  return *f;
}

bool TakeFailure(const char* verb, int* err) {
  Fabric& f = fabric();
  if (f.armed_failures.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(f.mu);
  auto it = f.failures.find(verb);
  if (it == f.failures.end()) return false;
  *err = it->second.front();
  it->second.pop_front();
  if (it->second.empty()) f.failures.erase(it);
  f.armed_failures.fetch_sub(1);
  return true;
}

Device* ListedDevice(const std::string& name) {
  for (auto& dev : fabric().devices) {
    if (dev->listed && dev->config.name == name) return dev.get();
  }
  return nullptr;
}

const PortConfig* PortOf(const Device* dev, uint8_t port) {
  if (port < 1 || port > dev->config.ports.size()) return nullptr;
  return &dev->config.ports[port - 1];
}

void QueueEvent(Context* ctx, const ibv_async_event& ev) {
  ctx->events.push_back(ev);
  uint64_t one = 1;
  ssize_t n = write(ctx->ctx.async_fd, &one, sizeof(one));
  (void)n;
}

void QueueQpEvent(Qp* qp, ibv_event_type type) {
  ibv_async_event ev = EventOf(type);
  ev.element.qp = &qp->qp;
  QueueEvent(ContextOf(qp->qp.context), ev);
}

Qp* FindQpOn(const Device* dev, uint32_t qp_num) {
  auto it = dev->qps.find(qp_num);
  return it == dev->qps.end() ? nullptr : it->second;
}

Qp* FindQp(uint32_t qp_num, const std::string& device) {
  Qp* found = nullptr;
  for (auto& dev : fabric().devices) {
    if (!device.empty() && (!dev->listed || dev->config.name != device)) continue;
    Qp* qp = FindQpOn(dev.get(), qp_num);
    if (qp == nullptr) continue;
    if (found != nullptr) return nullptr;  // the number alone does not say which
    found = qp;
  }
  return found;
}

void QueueDeviceEvent(Device* dev, ibv_event_type type, int port) {
  for (Context* ctx : fabric().contexts) {
    if (ctx->device != dev) continue;
    ibv_async_event ev = EventOf(type);
    ev.element.port_num = port;
    QueueEvent(ctx, ev);
  }
}

// Events naming an object being destroyed are withdrawn, so a reader never
// sees a pointer to a freed object.  Their eventfd counts stay; the reader
// skips them.
void WithdrawEvents(Context* ctx, const void* element) {
  auto& q = ctx->events;
  for (auto it = q.begin(); it != q.end();) {
    if (NamesObject(*it, element)) {
      it = q.erase(it);
      ++ctx->stale_tokens;
    } else {
      ++it;
    }
  }
}

void PushCqe(Cq* cq, const CqEntry& e) {
  if (static_cast<int>(cq->entries.size()) >= cq->capacity) {
    // Overrun: the completion is lost and the owner hears of it.
    ibv_async_event ev = EventOf(IBV_EVENT_CQ_ERR);
    ev.element.cq = &cq->cq;
    QueueEvent(cq->ctx, ev);
    return;
  }
  cq->entries.push_back(e);
  cq->size.store(static_cast<int>(cq->entries.size()), std::memory_order_release);
}

void PushDeferredCqe(Cq* cq, const CqEntry& e) {
  cq->deferred.push_back(DeferredCqe{cq->polls + 2, e});
  fabric().deferred_count.fetch_add(1, std::memory_order_release);
}

void RevealDeferred(Cq* cq) {
  ++cq->polls;
  int moved = 0;
  while (!cq->deferred.empty() && cq->deferred.front().ready_at <= cq->polls) {
    PushCqe(cq, cq->deferred.front().entry);
    cq->deferred.pop_front();
    ++moved;
  }
  if (moved > 0) fabric().deferred_count.fetch_sub(moved, std::memory_order_release);
}

namespace {

void DiscardFrom(Cq* cq, uint32_t qp_num) {
  auto& entries = cq->entries;
  for (auto it = entries.begin(); it != entries.end();) {
    it = it->wc.qp_num == qp_num ? entries.erase(it) : std::next(it);
  }
  cq->size.store(static_cast<int>(entries.size()), std::memory_order_release);
  int dropped = 0;
  auto& deferred = cq->deferred;
  for (auto it = deferred.begin(); it != deferred.end();) {
    if (it->entry.wc.qp_num == qp_num) {
      it = deferred.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  if (dropped > 0) fabric().deferred_count.fetch_sub(dropped, std::memory_order_release);
}

}  // namespace

// A CQ serves the queue pairs of one context, whose numbers are unique on
// its device: the number names the queue pair.
void DiscardCompletions(Qp* qp) {
  DiscardFrom(qp->send_cq, qp->qp.qp_num);
  if (qp->recv_cq != qp->send_cq) DiscardFrom(qp->recv_cq, qp->qp.qp_num);
}

void DropCqContents(Cq* cq) {
  fabric().deferred_count.fetch_sub(static_cast<int>(cq->deferred.size()),
                                    std::memory_order_release);
  cq->deferred.clear();
  cq->entries.clear();
  cq->size.store(0, std::memory_order_release);
}

}  // namespace internal

using namespace internal;

namespace {

// The test hooks below act under the fabric's lock on a listed device, on one
// of its ports or on a live queue pair; false when it is not there.

template <typename Act>
bool OnDevice(const std::string& device, Act act) {
  std::lock_guard<std::mutex> lock(fabric().mu);
  Device* dev = ListedDevice(device);
  if (dev == nullptr) return false;
  act(dev);
  return true;
}

template <typename Act>
bool OnPort(const std::string& device, uint8_t port, Act act) {
  std::lock_guard<std::mutex> lock(fabric().mu);
  Device* dev = ListedDevice(device);
  if (dev == nullptr || PortOf(dev, port) == nullptr) return false;
  act(dev);
  return true;
}

template <typename Act>
bool OnQp(uint32_t qp_num, Act act, const std::string& device = std::string()) {
  std::lock_guard<std::mutex> lock(fabric().mu);
  Qp* qp = FindQp(qp_num, device);
  if (qp == nullptr) return false;
  act(qp);
  return true;
}

}  // namespace

ibv_device_attr DefaultDeviceAttr() {
  ibv_device_attr a;
  std::memset(&a, 0, sizeof(a));
  std::snprintf(a.fw_ver, sizeof(a.fw_ver), "%s", "1.0.0-emu");
  a.node_guid = htobe64(0x0002c90300a0b0c0ULL);
  a.sys_image_guid = a.node_guid;
  a.max_mr_size = ~0ULL;
  a.page_size_cap = 0xfffffffffffff000ULL;
  a.vendor_id = 0x02c9;
  a.vendor_part_id = 4123;
  a.hw_ver = 0;
  a.max_qp = 262144;
  a.max_qp_wr = 32768;
  a.device_cap_flags = IBV_DEVICE_RC_RNR_NAK_GEN | IBV_DEVICE_SRQ_RESIZE |
                       IBV_DEVICE_PORT_ACTIVE_EVENT | IBV_DEVICE_SYS_IMAGE_GUID;
  a.max_sge = 30;
  a.max_sge_rd = 30;
  a.max_cq = 16777216;
  a.max_cqe = 4194303;
  a.max_mr = 16777216;
  a.max_pd = 16777216;
  a.max_qp_rd_atom = 16;
  a.max_qp_init_rd_atom = 16;
  a.max_res_rd_atom = 4194304;
  a.atomic_cap = IBV_ATOMIC_HCA;
  a.max_srq = 8388608;
  a.max_srq_wr = 32767;
  a.max_srq_sge = 31;
  a.max_pkeys = 128;
  a.local_ca_ack_delay = 16;
  a.phys_port_cnt = 1;
  return a;
}

DeviceConfig DefaultDevice() {
  DeviceConfig d;
  d.name = "emu_0";
  PortConfig p;
  p.gids = {"fe80::2:c9ff:fe00:1", "::ffff:192.0.2.10", "fd00::a", "::ffff:127.0.0.1"};
  d.ports.push_back(p);
  d.attr = DefaultDeviceAttr();
  return d;
}

void ResetFabric() {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  FreeEverything(f);
  f.devices.clear();
  f.devices.push_back(MakeDevice(DefaultDevice()));
  f.failures.clear();
  f.armed_failures.store(0);
  f.time_scale = 0.001;
  f.rnr_time_scale = 1.0;
}

void DefineDevices(const std::vector<DeviceConfig>& devices) {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  for (auto& dev : f.devices) dev->listed = false;
  for (const DeviceConfig& config : devices) f.devices.push_back(MakeDevice(config));
}

void RemoveAllDevices() { DefineDevices({}); }

bool FailNextCall(const std::string& verb, int err, int times) {
  if (KnownVerbs().count(verb) == 0) return false;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  for (int i = 0; i < times; ++i) f.failures[verb].push_back(err);
  f.armed_failures.fetch_add(times > 0 ? times : 0);
  return true;
}

void ClearFailures() {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  f.failures.clear();
  f.armed_failures.store(0);
}

bool InjectDeviceEvent(const std::string& device, ibv_event_type type) {
  return OnDevice(device, [type](Device* dev) { QueueDeviceEvent(dev, type, 0); });
}

bool InjectPortEvent(const std::string& device, uint8_t port, ibv_event_type type) {
  return OnPort(device, port, [=](Device* dev) { QueueDeviceEvent(dev, type, port); });
}

bool InjectQpEvent(uint32_t qp_num, ibv_event_type type) {
  return OnQp(qp_num, [type](Qp* qp) { QueueQpEvent(qp, type); });
}

bool InjectQpEvent(const std::string& device, uint32_t qp_num, ibv_event_type type) {
  return OnQp(
      qp_num, [type](Qp* qp) { QueueQpEvent(qp, type); }, device);
}

bool KillQp(uint32_t qp_num) { return KillQp(std::string(), qp_num); }

bool KillQp(const std::string& device, uint32_t qp_num) {
  return OnQp(
      qp_num,
      [](Qp* qp) {
        QueueQpEvent(qp, IBV_EVENT_QP_FATAL);
        EnterError(qp);
      },
      device);
}

bool SetPortState(const std::string& device, uint8_t port, bool active) {
  return OnPort(device, port, [=](Device* dev) {
    dev->config.ports[port - 1].state = active ? IBV_PORT_ACTIVE : IBV_PORT_DOWN;
    QueueDeviceEvent(dev, active ? IBV_EVENT_PORT_ACTIVE : IBV_EVENT_PORT_ERR, port);
  });
}

void SetTimeScale(double scale) {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  f.time_scale = scale;
}

void SetRnrTimeScale(double scale) {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  f.rnr_time_scale = scale;
}

Counters GetCounters() {
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Counters c;
  c.contexts = static_cast<int>(f.contexts.size());
  c.pds = static_cast<int>(f.pds.size());
  c.cqs = static_cast<int>(f.cqs.size());
  c.srqs = static_cast<int>(f.srqs.size());
  c.qps = static_cast<int>(f.qp_set.size());
  c.mrs = static_cast<int>(f.lkeys.size());
  for (Qp* qp : f.qp_set) {
    c.send_wrs += qp->sq_outstanding;
    c.recv_wrs += qp->rq_outstanding;
  }
  for (Srq* srq : f.srqs) c.srq_wrs += srq->wqes.size();
  for (Cq* cq : f.cqs) {
    c.cqes += cq->entries.size();
    c.flushes_in_transit += cq->deferred.size();
  }
  for (Context* ctx : f.contexts) c.events += ctx->events.size();
  return c;
}

bool GetQpState(uint32_t qp_num, ibv_qp_state* state) {
  return GetQpState(std::string(), qp_num, state);
}

bool GetQpState(const std::string& device, uint32_t qp_num, ibv_qp_state* state) {
  return OnQp(
      qp_num, [state](Qp* qp) { *state = qp->qp.state; }, device);
}

bool GetLastModify(uint32_t qp_num, ibv_qp_state to, ModifyRecord* record) {
  bool found = false;
  OnQp(qp_num, [&](Qp* qp) {
    auto m = qp->modifies.find(to);
    found = m != qp->modifies.end();
    if (found) *record = m->second;
  });
  return found;
}

}  // namespace verbs_emu
