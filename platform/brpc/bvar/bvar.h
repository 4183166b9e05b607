// Metric variables: counters, recorders, windows and the registry of
// exposed names. See each header for its variable.
#ifndef PLATFORM_BVAR_BVAR_H
#define PLATFORM_BVAR_BVAR_H

#include "bvar/latency_recorder.h"
#include "bvar/passive_status.h"
#include "bvar/recorder.h"
#include "bvar/reducer.h"
#include "bvar/variable.h"
#include "bvar/window.h"

#endif  // PLATFORM_BVAR_BVAR_H
