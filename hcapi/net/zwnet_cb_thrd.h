// The callback thread of a network.
#pragma once

#include "hcapi/core/zwrec.h"

// Empties the callback queue (hcapi/core/zwnet_cb.h) until the network's
// callback-thread run flag is cleared, calling the application for each
// message with the network mutex released. Returns when it stops; the
// network layer's thread wrapper then gives up the thread's reference.
void zwnet_cb_thrd(zwnet_p net);
