// The calls of Association (0x85) and Multi Channel Association (0x8E), the
// copy of the association group information (0x59), and the return routes
// that a node needs to reach the members it was given.
//
// An add picks the class by what its members need (an endpoint member needs
// Multi Channel Association), checks each member against the commands that
// the group sends, and leaves a route plan in the node; once the SET was
// delivered the gateway deletes the node's return routes and assigns one
// per new destination, each request after the previous one completed.
#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_call.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint16_t cls_assoc = 0x85;
constexpr uint16_t cls_mca = 0x8E;
constexpr uint16_t cls_agi = 0x59;

enum : uint8_t {
    cmd_set = 0x01,
    cmd_get = 0x02,
    cmd_rpt = 0x03,
    cmd_remove = 0x04,
    cmd_groupings_get = 0x05,
    cmd_groupings_rpt = 0x06,
    cmd_specific_get = 0x0B,
    cmd_specific_rpt = 0x0C,
};
constexpr uint8_t mca_marker = 0x00;  // node-only members end, endpoint members follow

enum : uint16_t {
    op_actv_get = 4,
    op_add = 5,
    op_del = 9,
    op_get = 10,
};
constexpr zwif_sup_row_t assoc_sup{cls_assoc, cmd_groupings_get, cmd_groupings_rpt, 11, 3, 0, 0};
constexpr zwif_sup_row_t mca_sup{cls_mca, cmd_groupings_get, cmd_groupings_rpt, 11, 3, 0, 0};
constexpr zwif_get_row_t actv_get{cls_assoc, cmd_specific_get, cmd_specific_rpt, op_actv_get};

// The longest association frame the library builds: one that a node takes
// inside every encapsulation the send path may add.
constexpr size_t assoc_frame_max = 41;
constexpr size_t grp_cmd_cls_max = 64;
constexpr uint8_t generic_static_ctl = 0x02;
// A version of Multi Channel Association that addresses the controller's
// root device as endpoint 0.
constexpr uint8_t mca_ctl_ep0_ver = 3;

// The return-route plan in the node: four destinations, count, next index.
constexpr size_t rr_dst_max = 4;
constexpr size_t rr_cnt_at = 4;
constexpr size_t rr_idx_at = 5;

enum class assoc_mode { plain, mca, sibling };

int assoc_class(const zwif_desc_t *intf)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    return intf->cls == cls_assoc || intf->cls == cls_mca ? 0 : ZW_ERR_CLASS_NOT_FOUND;
}

// Which class carries the frame: the interface's own Multi Channel
// Association, the one beside an Association interface, or none.
assoc_mode mode_of(const zwif_desc_t *intf, zwif_desc_t *use)
{
    *use = *intf;
    if (intf->cls == cls_mca)
        return assoc_mode::mca;
    return zwif_sibling_get(intf, cls_mca, use) == 0 ? assoc_mode::sibling : assoc_mode::plain;
}

// Member access for the two array kinds.
struct pair_ref {
    uint8_t &nodeid;
    uint8_t &epid;
};
pair_ref ref(zwep_desc_t &m) { return {m.nodeid, m.epid}; }
pair_ref ref(zwif_assoc_ent_t &m) { return {m.node_id, m.ep_id}; }

// A node with endpoints addresses the controller's root device as endpoint
// 1 of it when it can address endpoints at all.
template <class Member>
void ctl_ep_fix(const zwif_desc_t *intf, Member *members, uint8_t cnt)
{
    zwnet_p net = intf->net;
    uint8_t ctl_id;
    bool has_ep2;
    {
        zwnet_lock lk(net);
        ctl_id = net->ctl.nodeid;
        zwnode_p node = zwnode_find(&net->ctl, intf->nodeid);
        has_ep2 = node != nullptr && zwep_find(&node->ep, 2) != nullptr;
    }
    if (!has_ep2)
        return;
    for (uint8_t k = 0; k < cnt; ++k)
        if (pair_ref m = ref(members[k]); m.nodeid == ctl_id)
            m.epid = 1;
}

// The Multi Channel Association frame: node-only members, the marker, then
// a (node, endpoint) pair per endpoint member. Newer versions address the
// controller's root device as endpoint 0 (the member is changed in place).
template <class Member>
std::vector<uint8_t> mca_frame(const zwif_desc_t *mca, uint8_t cmd, uint8_t grp, Member *members, uint8_t cnt,
                               uint8_t ctl_id)
{
    std::vector<uint8_t> f{static_cast<uint8_t>(cls_mca), cmd, grp};
    for (uint8_t k = 0; k < cnt; ++k)
        if (pair_ref m = ref(members[k]); m.epid == 0)
            f.push_back(m.nodeid);
    f.push_back(mca_marker);
    for (uint8_t k = 0; k < cnt; ++k) {
        pair_ref m = ref(members[k]);
        if (m.epid == 0)
            continue;
        if (m.nodeid == ctl_id && mca->ver >= mca_ctl_ep0_ver)
            m.epid = 0;
        f.push_back(m.nodeid);
        f.push_back(m.epid);
    }
    return f;
}

uint8_t ctl_node_id(zwnet_p net)
{
    zwnet_lock lk(net);
    return net->ctl.nodeid;
}

// The SET with its return-route plan, or without one when no member is
// another node: 1 sent with the plan (0 would hide that routes follow), the
// send's result otherwise, -13 node gone, -12.
int set_with_routes(const zwif_desc_t *intf, const std::vector<uint8_t> &frame, const std::vector<uint8_t> &dsts)
{
    const auto len = static_cast<uint16_t>(frame.size());
    if (dsts.empty())
        return zwif_exec_simple(intf, frame.data(), len, zwif_tx_sts_cb);
    uint8_t plan[6] = {};
    std::copy(dsts.begin(), dsts.end(), plan);
    plan[rr_cnt_at] = static_cast<uint8_t>(dsts.size());
    auto *tasks = new (std::nothrow) zwnode_task_list_t;
    if (tasks == nullptr)
        return ZW_ERR_MEMORY;
    try {
        tasks->tasks.push_back({std::vector<uint8_t>(plan, plan + sizeof plan), ZWNODE_TASK_RET_ROUTE, intf->nodeid});
    } catch (const std::bad_alloc &) {
        delete tasks;
        return ZW_ERR_MEMORY;
    }
    {
        zwnet_lock lk(intf->net);
        zwnode_p node = zwnode_find(&intf->net->ctl, intf->nodeid);
        if (node == nullptr) {
            delete tasks;
            return ZW_ERR_NODE_NOT_FOUND;
        }
        std::memcpy(node->ret_route, plan, sizeof plan);
    }
    // The network mutex is not held across the send: it may wait at the
    // one-send gate, and the threads that open the gate need the mutex.
    const int rc = zwif_exec(intf, frame.data(), len, zwnode_tx_cb, tasks, ZWIF_EXEC_TASKS, tasks);
    if (rc < 0) {
        zwnode_cb_q_rm_all(tasks);
        return rc;
    }
    return 1;
}

// The group's command classes from the endpoint's group information: 0 and
// the classes, -20 endpoint gone, -15 no group information interface, -53
// nothing cached, -60 the group is not listed.
int grp_cmd_list_get(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint8_t grp, std::vector<uint16_t> *classes)
{
    zwnet_lock lk(net);
    zwep_p ep = zwep_find_by_id(net, node_id, ep_id);
    if (ep == nullptr)
        return ZW_ERR_EP_NOT_FOUND;
    zwif_p agi = zwif_find_cls(ep->intf, cls_agi);
    if (agi == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    if (!agi->mgmt || agi->mgmt->agi.grps.empty())
        return ZW_ERR_INTF_NO_DATA;
    const std::vector<zwif_grp_t> &grps = agi->mgmt->agi.grps;
    if (grp > grps.size() || !grps[grp - 1].present)
        return ZW_ERR_NO_CACHE_AVAIL;
    for (const zwif_grp_cmd_t &c : grps[grp - 1].cmds)
        if (classes->size() < grp_cmd_cls_max && std::find(classes->begin(), classes->end(), c.cls) == classes->end())
            classes->push_back(c.cls);
    return 0;
}

// Every member can take every class the group sends (a static controller is
// trusted to): 0, -20, -15.
int grp_member_chk(zwnet_p net, const std::vector<uint16_t> &classes, const zwep_desc_t *members, uint8_t cnt)
{
    zwnet_lock lk(net);
    for (uint8_t k = 0; k < cnt; ++k) {
        zwep_p ep = zwep_find_by_id(net, members[k].nodeid, members[k].epid);
        if (ep == nullptr)
            return ZW_ERR_EP_NOT_FOUND;
        if (ep->generic == generic_static_ctl)
            continue;
        for (uint16_t cls : classes)
            if (zwif_find_cls(ep->intf, cls) == nullptr)
                return ZW_ERR_INTF_NOT_FOUND;
    }
    return 0;
}

// Each step of the route chain runs on a thread of its own (a 0 ms timer):
// neither the receive thread that delivered the gateway's reply nor the
// completion thread may wait at the one-send gate.
void rr_step(zwnet_p net, uint8_t node_id, plt_tmr_fn step)
{
    if (plt_tmr_start(&net->plt, 0, step, &net->node_ref[node_id]) == 0)
        plt_msg_ts_show(&net->plt, "Add/delete return route with error:%d", ZW_ERR_NO_RES);
}

void rr_assign_cb(void *data);

// Completion of each return-route request: the next step on success, the
// end of the chain (logged) on failure.
void zwif_grp_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    if (status != 0) {
        plt_msg_ts_show(&net->plt, "Add/delete return route with error:%d", status);
        return;
    }
    plt_msg_ts_show(&net->plt, "Grp return route completed successfully");
    if (node_id == 0 || node_id > APPL_NODE_MAX) {
        plt_msg_ts_show(&net->plt, "zwif_grp_cb:invalid node id:%u", node_id);
        return;
    }
    rr_step(net, node_id, rr_assign_cb);
}

void rr_delete_cb(void *data)
{
    auto *ref = static_cast<zwnet_node_ref_t *>(data);
    zwnet_p net = ref->net;
    if (const int rc = zw_delete_return_route(net->appl.get(), ref->node_id, zwif_grp_cb); rc < 0)
        plt_msg_ts_show(&net->plt, "zw_delete_return_route with error:%d", rc);
}

void rr_assign_cb(void *data)
{
    auto *ref = static_cast<zwnet_node_ref_t *>(data);
    zwnet_p net = ref->net;
    const uint8_t node_id = ref->node_id;
    uint8_t dst;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, node_id);
        if (node == nullptr) {
            plt_msg_ts_show(&net->plt, "zwif_grp_cb:invalid node id:%u", node_id);
            return;
        }
        uint8_t *plan = node->ret_route;
        if (plan[rr_idx_at] >= std::min<size_t>(plan[rr_cnt_at], rr_dst_max))
            return;  // every destination has its route
        dst = plan[plan[rr_idx_at]++];
    }
    if (const int rc = zw_assign_return_route(net->appl.get(), node_id, dst, zwif_grp_cb); rc < 0)
        plt_msg_ts_show(&net->plt, "zw_assign_return_route with error:%d", rc);
}

}  // namespace

// --- return routes --------------------------------------------------------------------------

void zwif_grp_rr_start(zwnet_p net, uint8_t node_id)
{
    if (net != nullptr && node_id != 0 && node_id <= APPL_NODE_MAX)
        rr_step(net, node_id, rr_delete_cb);
}

// --- Association and Multi Channel Association --------------------------------------------

int zwif_group_get(const zwif_desc_t *intf, uint8_t grp, zwrep_group_fn cb)
{
    if (const int rc = assoc_class(intf); rc != 0)
        return rc;
    if (grp == 0)
        return ZW_ERR_VALUE;
    const zwif_get_row_t row{intf->cls, cmd_get, cmd_rpt, op_get};
    return zwif_shape_get_cb(intf, row, reinterpret_cast<zwif_rpt_fn>(cb), &grp, 1, {}, ZWIF_GET_BMSK_LIVE);
}

namespace {

int group_add(const zwif_desc_t *intf, uint8_t grp, zwep_desc_t *members, uint8_t cnt)
{
    if (cnt == 0 || members == nullptr)
        return ZW_ERR_VALUE;
    if (const int rc = assoc_class(intf); rc != 0)
        return rc;
    if (grp == 0)
        return ZW_ERR_VALUE;
    zwnet_p net = intf->net;

    // The members must take what the group sends, as far as the node says.
    std::vector<uint16_t> classes;
    const int lrc = grp_cmd_list_get(net, intf->nodeid, intf->epid, grp, &classes);
    if (lrc == 0 && !classes.empty() && grp_member_chk(net, classes, members, cnt) != 0)
        return ZW_ERR_CLASS_NOT_FOUND;
    if (lrc != 0 && lrc != ZW_ERR_INTF_NOT_FOUND)
        return lrc;

    zwif_desc_t use;
    const assoc_mode mode = mode_of(intf, &use);
    if (mode != assoc_mode::plain)
        ctl_ep_fix(intf, members, cnt);
    const bool ep_members = std::any_of(members, members + cnt, [](const zwep_desc_t &m) { return m.epid != 0; });
    if (ep_members && mode == assoc_mode::plain)
        return ZW_ERR_WRONG_IF;

    const uint8_t ctl_id = ctl_node_id(net);
    std::vector<uint8_t> frame, dsts;
    const size_t dst_max = std::min<size_t>(cnt, rr_dst_max);
    if (ep_members) {
        frame = mca_frame(&use, cmd_set, grp, members, cnt, ctl_id);
        for (uint8_t k = 0; k < cnt && dsts.size() < dst_max; ++k)
            if (members[k].nodeid != intf->nodeid &&
                std::find(dsts.begin(), dsts.end(), members[k].nodeid) == dsts.end())
                dsts.push_back(members[k].nodeid);
    } else {
        frame = {static_cast<uint8_t>(use.cls), cmd_set, grp};
        for (uint8_t k = 0; k < cnt; ++k)
            frame.push_back(members[k].nodeid);
        for (size_t k = 0; k < dst_max; ++k)
            if (members[k].nodeid != intf->nodeid)
                dsts.push_back(members[k].nodeid);
    }
    if (frame.size() > assoc_frame_max)
        return ZW_ERR_TOO_LARGE;
    if (const int rc = zwnode_cur_op_set(&use, op_add, 1); rc != 0)
        return rc;
    return set_with_routes(&use, frame, dsts);
}

int group_del(const zwif_desc_t *intf, uint8_t grp, zwif_assoc_ent_t *members, uint8_t cnt)
{
    if (const int rc = assoc_class(intf); rc != 0)
        return rc;
    if (cnt != 0 && members == nullptr)
        return ZW_ERR_VALUE;
    zwif_desc_t use;
    const assoc_mode mode = mode_of(intf, &use);
    if (mode != assoc_mode::plain)
        ctl_ep_fix(intf, members, cnt);
    const bool ep_members =
        std::any_of(members, members + cnt, [](const zwif_assoc_ent_t &m) { return m.ep_id != 0; });
    std::vector<uint8_t> frame;
    if (ep_members) {
        if (mode == assoc_mode::plain)
            return ZW_ERR_WRONG_IF;
        frame = mca_frame(&use, cmd_remove, grp, members, cnt, ctl_node_id(intf->net));
    } else {
        // Removing every group at once came with version 2.
        if (grp == 0 && use.ver < 2)
            return ZW_ERR_CLASS_VER;
        frame = {static_cast<uint8_t>(use.cls), cmd_remove, grp};
        for (uint8_t k = 0; k < cnt; ++k)
            frame.push_back(members[k].node_id);
    }
    if (frame.size() > assoc_frame_max)
        return ZW_ERR_TOO_LARGE;
    if (const int rc = zwnode_cur_op_set(&use, op_del, 1); rc != 0)
        return rc;
    return zwif_exec_simple(&use, frame.data(), static_cast<uint16_t>(frame.size()), zwif_tx_sts_cb);
}

}  // namespace

// The frames are built in vectors: an allocation failure is the call's -12.
int zwif_group_add(const zwif_desc_t *intf, uint8_t grp, zwep_desc_t *members, uint8_t cnt)
{
    try {
        return group_add(intf, grp, members, cnt);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
}

int zwif_group_del(const zwif_desc_t *intf, uint8_t grp, zwif_assoc_ent_t *members, uint8_t cnt)
{
    try {
        return group_del(intf, grp, members, cnt);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
}

int zwif_group_sup_get(const zwif_desc_t *intf, zwrep_groups_fn cb, int cache_only)
{
    if (const int rc = assoc_class(intf); rc != 0)
        return rc;
    return zwif_shape_sup_get(intf, intf->cls == cls_mca ? mca_sup : assoc_sup, reinterpret_cast<zwif_rpt_fn>(cb),
                              cache_only, 0, nullptr, 0);
}

int zwif_group_actv_get(const zwif_desc_t *intf, zwrep_group_active_fn cb)
{
    return zwif_shape_get_cb(intf, actv_get, reinterpret_cast<zwif_rpt_fn>(cb), nullptr, 0, {}, ZWIF_GET_BMSK_LIVE);
}

// --- Association group information ---------------------------------------------------------

void zwif_group_info_free(zwif_grp_info_t *info)
{
    if (info == nullptr)
        return;
    for (uint16_t k = 0; info->grps != nullptr && k < info->grp_cnt; ++k)
        std::free(info->grps[k]);
    std::free(info->grps);
    std::free(info);
}

int zwif_group_info_get(const zwif_desc_t *intf, zwif_grp_info_t **out)
{
    if (out == nullptr)
        return ZW_ERR_VALUE;
    *out = nullptr;
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls_agi)
        return ZW_ERR_CLASS_NOT_FOUND;
    zwnet_lock lk(intf->net);
    zwif_p i = zwif_rec_get(intf);
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    if (!i->mgmt || i->mgmt->agi.grps.empty())
        return ZW_ERR_INTF_NO_DATA;
    const zwif_grp_tbl_t &tbl = i->mgmt->agi;
    auto *info = static_cast<zwif_grp_info_t *>(std::calloc(1, sizeof(zwif_grp_info_t)));
    if (info == nullptr)
        return ZW_ERR_MEMORY;
    info->grp_cnt = static_cast<uint16_t>(tbl.grps.size());
    info->dynamic = tbl.dynamic;
    info->grps = static_cast<zwif_grp_rec_t **>(std::calloc(info->grp_cnt, sizeof(zwif_grp_rec_t *)));
    if (info->grps == nullptr) {
        zwif_group_info_free(info);
        return ZW_ERR_MEMORY;
    }
    for (uint16_t k = 0; k < info->grp_cnt; ++k) {
        const zwif_grp_t &g = tbl.grps[k];
        if (!g.present) {
            zwif_group_info_free(info);
            return ZW_ERR_INTF_NO_DATA;
        }
        const size_t n = std::min<size_t>(g.cmds.size(), UINT8_MAX);
        // The head, then its command entries in the same block.
        auto *r = static_cast<zwif_grp_rec_t *>(std::calloc(1, sizeof(zwif_grp_rec_t) + n * sizeof(zwif_grp_cmd_ent_t)));
        if (r == nullptr) {
            zwif_group_info_free(info);
            return ZW_ERR_MEMORY;
        }
        r->grp_num = static_cast<uint8_t>(k + 1);
        r->profile = g.profile;
        r->evt_code = g.evt_code;
        std::memcpy(r->name, g.name, std::min(sizeof r->name, sizeof g.name));
        r->name[sizeof r->name - 1] = '\0';
        r->cmd_cnt = static_cast<uint8_t>(n);
        r->cmds = reinterpret_cast<zwif_grp_cmd_ent_t *>(r + 1);
        for (size_t c = 0; c < n; ++c)
            r->cmds[c] = {g.cmds[c].cls, g.cmds[c].cmd};
        info->grps[k] = r;
        ++info->valid_cnt;
    }
    *out = info;
    return 0;
}
