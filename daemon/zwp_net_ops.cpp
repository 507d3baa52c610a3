#include "daemon/zwp_net_ops.h"

#include <atomic>

namespace {

constexpr zwp_net_ops_t no_record_ops{};
std::atomic<const zwp_net_ops_t *> g_ops{&no_record_ops};

} // namespace

void zwp_net_ops_set(const zwp_net_ops_t *ops) { g_ops.store(ops ? ops : &no_record_ops); }

const zwp_net_ops_t *zwp_net_ops_get() { return g_ops.load(); }
