#include "rte_lcore.h"

#include <errno.h>
#include <pthread.h>

extern "C" int rte_thread_set_affinity(rte_cpuset_t* cpusetp) {
  if (cpusetp == nullptr) return -EINVAL;
  const int rc = pthread_setaffinity_np(pthread_self(), sizeof(*cpusetp), cpusetp);
  return rc == 0 ? 0 : -rc;
}
