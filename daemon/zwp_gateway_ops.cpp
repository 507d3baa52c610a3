#include "daemon/zwp_gateway_ops.h"

#include <atomic>

namespace {

constexpr zwp_gateway_ops_t no_list_ops{};
std::atomic<const zwp_gateway_ops_t *> g_ops{&no_list_ops};

} // namespace

void zwp_gateway_ops_set(const zwp_gateway_ops_t *ops) { g_ops.store(ops ? ops : &no_list_ops); }

const zwp_gateway_ops_t *zwp_gateway_ops_get() { return g_ops.load(); }
