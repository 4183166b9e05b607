/*
 * pyxdriver: the block-storage client library a storage host loads.
 *
 * The host's block-device module owns three records that the library reads
 * and writes in place, and drives the library through the functions below:
 *
 *   pyx_init_env();                       once, reads the "ORLA" sections
 *   disk->name = "vol1"; disk->done = cb;
 *   pyx_init(disk);                       then wait for cb(disk): disk->ok
 *   send_pyx_io(bdev_io);                 any number, from any host thread
 *   ...poll ch->rings[0 .. get_cpus_size() - 1] for finished bdev_pyx_io*
 *   pyx_free(disk);
 *   pyx_finish_env();
 *
 * Every function only posts work to the library's worker loops and returns;
 * outcomes reach the host through `done`, `ok`, `size` and each I/O's
 * `status` (-1 on failure, untouched on success) on a completion ring.
 *
 * The field order and types of the records are a contract with the host
 * module: never reorder them. Fields that library threads and host threads
 * share are accessed with relaxed atomic operations on this same layout.
 */
#ifndef PYXDRIVER_PYXDRIVER_H
#define PYXDRIVER_PYXDRIVER_H

#include <stdint.h>
#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spdk_ring;
struct spdk_bdev_io;
struct bdev_pyx_io;

/* One remote virtual disk; allocated, kept alive and freed by the host. */
struct bdev_pyx {
  char* name;          /* host: NUL-terminated disk name */
  char* uuid;          /* library: heap copy of the uuid from the cluster;
                          freed (and set to NULL) by pyx_free */
  uint8_t ok;          /* library: 1 registered and usable, 0 failed */
  uint64_t size;       /* library: bytes; 0 until the first size answer */
  uint64_t die_unit_capacity; /* library: route geometry, bytes */
  uint64_t die_capacity;
  uint64_t plane_capacity;
  uint64_t block_capacity;
  void (*done)(struct bdev_pyx* disk); /* host: end of a bring-up or size query */
  int32_t attempts;    /* library: fail-over attempts of the current step */
  int32_t mode;        /* host: 1 = a size query only refreshes size */
  uint64_t route_term[16]; /* library: route term per I/O driver id */
  uint8_t deleting;    /* library: 1 once pyx_free has begun */
  uint8_t exists;      /* library: 1 registered; 0 lost or unregistered */
  uint64_t* counter;   /* library: log throttle counter, from pyx_init */
};

/* Timing record of one I/O, taken by send_pyx_io from the library's pool
 * and given back by the library when the I/O completes. */
struct bdev_pyx_io_stats {
  uint64_t start;  /* TSC at submission */
  uint8_t retried; /* 1 once the I/O went through the retry ring */
};

/* The library's per-I/O record, in the driver-context area of the host's
 * spdk_bdev_io (see spdk_bdev_io_get_driver_ctx). The host sets status (0),
 * iov, iovcnt, len, offset and ch before each send_pyx_io; send_pyx_io sets
 * plane, lock_wait, pending_ms, link and stats itself, so a record may come
 * back from the host's pool holding anything a previous I/O left. */
struct bdev_pyx_io {
  int32_t status;       /* -1 when the I/O failed; untouched on success */
  struct iovec* iov;    /* data buffers */
  int iovcnt;
  uint64_t len;         /* bytes */
  uint64_t offset;      /* bytes into the disk */
  uint64_t plane;       /* written by send_pyx_io */
  uint8_t lock_wait;    /* waits for the 4 KiB block lock set */
  int64_t pending_ms;   /* countdown while held in the pending queue */
  struct bdev_pyx_io_channel* ch; /* the host channel the I/O came from */
  struct {
    struct bdev_pyx_io* tqe_next;
    struct bdev_pyx_io** tqe_prev;
  } link;               /* pending-queue links */
  struct bdev_pyx_io_stats* stats;
};

/* One host I/O channel. */
struct bdev_pyx_io_channel {
  struct bdev_pyx* disk;
  struct spdk_ring** rings; /* completion rings, index = I/O driver id */
};

/* 0 on success and when "use_orla" is off; -1 on failure. */
int pyx_init_env(void);
/* Opens a disk: 0 when the bring-up was posted (outcome through done). */
int pyx_init(struct bdev_pyx* disk);
/* Size query (mode 1) or full bring-up; -1 before start-up has a manager. */
int get_vdisk_size(struct bdev_pyx* disk);
/* Submits one read (type 1) or write (type 2). The I/O ends once, on a
 * completion ring of its channel, with status -1 when the library refused
 * it (bad geometry, type, length or iovecs; past the end; a freed disk; an
 * unaligned write across a get_max_io_size() stripe). An aligned write
 * across stripes runs in parts, one per stripe, on the stripes' drivers; it
 * ends once, when its last part does, on that part's driver's ring, with
 * status -1 when any part failed. Only when there is no I/O driver to run
 * it (get_cpus_size() is 0, or after pyx_finish_env) does it end at once:
 * status is -1 when this returns and no ring sees it. */
void send_pyx_io(struct spdk_bdev_io* bio);
/* Closes a disk. The host may free the record once this returns: nothing
 * in the library touches it afterwards. */
void pyx_free(struct bdev_pyx* disk);
/* Ends the library: every I/O it still holds completes with -1 on its
 * ring, each once, before this returns. An I/O that finds its ring full
 * waits until the host makes room, so the host keeps polling its rings (on
 * another thread) until this returns; after 5 s in which the host took
 * nothing, what is left is logged at ERROR and never completes. */
void pyx_finish_env(void);
/* worker_num: the number of completion rings a channel needs. */
int get_cpus_size(void);
/* The I/O stripe: a host splits I/O at multiples of it. */
int get_max_io_size(void);
void tcmalloc_free_memory(void);

#ifdef __cplusplus
}  /* extern "C" */

/* Plane number of a byte offset of the channel's disk (C++ linkage). */
uint64_t get_plane_num(bdev_pyx_io_channel* ch, uint64_t offset);
#endif

#endif /* PYXDRIVER_PYXDRIVER_H */
