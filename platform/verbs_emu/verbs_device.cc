// Device-level entry points of the emulated verbs library: device list,
// contexts, queries, protection domains, memory regions, asynchronous events
// and the status strings.  C linkage, the names compiled code references.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "fabric.h"
#include "verbs_ops.h"

// verbs.h turns a few names into macros over inline wrappers; the library
// defines the functions those wrappers end up calling.
#undef ibv_reg_mr
#undef ibv_reg_mr_iova
#undef ibv_query_port
#undef ibv_get_device_list

using namespace verbs_emu::internal;
using verbs_emu::PortConfig;

namespace {

void FillOps(ibv_context_ops* ops) {
  ops->poll_cq = EmuPollCq;
  ops->req_notify_cq = EmuReqNotifyCq;
  ops->post_send = EmuPostSend;
  ops->post_recv = EmuPostRecv;
  ops->post_srq_recv = EmuPostSrqRecv;
}

// Deletes and erases the members of `set` that `belongs` picks.
template <typename T, typename Pred>
void DeleteWhere(std::unordered_set<T*>* set, Pred belongs) {
  for (auto it = set->begin(); it != set->end();) {
    if (belongs(*it)) {
      delete *it;
      it = set->erase(it);
    } else {
      ++it;
    }
  }
}

// Every object of the context goes with it, as the kernel cleans up a closed
// device file.
void DropContextObjects(Context* ctx) {
  Fabric& f = fabric();
  std::vector<Qp*> qps;
  for (Qp* qp : f.qp_set) {
    if (ContextOf(qp->qp.context) == ctx) qps.push_back(qp);
  }
  for (Qp* qp : qps) DestroyQpLocked(qp);
  for (auto it = f.lkeys.begin(); it != f.lkeys.end();) {
    Mr* mr = it->second;
    if (mr->pd->ctx == ctx) {
      f.rkeys.erase(mr->mr.rkey);
      it = f.lkeys.erase(it);
      delete mr;
    } else {
      ++it;
    }
  }
  DeleteWhere(&f.srqs, [ctx](Srq* srq) { return ContextOf(srq->srq.context) == ctx; });
  DeleteWhere(&f.cqs, [ctx](Cq* cq) {
    if (cq->ctx != ctx) return false;
    DropCqContents(cq);
    return true;
  });
  DeleteWhere(&f.pds, [ctx](Pd* pd) { return pd->ctx == ctx; });
}

ibv_mr* RegMr(ibv_pd* pd_, void* addr, size_t length, int access) {
  int err;
  if (TakeFailure("ibv_reg_mr", &err)) return FailNull<ibv_mr>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Pd* pd = PdOf(pd_);
  if (f.pds.count(pd) == 0 || length == 0) return FailNull<ibv_mr>(EINVAL);
  // Remote write or atomic access needs local write too.
  if ((access & (IBV_ACCESS_REMOTE_WRITE | IBV_ACCESS_REMOTE_ATOMIC)) != 0 &&
      (access & IBV_ACCESS_LOCAL_WRITE) == 0) {
    return FailNull<ibv_mr>(EINVAL);
  }
  // The pages must exist, as pinning them would require.
  long page = sysconf(_SC_PAGESIZE);
  uintptr_t start = reinterpret_cast<uintptr_t>(addr) & ~static_cast<uintptr_t>(page - 1);
  uintptr_t end = reinterpret_cast<uintptr_t>(addr) + length;
  if (addr == nullptr || end < start ||
      msync(reinterpret_cast<void*>(start), end - start, MS_ASYNC) != 0) {
    return FailNull<ibv_mr>(EFAULT);
  }
  auto* mr = new Mr;
  std::memset(&mr->mr, 0, sizeof(mr->mr));
  mr->pd = pd;
  mr->access = access;
  mr->mr.context = pd->pd.context;
  mr->mr.pd = pd_;
  mr->mr.addr = addr;
  mr->mr.length = length;
  mr->mr.handle = f.next_handle++;
  mr->mr.lkey = f.next_key++;
  mr->mr.rkey = f.next_key++ | 0x80000000u;  // never equal to an lkey
  f.lkeys[mr->mr.lkey] = mr;
  f.rkeys[mr->mr.rkey] = mr;
  ++pd->users;
  return &mr->mr;
}

}  // namespace

extern "C" {

ibv_device** ibv_get_device_list(int* num_devices) {
  int err;
  if (TakeFailure("ibv_get_device_list", &err)) return FailNull<ibv_device*>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  std::vector<ibv_device*> listed;
  for (auto& dev : f.devices) {
    if (dev->listed) listed.push_back(&dev->dev);
  }
  auto** list = static_cast<ibv_device**>(std::calloc(listed.size() + 1, sizeof(ibv_device*)));
  if (list == nullptr) return FailNull<ibv_device*>(ENOMEM);
  for (size_t i = 0; i < listed.size(); ++i) list[i] = listed[i];
  if (num_devices != nullptr) *num_devices = static_cast<int>(listed.size());
  return list;
}

void ibv_free_device_list(ibv_device** list) { std::free(list); }

const char* ibv_get_device_name(ibv_device* device) {
  return device == nullptr ? nullptr : device->name;
}

__be64 ibv_get_device_guid(ibv_device* device) {
  return DeviceOf(device)->config.attr.node_guid;
}

ibv_context* ibv_open_device(ibv_device* device) {
  int err;
  if (TakeFailure("ibv_open_device", &err)) return FailNull<ibv_context>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Device* dev = nullptr;
  for (auto& d : f.devices) {
    if (&d->dev == device && d->listed) dev = d.get();
  }
  if (dev == nullptr) return FailNull<ibv_context>(ENODEV);
  int fd = eventfd(0, EFD_CLOEXEC | EFD_SEMAPHORE);
  if (fd < 0) return nullptr;
  auto* ctx = new Context;
  std::memset(&ctx->ctx, 0, sizeof(ctx->ctx));
  ctx->device = dev;
  ctx->ctx.device = device;
  FillOps(&ctx->ctx.ops);
  ctx->ctx.cmd_fd = -1;
  ctx->ctx.async_fd = fd;
  ctx->ctx.num_comp_vectors = 1;
  pthread_mutex_init(&ctx->ctx.mutex, nullptr);
  ctx->ctx.abi_compat = nullptr;  // no extended context: inline wrappers fall back
  f.contexts.insert(ctx);
  return &ctx->ctx;
}

int ibv_close_device(ibv_context* context) {
  int err;
  if (TakeFailure("ibv_close_device", &err)) {
    errno = err;
    return -1;
  }
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Context* ctx = ContextOf(context);
  if (f.contexts.count(ctx) == 0) {
    errno = EINVAL;
    return -1;
  }
  DropContextObjects(ctx);
  f.contexts.erase(ctx);
  close(ctx->ctx.async_fd);
  pthread_mutex_destroy(&ctx->ctx.mutex);
  delete ctx;
  return 0;
}

int ibv_query_device(ibv_context* context, ibv_device_attr* attr) {
  int err;
  if (TakeFailure("ibv_query_device", &err)) return err;
  std::lock_guard<std::mutex> lock(fabric().mu);
  *attr = ContextOf(context)->device->config.attr;
  return 0;
}

// Reached through verbs.h's inline ibv_query_port, which clears the whole
// ibv_port_attr first; the trailing fields it adds over the old layout are
// left to it.
int ibv_query_port(ibv_context* context, uint8_t port_num, struct _compat_ibv_port_attr* out) {
  int err;
  if (TakeFailure("ibv_query_port", &err)) return err;
  std::lock_guard<std::mutex> lock(fabric().mu);
  const Device* dev = ContextOf(context)->device;
  const PortConfig* port = PortOf(dev, port_num);
  if (port == nullptr) return EINVAL;
  ibv_port_attr a;
  std::memset(&a, 0, sizeof(a));
  a.state = port->state;
  a.max_mtu = port->max_mtu;
  a.active_mtu = port->active_mtu;
  a.gid_tbl_len = static_cast<int>(dev->gids[port_num - 1].size());
  a.port_cap_flags = 0;
  a.max_msg_sz = port->max_msg_sz;
  a.pkey_tbl_len = port->link_layer == IBV_LINK_LAYER_ETHERNET ? 1 : 128;
  a.lid = port->lid;
  a.sm_lid = 0;
  a.max_vl_num = 4;
  a.subnet_timeout = 18;
  a.active_width = 2;   // 4x
  a.active_speed = 32;  // EDR
  a.phys_state = port->state == IBV_PORT_ACTIVE ? 5 : 3;  // link up / disabled
  a.link_layer = port->link_layer;
  std::memcpy(out, &a, offsetof(ibv_port_attr, flags));
  return 0;
}

int ibv_query_gid(ibv_context* context, uint8_t port_num, int index, union ibv_gid* gid) {
  int err;
  if (TakeFailure("ibv_query_gid", &err)) {
    errno = err;
    return -1;
  }
  std::lock_guard<std::mutex> lock(fabric().mu);
  const Device* dev = ContextOf(context)->device;
  if (PortOf(dev, port_num) == nullptr || index < 0 ||
      static_cast<size_t>(index) >= dev->gids[port_num - 1].size()) {
    errno = EINVAL;
    return -1;
  }
  *gid = dev->gids[port_num - 1][index];
  return 0;
}

int ibv_query_pkey(ibv_context* context, uint8_t port_num, int index, __be16* pkey) {
  std::lock_guard<std::mutex> lock(fabric().mu);
  const PortConfig* port = PortOf(ContextOf(context)->device, port_num);
  int len = port == nullptr ? 0 : (port->link_layer == IBV_LINK_LAYER_ETHERNET ? 1 : 128);
  if (index < 0 || index >= len) {
    errno = EINVAL;
    return -1;
  }
  *pkey = index == 0 ? htobe16(0xffff) : 0;
  return 0;
}

ibv_pd* ibv_alloc_pd(ibv_context* context) {
  int err;
  if (TakeFailure("ibv_alloc_pd", &err)) return FailNull<ibv_pd>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Context* ctx = ContextOf(context);
  if (f.contexts.count(ctx) == 0) return FailNull<ibv_pd>(EINVAL);
  auto* pd = new Pd;
  std::memset(&pd->pd, 0, sizeof(pd->pd));
  pd->ctx = ctx;
  pd->pd.context = context;
  pd->pd.handle = f.next_handle++;
  f.pds.insert(pd);
  return &pd->pd;
}

int ibv_dealloc_pd(ibv_pd* pd_) {
  int err;
  if (TakeFailure("ibv_dealloc_pd", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Pd* pd = PdOf(pd_);
  if (f.pds.count(pd) == 0) return EINVAL;
  if (pd->users > 0) return EBUSY;
  f.pds.erase(pd);
  delete pd;
  return 0;
}

ibv_mr* ibv_reg_mr(ibv_pd* pd, void* addr, size_t length, int access) {
  return RegMr(pd, addr, length, access);
}

// The region's I/O virtual address is taken to be its address.
ibv_mr* ibv_reg_mr_iova(ibv_pd* pd, void* addr, size_t length, uint64_t, int access) {
  return RegMr(pd, addr, length, access);
}

ibv_mr* ibv_reg_mr_iova2(ibv_pd* pd, void* addr, size_t length, uint64_t, unsigned int access) {
  return RegMr(pd, addr, length, static_cast<int>(access));
}

int ibv_dereg_mr(ibv_mr* mr_) {
  int err;
  if (TakeFailure("ibv_dereg_mr", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Mr* mr = MrOf(mr_);
  auto it = f.lkeys.find(mr_ == nullptr ? 0 : mr_->lkey);
  if (mr_ == nullptr || it == f.lkeys.end() || it->second != mr) return EINVAL;
  f.lkeys.erase(it);
  f.rkeys.erase(mr->mr.rkey);
  --mr->pd->users;
  delete mr;
  return 0;
}

int ibv_get_async_event(ibv_context* context, ibv_async_event* event) {
  int err;
  if (TakeFailure("ibv_get_async_event", &err)) {
    errno = err;
    return -1;
  }
  Context* ctx = ContextOf(context);
  for (;;) {
    // Blocks unless the caller made the descriptor non-blocking.
    uint64_t token;
    if (read(ctx->ctx.async_fd, &token, sizeof(token)) != sizeof(token)) return -1;
    std::lock_guard<std::mutex> lock(fabric().mu);
    if (!ctx->events.empty()) {
      *event = ctx->events.front();
      ctx->events.pop_front();
      return 0;
    }
    if (ctx->stale_tokens > 0) --ctx->stale_tokens;  // a withdrawn event
  }
}

void ibv_ack_async_event(ibv_async_event*) {}

int ibv_fork_init(void) { return 0; }

const char* ibv_wc_status_str(enum ibv_wc_status status) {
  static const char* const kNames[] = {
      "success",
      "local length error",
      "local QP operation error",
      "local EE context operation error",
      "local protection error",
      "work request flushed error",
      "memory window bind error",
      "bad response error",
      "local access error",
      "remote invalid request error",
      "remote access error",
      "remote operation error",
      "transport retry counter exceeded",
      "RNR retry counter exceeded",
      "local RDD violation error",
      "remote invalid RD request",
      "aborted error",
      "invalid EE context number",
      "invalid EE context state",
      "fatal error",
      "response timeout error",
      "general error",
      "tag matching error",
      "tag matching rendezvous incomplete",
  };
  unsigned i = static_cast<unsigned>(status);
  return i < sizeof(kNames) / sizeof(kNames[0]) ? kNames[i] : "unknown";
}

const char* ibv_event_type_str(enum ibv_event_type event) {
  static const char* const kNames[] = {
      "CQ error",
      "local work queue catastrophic error",
      "invalid request local work queue error",
      "local access violation work queue error",
      "communication established",
      "send queue drained",
      "path migrated",
      "path migration request error",
      "local catastrophic error",
      "port active",
      "port error",
      "LID change",
      "P_Key change",
      "SM change",
      "SRQ catastrophic error",
      "SRQ limit reached",
      "last WQE reached",
      "client reregistration",
      "GID table change",
      "WQ fatal",
  };
  unsigned i = static_cast<unsigned>(event);
  return i < sizeof(kNames) / sizeof(kNames[0]) ? kNames[i] : "unknown";
}

const char* ibv_node_type_str(enum ibv_node_type node_type) {
  switch (node_type) {
    case IBV_NODE_CA: return "InfiniBand channel adapter";
    case IBV_NODE_SWITCH: return "InfiniBand switch";
    case IBV_NODE_ROUTER: return "InfiniBand router";
    case IBV_NODE_RNIC: return "iWARP NIC";
    default: return "unknown";
  }
}

const char* ibv_port_state_str(enum ibv_port_state port_state) {
  switch (port_state) {
    case IBV_PORT_NOP: return "PORT_NOP";
    case IBV_PORT_DOWN: return "PORT_DOWN";
    case IBV_PORT_INIT: return "PORT_INIT";
    case IBV_PORT_ARMED: return "PORT_ARMED";
    case IBV_PORT_ACTIVE: return "PORT_ACTIVE";
    case IBV_PORT_ACTIVE_DEFER: return "PORT_ACTIVE_DEFER";
    default: return "invalid state";
  }
}

}  // extern "C"
