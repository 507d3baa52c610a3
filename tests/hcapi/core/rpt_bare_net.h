// A network record without its threads or sockets, for driving the report
// dispatcher directly: node 5 with Basic, Binary Switch and Battery
// interfaces (and those of switches, sensors, meters and notifications)
// whose report callbacks (both kinds) count their calls and check that the
// network mutex is released around them.
#pragma once

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"

#include <cstdlib>
#include <utility>

namespace rpt_bare {

inline zwnet_p g_net = nullptr;
inline unsigned g_calls = 0;

inline void on_rpt(zwif_desc_t *intf, uint8_t, time_t)
{
    if (zwnet_lck_depth(g_net) != 0 || intf == nullptr || intf->nodeid != 5)
        std::abort();
    ++g_calls;
}

class net {
public:
    net()
    {
        n_ = new zwnet;
        g_net = n_;
        plt_mtx_init(&n_->mtx);
        zwnet_lock lk(n_);
        n_->ep_intv_active = 1;
        zwnode_p node = zwnode_create(n_, 5);
        for (uint16_t cls : {0x20, 0x25, 0x80}) {
            zwif_p i = zwif_create(cls, 1, IF_PROPTY_UNSECURE);
            zwif_attach(&node->ep, i);
            for (uint8_t r = 0; r < i->rpt_num; ++r)
                i->rpt[r].usr_rpt_cb = i->rpt[r].sm_rpt_cb = reinterpret_cast<zwif_rpt_fn>(on_rpt);
        }
        // Switches, sensors, meters and notifications, at versions that get
        // every report row. Their callbacks only look at the descriptor.
        const std::pair<uint16_t, uint8_t> sw[] = {{0x26, 4}, {0x30, 2}, {0x31, 11}, {0x32, 4}, {0x33, 3},
                                                   {0x35, 1}, {0x3C, 1}, {0x3D, 1},  {0x62, 3}, {0x66, 1},
                                                   {0x71, 8}, {0x9C, 1}};
        for (auto [cls, ver] : sw) {
            zwif_p i = zwif_create(cls, ver, IF_PROPTY_UNSECURE);
            zwif_attach(&node->ep, i);
            for (uint8_t r = 0; r < i->rpt_num; ++r)
                i->rpt[r].usr_rpt_cb = i->rpt[r].sm_rpt_cb = reinterpret_cast<zwif_rpt_fn>(on_rpt);
        }
    }
    ~net()
    {
        {
            zwnet_lock lk(n_);
            zwnet_node_free(n_, 5);
        }
        plt_mtx_destroy(n_->mtx);
        delete n_;
        g_net = nullptr;
    }
    net(const net &) = delete;
    net &operator=(const net &) = delete;

    // As the receive path does: the interface of the frame's class, if any.
    int dispatch(const uint8_t *frame, uint16_t len)
    {
        uint16_t cls;
        uint8_t cmd;
        if (!zwif_cls_cmd_get(frame, len, &cls, &cmd))
            return 0;
        zwnet_lock lk(n_);
        zwep_p ep = zwep_find_by_id(n_, 5, 0);
        zwif_p i = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
        return i ? zwif_report_dispatch(i, frame, len) : 0;
    }

private:
    zwnet_p n_;
};

}  // namespace rpt_bare
