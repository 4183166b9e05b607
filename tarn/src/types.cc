#include "tarn/types.h"

namespace tarn {

void DefaultConnectionSuccessCbImpl(const std::shared_ptr<Connection>&) {}
void DefaultConnectionClosedCbImpl(const std::shared_ptr<Connection>&) {}
void DefaultMessageReadCbImpl(const std::shared_ptr<Connection>&) {}
void DefaultMessageWriteCbImpl(const std::shared_ptr<Connection>&) {}

const ConnectionCallback DefaultConnectionSuccessCb = DefaultConnectionSuccessCbImpl;
const ConnectionCallback DefaultConnectionClosedCb = DefaultConnectionClosedCbImpl;
const ConnectionCallback DefaultMessageReadCb = DefaultMessageReadCbImpl;
const ConnectionCallback DefaultMessageWriteCb = DefaultMessageWriteCbImpl;

bool g_enable_metrics = false;
int g_numa_id = -1;

}  // namespace tarn
