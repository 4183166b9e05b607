// The user-space NVMe driver as the framework's NVMe back end uses it:
// transport ids, probe and attach, controller and namespace queries, I/O
// queue pairs, reads and writes with separate metadata (flat or described
// by scatter-list callbacks), dataset management and write zeroes.
//
// In production the host process supplies the driver. This stand-in keeps
// the same names and signatures and serves them from emulated controllers
// that tests register (spdk/nvme_standin.h): each namespace is a file, its
// metadata a side file. It is strict where real hardware is:
//   - probe needs the environment (spdk_env_init) and reports only
//     controllers that are not attached yet;
//   - data and metadata must lie in memory from spdk_zmalloc (-EFAULT);
//   - a queue pair serves one thread: commands are submitted and completed
//     on the thread that first used it, and complete only inside
//     spdk_nvme_qpair_process_completions, which is also when their data
//     moves;
//   - a range past the namespace completes with "LBA out of range";
//   - a queue pair holds io_queue_requests commands; one more is -ENOMEM
//     (a command longer than the largest transfer is split and takes one
//     request per piece plus one);
//   - a failed controller refuses commands with -ENXIO and aborts those
//     outstanding at the next completion pass.
#ifndef PLATFORM_SPDK_NVME_H
#define PLATFORM_SPDK_NVME_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "spdk/env.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SPDK_NVMF_TRSTRING_MAX_LEN 32
#define SPDK_NVMF_TRADDR_MAX_LEN 256
#define SPDK_NVMF_TRSVCID_MAX_LEN 32
#define SPDK_NVMF_NQN_MAX_LEN 223
#define SPDK_NVMF_DISCOVERY_NQN "nqn.2014-08.org.nvmexpress.discovery"

enum spdk_nvme_transport_type {
  SPDK_NVME_TRANSPORT_PCIE = 256,
  SPDK_NVME_TRANSPORT_RDMA = 1,
  SPDK_NVME_TRANSPORT_FC = 2,
  SPDK_NVME_TRANSPORT_TCP = 3,
  SPDK_NVME_TRANSPORT_CUSTOM = 4096,
};

enum spdk_nvmf_adrfam {
  SPDK_NVMF_ADRFAM_IPV4 = 1,
  SPDK_NVMF_ADRFAM_IPV6 = 2,
  SPDK_NVMF_ADRFAM_IB = 3,
  SPDK_NVMF_ADRFAM_FC = 4,
  SPDK_NVMF_ADRFAM_INTRA_HOST = 254,
};

// Where a controller is. For PCIe only trtype and traddr ("0000:04:00.0")
// matter.
struct spdk_nvme_transport_id {
  char trstring[SPDK_NVMF_TRSTRING_MAX_LEN + 1];
  enum spdk_nvme_transport_type trtype;
  enum spdk_nvmf_adrfam adrfam;
  char traddr[SPDK_NVMF_TRADDR_MAX_LEN + 1];
  char trsvcid[SPDK_NVMF_TRSVCID_MAX_LEN + 1];
  char subnqn[SPDK_NVMF_NQN_MAX_LEN + 1];
  int priority;
};

// Fills `trid` from "key:value" pairs separated by blanks or tabs; keys
// (trtype, adrfam, traddr, trsvcid, subnqn, priority) are case-insensitive
// and values may themselves hold ':' (a PCI address does). Fields not named
// keep their values. Returns 0, or -EINVAL for a null argument, a pair
// without ':', an unknown key or transport type, or an over-long value.
int spdk_nvme_transport_id_parse(struct spdk_nvme_transport_id* trid, const char* str);

struct spdk_nvme_ctrlr;
struct spdk_nvme_ns;
struct spdk_nvme_qpair;

// Options a probe callback may change before its controller attaches.
struct spdk_nvme_ctrlr_opts {
  uint32_t num_io_queues;
  bool use_cmb_sqs;
  uint32_t arb_mechanism;
  uint32_t keep_alive_timeout_ms;
  uint32_t transport_retry_count;
  // Entries of each I/O queue; the controller lowers it to what it
  // supports.
  uint32_t io_queue_size;
  char hostnqn[SPDK_NVMF_NQN_MAX_LEN + 1];
  // Commands each I/O queue pair may hold at once (queued beyond the
  // hardware queue in software); at least io_queue_size.
  uint32_t io_queue_requests;
};

// The identify-controller data the back end reads. Text fields are padded
// with blanks and not terminated.
struct spdk_nvme_ctrlr_data {
  uint16_t vid;
  uint16_t ssvid;
  int8_t sn[20];
  int8_t mn[40];
  uint8_t fr[8];
  uint8_t mdts;  // largest transfer: 2^mdts minimum pages; 0 no limit
  uint32_t nn;   // namespaces
};

struct spdk_nvme_status {
  uint16_t p : 1;
  uint16_t sc : 8;   // status code
  uint16_t sct : 3;  // status code type
  uint16_t crd : 2;
  uint16_t m : 1;
  uint16_t dnr : 1;
};

// One completion queue entry.
struct spdk_nvme_cpl {
  uint32_t cdw0;
  uint32_t rsvd1;
  uint16_t sqhd;
  uint16_t sqid;
  uint16_t cid;
  struct spdk_nvme_status status;
};

#define spdk_nvme_cpl_is_error(cpl) ((cpl)->status.sc != 0 || (cpl)->status.sct != 0)

enum spdk_nvme_status_code_type {
  SPDK_NVME_SCT_GENERIC = 0x0,
  SPDK_NVME_SCT_COMMAND_SPECIFIC = 0x1,
  SPDK_NVME_SCT_MEDIA_ERROR = 0x2,
  SPDK_NVME_SCT_PATH = 0x3,
  SPDK_NVME_SCT_VENDOR_SPECIFIC = 0x7,
};

enum spdk_nvme_generic_command_status_code {
  SPDK_NVME_SC_SUCCESS = 0x00,
  SPDK_NVME_SC_INVALID_OPCODE = 0x01,
  SPDK_NVME_SC_INVALID_FIELD = 0x02,
  SPDK_NVME_SC_DATA_TRANSFER_ERROR = 0x04,
  SPDK_NVME_SC_INTERNAL_DEVICE_ERROR = 0x06,
  SPDK_NVME_SC_ABORTED_SQ_DELETION = 0x08,
  SPDK_NVME_SC_DATA_SGL_LENGTH_INVALID = 0x0f,
  SPDK_NVME_SC_LBA_OUT_OF_RANGE = 0x80,
  SPDK_NVME_SC_CAPACITY_EXCEEDED = 0x81,
  SPDK_NVME_SC_NAMESPACE_NOT_READY = 0x82,
};

enum spdk_nvme_media_error_status_code {
  SPDK_NVME_SC_WRITE_FAULTS = 0x80,
  SPDK_NVME_SC_UNRECOVERED_READ_ERROR = 0x81,
};

// Probe: return true to attach the controller; `opts` may be changed.
typedef bool (*spdk_nvme_probe_cb)(void* cb_ctx, const struct spdk_nvme_transport_id* trid,
                                   struct spdk_nvme_ctrlr_opts* opts);
// Attach: the controller is ready for use.
typedef void (*spdk_nvme_attach_cb)(void* cb_ctx, const struct spdk_nvme_transport_id* trid,
                                    struct spdk_nvme_ctrlr* ctrlr,
                                    const struct spdk_nvme_ctrlr_opts* opts);
// Remove: a controller went away (hot removal); never called here.
typedef void (*spdk_nvme_remove_cb)(void* cb_ctx, struct spdk_nvme_ctrlr* ctrlr);

// Looks for controllers at `trid` (a null trid or an empty PCIe address:
// every PCIe controller) that are not attached yet, calls `probe_cb` for
// each and attaches those it accepts, calling `attach_cb` on the calling
// thread before returning. Returns 0 (also when nothing was found), or -1
// when the environment is not started or `trid` cannot be served.
int spdk_nvme_probe(const struct spdk_nvme_transport_id* trid, void* cb_ctx,
                    spdk_nvme_probe_cb probe_cb, spdk_nvme_attach_cb attach_cb,
                    spdk_nvme_remove_cb remove_cb);

// Releases an attached controller, its namespaces and any I/O queue pair
// still allocated. The handle is gone afterwards. Returns 0.
int spdk_nvme_detach(struct spdk_nvme_ctrlr* ctrlr);

const struct spdk_nvme_ctrlr_data* spdk_nvme_ctrlr_get_data(struct spdk_nvme_ctrlr* ctrlr);
// The controller's PCI device; null for other transports.
struct spdk_pci_device* spdk_nvme_ctrlr_get_pci_device(struct spdk_nvme_ctrlr* ctrlr);
// The largest transfer of one command in bytes.
uint32_t spdk_nvme_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr* ctrlr);
// True once the controller has failed; its commands are refused.
bool spdk_nvme_ctrlr_is_failed(struct spdk_nvme_ctrlr* ctrlr);

uint32_t spdk_nvme_ctrlr_get_num_ns(struct spdk_nvme_ctrlr* ctrlr);
// Active namespace ids in increasing order; 0 when there is none (more).
uint32_t spdk_nvme_ctrlr_get_first_active_ns(struct spdk_nvme_ctrlr* ctrlr);
uint32_t spdk_nvme_ctrlr_get_next_active_ns(struct spdk_nvme_ctrlr* ctrlr, uint32_t prev_nsid);
bool spdk_nvme_ctrlr_is_active_ns(struct spdk_nvme_ctrlr* ctrlr, uint32_t nsid);
// Namespace `nsid` (1 to the namespace count, active or not); null outside.
struct spdk_nvme_ns* spdk_nvme_ctrlr_get_ns(struct spdk_nvme_ctrlr* ctrlr, uint32_t nsid);

bool spdk_nvme_ns_is_active(struct spdk_nvme_ns* ns);
uint32_t spdk_nvme_ns_get_id(struct spdk_nvme_ns* ns);
// Bytes of data per block, metadata excluded.
uint32_t spdk_nvme_ns_get_sector_size(struct spdk_nvme_ns* ns);
// Bytes of metadata per block (kept apart from the data); 0 for none.
uint32_t spdk_nvme_ns_get_md_size(struct spdk_nvme_ns* ns);
uint64_t spdk_nvme_ns_get_num_sectors(struct spdk_nvme_ns* ns);
// Data bytes of the namespace.
uint64_t spdk_nvme_ns_get_size(struct spdk_nvme_ns* ns);
// The largest transfer of one command in bytes; longer commands are split.
uint32_t spdk_nvme_ns_get_max_io_xfer_size(struct spdk_nvme_ns* ns);

enum spdk_nvme_qprio {
  SPDK_NVME_QPRIO_URGENT = 0x0,
  SPDK_NVME_QPRIO_HIGH = 0x1,
  SPDK_NVME_QPRIO_MEDIUM = 0x2,
  SPDK_NVME_QPRIO_LOW = 0x3,
};

struct spdk_nvme_io_qpair_opts {
  enum spdk_nvme_qprio qprio;
  // Hardware queue entries; lowered to what the controller supports.
  uint32_t io_queue_size;
  // Commands the queue pair holds at once; raised to io_queue_size.
  uint32_t io_queue_requests;
  bool delay_cmd_submit;
  bool create_only;
};

// The controller's defaults (from its attach options), copied into at most
// `opts_size` bytes of `opts`.
void spdk_nvme_ctrlr_get_default_io_qpair_opts(struct spdk_nvme_ctrlr* ctrlr,
                                               struct spdk_nvme_io_qpair_opts* opts,
                                               size_t opts_size);
// A new I/O queue pair, or null when the controller has none left, has
// failed, or `opts` are unusable. A null `opts` takes the defaults.
struct spdk_nvme_qpair* spdk_nvme_ctrlr_alloc_io_qpair(struct spdk_nvme_ctrlr* ctrlr,
                                                       const struct spdk_nvme_io_qpair_opts* opts,
                                                       size_t opts_size);
// Frees a queue pair; commands still outstanding complete with "aborted,
// submission queue deleted" first, on the calling thread. Returns 0.
int spdk_nvme_ctrlr_free_io_qpair(struct spdk_nvme_qpair* qpair);

// Completes at most `max_completions` commands (0: all) submitted before
// the call, running their callbacks in submission order. Returns the number
// completed, or -ENXIO when the controller has failed (outstanding commands
// are then completed as aborted first).
int32_t spdk_nvme_qpair_process_completions(struct spdk_nvme_qpair* qpair,
                                            uint32_t max_completions);

typedef void (*spdk_nvme_cmd_cb)(void* ctx, const struct spdk_nvme_cpl* cpl);
// Scatter lists: reset positions the list at byte `offset` of the payload;
// next yields the next stretch (address, length) from there on.
typedef void (*spdk_nvme_req_reset_sgl_cb)(void* cb_arg, uint32_t offset);
typedef int (*spdk_nvme_req_next_sge_cb)(void* cb_arg, void** address, uint32_t* length);

// Command submission. Every form returns 0 when the command was queued
// (its callback then runs exactly once from process_completions), or a
// negative errno without calling back: -EINVAL for bad arguments (no block,
// no payload, a scatter list that does not cover the blocks), -EFAULT for
// memory not from spdk_zmalloc, -ENOMEM when the queue pair is full,
// -ENXIO when the controller has failed. `metadata` holds lba_count x md
// size bytes and is required when the namespace has metadata.
int spdk_nvme_ns_cmd_read_with_md(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                  void* payload, void* metadata, uint64_t lba,
                                  uint32_t lba_count, spdk_nvme_cmd_cb cb_fn, void* cb_arg,
                                  uint32_t io_flags, uint16_t apptag_mask, uint16_t apptag);
int spdk_nvme_ns_cmd_write_with_md(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                   void* payload, void* metadata, uint64_t lba,
                                   uint32_t lba_count, spdk_nvme_cmd_cb cb_fn, void* cb_arg,
                                   uint32_t io_flags, uint16_t apptag_mask, uint16_t apptag);
int spdk_nvme_ns_cmd_readv_with_md(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                   uint64_t lba, uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                   void* cb_arg, uint32_t io_flags,
                                   spdk_nvme_req_reset_sgl_cb reset_sgl_fn,
                                   spdk_nvme_req_next_sge_cb next_sge_fn, void* metadata,
                                   uint16_t apptag_mask, uint16_t apptag);
int spdk_nvme_ns_cmd_writev_with_md(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                    uint64_t lba, uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                    void* cb_arg, uint32_t io_flags,
                                    spdk_nvme_req_reset_sgl_cb reset_sgl_fn,
                                    spdk_nvme_req_next_sge_cb next_sge_fn, void* metadata,
                                    uint16_t apptag_mask, uint16_t apptag);

// Zeroes lba_count blocks (at most 65536, the command's limit) and their
// metadata.
int spdk_nvme_ns_cmd_write_zeroes(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                  uint64_t lba, uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                  void* cb_arg, uint32_t io_flags);

enum spdk_nvme_nvm_opcode {
  SPDK_NVME_OPC_FLUSH = 0x00,
  SPDK_NVME_OPC_WRITE = 0x01,
  SPDK_NVME_OPC_READ = 0x02,
  SPDK_NVME_OPC_WRITE_ZEROES = 0x08,
  SPDK_NVME_OPC_DATASET_MANAGEMENT = 0x09,
};

enum spdk_nvme_admin_opcode {
  SPDK_NVME_OPC_GET_LOG_PAGE = 0x02,
  SPDK_NVME_OPC_SET_FEATURES = 0x09,
  SPDK_NVME_OPC_GET_FEATURES = 0x0a,
};

enum spdk_nvme_dsm_attribute {
  SPDK_NVME_DSM_ATTR_INTEGRAL_READ = 0x1,
  SPDK_NVME_DSM_ATTR_INTEGRAL_WRITE = 0x2,
  SPDK_NVME_DSM_ATTR_DEALLOCATE = 0x4,
};

#define SPDK_NVME_DATASET_MANAGEMENT_MAX_RANGES 256

struct spdk_nvme_dsm_range {
  union {
    struct {
      uint32_t access_frequency : 4;
      uint32_t access_latency : 2;
      uint32_t reserved0 : 2;
      uint32_t sequential_read_range : 1;
      uint32_t sequential_write_range : 1;
      uint32_t write_prepare : 1;
      uint32_t reserved1 : 13;
      uint32_t command_access_size : 8;
    } bits;
    uint32_t raw;
  } attributes;
  uint32_t length;  // blocks
  uint64_t starting_lba;
};

// Dataset management over 1 to 256 ranges (copied at submission). With
// SPDK_NVME_DSM_ATTR_DEALLOCATE the blocks are released and read back as
// zeroes, metadata included.
int spdk_nvme_ns_cmd_dataset_management(struct spdk_nvme_ns* ns, struct spdk_nvme_qpair* qpair,
                                        uint32_t type, const struct spdk_nvme_dsm_range* ranges,
                                        uint16_t num_ranges, spdk_nvme_cmd_cb cb_fn,
                                        void* cb_arg);

// Admin commands. They may be submitted from any thread and complete in
// spdk_nvme_ctrlr_process_admin_completions. Each returns 0 when queued,
// or -EINVAL / -EFAULT / -ENXIO as the I/O commands do.

enum spdk_nvme_feat {
  SPDK_NVME_FEAT_ARBITRATION = 0x01,
  SPDK_NVME_FEAT_POWER_MANAGEMENT = 0x02,
  SPDK_NVME_FEAT_LBA_RANGE_TYPE = 0x03,
  SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD = 0x04,
  SPDK_NVME_FEAT_ERROR_RECOVERY = 0x05,
  SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE = 0x06,
  SPDK_NVME_FEAT_NUMBER_OF_QUEUES = 0x07,
  SPDK_NVME_FEAT_INTERRUPT_COALESCING = 0x08,
  SPDK_NVME_FEAT_WRITE_ATOMICITY = 0x0a,
  SPDK_NVME_FEAT_ASYNC_EVENT_CONFIGURATION = 0x0b,
};

enum spdk_nvme_log_page {
  SPDK_NVME_LOG_ERROR = 0x01,
  SPDK_NVME_LOG_HEALTH_INFORMATION = 0x02,
  SPDK_NVME_LOG_FIRMWARE_SLOT = 0x03,
};

#define SPDK_NVME_GLOBAL_NS_TAG ((uint32_t)0xFFFFFFFF)

// The SMART / health information log page (512 bytes).
struct __attribute__((packed)) spdk_nvme_health_information_page {
  union {
    struct {
      uint8_t available_spare : 1;
      uint8_t temperature : 1;
      uint8_t device_reliability : 1;
      uint8_t read_only : 1;
      uint8_t volatile_memory_backup : 1;
      uint8_t reserved : 3;
    } bits;
    uint8_t raw;
  } critical_warning;
  uint16_t temperature;  // kelvin
  uint8_t available_spare;
  uint8_t available_spare_threshold;
  uint8_t percentage_used;
  uint8_t reserved[26];
  uint64_t data_units_read[2];
  uint64_t data_units_written[2];
  uint64_t host_read_commands[2];
  uint64_t host_write_commands[2];
  uint64_t controller_busy_time[2];
  uint64_t power_cycles[2];
  uint64_t power_on_hours[2];
  uint64_t unsafe_shutdowns[2];
  uint64_t media_errors[2];
  uint64_t num_error_info_log_entries[2];
  uint32_t warning_temp_time;
  uint32_t critical_temp_time;
  uint16_t temp_sensor[8];
  uint8_t reserved2[296];
};

// Get Features: the value comes back in cpl->cdw0. `payload` (DMA memory,
// or null) is only used by features that return data.
int spdk_nvme_ctrlr_cmd_get_feature(struct spdk_nvme_ctrlr* ctrlr, uint8_t feature,
                                    uint32_t cdw11, void* payload, uint32_t payload_size,
                                    spdk_nvme_cmd_cb cb_fn, void* cb_arg);
// Get Log Page into `payload` (DMA memory of payload_size bytes).
int spdk_nvme_ctrlr_cmd_get_log_page(struct spdk_nvme_ctrlr* ctrlr, uint8_t log_page,
                                     uint32_t nsid, void* payload, uint32_t payload_size,
                                     uint64_t offset, spdk_nvme_cmd_cb cb_fn, void* cb_arg);
// Completes the queued admin commands on the calling thread; their number,
// or -ENXIO when the controller has failed (they complete as aborted).
int32_t spdk_nvme_ctrlr_process_admin_completions(struct spdk_nvme_ctrlr* ctrlr);

// Makes the next `err_count` commands with opcode `opc` on `qpair` (null:
// the admin queue) complete with sct/sc. With do_not_submit they never
// reach the media; otherwise they run and their status is overwritten.
// (Completion waits for the next completion pass, not for timeout_in_us.)
// Returns 0, or -EINVAL.
int spdk_nvme_qpair_add_cmd_error_injection(struct spdk_nvme_ctrlr* ctrlr,
                                            struct spdk_nvme_qpair* qpair, uint8_t opc,
                                            bool do_not_submit, uint64_t timeout_in_us,
                                            uint32_t err_count, uint8_t sct, uint8_t sc);
void spdk_nvme_qpair_remove_cmd_error_injection(struct spdk_nvme_ctrlr* ctrlr,
                                                struct spdk_nvme_qpair* qpair, uint8_t opc);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SPDK_NVME_H
