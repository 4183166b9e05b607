// Transport-id text and PCI addresses of the stand-in.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "spdk/env.h"
#include "spdk/nvme.h"

namespace {

// Copies `value` into a field of `cap` bytes (terminator included).
bool copy_field(char* field, size_t cap, const std::string& value) {
  if (value.size() + 1 > cap) return false;
  memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

bool parse_trtype(const std::string& v, spdk_nvme_transport_type* out) {
  static const struct {
    const char* name;
    spdk_nvme_transport_type type;
  } kTypes[] = {{"PCIe", SPDK_NVME_TRANSPORT_PCIE},
                {"RDMA", SPDK_NVME_TRANSPORT_RDMA},
                {"FC", SPDK_NVME_TRANSPORT_FC},
                {"TCP", SPDK_NVME_TRANSPORT_TCP},
                {"CUSTOM", SPDK_NVME_TRANSPORT_CUSTOM}};
  for (const auto& t : kTypes) {
    if (strcasecmp(v.c_str(), t.name) == 0) {
      *out = t.type;
      return true;
    }
  }
  return false;
}

bool parse_adrfam(const std::string& v, spdk_nvmf_adrfam* out) {
  static const struct {
    const char* name;
    spdk_nvmf_adrfam fam;
  } kFams[] = {{"IPv4", SPDK_NVMF_ADRFAM_IPV4},
               {"IPv6", SPDK_NVMF_ADRFAM_IPV6},
               {"IB", SPDK_NVMF_ADRFAM_IB},
               {"FC", SPDK_NVMF_ADRFAM_FC},
               {"INTRA_HOST", SPDK_NVMF_ADRFAM_INTRA_HOST}};
  for (const auto& f : kFams) {
    if (strcasecmp(v.c_str(), f.name) == 0) {
      *out = f.fam;
      return true;
    }
  }
  return false;
}

int apply_pair(spdk_nvme_transport_id* trid, const std::string& key, const std::string& value) {
  if (strcasecmp(key.c_str(), "trtype") == 0) {
    spdk_nvme_transport_type type;
    if (!parse_trtype(value, &type)) return -EINVAL;
    trid->trtype = type;
    return copy_field(trid->trstring, sizeof(trid->trstring), value) ? 0 : -EINVAL;
  }
  if (strcasecmp(key.c_str(), "adrfam") == 0) {
    spdk_nvmf_adrfam fam;
    if (!parse_adrfam(value, &fam)) return -EINVAL;
    trid->adrfam = fam;
    return 0;
  }
  if (strcasecmp(key.c_str(), "traddr") == 0) {
    return copy_field(trid->traddr, sizeof(trid->traddr), value) ? 0 : -EINVAL;
  }
  if (strcasecmp(key.c_str(), "trsvcid") == 0) {
    return copy_field(trid->trsvcid, sizeof(trid->trsvcid), value) ? 0 : -EINVAL;
  }
  if (strcasecmp(key.c_str(), "subnqn") == 0) {
    return copy_field(trid->subnqn, sizeof(trid->subnqn), value) ? 0 : -EINVAL;
  }
  if (strcasecmp(key.c_str(), "priority") == 0) {
    char* end = nullptr;
    errno = 0;
    const long p = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || p < 0 || p > 0xffff) return -EINVAL;
    trid->priority = static_cast<int>(p);
    return 0;
  }
  return -EINVAL;
}

// Reads up to `max_digits` hexadecimal digits from *p; false when none.
bool hex_field(const char** p, int max_digits, unsigned long* out) {
  unsigned long v = 0;
  int n = 0;
  while (n < max_digits && isxdigit(static_cast<unsigned char>(**p))) {
    const char c = static_cast<char>(tolower(static_cast<unsigned char>(**p)));
    v = v * 16 + static_cast<unsigned long>(c <= '9' ? c - '0' : c - 'a' + 10);
    ++*p;
    ++n;
  }
  *out = v;
  return n > 0;
}

}  // namespace

extern "C" int spdk_nvme_transport_id_parse(struct spdk_nvme_transport_id* trid,
                                            const char* str) {
  if (trid == nullptr || str == nullptr) return -EINVAL;
  const std::string text(str);
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) break;
    size_t end = i;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    const std::string pair = text.substr(i, end - i);
    i = end;
    const size_t colon = pair.find(':');
    if (colon == std::string::npos || colon == 0) return -EINVAL;
    const int rc = apply_pair(trid, pair.substr(0, colon), pair.substr(colon + 1));
    if (rc != 0) return rc;
  }
  return 0;
}

extern "C" int spdk_pci_addr_parse(struct spdk_pci_addr* addr, const char* bdf) {
  if (addr == nullptr || bdf == nullptr) return -EINVAL;
  // Up to three fields before the '.': domain, bus, device (domain optional).
  unsigned long fields[3];
  int count = 0;
  const char* p = bdf;
  for (;;) {
    if (count == 3) return -EINVAL;
    if (!hex_field(&p, 8, &fields[count])) return -EINVAL;
    ++count;
    if (*p == ':') {
      ++p;
      continue;
    }
    if (*p == '.') break;
    return -EINVAL;
  }
  ++p;
  unsigned long func = 0;
  if (count < 2 || !hex_field(&p, 1, &func) || *p != '\0') return -EINVAL;
  const unsigned long domain = count == 3 ? fields[0] : 0;
  const unsigned long bus = fields[count - 2];
  const unsigned long dev = fields[count - 1];
  if (domain > 0xffffffffUL || bus > 0xff || dev > 0x1f || func > 7) return -EINVAL;
  addr->domain = static_cast<uint32_t>(domain);
  addr->bus = static_cast<uint8_t>(bus);
  addr->dev = static_cast<uint8_t>(dev);
  addr->func = static_cast<uint8_t>(func);
  return 0;
}

extern "C" int spdk_pci_addr_fmt(char* bdf, size_t sz, const struct spdk_pci_addr* addr) {
  if (bdf == nullptr || addr == nullptr) return -1;
  const int n = snprintf(bdf, sz, "%04x:%02x:%02x.%x", addr->domain, addr->bus, addr->dev,
                         addr->func);
  return n > 0 && static_cast<size_t>(n) < sz ? 0 : -1;
}

extern "C" int spdk_pci_addr_compare(const struct spdk_pci_addr* a1,
                                     const struct spdk_pci_addr* a2) {
  const uint64_t k1 = (uint64_t{a1->domain} << 24) | (uint64_t{a1->bus} << 16) |
                      (uint64_t{a1->dev} << 8) | a1->func;
  const uint64_t k2 = (uint64_t{a2->domain} << 24) | (uint64_t{a2->bus} << 16) |
                      (uint64_t{a2->dev} << 8) | a2->func;
  return k1 < k2 ? -1 : (k1 > k2 ? 1 : 0);
}
