// Capability data of thermostats, locks, scenes and user interaction for
// the callback thread.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif.h"

#include <cstdint>

// The family's data kinds (callback messages of type 1): the interface's
// supported information is copied under the network mutex and the callback's
// arguments are read from the copy, each within the bytes the block has; an
// interface that is gone or holds nothing gives zeros, null pointers and
// valid 0. True when the kind is one of the family's, false for another
// family's kind. Without the network mutex.
bool zwif_ctl_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, uint16_t arg);
