// Node, endpoint and interface records: find, copy into descriptors, create
// and free; the network mutex; the public accessors that walk the tree by
// descriptor.
#include "hcapi/core/zwrec.h"

#include "hcapi/zip/zip_utf.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// ---------------------------------------------------------------------------
// Report rows per class
// ---------------------------------------------------------------------------

// How many of a class's report commands an interface of a version gets.
enum class rows_rule : uint8_t {
    all,        // every listed command
    below,      // version < arg: `few` rows, else all
    only_v1,    // version 1: `few` rows, else all
    per_ver,    // version < arg: as many rows as the version, else all
    mul_ch,     // version 1: 1, 2-3: 4, from 4: 5
};

struct rpt_rows_t {
    uint16_t cls;
    uint8_t cnt;
    uint8_t cmds[ZWIF_RPT_ROWS_MAX];
    rows_rule rule;
    uint8_t arg;
    uint8_t few;
};

constexpr rpt_rows_t rpt_rows[] = {
    {0x20, 1, {0x03}, rows_rule::all, 0, 0},                                    // Basic
    {0x22, 2, {0x01, 0x02}, rows_rule::all, 0, 0},                              // Application Status
    {0x25, 1, {0x03}, rows_rule::all, 0, 0},                                    // Binary Switch
    {0x26, 2, {0x03, 0x07}, rows_rule::below, 3, 1},                            // Multilevel Switch
    {0x27, 1, {0x03}, rows_rule::all, 0, 0},                                    // All Switch
    {0x30, 2, {0x03, 0x04}, rows_rule::below, 2, 1},                            // Binary Sensor
    {0x31, 3, {0x05, 0x02, 0x06}, rows_rule::below, 5, 1},                      // Multilevel Sensor
    {0x32, 2, {0x02, 0x04}, rows_rule::only_v1, 0, 1},                          // Meter
    {0x33, 2, {0x04, 0x02}, rows_rule::all, 0, 0},                              // Color Switch
    {0x35, 1, {0x05}, rows_rule::all, 0, 0},                                    // Meter Pulse
    {0x3D, 7, {0x02, 0x04, 0x06, 0x08, 0x0B, 0x0D, 0x0F}, rows_rule::all, 0, 0}, // Meter Table Monitor
    {0x40, 2, {0x03, 0x05}, rows_rule::all, 0, 0},                              // Thermostat Mode
    {0x42, 1, {0x03}, rows_rule::all, 0, 0},                                    // Thermostat Operating State
    {0x43, 3, {0x03, 0x05, 0x0A}, rows_rule::below, 3, 2},                      // Thermostat Setpoint
    {0x44, 2, {0x03, 0x05}, rows_rule::all, 0, 0},                              // Thermostat Fan Mode
    {0x45, 1, {0x03}, rows_rule::all, 0, 0},                                    // Thermostat Fan State
    {0x46, 3, {0x03, 0x05, 0x08}, rows_rule::all, 0, 0},                        // Climate Control Schedule
    {0x47, 1, {0x03}, rows_rule::all, 0, 0},                                    // Thermostat Setback
    {0x59, 3, {0x02, 0x04, 0x06}, rows_rule::all, 0, 0},                        // Association Group Info
    {0x5A, 1, {0x01}, rows_rule::all, 0, 0},                                    // Device Reset Locally
    {0x5B, 3, {0x02, 0x03, 0x06}, rows_rule::below, 3, 2},                      // Central Scene
    {0x5C, 1, {0x03}, rows_rule::all, 0, 0},                                    // IP Association
    {0x5E, 1, {0x02}, rows_rule::all, 0, 0},                                    // Z-Wave Plus Info
    {0x5F, 5, {0x03, 0x06, 0x0A, 0x10, 0x12}, rows_rule::all, 0, 0},            // Z/IP Gateway
    {0x60, 5, {0x05, 0x08, 0x0A, 0x0C, 0x0F}, rows_rule::mul_ch, 0, 0},         // Multi Channel
    {0x61, 2, {0x02, 0x04}, rows_rule::all, 0, 0},                              // Z/IP Portal
    {0x62, 2, {0x03, 0x06}, rows_rule::all, 0, 0},                              // Door Lock
    {0x63, 2, {0x03, 0x05}, rows_rule::all, 0, 0},                              // User Code
    {0x66, 3, {0x03, 0x08, 0x05}, rows_rule::all, 0, 0},                        // Barrier Operator
    {0x69, 1, {0x03}, rows_rule::all, 0, 0},                                    // Mailbox
    {0x6C, 1, {0x02}, rows_rule::all, 0, 0},                                    // Supervision
    {0x70, 1, {0x06}, rows_rule::all, 0, 0},                                    // Configuration
    {0x71, 3, {0x05, 0x08, 0x02}, rows_rule::per_ver, 3, 0},                    // Notification
    {0x72, 2, {0x05, 0x07}, rows_rule::below, 2, 1},                            // Manufacturer Specific
    {0x73, 2, {0x03, 0x06}, rows_rule::all, 0, 0},                              // Powerlevel
    {0x75, 4, {0x03, 0x05, 0x08, 0x0B}, rows_rule::only_v1, 0, 1},              // Protection
    {0x77, 2, {0x03, 0x06}, rows_rule::all, 0, 0},                              // Node Naming
    {0x7A, 4, {0x02, 0x04, 0x07, 0x05}, rows_rule::all, 0, 0},                  // Firmware Update
    {0x80, 1, {0x03}, rows_rule::all, 0, 0},                                    // Battery
    {0x81, 1, {0x06}, rows_rule::all, 0, 0},                                    // Clock
    {0x84, 3, {0x06, 0x07, 0x0A}, rows_rule::only_v1, 0, 2},                    // Wake Up
    {0x85, 3, {0x03, 0x06, 0x0C}, rows_rule::only_v1, 0, 2},                    // Association
    {0x86, 2, {0x12, 0x14}, rows_rule::all, 0, 0},                              // Version
    {0x87, 1, {0x03}, rows_rule::all, 0, 0},                                    // Indicator
    {0x8E, 2, {0x03, 0x06}, rows_rule::all, 0, 0},                              // Multi Channel Association
    {0x94, 2, {0x03, 0x05}, rows_rule::all, 0, 0},                              // Simple AV
    {0x98, 1, {0x03}, rows_rule::all, 0, 0},                                    // Security 0
    {0x9B, 2, {0x02, 0x05}, rows_rule::all, 0, 0},                              // Association Command Configuration
    {0x9C, 2, {0x02, 0x04}, rows_rule::all, 0, 0},                              // Alarm Sensor
    {0x9F, 1, {0x0E}, rows_rule::all, 0, 0},                                    // Security 2
};

constexpr bool rpt_rows_sound()
{
    for (size_t i = 0; i < std::size(rpt_rows); ++i) {
        if (i > 0 && rpt_rows[i - 1].cls >= rpt_rows[i].cls)
            return false;
        if (rpt_rows[i].cnt == 0 || rpt_rows[i].cnt > ZWIF_RPT_ROWS_MAX || rpt_rows[i].few > rpt_rows[i].cnt)
            return false;
        for (uint8_t c = 0; c < rpt_rows[i].cnt; ++c)
            if (rpt_rows[i].cmds[c] == 0 && rpt_rows[i].cls != 0x20)
                return false;
    }
    return true;
}
static_assert(rpt_rows_sound(), "report rows: sorted by class, 1..7 commands each");
static_assert(std::size(rpt_rows) == 50, "report rows for 50 classes");

const rpt_rows_t *rpt_rows_find(uint16_t cls)
{
    for (const rpt_rows_t &r : rpt_rows)
        if (r.cls == cls)
            return &r;
    return nullptr;
}

// Rows for a version; -1: the version gets no interface at all.
int rpt_rows_cnt(const rpt_rows_t &r, uint8_t ver)
{
    switch (r.rule) {
    case rows_rule::all: return r.cnt;
    case rows_rule::below: return ver < r.arg ? r.few : r.cnt;
    case rows_rule::only_v1: return ver == 1 ? r.few : r.cnt;
    case rows_rule::per_ver: return ver < r.arg ? ver : r.cnt;
    case rows_rule::mul_ch:
        if (ver == 0)
            return -1;
        return ver == 1 ? 1 : (ver < 4 ? 4 : 5);
    }
    return r.cnt;
}

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

template <class T>
void list_append(T **head, T *item)
{
    item->next = nullptr;
    while (*head != nullptr)
        head = &(*head)->next;
    *head = item;
}

template <class T>
bool list_unlink(T **head, T *item)
{
    for (; *head != nullptr; head = &(*head)->next) {
        if (*head == item) {
            *head = item->next;
            item->next = nullptr;
            return true;
        }
    }
    return false;
}

}  // namespace

zwnode_q_cmd_t::~zwnode_q_cmd_t() { delete tasks; }

// ---------------------------------------------------------------------------
// Find
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// The network mutex
// ---------------------------------------------------------------------------

void zwnet_lck(zwnet_p net)
{
    plt_mtx_lck(net->mtx);
    if (net->mtx_depth++ == 0)
        net->mtx_owner.store(std::this_thread::get_id());
}

void zwnet_ulck(zwnet_p net)
{
    if (--net->mtx_depth == 0)
        net->mtx_owner.store(std::thread::id{});
    plt_mtx_ulck(net->mtx);
}

int zwnet_lck_depth(zwnet_p net)
{
    return net->mtx_owner.load() == std::this_thread::get_id() ? net->mtx_depth : 0;
}

zwnode_p zwnode_find(zwnode_p first, uint8_t node_id)
{
    for (zwnode_p n = first; n != nullptr; n = n->next)
        if (n->nodeid == node_id)
            return n;
    return nullptr;
}

zwep_p zwep_find(zwep_p first, uint8_t ep_id)
{
    for (zwep_p e = first; e != nullptr; e = e->next)
        if (e->epid == ep_id)
            return e;
    return nullptr;
}

zwep_p zwep_find_by_id(zwnet_p net, uint8_t node_id, uint8_t ep_id)
{
    if (net == nullptr)
        return nullptr;
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    return node ? zwep_find(&node->ep, ep_id) : nullptr;
}

zwep_p zwep_rec_get(const zwep_desc_t *ep)
{
    return ep ? zwep_find_by_id(ep->net, ep->nodeid, ep->epid) : nullptr;
}

zwif_p zwif_find_cls(zwif_p first, uint16_t cls)
{
    for (zwif_p i = first; i != nullptr; i = i->next)
        if (i->cls == cls)
            return i;
    return nullptr;
}

zwif_p zwif_rec_get(const zwif_desc_t *intf)
{
    if (intf == nullptr)
        return nullptr;
    zwep_p ep = zwep_find_by_id(intf->net, intf->nodeid, intf->epid);
    return ep ? zwif_find_cls(ep->intf, intf->cls) : nullptr;
}

zwnode_p zwnode_rec_get(const zwnode_desc_t *node)
{
    return (node && node->net) ? zwnode_find(&node->net->ctl, node->nodeid) : nullptr;
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

int zwnode_desc_fill(zwnode_desc_t *desc, zwnode_p node)
{
    if (node->net == nullptr)
        return ZW_ERR_NET_NOT_FOUND;
    if (node->nodeid == 0)
        return ZW_ERR_NODE_NOT_FOUND;
    *desc = zwnode_desc_t{};
    desc->nodeid = node->nodeid;
    desc->propty = node->propty;
    desc->vid = node->vid;
    desc->type = node->type;
    desc->pid = node->pid;
    desc->net = node->net;
    desc->dev_id = node->dev_id;
    desc->proto_ver = node->proto_ver;
    desc->app_ver = node->app_ver;
    desc->lib_type = node->lib_type;
    desc->category = node->category;
    desc->sensor = node->sensor;
    desc->sleep_cap = node->sleep_cap;
    desc->listen = node->listen;
    desc->wkup_intv = node->wkup_intv;
    desc->s2_keys_valid = node->s2_keys_valid;
    desc->s2_grnt_keys = node->s2_grnt_keys;
    std::memcpy(desc->s2_dsk, node->s2_dsk, sizeof desc->s2_dsk);
    desc->s2_dsk[sizeof desc->s2_dsk - 1] = '\0';
    return 0;
}

void zwep_desc_fill(zwep_desc_t *desc, zwep_p ep)
{
    *desc = zwep_desc_t{};
    desc->generic = ep->generic;
    desc->specific = ep->specific;
    desc->epid = ep->epid;
    desc->nodeid = ep->node->nodeid;
    desc->aggr_ep_cnt = ep->aggr_ep_cnt <= ZWEP_AGGR_MAX ? ep->aggr_ep_cnt : ZWEP_AGGR_MAX;
    std::memcpy(desc->aggr_members, ep->aggr_members, desc->aggr_ep_cnt);
    desc->net = ep->node->net;
    std::memcpy(desc->name, ep->name, ZW_NAMELOC_SZ);
    std::memcpy(desc->loc, ep->loc, ZW_NAMELOC_SZ);
    desc->name[ZW_NAMELOC_SZ - 1] = desc->loc[ZW_NAMELOC_SZ - 1] = '\0';
    desc->zwplus_info = ep->zwplus_info;
}

void zwif_desc_fill(zwif_desc_t *desc, zwif_p intf)
{
    *desc = zwif_desc_t{};
    desc->cls = intf->cls;
    desc->ver = intf->ver;
    desc->real_ver = intf->real_ver;
    desc->propty = intf->propty;
    desc->epid = intf->ep->epid;
    desc->nodeid = intf->ep->node->nodeid;
    desc->net = intf->ep->node->net;
}

uint8_t zwnode_ep_cnt(zwnode_p node)
{
    unsigned n = 0;
    for (zwep_p e = node->ep.next; e != nullptr; e = e->next)
        ++n;
    return static_cast<uint8_t>(n > 255 ? 255 : n);
}

int zwif_unsecure_cnt(zwif_p first)
{
    int n = 0;
    for (zwif_p i = first; i != nullptr; i = i->next)
        if (i->propty & IF_PROPTY_UNSECURE)
            ++n;
    return n;
}

int zwnode_has_secure_if(zwnode_p node)
{
    for (zwep_p e = &node->ep; e != nullptr; e = e->next)
        for (zwif_p i = e->intf; i != nullptr; i = i->next)
            if (i->propty & IF_PROPTY_SECURE)
                return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Record life
// ---------------------------------------------------------------------------

zwif_p zwif_alloc(uint16_t cls, uint8_t ver, uint8_t propty, const uint8_t *rpt_cmds, uint8_t rpt_cnt)
{
    if (rpt_cnt > ZWIF_RPT_ROWS_MAX)
        return nullptr;
    zwif_p intf = new (std::nothrow) zwif_t{};
    if (intf == nullptr)
        return nullptr;
    intf->cls = cls;
    intf->ver = intf->real_ver = ver;
    intf->propty = propty;
    intf->rpt_num = rpt_cnt;
    for (uint8_t i = 0; i < rpt_cnt; ++i)
        intf->rpt[i].rpt_cmd = rpt_cmds[i];
    return intf;
}

zwif_p zwif_create(uint16_t cls, uint8_t ver, uint8_t propty)
{
    const rpt_rows_t *rows = rpt_rows_find(cls);
    int cnt = rows ? rpt_rows_cnt(*rows, ver) : 0;
    if (cnt < 0)
        return nullptr;
    zwif_p intf = zwif_alloc(cls, ver, propty, rows ? rows->cmds : nullptr, static_cast<uint8_t>(cnt));
    if (intf == nullptr || cls != COMMAND_CLASS_SUPERVISION)
        return intf;
    // The session id only has to differ between runs; it wraps at 64.
    auto *sid = static_cast<uint8_t *>(std::malloc(1));
    if (sid == nullptr) {
        zwif_dat_free(intf);
        return nullptr;
    }
    *sid = static_cast<uint8_t>(plt_rand() & 0x3F);
    intf->data = sid;
    intf->data_cnt = 1;
    intf->data_item_sz = 1;
    return intf;
}

void zwif_dat_free(zwif_p intf)
{
    if (intf == nullptr)
        return;
    // Whenever it is set, whatever the count says: a block may be held with
    // a count of 0.
    std::free(intf->data);
    if (intf->cch_data != nullptr) {
        if (intf->cch_kind == 1) {
            auto *slots = static_cast<zwif_cch_slot_t *>(intf->cch_data);
            for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i)
                std::free(slots[i].buf);
        }
        std::free(intf->cch_data);
    }
    // The per-class work records of later classes (firmware update context,
    // group information, AV buffers) free their inner parts here.
    std::free(intf->tmp_data);
    delete intf;
}

void zwif_dat_copy(zwif_p to, zwif_p from)
{
    to->data_cnt = from->data_cnt;
    to->data_item_sz = from->data_item_sz;
    to->data = from->data;
    to->cch_kind = from->cch_kind;
    to->cch_ele_cnt = from->cch_ele_cnt;
    to->cch_ele_sz = from->cch_ele_sz;
    to->cch_data = from->cch_data;
    to->tmp_data = from->tmp_data;
    to->mgmt = std::move(from->mgmt);
    from->data = from->cch_data = from->tmp_data = nullptr;
    from->data_cnt = from->cch_ele_cnt = 0;
}

int zwif_attach(zwep_p ep, zwif_p intf)
{
    if (ep == nullptr || intf == nullptr || zwif_find_cls(ep->intf, intf->cls) != nullptr)
        return 0;
    intf->ep = ep;
    list_append(&ep->intf, intf);
    return 1;
}

void zwep_if_rm_all(zwep_p ep)
{
    zwif_p i = ep->intf;
    ep->intf = nullptr;
    while (i != nullptr) {
        zwif_p next = i->next;
        zwif_dat_free(i);
        i = next;
    }
}

void zwnode_ep_rm_all(zwnode_p node)
{
    zwep_p e = node->ep.next;
    node->ep.next = nullptr;
    while (e != nullptr) {
        zwep_p next = e->next;
        zwep_if_rm_all(e);
        delete e;
        e = next;
    }
    zwep_if_rm_all(&node->ep);
}

zwep_p zwep_create(zwnode_p node, uint8_t ep_id)
{
    if (node == nullptr || zwep_find(&node->ep, ep_id) != nullptr)
        return nullptr;
    zwep_p ep = new (std::nothrow) zwep_t{};
    if (ep == nullptr)
        return nullptr;
    ep->epid = ep_id;
    ep->node = node;
    zwep_p head = &node->ep;
    list_append(&head->next, ep);
    return ep;
}

zwnode_p zwnode_create(zwnet_p net, uint8_t node_id)
{
    if (net == nullptr || node_id == 0 || node_id > APPL_NODE_MAX || zwnode_find(&net->ctl, node_id) != nullptr)
        return nullptr;
    zwnode_p node = new (std::nothrow) zwnode_t{};
    if (node == nullptr)
        return nullptr;
    node->nodeid = node_id;
    node->net = net;
    node->ep.node = node;
    zwnode_p head = &net->ctl;
    list_append(&head->next, node);
    return node;
}

void zwnode_reset(zwnode_p node)
{
    zwnet_p net = node->net;
    if (net != nullptr) {
        plt_tmr_stop(&net->plt, node->mul_cmd_tmr);
        plt_tmr_stop(&net->plt, node->wait_tmr);
        plt_tmr_stop(&net->plt, node->restart_tmr);
    }
    zwnode_ep_rm_all(node);
    std::free(node->ext_ver);
    node->cmd_q.clear();
    node->wait_q.clear();
    zwnode_t *next = node->next;
    void *user = node->user;
    *node = zwnode_t{};
    node->next = next;
    node->user = user;
    node->net = net;
    node->ep.node = node;
    node->listen = 1;
}

void zwnet_node_free(zwnet_p net, uint8_t node_id)
{
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node == nullptr)
        return;
    zwpoll_node_rm(net, node_id);
    // Nodes that wait to be served by the wait-queue thread are skipped
    // there once their record is gone.
    if (node == &net->ctl) {
        zwnode_reset(node);
        return;
    }
    zwnode_p head = &net->ctl;
    list_unlink(&head->next, node);
    zwnode_reset(node);
    delete node;
}

int zwnode_sec_flags_updt(zwnode_p node)
{
    uint8_t v = 0;
    if (zwif_find_cls(node->ep.intf, COMMAND_CLASS_SECURITY))
        v |= NODE_PROPTY_SECURE_CAP_S0;
    if (zwif_find_cls(node->ep.intf, COMMAND_CLASS_SECURITY_2))
        v |= NODE_PROPTY_SECURE_CAP_S2;
    const bool secure = node->s2_keys_valid ? (node->s2_grnt_keys & 0x87) != 0 : zwnode_has_secure_if(node) != 0;
    const bool added_secure = node->propty & NODE_PROPTY_ADD_SECURE;
    const bool added_insecure = node->propty & NODE_PROPTY_ADD_INSECURE;
    if (added_secure && !added_insecure)
        return 0;
    if (added_insecure) {
        if (secure)
            node->propty = static_cast<uint8_t>((node->propty & ~NODE_PROPTY_ADD_INSECURE) | NODE_PROPTY_ADD_SECURE);
    } else {
        node->propty |= secure ? NODE_PROPTY_ADD_SECURE : NODE_PROPTY_ADD_INSECURE;
    }
    node->propty |= v;
    return 1;
}

void zwep_nameloc_cut(char *text)
{
    const size_t len = strnlen(text, ZW_NAMELOC_SZ - 1);
    const size_t keep = util_utf8_valid_len(reinterpret_cast<const uint8_t *>(text), len);
    text[keep] = '\0';
}

// ---------------------------------------------------------------------------
// Public accessors: each finds its record under the network mutex and
// copies it out.
// ---------------------------------------------------------------------------

namespace {

zwnode_p rec_of(const zwnode_desc_t *desc) { return zwnode_rec_get(desc); }
zwep_p rec_of(const zwep_desc_t *desc) { return zwep_rec_get(desc); }
zwif_p rec_of(const zwif_desc_t *desc) { return zwif_rec_get(desc); }

// Runs `fn` on the record the descriptor names (null when it is gone) with
// the network mutex held; `no_desc` without a descriptor or network.
template <class Desc, class R, class Fn>
R on_rec(const Desc *desc, R no_desc, Fn &&fn)
{
    if (desc == nullptr || desc->net == nullptr)
        return no_desc;
    zwnet_lock lk(desc->net);
    return fn(rec_of(desc));
}

// The same for the calls that fill an out descriptor: ZW_ERR_VALUE without it.
template <class Desc, class Out, class Fn>
int on_rec_out(const Desc *desc, Out *out, Fn &&fn)
{
    return out == nullptr ? ZW_ERR_VALUE : on_rec(desc, int{ZW_ERR_VALUE}, fn);
}

}  // namespace

int zwnet_get_node(zwnet_p net, zwnode_desc_t *first)
{
    if (net == nullptr || first == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    return zwnode_desc_fill(first, &net->ctl) == 0 ? 0 : ZW_ERR_NODE_NOT_FOUND;
}

int zwnode_get_next(const zwnode_desc_t *node, zwnode_desc_t *next)
{
    return on_rec_out(node, next, [&](zwnode_p n) -> int {
        for (n = n ? n->next : nullptr; n != nullptr; n = n->next)
            if (zwnode_desc_fill(next, n) == 0)
                return 0;
        return ZW_ERR_NODE_NOT_FOUND;
    });
}

int zwnode_get_ep(const zwnode_desc_t *node, zwep_desc_t *ep)
{
    return on_rec_out(node, ep, [&](zwnode_p n) -> int {
        if (n == nullptr)
            return ZW_ERR_EP_NOT_FOUND;
        zwep_desc_fill(ep, &n->ep);
        return 0;
    });
}

int zwnode_set_user(const zwnode_desc_t *node, void *user)
{
    return on_rec(node, int{ZW_ERR_VALUE}, [&](zwnode_p n) -> int {
        if (n == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        n->user = user;
        return 0;
    });
}

void *zwnode_get_user(const zwnode_desc_t *node)
{
    return on_rec(node, static_cast<void *>(nullptr), [](zwnode_p n) { return n ? n->user : nullptr; });
}

zwnet_p zwnode_get_net(const zwnode_desc_t *node) { return node ? node->net : nullptr; }

ext_ver_t *zwnode_ext_ver_get(const zwnode_desc_t *node)
{
    return on_rec(node, static_cast<ext_ver_t *>(nullptr), [](zwnode_p n) -> ext_ver_t * {
        if (n == nullptr || n->ext_ver == nullptr)
            return nullptr;
        const size_t size = sizeof(ext_ver_t) + sizeof(uint16_t) * n->ext_ver->fw_cnt;
        auto *copy = static_cast<ext_ver_t *>(std::malloc(size));
        if (copy != nullptr)
            std::memcpy(copy, n->ext_ver, size);
        return copy;
    });
}

int zwep_get_if(const zwep_desc_t *ep, zwif_desc_t *first)
{
    return on_rec_out(ep, first, [&](zwep_p e) -> int {
        for (zwif_p i = e ? e->intf : nullptr; i != nullptr; i = i->next) {
            if ((i->propty & 0xC0) == 0) {
                zwif_desc_fill(first, i);
                return 0;
            }
        }
        return ZW_ERR_INTF_NOT_FOUND;
    });
}

int zwep_get_next(const zwep_desc_t *ep, zwep_desc_t *next)
{
    return on_rec_out(ep, next, [&](zwep_p e) -> int {
        if (e == nullptr || e->next == nullptr)
            return ZW_ERR_EP_NOT_FOUND;
        zwep_desc_fill(next, e->next);
        return 0;
    });
}

int zwep_get_node(const zwep_desc_t *ep, zwnode_desc_t *node)
{
    return on_rec_out(ep, node, [&](zwep_p e) -> int {
        if (e == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        return zwnode_desc_fill(node, e->node) == 0 ? 0 : ZW_ERR_NODE_NOT_FOUND;
    });
}

int zwep_set_user(const zwep_desc_t *ep, void *user)
{
    return on_rec(ep, int{ZW_ERR_VALUE}, [&](zwep_p e) -> int {
        if (e == nullptr)
            return ZW_ERR_EP_NOT_FOUND;
        e->user = user;
        return 0;
    });
}

void *zwep_get_user(const zwep_desc_t *ep)
{
    return on_rec(ep, static_cast<void *>(nullptr), [](zwep_p e) { return e ? e->user : nullptr; });
}

int zwep_nameloc_set(const zwep_desc_t *ep, zwep_nameloc_t *nameloc)
{
    if (ep == nullptr || ep->net == nullptr || nameloc == nullptr)
        return ZW_ERR_VALUE;
    nameloc->name[ZW_NAMELOC_SZ - 1] = nameloc->loc[ZW_NAMELOC_SZ - 1] = '\0';
    zwep_nameloc_cut(nameloc->name);
    zwep_nameloc_cut(nameloc->loc);
    zwif_desc_t naming{};
    bool has_naming = false;
    const int rc = on_rec(ep, int{ZW_ERR_VALUE}, [&](zwep_p e) -> int {
        if (e == nullptr)
            return ZW_ERR_EP_NOT_FOUND;
        std::memcpy(e->name, nameloc->name, ZW_NAMELOC_SZ);
        std::memcpy(e->loc, nameloc->loc, ZW_NAMELOC_SZ);
        if (zwif_p i = zwif_find_cls(e->intf, COMMAND_CLASS_NODE_NAMING)) {
            zwif_desc_fill(&naming, i);
            has_naming = true;
        }
        return 0;
    });
    // A device with Node Naming keeps them too; sent without the network
    // mutex, which the send may wait on.
    if (rc != 0 || !has_naming)
        return rc;
    return zwif_nameloc_snd(&naming, nameloc);
}

int zwif_get_next(const zwif_desc_t *intf, zwif_desc_t *next)
{
    return on_rec_out(intf, next, [&](zwif_p i) -> int {
        for (i = i ? i->next : nullptr; i != nullptr; i = i->next) {
            if (i->propty <= 63) {
                zwif_desc_fill(next, i);
                return 0;
            }
        }
        return ZW_ERR_INTF_NOT_FOUND;
    });
}

int zwif_get_ep(const zwif_desc_t *intf, zwep_desc_t *ep)
{
    return on_rec_out(intf, ep, [&](zwif_p i) -> int {
        if (i == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        zwep_desc_fill(ep, i->ep);
        return 0;
    });
}

int zwif_sibling_get(const zwif_desc_t *intf, uint16_t cls, zwif_desc_t *sibling)
{
    return on_rec_out(intf, sibling, [&](zwif_p i) -> int {
        if (i == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        zwif_p s = zwif_find_cls(i->ep->intf, cls);
        if (s == nullptr)
            return ZW_ERR_CLASS_NOT_FOUND;
        zwif_desc_fill(sibling, s);
        return 0;
    });
}

int zwif_set_user(const zwif_desc_t *intf, void *user)
{
    return on_rec(intf, int{ZW_ERR_VALUE}, [&](zwif_p i) -> int {
        if (i == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        i->user = user;
        return 0;
    });
}

void *zwif_get_user(const zwif_desc_t *intf)
{
    return on_rec(intf, static_cast<void *>(nullptr), [](zwif_p i) { return i ? i->user : nullptr; });
}

uint8_t zwif_real_ver_get(const zwif_desc_t *intf)
{
    return on_rec(intf, uint8_t{0}, [](zwif_p i) { return i ? i->real_ver : uint8_t{0}; });
}

namespace {

int rpt_cb_set(const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt, bool user_cb)
{
    return on_rec(intf, int{ZW_ERR_VALUE}, [&](zwif_p i) -> int {
        if (i == nullptr)
            return ZW_ERR_INTF_NOT_FOUND;
        for (uint8_t r = 0; r < i->rpt_num; ++r) {
            if (i->rpt[r].rpt_cmd == rpt) {
                (user_cb ? i->rpt[r].usr_rpt_cb : i->rpt[r].sm_rpt_cb) = cb;
                return 0;
            }
        }
        return ZW_ERR_RPT_NOT_FOUND;
    });
}

}  // namespace

int zwif_set_report(const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt) { return rpt_cb_set(intf, cb, rpt, true); }
int zwif_set_sm_report(const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt)
{
    return rpt_cb_set(intf, cb, rpt, false);
}

// The look-ups by id: a null out only tests presence.
int zwnet_node_desc_get(zwnet_p net, uint8_t node_id, zwnode_desc_t *node)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    zwnode_p n = zwnode_find(&net->ctl, node_id);
    if (n == nullptr || n->nodeid == 0)
        return ZW_ERR_NODE_NOT_FOUND;
    return (node == nullptr || zwnode_desc_fill(node, n) == 0) ? 0 : ZW_ERR_NODE_NOT_FOUND;
}

int zwnet_ep_desc_get(zwnet_p net, uint8_t node_id, uint8_t ep_id, zwep_desc_t *ep)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    zwep_p e = zwep_find_by_id(net, node_id, ep_id);
    if (e == nullptr)
        return ZW_ERR_EP_NOT_FOUND;
    if (ep != nullptr)
        zwep_desc_fill(ep, e);
    return 0;
}

int zwnet_if_desc_get(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, zwif_desc_t *intf)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    zwep_p e = zwep_find_by_id(net, node_id, ep_id);
    zwif_p i = e ? zwif_find_cls(e->intf, cls) : nullptr;
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    if (intf != nullptr)
        zwif_desc_fill(intf, i);
    return 0;
}
