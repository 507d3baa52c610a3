// A network against the gateway simulator for the tables of per-class
// calls: (call, arguments) -> result, the frames handed to the send path and
// the operation code they carry. A sleeping node keeps both in its queue,
// where they can be read back without a device answering.
#pragma once

#include "../net/hc_test_support.h"

#include "hcapi/core/zwrec.h"

#include <functional>
#include <vector>

namespace cls_call {

using bytes = std::vector<uint8_t>;
using call_fn = std::function<int(const zwif_desc_t *)>;

struct call_case {
    const char *name;
    uint8_t node;
    uint8_t ep;
    uint16_t cls;
    call_fn call;
    int rc;
    std::vector<bytes> frames;  // queued, in order; none: nothing queued
    uint16_t op;                // carried by the first frame
};

class CallNet : public hc_test::HcNet {
protected:
    // Puts an interface at a version (both fields, as a device would report
    // it), creating it when the endpoint lacks it.
    void version(uint8_t node_id, uint8_t ep_id, uint16_t cls, uint8_t ver)
    {
        zwnet_lock lk(net_);
        zwep_p ep = zwep_find_by_id(net_, node_id, ep_id);
        ASSERT_NE(nullptr, ep);
        zwif_p i = zwif_find_cls(ep->intf, cls);
        if (i == nullptr) {
            ASSERT_EQ(1, zwif_attach(ep, zwif_create(cls, ver, IF_PROPTY_UNSECURE)));
            i = zwif_find_cls(ep->intf, cls);
        } else if (i->ver != ver) {
            // The report rows depend on the version: make the interface anew.
            zwif_p n = zwif_create(cls, ver, i->propty);
            ASSERT_NE(nullptr, n);
            zwif_dat_copy(n, i);
            n->ep = ep;
            n->next = i->next;
            for (zwif_p *p = &ep->intf; *p != nullptr; p = &(*p)->next)
                if (*p == i) {
                    *p = n;
                    break;
                }
            zwif_dat_free(i);
            i = n;
        }
        i->real_ver = ver;
    }

    // The frames queued for a node and the operation code of each (0 for
    // the later frames of one call).
    std::vector<std::pair<bytes, uint16_t>> queued(uint8_t node_id)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        std::vector<std::pair<bytes, uint16_t>> out;
        for (const auto &c : n->cmd_q)
            out.push_back({c->cmd, c->op_cnt ? c->op : uint16_t{0}});
        return out;
    }
    void clear(uint8_t node_id)
    {
        zwnode_desc_t d = node(node_id);
        ASSERT_EQ(0, zwnode_cmd_q_cancel(&d));
    }

    std::vector<uint8_t> echo()
    {
        plt_mtx_lck(net_->echo_mtx);
        std::vector<uint8_t> e(net_->echo_buf, net_->echo_buf + net_->echo_len);
        plt_mtx_ulck(net_->echo_mtx);
        return e;
    }
    void echo_clear()
    {
        plt_mtx_lck(net_->echo_mtx);
        net_->echo_len = 0;
        plt_mtx_ulck(net_->echo_mtx);
    }

    template <class Cases>
    void run(const Cases &cases)
    {
        for (const call_case &c : cases) {
            SCOPED_TRACE(c.name);
            ASSERT_NO_FATAL_FAILURE(clear(c.node));
            zwif_desc_t d = intf(c.node, c.cls, c.ep);
            EXPECT_EQ(c.rc, c.call(&d));
            const auto q = queued(c.node);
            ASSERT_EQ(c.frames.size(), q.size());
            for (size_t k = 0; k < q.size(); ++k)
                EXPECT_EQ(c.frames[k], q[k].first) << "frame " << k;
            if (!q.empty()) {
                EXPECT_EQ(c.op, q[0].second);
            }
        }
    }
};

}  // namespace cls_call
