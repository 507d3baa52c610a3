// Stand-in of the endpoint interview while it is built: a start is accepted
// and completes at once through its completion callback, so that the node
// interview goes on with its walk.
#include "hcapi/net/zwnet_ni.h"

namespace {

int standin_complete(zwnet_p net, int evt, void *data)
{
    auto *p = static_cast<zwnet_ep_info_param_t *>(data);
    if (net == nullptr || evt != 1 || p == nullptr)
        return 0;
    p->started = 1;
    if (p->cmplt_cb != nullptr)
        p->cmplt_cb(net, 0);
    return 1;
}

}  // namespace

int zwnet_ep_info_sm(zwnet_p net, int evt, void *data) { return standin_complete(net, evt, data); }

int zwnet_1_ep_info_sm(zwnet_p net, int evt, void *data) { return standin_complete(net, evt, data); }
