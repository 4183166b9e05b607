// Block-server client groups and the plane route cache of one driver, and
// the choice of the block server and client for an I/O.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "control/client_manager.h"
#include "control/config.h"
#include "io/driver_impl.h"
#include "record_access.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"

using pyx::DiskState;

bool PyxDriver::Impl::Route(DiskState* st, bdev_pyx_io* io, const pyx::RouteUse& use,
                            pyx::Target* t) {
  // send_pyx_io placed the I/O by the disk's geometry as it read it; the
  // routes here may be of another one (a refresh of another driver brought
  // a new geometry, or this driver's own is newer): the plane is the one
  // this cache's geometry gives.
  if (st->plane_capacity != 0) {
    const uint64_t per_die = std::max<uint64_t>(st->die_capacity / st->plane_capacity, 1);
    io->plane = ((io->offset % st->die_capacity) / st->block_capacity) % per_die +
                (io->offset / st->die_capacity) * per_die;
  }
  const uint64_t plane = io->plane;
  bool retry = true;
  if (plane >= pyx::kRouteSlots) {
    LOG_ERROR << st->name << " plane " << plane << " lies beyond the " << pyx::kRouteSlots
              << " routes of a disk" << "|offset:" << io->offset << "|len:" << io->len;
    retry = false;
  } else if (!st->routes) {
    LOG_ERROR << st->name << " has not route cache" << "|offset:" << io->offset
              << "|len:" << io->len;
    retry = false;
  } else {
    const vovorav::BlockServerEndpoint& ep = st->routes[plane].endpoint();
    if (ep.port() == 0) {
      RouteQuery(st);
    } else {
      const uint32_t port = ep.port() + static_cast<uint32_t>(gazelle_port);
      ClientManager* group = nullptr;
      if (is_ipv6) {
        if (ep.ipv6().ip_size() != 4) {
          LOG_ERROR << "Ipv6Addr size error:" << ep.ipv6().ip_size();
        } else {
          group = GroupV6(ep.ipv6(), port);
        }
      } else {
        group = GroupV4(ep.ip(), port);
      }
      if (group != nullptr && !group->clients.empty()) {
        t->client = group->GetClient();
        t->ip = is_ipv6 ? 0 : ep.ip();
        t->port = port;
        return true;
      }
    }
  }
  if (use.admitted) GiveBack();
  if (retry) {
    RetryEnqueue(io);
  } else {
    Fail(io, use.read_counter);
  }
  return false;
}

// ------------------------------------------------------------ client groups

ClientManager* PyxDriver::Impl::GroupV4(uint32_t ip, uint32_t port) {
  auto it = groups_v4.find(pyx::V4Key{ip, port});
  if (it != groups_v4.end()) return it->second;
  in_addr addr;
  addr.s_addr = ip;
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  SetGroupV4(ip, text, port, client_nums);
  it = groups_v4.find(pyx::V4Key{ip, port});
  return it == groups_v4.end() ? nullptr : it->second;
}

ClientManager* PyxDriver::Impl::GroupV6(const ::Ipv6Addr& ip, uint32_t port) {
  pyx::V6Key key{{ip.ip(0), ip.ip(1), ip.ip(2), ip.ip(3)}, port};
  auto it = groups_v6.find(key);
  if (it != groups_v6.end()) return it->second;
  in6_addr addr;
  memcpy(&addr, key.ip, sizeof(addr));
  char text[INET6_ADDRSTRLEN] = {0};
  if (inet_ntop(AF_INET6, &addr, text, sizeof(text)) == nullptr) {
    LOG_ERROR << "AF_INET6 inet_ntop set error";
    return nullptr;
  }
  SetGroupV6(ip, text, port, client_nums);
  LOG_INFO << "set ipv6 again -----" << "string ipv6:" << text;
  it = groups_v6.find(key);
  return it == groups_v6.end() ? nullptr : it->second;
}

void PyxDriver::Impl::SetGroupV4(uint32_t ip, const std::string& text, uint32_t port, int n) {
  pyx::V4Key key{ip, port};
  if (groups_v4.count(key) != 0) return;
  tarn::SockAddress addr(text, static_cast<uint16_t>(port), is_ipv6 != 0);
  groups_v4[key] =
      new ClientManager(transport, worker, addr, text + ":" + std::to_string(port), n);
}

void PyxDriver::Impl::SetGroupV6(const ::Ipv6Addr& ip, const std::string& text, uint32_t port,
                                 int n) {
  if (ip.ip_size() != 4) {
    LOG_ERROR << "Ipv6Addr size error:" << ip.ip_size();
    return;
  }
  pyx::V6Key key{{ip.ip(0), ip.ip(1), ip.ip(2), ip.ip(3)}, port};
  if (groups_v6.count(key) != 0) return;
  tarn::SockAddress addr(text, static_cast<uint16_t>(port), true);
  groups_v6[key] =
      new ClientManager(transport, worker, addr, text + ":" + std::to_string(port), n);
}

// -------------------------------------------------------------- route cache

void PyxDriver::Impl::CopyRoutes(const std::string& name,
                                 const vovorav::BlockMasterQueryPlaneRouteResponse& resp) {
  DiskState* st = FindByName(name);
  if (st == nullptr || !st->routes) {
    LOG_ERROR << name << " has not route cache";
    return;
  }
  // Answers reach a driver in the order the manager took them, and the
  // manager never hands a driver an older term than it gave it before.
  const uint64_t term = resp.route_term().term();
  // The manager stored the uuid before it asked for routes.
  if (const char* uuid = pyx::Load(st->disk->uuid)) st->uuid = uuid;
  LOG_INFO << "Update " << name << "-" << id << " route cache";
  const vovorav::DieUnitBasicParams& g = resp.basic();
  if (g.die_capacity() != 0 && g.plane_capacity() != 0 && g.block_capacity() != 0) {
    st->die_capacity = g.die_capacity();
    st->plane_capacity = g.plane_capacity();
    st->block_capacity = g.block_capacity();
  }
  // The term this driver sends and checks answers against changes with
  // its routes, in one task: a retry never carries the new term to an old
  // place, nor the old term to a new one.
  pyx::Store(st->disk->route_term[id], term);
  uint64_t k = 0;
  uint64_t dropped = 0;
  for (const vovorav::PlaneRouteInDie& die : resp.routes()) {
    for (const vovorav::PlaneRouteDetail& detail : die.route()) {
      if (k < pyx::kRouteSlots) {
        st->routes[k].CopyFrom(detail);
      } else {
        ++dropped;
      }
      ++k;
    }
  }
  if (dropped > 0) {
    LOG_ERROR << name << " route answer holds " << k << " planes, the " << dropped
             << " beyond " << pyx::kRouteSlots << " have no place";
  }
}

// ---------------------------------------------------------------- PyxDriver

void PyxDriver::malloc_plane_route_cache(bdev_pyx* disk) {
  DiskState* st = impl_->Attach(disk);
  st->routes.reset(new vovorav::PlaneRouteDetail[pyx::kRouteSlots]);
  LOG_INFO << "pid = " << getpid() << ", tid = " << plinth::CurrentThread::tid() << "pyx_name "
           << st->name;
}

void PyxDriver::free_plane_route_cache(bdev_pyx* disk) {
  DiskState* st = impl_->Find(disk);
  if (st != nullptr) st->routes.reset();
}

void PyxDriver::UpdateRouteCache(
    const std::string& name, std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp) {
  Impl* impl = impl_.get();
  std::shared_ptr<bool> alive = impl->alive;
  worker_->loop()->RunInLoop(
      [impl, alive, name, resp] {
        if (*alive) impl->CopyRoutes(name, *resp);
      },
      true);
}

void PyxDriver::pyx_set_client_manager(int ip, const std::string& ip_text, int port, int n) {
  impl_->SetGroupV4(static_cast<uint32_t>(ip), ip_text, static_cast<uint32_t>(port), n);
}

void PyxDriver::pyx_set_client_managerv6(const ::Ipv6Addr& ip, const std::string& ip_text,
                                         int port, int n) {
  impl_->SetGroupV6(ip, ip_text, static_cast<uint32_t>(port), n);
}

bool PyxDriver::has_route_cache(const std::string& name) const {
  const DiskState* st = impl_->FindByName(name);
  return st != nullptr && st->routes != nullptr;
}

const vovorav::PlaneRouteDetail* PyxDriver::route_of(const std::string& name,
                                                     uint64_t plane) const {
  const DiskState* st = impl_->FindByName(name);
  if (st == nullptr || !st->routes || plane >= pyx::kRouteSlots) return nullptr;
  return &st->routes[plane];
}

size_t PyxDriver::client_group_count() const {
  return impl_->groups_v4.size() + impl_->groups_v6.size();
}

ClientManager* PyxDriver::client_group(uint32_t ip, uint32_t port) const {
  auto it = impl_->groups_v4.find(pyx::V4Key{ip, port});
  return it == impl_->groups_v4.end() ? nullptr : it->second;
}
