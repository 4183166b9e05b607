// The thread-affinity call of the DPDK environment layer (stand-in).
#ifndef PLATFORM_RTE_LCORE_H
#define PLATFORM_RTE_LCORE_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <sched.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef cpu_set_t rte_cpuset_t;

// Pins the calling thread to the CPUs of `cpusetp`. Returns 0, or a negative
// errno value.
int rte_thread_set_affinity(rte_cpuset_t* cpusetp);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_RTE_LCORE_H
