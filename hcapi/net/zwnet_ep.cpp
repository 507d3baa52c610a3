// The endpoint interview. Over the endpoints of a node (the root is the node
// interview's own last step): each endpoint's secure classes, then the
// versions of its classes, then the class walk. The class walk of one
// endpoint asks, row by row, what each class of a fixed table needs to be
// known: association groups and the controller's lifeline, sensor types and
// scales, meter scales, thermostat modes and setpoints, names and so on.
//
// A row is a short list of questions (Get, the report that answers it);
// a question may walk a list of parameters that an earlier answer (kept in
// the interface's supported-data cache by the report dispatcher) lists.
// Everything runs under the network mutex; the waits are one timer, whose
// expiry acts only when its arming is still the current one.
#include "hcapi/net/zwnet_ni.h"

#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_ctl.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/zip/zip_nm.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

namespace {

constexpr uint32_t step_ms = ZWNET_NI_STEP_MS;
constexpr uint32_t empty_walk_ms = 10;
constexpr uint32_t lifeline_reset_ms = 500;
constexpr uint8_t lifeline_grp_max = 8;
// The node has no device record, or it has no configuration for the endpoint.
constexpr int err_no_dev_rec = -57;
// The walk's state from its start until its first question went.
constexpr uint32_t walk_starting = 0xFFFF;

// What the one timer's expiry means.
enum : uint32_t {
    TMR_WALK_TMOUT = 0,
    TMR_WALK_END = 1,
    TMR_LIFELINE_SET = 2,
    TMR_EPS_TMOUT = 3,
};

// Walk states of the lifeline of a new node.
enum : uint8_t { LL_NONE = 0, LL_ASKED = 1, LL_DONE = 2 };

bool node_id_ok(uint8_t id) { return id >= 1 && id <= APPL_NODE_MAX; }

zwnet_ep_rec_t &rec_of(zwnet_p net) { return net->ep_rec; }

void tmr_cb(void *data);

void tmr_start(zwnet_p net, uint32_t ms, uint32_t evt)
{
    zwnet_ep_rec_t &r = rec_of(net);
    plt_tmr_stop(&net->plt, r.tmr);
    r.tmr_evt = evt;
    r.tmr = plt_tmr_start(&net->plt, ms, tmr_cb, net);
}

void tmr_stop(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    plt_tmr_stop(&net->plt, r.tmr);
    r.tmr = 0;
}

// ---------------------------------------------------------------------------
// Parameter lists of the walking questions
// ---------------------------------------------------------------------------

// A list holds entries of 3 bytes: length (0-2), then the parameter bytes.
// The walk's position is a byte: a list keeps its first 255 entries.
inline constexpr size_t param_max = 255;

void param_put(std::vector<uint8_t> &out, uint8_t len, uint8_t a = 0, uint8_t b = 0)
{
    if (out.size() / 3 >= param_max)
        return;
    out.push_back(len);
    out.push_back(a);
    out.push_back(b);
}

const uint8_t *cache_of(zwif_p intf, uint8_t item_sz)
{
    if (intf->data == nullptr || intf->data_cnt == 0 || intf->data_item_sz != item_sz)
        return nullptr;
    return static_cast<const uint8_t *>(intf->data);
}

bool cached(zwif_p intf) { return intf->data != nullptr && intf->data_cnt != 0; }

using walk_fn = void (*)(zwif_p intf, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out);

// Multilevel sensor: each supported type's scales (a refresh skips types
// whose scales are known).
void walk_snsr_types(zwif_p intf, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out)
{
    if (const uint8_t *c = cache_of(intf, 2))
        for (uint8_t i = 0; i < intf->data_cnt; ++i)
            if (!(r.w_refresh && c[2 * i + 1] != 0))
                param_put(out, 1, c[2 * i]);
}

// Multilevel sensor: a reading of every type at every supported scale.
void walk_snsr_vals(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    if (const uint8_t *c = cache_of(intf, 2))
        for (uint8_t i = 0; i < intf->data_cnt; ++i)
            for (uint8_t s = 0; s < 4; ++s)
                if (c[2 * i + 1] & (1u << s))
                    param_put(out, 2, c[2 * i], static_cast<uint8_t>((s << 3) & 0x18));
}

// Meter: a reading at every supported scale; version 2 has two scale bits.
void walk_meter_scales(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    if (const uint8_t *c = cache_of(intf, 3)) {
        const uint8_t mask = intf->real_ver == 2 ? 0x18 : 0x38;
        for (uint8_t s = 0; s < 8; ++s)
            if (c[2] & (1u << s))
                param_put(out, 1, static_cast<uint8_t>((s << 3) & mask));
    }
}

// One-byte id lists (binary sensor and alarm sensor types, colour components).
void walk_ids(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    if (const uint8_t *c = cache_of(intf, 1))
        for (uint8_t i = 0; i < intf->data_cnt; ++i)
            param_put(out, 1, c[i]);
}

// Reports of events the device ends itself are asked type by type; the
// library's own clearing needs no first reading.
void walk_ids_no_clr(zwif_p intf, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out)
{
    if (intf->propty & IF_PROPTY_EVT_NO_CLR)
        walk_ids(intf, r, out);
}

// The setpoint types block of the supported information: a count and three
// spare bytes, then per type {u32 range valid, minimum, maximum}, the type
// the first byte of both records.
inline constexpr size_t setp_hdr = 4;
inline constexpr size_t setp_ent = 4 + 2 * sizeof(zwsetp_t);

// The block's entries that are really there, with their first byte.
uint8_t *setp_block(zwif_p intf, size_t *cnt)
{
    *cnt = 0;
    if (intf->data == nullptr || intf->data_cnt != 1 || intf->data_item_sz < setp_hdr)
        return nullptr;
    auto *b = static_cast<uint8_t *>(intf->data);
    *cnt = std::min<size_t>(b[0], (intf->data_item_sz - setp_hdr) / setp_ent);
    return b + setp_hdr;
}

void walk_setp_types(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    size_t cnt;
    const uint8_t *e = setp_block(intf, &cnt);
    for (size_t k = 0; k < cnt; ++k)
        param_put(out, 1, e[setp_ent * k + 4]);
}

// A refresh asks only the ranges that are not known yet.
void walk_setp_ranges(zwif_p intf, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out)
{
    size_t cnt;
    const uint8_t *e = setp_block(intf, &cnt);
    for (size_t k = 0; k < cnt; ++k) {
        uint32_t valid;
        std::memcpy(&valid, e + setp_ent * k, sizeof valid);
        if (!(r.w_refresh && valid != 0))
            param_put(out, 1, e[setp_ent * k + 4]);
    }
}

// Notification: a header item {V1 alarm flag, count}, then per type {type,
// event mask length, event mask}. A refresh asks only the types whose events
// are not known yet.
void walk_notif_types(zwif_p intf, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out)
{
    if (intf->data == nullptr || intf->data_item_sz != ZWIF_ALRM_SUP_ITEM_SZ)
        return;
    const auto *block = static_cast<const zwif_alrm_sup_ent_t *>(intf->data);
    for (uint8_t k = 1; k < intf->data_cnt; ++k)
        if (!(r.w_refresh && block[k].mask_len != 0))
            param_put(out, 1, block[k].type);
}

// Simple AV: the reports the device announced, numbered from 1.
void walk_av(zwif_p, const zwnet_ep_rec_t &r, std::vector<uint8_t> &out)
{
    if (r.last.size() >= 3)
        for (unsigned n = 1; n <= r.last[2]; ++n)
            param_put(out, 1, static_cast<uint8_t>(n));
}

uint8_t grp_cnt(zwif_p intf)
{
    for (zwif_p i = intf->ep->intf; i != nullptr; i = i->next)
        if ((i->cls == 0x85 || i->cls == 0x8E) && cached(i))
            return *static_cast<const uint8_t *>(i->data);
    return 0;
}

void walk_grp_cmds(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    for (unsigned g = 1; g <= grp_cnt(intf); ++g)
        param_put(out, 2, 0x80, static_cast<uint8_t>(g));
}

void walk_grp_names(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    for (unsigned g = 1; g <= grp_cnt(intf); ++g)
        param_put(out, 1, static_cast<uint8_t>(g));
}

void walk_grp_info(zwif_p intf, const zwnet_ep_rec_t &, std::vector<uint8_t> &out)
{
    if (grp_cnt(intf) != 0)
        param_put(out, 2, 0x40, 1);  // list mode, from group 1
}

// ---------------------------------------------------------------------------
// The class table
// ---------------------------------------------------------------------------

// Question flags.
enum : uint8_t {
    Q_SUP = 0x01,    // supported information: on a refresh the cache answers
    Q_KNOWN = 0x02,  // asked only when the interview is not a refresh
    Q_NEW = 0x04,    // asked only of a new node
    Q_MATCH = 0x08,  // the report's first parameter must be the one asked
    Q_SETP = 0x10,   // a setpoint reading: the type may need its second numbering
    Q_FOLLOW = 0x20, // the report layer asks these after the previous answer: only waited for
    Q_MATCH_2ND = 0x40, // with Q_MATCH: the one asked is the report's second parameter (a binary
                        // sensor's value, a sensor alarm's source node come first)
};

struct question_t {
    uint8_t get;
    uint8_t rpt;
    uint8_t flags;
    uint8_t min_ver;  // real version range, 0: any
    uint8_t max_ver;
    walk_fn walk;  // null: one Get without parameters
};

// Row flags.
enum : uint8_t {
    R_TMO_NEXT = 0x01,  // a time-out goes on at the next row (else it ends the walk)
    R_RESEND = 0x02,    // the first time-out asks again
    R_LIFELINE = 0x04,  // after the questions, the controller's lifeline (new nodes)
    R_CONFIG = 0x08,    // the device record's configuration parameters (new nodes)
    R_CSC_CFG = 0x10,   // after the questions, slow refresh of central scenes (new nodes)
};

inline constexpr uint8_t row_q_max = 4;

struct row_t {
    uint16_t cls;
    uint16_t alt;
    uint32_t state;
    uint8_t flags;
    question_t q[row_q_max];
};

constexpr row_t rows[] = {
    {0x70, 0, 16, R_RESEND | R_CONFIG, {}},
    {0x85, 0x8E, 3, R_RESEND | R_LIFELINE, {{0x05, 0x06, Q_KNOWN, 0, 0, nullptr}}},
    {0x5B, 0, 23, R_RESEND | R_CSC_CFG, {{0x01, 0x02, Q_SUP, 0, 0, nullptr}}},
    {0x5E, 0, 1, R_TMO_NEXT, {{0x01, 0x02, Q_KNOWN, 0, 0, nullptr}}},
    {0x31, 0, 2, R_TMO_NEXT,
     {{0x04, 0x05, 0, 0, 4, nullptr},
      {0x01, 0x02, Q_SUP, 5, 0, nullptr},
      {0x03, 0x06, Q_MATCH, 5, 0, walk_snsr_types},
      {0x04, 0x05, Q_MATCH, 5, 0, walk_snsr_vals}}},
    {0x59, 0, 4, R_TMO_NEXT,
     {{0x05, 0x06, Q_KNOWN, 0, 0, walk_grp_cmds},
      {0x01, 0x02, Q_KNOWN | Q_MATCH, 0, 0, walk_grp_names},
      {0x03, 0x04, Q_KNOWN, 0, 0, walk_grp_info}}},
    {0x44, 0, 5, 0, {{0x04, 0x05, Q_SUP, 0, 0, nullptr}, {0x02, 0x03, 0, 0, 0, nullptr}}},
    {0x40, 0, 6, 0, {{0x02, 0x03, 0, 0, 0, nullptr}, {0x04, 0x05, Q_SUP, 0, 0, nullptr}}},
    {0x43, 0, 7, 0,
     {{0x04, 0x05, Q_SUP, 0, 0, nullptr},
      {0x02, 0x03, Q_SETP, 0, 0, walk_setp_types},
      {0x09, 0x0A, Q_MATCH, 3, 0, walk_setp_ranges}}},
    {0x26, 0, 8, 0, {{0x02, 0x03, 0, 0, 0, nullptr}, {0x06, 0x07, Q_SUP, 3, 0, nullptr}}},
    {0x94, 0, 10, R_TMO_NEXT, {{0x02, 0x03, Q_SUP, 0, 0, nullptr}, {0x04, 0x05, Q_MATCH | Q_FOLLOW, 0, 0, walk_av}}},
    {0x71, 0, 11, R_TMO_NEXT,
     {{0x07, 0x08, Q_SUP, 2, 0, nullptr}, {0x01, 0x02, Q_MATCH, 3, 0, walk_notif_types}}},
    {0x75, 0, 12, R_TMO_NEXT, {{0x04, 0x05, Q_SUP, 2, 0, nullptr}}},
    {0x63, 0, 13, 0, {{0x04, 0x05, Q_SUP, 0, 0, nullptr}}},
    {0x32, 0, 14, R_TMO_NEXT,
     {{0x01, 0x02, 0, 0, 1, nullptr},
      {0x03, 0x04, Q_SUP, 2, 0, nullptr},
      {0x01, 0x02, 0, 2, 0, walk_meter_scales}}},
    {0x3D, 0, 15, 0, {{0x03, 0x04, Q_SUP, 0, 0, nullptr}}},
    {0x30, 0, 17, 0,
     {{0x02, 0x03, 0, 0, 1, nullptr},
      {0x01, 0x04, Q_SUP, 2, 0, nullptr},
      {0x02, 0x03, Q_MATCH | Q_MATCH_2ND, 2, 0, walk_ids_no_clr}}},
    {0x62, 0, 18, 0, {{0x02, 0x03, 0, 0, 0, nullptr}, {0x05, 0x06, 0, 0, 0, nullptr}}},
    {0x9C, 0, 24, 0,
     {{0x03, 0x04, Q_SUP, 0, 0, nullptr}, {0x01, 0x02, Q_MATCH | Q_MATCH_2ND, 0, 0, walk_ids_no_clr}}},
    {0x66, 0, 25, 0, {{0x02, 0x03, 0, 0, 0, nullptr}, {0x04, 0x05, Q_SUP, 0, 0, nullptr}}},
    {0x33, 0, 9, 0, {{0x01, 0x02, Q_SUP, 0, 0, nullptr}, {0x03, 0x04, Q_MATCH, 0, 0, walk_ids}}},
    {0x25, 0, 19, R_TMO_NEXT, {{0x02, 0x03, 0, 0, 0, nullptr}}},
    {0x42, 0, 20, R_TMO_NEXT, {{0x02, 0x03, 0, 0, 0, nullptr}}},
    {0x80, 0, 21, R_TMO_NEXT, {{0x02, 0x03, 0, 0, 0, nullptr}}},
    {0x45, 0, 22, R_TMO_NEXT, {{0x02, 0x03, 0, 0, 0, nullptr}}},
    {0x77, 0, 26, 0, {{0x02, 0x03, Q_KNOWN, 0, 0, nullptr}, {0x05, 0x06, Q_KNOWN, 0, 0, nullptr}}},
};
constexpr uint8_t row_cnt = static_cast<uint8_t>(std::size(rows));
static_assert(row_cnt == 26, "the class walk has 26 rows");

// Root interfaces of these classes are left alone when endpoint 1 has the
// class: the endpoint speaks for them.
constexpr uint16_t mirror_cls[] = {0x26, 0x25, 0x31, 0x30, 0x62, 0x63, 0x71, 0x32, 0x35, 0x94, 0x3D, 0x80, 0x44,
                                   0x45, 0x40, 0x42, 0x47, 0x43, 0x81, 0x46, 0x75, 0x87, 0x5B, 0x9C, 0x66, 0x33};

bool mirrored(zwep_p ep, uint16_t cls)
{
    if (ep->epid != 0 || std::find(std::begin(mirror_cls), std::end(mirror_cls), cls) == std::end(mirror_cls))
        return false;
    zwep_p ep1 = zwep_find(&ep->node->ep, 1);
    return ep1 != nullptr && zwif_find_cls(ep1->intf, cls) != nullptr;
}

// ---------------------------------------------------------------------------
// The class walk of one endpoint
// ---------------------------------------------------------------------------

zwep_p walk_ep(zwnet_p net)
{
    const zwnet_ep_rec_t &r = rec_of(net);
    return node_id_ok(r.w_node_id) ? zwep_find_by_id(net, r.w_node_id, r.w_ep_id) : nullptr;
}

zwif_p row_if(zwep_p ep, const row_t &row)
{
    zwif_p i = zwif_find_cls(ep->intf, row.cls);
    if (i == nullptr && row.alt != 0)
        i = zwif_find_cls(ep->intf, row.alt);
    return i;
}

bool new_node(zwnet_p net)
{
    const zwnet_ep_rec_t &r = rec_of(net);
    return !r.w_refresh && net->ni_rec.new_node && net->ni_node == r.w_node_id;
}

void walk_end(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    tmr_stop(net);
    const auto cb = r.w_cmplt_cb;
    r.w_state = 0;
    r.w_cmplt_cb = nullptr;
    r.w_node_id = r.w_ep_id = 0;
    r.w_refresh = 0;
    r.params.clear();
    r.last.clear();
    if (cb != nullptr)
        cb(net, 0);
}

void rpt_kept() {}

// Whether a cached setpoint type is asked 4 lower: after the device showed
// it numbers them so, and always for a type the Get's 4 bits cannot carry.
bool setp_second(const zwnet_ep_rec_t &r, uint8_t entry) { return entry > 15 || (r.setp_alt && entry > 4); }

// Sends the current parameter of the current question; 0 when it went.
int ask(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    const row_t &row = rows[r.row];
    const question_t &q = row.q[r.step];
    const uint8_t *p = r.params.data() + 3 * r.idx;
    uint8_t setp[3];
    if ((q.flags & Q_SETP) && p[0] == 1 && setp_second(r, p[1])) {
        setp[0] = 1;
        setp[1] = static_cast<uint8_t>(p[1] - 4);
        setp[2] = 0;
        p = setp;
    }
    zwif_desc_t d;
    zwif_desc_fill(&d, intf);
    if ((q.flags & Q_SUP) && r.w_refresh && cached(intf)) {
        // Already known: the same event comes back through the callback
        // queue, after this call has left the mutex.
        zwnet_cb_msg_t m;
        m.type = ZWNET_CB_EP_SM_EVT;
        m.body.ep_sm.intf = d;
        m.body.ep_sm.evt = static_cast<uint32_t>(intf->cls) << 8 | q.rpt;
        zwnet_cb_post(net, &m);
    } else {
        // The dispatcher keeps a report only for an interface that has a
        // callback for it: this one marks the reports the walk wants kept.
        // It is never called (the walk takes its answers from the receive
        // path, ep_intv_active stays clear).
        int rc = zwif_set_sm_report(&d, rpt_kept, q.rpt);
        if (rc < 0)
            return rc;
        rc = (q.flags & Q_FOLLOW) ? 0 : zwif_get_report(&d, p + 1, p[0], q.get, zwif_tx_sts_log_cb, 0);
        if (rc < 0) {
            plt_msg_ts_show(&net->plt, "zwnet_1_ep_info_sm: get report of class %02X with error:%d", intf->cls, rc);
            return rc;
        }
    }
    r.w_state = row.state;
    tmr_start(net, step_ms, TMR_WALK_TMOUT);
    return 0;
}

bool q_applies(zwnet_p net, zwif_p intf, const question_t &q)
{
    const zwnet_ep_rec_t &r = rec_of(net);
    if (q.get == 0)
        return false;
    const uint8_t v = intf->real_ver != 0 ? intf->real_ver : intf->ver;
    if ((q.min_ver && v < q.min_ver) || (q.max_ver && v > q.max_ver))
        return false;
    if ((q.flags & Q_KNOWN) && r.w_refresh)
        return false;
    return !((q.flags & Q_NEW) && !new_node(net));
}

uint8_t dev_ver(zwif_p intf) { return intf->real_ver != 0 ? intf->real_ver : intf->ver; }

int lifeline_set(zwnet_p net, zwif_p intf, bool check);
int csc_cfg_send(zwnet_p net, zwif_p intf);

// ---------------------------------------------------------------------------
// Configuration parameters of a new node's device record
// ---------------------------------------------------------------------------

zwep_p walk_ep(zwnet_p net);
zwif_p row_if(zwep_p ep, const row_t &row);
bool new_node(zwnet_p net);

// The device record's interface entry of `type` for the endpoint, or null.
const dev_if_t *dev_if(zwep_p ep, uint8_t type)
{
    zwnode_p node = ep->node;
    if (!node->dev_cfg_valid || node->dev_cfg_rec == nullptr)
        return nullptr;
    auto *rec = static_cast<dev_rec_t *>(node->dev_cfg_rec);
    return rec->ep ? static_cast<const dev_if_t *>(zwdevcfg_ep_if_get(rec->ep, ep->epid, type)) : nullptr;
}

// Entries of the walk's list for configuration: 6 bytes, {number, size,
// value big-endian}.
inline constexpr size_t cfg_ent_sz = 6;

void cfg_tx_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id);

// Sends the parameter at the walk's position, skipping entries whose size is
// not 1, 2 or 4: 0 sent, else nothing is left to send.
int cfg_send(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    for (; cfg_ent_sz * r.idx < r.params.size(); ++r.idx) {
        const uint8_t *e = r.params.data() + cfg_ent_sz * r.idx;
        const uint8_t size = e[1];
        if (size != 1 && size != 2 && size != 4) {
            plt_msg_ts_show(&net->plt, "zwnet_sm_cfg_param_set: parameter %u of size %u refused", e[0], size);
            continue;
        }
        uint8_t frame[8] = {0x70, 0x04, e[0], size};
        std::memcpy(frame + 4, e + 2 + (4 - size), size);
        zwif_desc_t d;
        zwif_desc_fill(&d, intf);
        const int rc = zwif_exec(&d, frame, static_cast<uint16_t>(size + 4), cfg_tx_cb, nullptr, 0, nullptr);
        if (rc < 0) {
            plt_msg_ts_show(&net->plt, "zwnet_sm_cfg_param_set: zwif_exec with error:%d", rc);
            continue;
        }
        r.w_state = rows[r.row].state;
        tmr_start(net, step_ms, TMR_WALK_TMOUT);
        return 0;
    }
    return ZW_ERR_FAILED;
}

// The parameter list of a new node's endpoint: 0 when the first went.
int cfg_start(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.w_refresh)
        return ZW_ERR_CACHED;
    if (!new_node(net))
        return ZW_ERR_DISALLOWED;
    const dev_if_t *cfg = dev_if(intf->ep, DEV_IF_CONFIG);
    if (cfg == nullptr || cfg->cfg.empty())
        return err_no_dev_rec;
    r.params.clear();
    r.idx = 0;
    try {
        for (const dev_cfg_param_t &p : cfg->cfg) {
            if (r.params.size() / cfg_ent_sz >= param_max)
                break;
            const auto v = static_cast<uint32_t>(p.val);
            const uint8_t e[cfg_ent_sz] = {p.param_num, p.size, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8),
                                           uint8_t(v)};
            r.params.insert(r.params.end(), e, e + cfg_ent_sz);
        }
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    return cfg_send(net, intf);
}

void walk_on(zwnet_p net, uint8_t from);
void walk_end(zwnet_p net);

void cfg_tx_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.w_state != rows[0].state || r.row != 0 || node_id != r.w_node_id)
        return;
    zwep_p ep = walk_ep(net);
    zwif_p intf = ep ? row_if(ep, rows[0]) : nullptr;
    if (intf == nullptr) {
        walk_end(net);
        return;
    }
    if (status != 0) {
        // One more try of the same parameter; a second failure ends the walk.
        if (++r.tmout > 1) {
            walk_end(net);
            return;
        }
    } else {
        r.tmout = 0;
        ++r.idx;
    }
    if (cfg_send(net, intf) != 0)
        walk_on(net, 1);
}

// From the current question on (its parameter list built afresh): asks the
// first that can be asked; false when the row has nothing left.
bool row_go(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    const row_t &row = rows[r.row];
    if ((row.flags & R_CONFIG) && r.step == 0) {
        r.step = row_q_max;
        return cfg_start(net, intf) == 0;
    }
    for (; r.step < row_q_max; ++r.step) {
        const question_t &q = row.q[r.step];
        if (!q_applies(net, intf, q))
            continue;
        r.params.clear();
        r.idx = 0;
        try {
            if (q.walk != nullptr)
                q.walk(intf, r, r.params);
            else
                param_put(r.params, 0);
        } catch (const std::bad_alloc &) {
            r.params.clear();
        }
        for (; 3u * r.idx < r.params.size(); ++r.idx)
            if (ask(net, intf) == 0)
                return true;
    }
    if ((row.flags & R_CSC_CFG) && r.csc == 0 && new_node(net) && dev_ver(intf) > 2 && cached(intf) &&
        intf->data_item_sz * intf->data_cnt >= 2 && static_cast<const uint8_t *>(intf->data)[1] != 0) {
        r.csc = 1;
        r.step = row_q_max;
        if (csc_cfg_send(net, intf) == 0)
            return true;
    }
    if ((row.flags & R_LIFELINE) && r.lifeline == LL_NONE && new_node(net)) {
        r.lifeline = LL_ASKED;
        if (lifeline_set(net, intf, true) == 0)
            return true;
    }
    return false;
}

// From row `from` on: the first row whose class the endpoint has and that
// asks something. False when none is left.
bool cls_next(zwnet_p net, uint8_t from)
{
    zwnet_ep_rec_t &r = rec_of(net);
    zwep_p ep = walk_ep(net);
    if (ep == nullptr)
        return false;
    for (uint8_t i = from; i < row_cnt; ++i) {
        zwif_p intf = row_if(ep, rows[i]);
        if (intf == nullptr || mirrored(ep, intf->cls))
            continue;
        r.row = i;
        r.step = 0;
        r.tmout = 0;
        r.lifeline = LL_NONE;
        r.csc = 0;
        r.setp_alt = 0;
        r.last.clear();
        if (row_go(net, intf))
            return true;
    }
    return false;
}

void walk_on(zwnet_p net, uint8_t from)
{
    if (!cls_next(net, from))
        walk_end(net);
}

// The question was answered (or the cache answered it): the next parameter,
// the next question, the next row.
void answered(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    r.tmout = 0;
    for (++r.idx; 3u * r.idx < r.params.size(); ++r.idx)
        if (ask(net, intf) == 0)
            return;
    ++r.step;
    if (row_go(net, intf))
        return;
    walk_on(net, static_cast<uint8_t>(r.row + 1));
}

// ---------------------------------------------------------------------------
// The lifeline of a new node
// ---------------------------------------------------------------------------

// The controller into group 1 of the grouping interface (Multi Channel
// Association where the endpoint has it), then, with `check`, whether group 1
// holds it now.
int lifeline_set(zwnet_p net, zwif_p intf, bool check)
{
    zwep_p ep = intf->ep;
    zwif_p mca = zwif_find_cls(ep->intf, 0x8E);
    zwif_p target = mca != nullptr ? mca : zwif_find_cls(ep->intf, 0x85);
    if (target == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    const uint8_t ctl = net->ctl.nodeid;
    const uint8_t suc = net->suc != 0 ? net->suc : ctl;
    uint8_t frame[6] = {static_cast<uint8_t>(target->cls), 0x01, 0x01, suc, 0, 0};
    uint16_t len = 4;
    if (mca != nullptr && suc == ctl && zwep_find(&ep->node->ep, 2) != nullptr) {
        frame[3] = 0x00;  // no plain node ids: the controller's endpoint follows
        frame[4] = ctl;
        frame[5] = mca->ver < 3 ? 1 : 0;
        len = 6;
    }
    // Group 1, then the groups the device record names for the endpoint.
    uint8_t grps[lifeline_grp_max] = {1};
    uint8_t grp_cnt = 1;
    if (const dev_if_t *g = dev_if(ep, DEV_IF_GRP))
        for (uint8_t id : g->grp)
            if (id > 1 && grp_cnt < lifeline_grp_max &&
                std::find(grps, grps + grp_cnt, id) == grps + grp_cnt)
                grps[grp_cnt++] = id;
    zwif_desc_t d;
    zwif_desc_fill(&d, target);
    int rc = 0;
    for (uint8_t k = 0; k < (check ? grp_cnt : 1); ++k) {
        frame[2] = grps[k];
        rc = zwif_exec(&d, frame, len, zwif_tx_sts_log_cb, nullptr, 0, nullptr);
        if (rc < 0) {
            plt_msg_ts_show(&net->plt, "zwnet_sm_lifeline_set: zwif_exec with error:%d", rc);
            if (k == 0)
                return rc;
        }
    }
    if (!check)
        return 0;
    const uint8_t grp = 1;
    rc = zwif_get_report(&d, &grp, 1, 0x02, zwif_tx_sts_log_cb, 0);
    if (rc < 0)
        return rc;
    zwnet_ep_rec_t &r = rec_of(net);
    r.step = row_q_max;  // past the questions: the answer is the lifeline's
    tmr_start(net, step_ms, TMR_WALK_TMOUT);
    return 0;
}

// Association Report of group 1: node ids, then (multi channel) a marker and
// node/endpoint pairs. True when the controller is there (plain, or at its
// endpoint 0 or 1).
bool lifeline_ok(zwnet_p net, const uint8_t *cmd, uint16_t len)
{
    if (len < 5 || cmd[2] != 1)
        return false;
    const uint8_t ctl = net->ctl.nodeid;
    uint16_t i = 5;
    for (; i < len && cmd[i] != 0x00; ++i)
        if (cmd[i] == ctl)
            return true;
    for (++i; i + 1 < len; i += 2)
        if (cmd[i] == ctl && (cmd[i + 1] & 0x7F) <= 1)
            return true;
    return false;
}

void lifeline_rpt(zwnet_p net, zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    zwnet_ep_rec_t &r = rec_of(net);
    r.lifeline = LL_DONE;
    if (!lifeline_ok(net, cmd, len)) {
        // Whatever holds group 1 goes; the controller is set again once the
        // device had time to clear it.
        const uint8_t clr[3] = {static_cast<uint8_t>(intf->cls), 0x04, 0x01};
        zwif_desc_t d;
        zwif_desc_fill(&d, intf);
        if (zwif_exec(&d, clr, sizeof clr, zwif_tx_sts_log_cb, nullptr, 0, nullptr) >= 0) {
            tmr_start(net, lifeline_reset_ms, TMR_LIFELINE_SET);
            return;
        }
    }
    walk_on(net, static_cast<uint8_t>(r.row + 1));
}

void lifeline_again(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    zwep_p ep = walk_ep(net);
    zwif_p intf = ep ? row_if(ep, rows[r.row]) : nullptr;
    // Not waited for: the walk goes on.
    if (intf != nullptr)
        lifeline_set(net, intf, false);
    walk_on(net, static_cast<uint8_t>(r.row + 1));
}

// ---------------------------------------------------------------------------
// Slow refresh of a new node's central scenes
// ---------------------------------------------------------------------------

void csc_tx_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id);

// Held keys are reported every 55 s when the node supports it; the
// transmission's outcome moves the walk on.
int csc_cfg_send(zwnet_p net, zwif_p intf)
{
    static constexpr uint8_t frame[] = {0x5B, 0x04, 0x80};
    zwif_desc_t d;
    zwif_desc_fill(&d, intf);
    const int rc = zwif_exec(&d, frame, sizeof frame, csc_tx_cb, nullptr, 0, nullptr);
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_csc_cfg_set: zwif_exec with error:%d", rc);
        return rc;
    }
    zwnet_ep_rec_t &r = rec_of(net);
    r.w_state = rows[r.row].state;
    tmr_start(net, step_ms, TMR_WALK_TMOUT);
    return 0;
}

void csc_tx_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.w_state == 0 || r.row >= row_cnt || !(rows[r.row].flags & R_CSC_CFG) || r.csc != 1 ||
        node_id != r.w_node_id)
        return;
    zwep_p ep = walk_ep(net);
    zwif_p intf = ep ? row_if(ep, rows[r.row]) : nullptr;
    // One more try after a failure; the walk goes on either way.
    if (status != 0 && intf != nullptr && ++r.tmout == 1 && csc_cfg_send(net, intf) == 0)
        return;
    r.csc = 2;
    walk_on(net, static_cast<uint8_t>(r.row + 1));
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

// Length of the longest valid UTF-8 prefix of `s` that is at most `max` bytes.
size_t utf8_prefix(const uint8_t *s, size_t n, size_t max)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t c = s[i];
        size_t k;
        uint32_t cp;
        if (c < 0x80) {
            k = 1;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            k = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            k = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            k = 4;
            cp = c & 0x07;
        } else {
            break;
        }
        if (i + k > n || i + k > max)
            break;
        bool ok = true;
        for (size_t j = 1; j < k; ++j) {
            ok = ok && (s[i + j] & 0xC0) == 0x80;
            cp = cp << 6 | (s[i + j] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        static constexpr uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < min_cp[k] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp == 0)
            break;
        i += k;
    }
    return i;
}

// UTF-16 (big-endian) to UTF-8, up to the first unit that cannot be
// converted and within `max` bytes.
size_t utf16_to_utf8(const uint8_t *s, size_t n, uint8_t *out, size_t max)
{
    size_t o = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t cp = static_cast<uint32_t>(s[i] << 8 | s[i + 1]);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= n)
                break;
            const uint32_t lo = static_cast<uint32_t>(s[i + 2] << 8 | s[i + 3]);
            if (lo < 0xDC00 || lo > 0xDFFF)
                break;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if ((cp >= 0xDC00 && cp <= 0xDFFF) || cp == 0) {
            break;
        }
        uint8_t b[4];
        size_t k;
        if (cp < 0x80) {
            b[0] = static_cast<uint8_t>(cp);
            k = 1;
        } else if (cp < 0x800) {
            b[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
            b[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            k = 2;
        } else if (cp < 0x10000) {
            b[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
            b[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            b[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            k = 3;
        } else {
            b[0] = static_cast<uint8_t>(0xF0 | cp >> 18);
            b[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            b[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            b[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            k = 4;
        }
        if (o + k > max)
            break;
        std::memcpy(out + o, b, k);
        o += k;
    }
    return o;
}

// ---------------------------------------------------------------------------
// Reports for the walk
// ---------------------------------------------------------------------------

// A group information report in list mode that lists groups, none of them
// the last of the endpoint's groups. Only the group records the frame holds
// count; there is no group 0.
bool agi_info_partial(zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    constexpr size_t rec_sz = 7;
    if (intf->cls != 0x59 || len < 3 || cmd[1] != 0x04 || !(cmd[2] & 0x80))
        return false;
    const size_t cnt = std::min<size_t>(cmd[2] & 0x3F, (len - 3u) / rec_sz);
    unsigned top = 0;
    for (size_t i = 0; i < cnt; ++i)
        top = std::max<unsigned>(top, cmd[3 + rec_sz * i]);
    return top != 0 && top < grp_cnt(intf);
}

// The setpoint type asked under the first numbering is 11 or above on a
// device of version 1 or 2: it may count its types from bit 3 on 4 lower.
bool setp_alt_possible(zwnet_p net, zwif_p intf)
{
    const zwnet_ep_rec_t &r = rec_of(net);
    const uint8_t *p = r.params.data() + 3 * r.idx;
    return dev_ver(intf) <= 2 && 3u * r.idx < r.params.size() && p[1] >= 11 && !setp_second(r, p[1]);
}

// Asks the current setpoint type again under the second numbering.
bool setp_alt_ask(zwnet_p net, zwif_p intf)
{
    zwnet_ep_rec_t &r = rec_of(net);
    r.setp_alt = 1;
    r.tmout = 0;
    return ask(net, intf) == 0;
}

void setp_rpt(zwnet_p net, zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    zwnet_ep_rec_t &r = rec_of(net);
    if (len < 3 || 3u * r.idx >= r.params.size())
        return;
    const uint8_t entry = r.params[3 * r.idx + 1];
    const uint8_t got = cmd[2] & 0x0F;
    if (!setp_second(r, entry)) {
        if (got == entry && got != 0) {
            answered(net, intf);
        } else if (got == 0 && dev_ver(intf) <= 2) {
            // The device does not know the type as we numbered it.
            if (!(setp_alt_possible(net, intf) && setp_alt_ask(net, intf)))
                walk_on(net, static_cast<uint8_t>(r.row + 1));
        }
        return;
    }
    if (entry <= 4 || got != entry - 4)
        return;
    // The device's own number stands for the type from now on.
    size_t cnt;
    uint8_t *e = setp_block(intf, &cnt);
    for (size_t k = 0; k < cnt; ++k, e += setp_ent)
        if (e[4] == entry) {
            e[4] = e[4 + sizeof(zwsetp_t)] = got;
            break;
        }
    answered(net, intf);
}

void walk_rpt(zwnet_p net, zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    zwnet_ep_rec_t &r = rec_of(net);
    const row_t &row = rows[r.row];
    if (r.step >= row_q_max) {
        if (r.lifeline == LL_ASKED && len >= 2 && cmd[1] == 0x03)
            lifeline_rpt(net, intf, cmd, len);
        return;
    }
    const question_t &q = row.q[r.step];
    if (len >= 2 && cmd[1] != q.rpt)
        return;
    if (q.flags & Q_SETP) {
        setp_rpt(net, intf, cmd, len);
        return;
    }
    // A report too short to name what it answers (an old device's) is taken.
    const size_t match_at = q.flags & Q_MATCH_2ND ? 3 : 2;
    if (len > match_at && (q.flags & Q_MATCH) && 3u * r.idx < r.params.size()) {
        const uint8_t *p = r.params.data() + 3 * r.idx;
        // Group information answers by group number; names and command
        // lists carry it in their first byte too.
        const uint8_t want = p[0] == 2 && p[1] == 0x80 ? p[2] : p[1];
        if (p[0] != 0 && cmd[match_at] != want)
            return;
    }
    if (agi_info_partial(intf, cmd, len)) {
        // The rest of the groups comes in later frames.
        tmr_start(net, step_ms, TMR_WALK_TMOUT);
        return;
    }
    try {
        r.last.assign(cmd, cmd + len);
    } catch (const std::bad_alloc &) {
        r.last.clear();
    }
    if (intf->cls == COMMAND_CLASS_NODE_NAMING && len >= 3) {
        zwep_p ep = intf->ep;
        zwnet_name_txt_store(cmd[2], cmd + 3, static_cast<uint16_t>(len - 3), q.rpt == 0x03 ? ep->name : ep->loc);
    } else if (intf->cls == COMMAND_CLASS_ZWAVEPLUS_INFO && len >= 5) {
        zwplus_info_t &z = intf->ep->zwplus_info;
        z.zwplus_ver = cmd[2];
        z.role_type = cmd[3];
        z.node_type = cmd[4];
        if (len >= 9) {
            z.instr_icon = static_cast<uint16_t>(cmd[5] << 8 | cmd[6]);
            z.usr_icon = static_cast<uint16_t>(cmd[7] << 8 | cmd[8]);
        }
    }
    answered(net, intf);
}

// ---------------------------------------------------------------------------
// Over the endpoints
// ---------------------------------------------------------------------------

zwep_p eps_ep(zwnet_p net)
{
    const zwnet_ep_rec_t &r = rec_of(net);
    return node_id_ok(r.node_id) ? zwep_find_by_id(net, r.node_id, r.ep_id) : nullptr;
}

void eps_end(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    tmr_stop(net);
    const auto cb = r.cmplt_cb;
    r.state = 0;
    r.cmplt_cb = nullptr;
    r.node_id = r.ep_id = 0;
    if (cb != nullptr)
        cb(net, 0);
}

void after_sec(zwnet_p net);
void sec_if_create(zwep_p ep, const uint16_t *list, size_t cnt);

// The gateway's answer for the endpoint: the classes after its security mark
// are the secure ones.
void gw_sec_cap_cb(appl_layer_ctx *ctx, const appl_ep_cap_t *cap)
{
    auto *net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr || cap == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.state != 1 || cap->node_id != r.node_id || (cap->ep & 0x7F) != r.ep_id)
        return;
    zwep_p ep = eps_ep(net);
    if (ep == nullptr)
        return;
    if (cap->cmd_cls_ctl != nullptr)
        sec_if_create(ep, cap->cmd_cls_ctl, cap->cmd_cnt_ctl);
    after_sec(net);
}

// The secure classes of the endpoint: 0 asked.
int sec_get(zwnet_p net, zwep_p ep)
{
    zwnode_p node = ep->node;
    if (!(node->propty & NODE_PROPTY_ADD_SECURE))
        return ZW_ERR_UNSUPPORTED;
    zwif_p s2 = zwif_find_cls(ep->intf, COMMAND_CLASS_SECURITY_2);
    zwif_p s0 = zwif_find_cls(ep->intf, COMMAND_CLASS_SECURITY);
    zwif_desc_t d;
    int rc;
    if (net->feature & 0x02) {
        // The gateway knows the endpoint's classes, secure ones included.
        rc = zip_mul_ch_cap_get(net->appl.get(), gw_sec_cap_cb, node->nodeid, ep->epid);
    } else if (s2 != nullptr && (node->propty & NODE_PROPTY_SECURE_CAP_S2) && node->s2_keys_valid &&
        (node->s2_grnt_keys & 0x07)) {
        zwif_desc_fill(&d, s2);
        d.propty |= IF_PROPTY_SECURE;
        rc = zwif_get_report(&d, nullptr, 0, 0x0D, zwif_tx_sts_log_cb, 0);
    } else if (s0 != nullptr) {
        zwif_desc_fill(&d, s0);
        rc = zwif_get_report(&d, nullptr, 0, 0x02, zwif_tx_sts_log_cb, 0);
    } else {
        return ZW_ERR_UNSUPPORTED;
    }
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "zwnet_ep_sm_sec_get: zwsec_cmd_sup_get with error:%d", rc);
        return rc;
    }
    rec_of(net).state = 1;
    tmr_start(net, step_ms, TMR_EPS_TMOUT);
    return 0;
}

// The version of `cls` (0: the first class) on the endpoint: 0 asked.
int ver_get(zwnet_p net, zwep_p ep, uint16_t cls)
{
    zwif_p ver = zwif_find_cls(ep->intf, COMMAND_CLASS_VERSION);
    if (ver == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    zwif_p i = cls == 0 ? ep->intf : zwif_find_cls(ep->intf, cls);
    while (i != nullptr && (i->cls == COMMAND_CLASS_BASIC || i->cls > 0xFF))
        i = i->next;
    if (i == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    zwif_desc_t d;
    zwif_desc_fill(&d, ver);
    const uint8_t param = static_cast<uint8_t>(i->cls);
    const int rc = zwif_get_report(&d, &param, 1, 0x13, zwif_tx_sts_log_cb, 0);
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "zwnet_ep_sm_ver_get: zwif_get_report with error:%d", rc);
        return rc;
    }
    net->ni_cls = i->cls;
    rec_of(net).state = 2;
    tmr_start(net, step_ms, TMR_EPS_TMOUT);
    return 0;
}

void walk_done_cb(zwnet_p net, uint8_t);

// The class walk of the current endpoint: true when it started.
bool ep_walk(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    r.state = 3;
    zwnet_ep_info_param_t p;
    p.cmplt_cb = walk_done_cb;
    p.node_id = r.node_id;
    p.ep_id = r.ep_id;
    p.word = r.word;
    if (zwnet_1_ep_info_sm(net, 1, &p))
        return true;
    plt_msg_ts_show(&net->plt, "zwnet_ep_info_sm: single endpoint state-machine is in wrong state: %d", r.w_state);
    return false;
}

// The first question of an endpoint: secure classes, else versions, else
// its class walk. False when nothing started.
bool ep_begin(zwnet_p net, zwep_p ep)
{
    zwnet_ep_rec_t &r = rec_of(net);
    r.ep_id = ep->epid;
    r.tmout_cnt = 0;
    if (sec_get(net, ep) == 0 || ver_get(net, ep, 0) == 0)
        return true;
    return ep_walk(net);
}

// The endpoints after the current one.
void eps_next(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    tmr_stop(net);
    zwep_p ep = eps_ep(net);
    for (ep = ep ? ep->next : nullptr; ep != nullptr; ep = ep->next)
        if (ep_begin(net, ep))
            return;
    r.ep_id = 0;
    eps_end(net);
}

void walk_done_cb(zwnet_p net, uint8_t)
{
    if (rec_of(net).state == 3)
        eps_next(net);
}

// The versions after the secure classes; then the walk.
void after_sec(zwnet_p net)
{
    zwep_p ep = eps_ep(net);
    if (ep == nullptr) {
        eps_end(net);
        return;
    }
    rec_of(net).tmout_cnt = 0;
    if (ver_get(net, ep, 0) == 0 || ep_walk(net))
        return;
    eps_next(net);
}

void sec_if_create(zwep_p ep, const uint16_t *list, size_t cnt)
{
    std::vector<uint16_t> cls;
    try {
        for (size_t k = 0; k < cnt; ++k)
            if (list[k] != COMMAND_CLASS_SECURITY && list[k] != COMMAND_CLASS_SECURITY_2 && list[k] <= 0xFF)
                cls.push_back(list[k]);
    } catch (const std::bad_alloc &) {
        return;
    }
    if (!cls.empty() && cls.size() <= UINT8_MAX)
        zwnode_if_create(ep, cls.data(), static_cast<uint8_t>(cls.size()));
}

void sec_rpt(zwep_p ep, const uint8_t *list, uint16_t len)
{
    std::vector<uint16_t> plain, secure;
    try {
        // A list longer than the parser takes is cut: what fits is kept.
        if (!util_cmd_cls_parse(list, static_cast<uint8_t>(std::min<uint16_t>(len, UINT8_MAX)), plain, secure))
            return;
    } catch (const std::bad_alloc &) {
        return;
    }
    sec_if_create(ep, plain.data(), plain.size());
}

void eps_rpt(zwnet_p net, zwep_p ep, const uint8_t *cmd, uint16_t len)
{
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.state == 1) {
        if (len >= 3 && cmd[0] == COMMAND_CLASS_SECURITY && cmd[1] == 0x03)
            sec_rpt(ep, cmd + 3, static_cast<uint16_t>(len - 3));
        else if (len >= 2 && cmd[0] == COMMAND_CLASS_SECURITY_2 && cmd[1] == 0x0E)
            sec_rpt(ep, cmd + 2, static_cast<uint16_t>(len - 2));
        else
            return;
        after_sec(net);
        return;
    }
    if (r.state == 2 && len >= 4 && cmd[0] == COMMAND_CLASS_VERSION && cmd[1] == 0x14 && cmd[2] == net->ni_cls) {
        zwif_p ver = zwif_find_cls(ep->intf, COMMAND_CLASS_VERSION);
        r.tmout_cnt = 0;
        const int rc = ver ? zwnet_ver_rpt_get(net, &ver, nullptr, cmd[2], cmd[3], 0, 0) : 1;
        if (rc == 0)
            tmr_start(net, step_ms, TMR_EPS_TMOUT);
        else if (!ep_walk(net))
            eps_next(net);
    }
}

void eps_tmout(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    zwep_p ep = eps_ep(net);
    if (ep == nullptr) {
        eps_end(net);
        return;
    }
    const bool again = ++r.tmout_cnt == 1;
    if (r.state == 1) {
        if (again && sec_get(net, ep) == 0)
            return;
        after_sec(net);
    } else if (r.state == 2) {
        if (again && ver_get(net, ep, net->ni_cls) == 0)
            return;
        if (!ep_walk(net))
            eps_next(net);
    }
}

void walk_tmout(zwnet_p net)
{
    zwnet_ep_rec_t &r = rec_of(net);
    zwep_p ep = walk_ep(net);
    if (ep == nullptr) {
        walk_end(net);
        return;
    }
    const row_t &row = rows[r.row];
    zwif_p intf = row_if(ep, row);
    // A device that keeps silent about a type it does not know by our number.
    if (intf != nullptr && r.step < row_q_max && (row.q[r.step].flags & Q_SETP) && setp_alt_possible(net, intf) &&
        setp_alt_ask(net, intf))
        return;
    if ((row.flags & R_RESEND) && r.tmout == 0 && intf != nullptr) {
        r.tmout = 1;
        if (row.flags & R_CONFIG) {
            if (cfg_send(net, intf) == 0)
                return;
        } else if (r.csc == 1) {
            if (csc_cfg_send(net, intf) == 0)
                return;
        } else if (r.step >= row_q_max) {
            if (lifeline_set(net, intf, true) == 0)
                return;
        } else if (ask(net, intf) == 0) {
            return;
        }
    }
    plt_msg_ts_show(&net->plt, "zwnet_1_ep_info_sm: no answer of node %u endpoint %u for class %02X", r.w_node_id,
                    r.w_ep_id, row.cls);
    if (row.flags & R_TMO_NEXT)
        walk_on(net, static_cast<uint8_t>(r.row + 1));
    else
        walk_end(net);
}

void tmr_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    // A timer that was stopped or re-armed meanwhile has nothing to say.
    if (!plt_tmr_cb_current(&net->plt))
        return;
    zwnet_ep_rec_t &r = rec_of(net);
    r.tmr = 0;
    switch (r.tmr_evt) {
    case TMR_WALK_TMOUT:
        if (r.w_state != 0)
            walk_tmout(net);
        break;
    case TMR_WALK_END:
        if (r.w_state != 0)
            walk_end(net);
        break;
    case TMR_LIFELINE_SET:
        if (r.w_state != 0)
            lifeline_again(net);
        break;
    case TMR_EPS_TMOUT:
        if (r.state == 1 || r.state == 2)
            eps_tmout(net);
        break;
    default: break;
    }
}

// The device poll's refresh of one endpoint.
void dpoll_walk_done(zwnet_p net, uint8_t)
{
    zwnet_ep_rec_t &r = rec_of(net);
    const auto done = r.dpoll_done;
    const uint8_t node_id = r.dpoll_node;
    r.dpoll_done = nullptr;
    r.dpoll_node = 0;
    if (done != nullptr)
        done(net, node_id);
}

int dpoll_ep_sm(zwnet_p net, uint8_t node_id, uint8_t ep_id, zwdpoll_ep_done_fn done)
{
    if (net == nullptr)
        return 0;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.w_state != 0 || r.state != 0 || r.dpoll_done != nullptr)
        return 0;
    zwnet_ep_info_param_t p;
    p.cmplt_cb = dpoll_walk_done;
    p.node_id = node_id;
    p.ep_id = ep_id;
    p.word = 1;  // a refresh: what is cached stands
    r.dpoll_done = done;
    r.dpoll_node = node_id;
    if (zwnet_1_ep_info_sm(net, 1, &p))
        return 1;
    r.dpoll_done = nullptr;
    r.dpoll_node = 0;
    return 0;
}

void dpoll_abort(zwnet_p net)
{
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.dpoll_done == nullptr)
        return;
    r.dpoll_done = nullptr;
    r.dpoll_node = 0;
    r.w_cmplt_cb = nullptr;
    walk_end(net);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

int zwnet_ep_info_sm(zwnet_p net, int evt, void *data)
{
    if (net == nullptr)
        return 0;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (evt == 1) {
        auto *p = static_cast<zwnet_ep_info_param_t *>(data);
        if (r.state != 0 || p == nullptr || !node_id_ok(p->node_id))
            return 0;
        zwep_p ep = zwep_find_by_id(net, p->node_id, p->ep_id);
        if (ep == nullptr)
            return 0;
        r.cmplt_cb = p->cmplt_cb;
        r.node_id = p->node_id;
        r.word = p->word;
        if (ep_begin(net, ep))
            return static_cast<int>(r.state != 0 ? r.state : 3);
        eps_next(net);
        return 3;
    }
    if (evt == 0 && (r.state == 1 || r.state == 2))
        eps_tmout(net);
    return static_cast<int>(r.state);
}

int zwnet_1_ep_info_sm(zwnet_p net, int evt, void *data)
{
    if (net == nullptr)
        return 0;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (evt == 1) {
        auto *p = static_cast<zwnet_ep_info_param_t *>(data);
        if (r.w_state != 0 || p == nullptr || zwep_find_by_id(net, p->node_id, p->ep_id) == nullptr)
            return 0;
        p->started = 1;
        r.w_cmplt_cb = p->cmplt_cb;
        r.w_node_id = p->node_id;
        r.w_ep_id = p->ep_id;
        r.w_refresh = p->word;
        r.w_state = walk_starting;
        if (!cls_next(net, 0)) {
            // Nothing to ask: the walk ends on its own a moment later, never
            // inside its starter's call.
            tmr_start(net, empty_walk_ms, TMR_WALK_END);
        }
        return 1;
    }
    if (evt == 0 && r.w_state != 0)
        walk_tmout(net);
    return 0;
}

int zwnet_ep_rpt_rcv(zwnet_p net, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len)
{
    if (net == nullptr || cmd == nullptr || len < 2)
        return 0;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if ((r.state == 1 || r.state == 2) && node_id == r.node_id && ep_id == r.ep_id) {
        if (zwep_p ep = eps_ep(net)) {
            eps_rpt(net, ep, cmd, len);
            return 1;
        }
        return 0;
    }
    if (r.w_state == 0 || node_id != r.w_node_id || ep_id != r.w_ep_id || r.row >= row_cnt)
        return 0;
    zwep_p ep = walk_ep(net);
    zwif_p intf = ep ? row_if(ep, rows[r.row]) : nullptr;
    if (intf == nullptr || cmd[0] != intf->cls)
        return 0;
    walk_rpt(net, intf, cmd, len);
    return 1;
}

void zwnet_ep_sm_evt(zwnet_p net, const zwif_desc_t *intf, uint32_t evt)
{
    if (net == nullptr || intf == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    if (r.w_state == 0 || intf->nodeid != r.w_node_id || intf->epid != r.w_ep_id || r.row >= row_cnt ||
        r.step >= row_q_max)
        return;
    zwep_p ep = walk_ep(net);
    zwif_p i = ep ? row_if(ep, rows[r.row]) : nullptr;
    if (i == nullptr || i->cls != (evt >> 8) || rows[r.row].q[r.step].rpt != (evt & 0xFF))
        return;
    answered(net, i);
}

void zwnet_ep_sm_stop(zwnet_p net)
{
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ep_rec_t &r = rec_of(net);
    tmr_stop(net);
    r = zwnet_ep_rec_t{};
}

void zwnet_ep_hooks_set(zwnet_p net)
{
    if (net != nullptr && net->dpoll_ctx != nullptr)
        zwdpoll_hooks_set(net->dpoll_ctx, dpoll_ep_sm, dpoll_abort);
}

void zwnet_name_txt_store(uint8_t charset, const uint8_t *text, uint16_t len, char *dest)
{
    if (dest == nullptr || dest[0] != '\0' || text == nullptr || len == 0)
        return;
    constexpr size_t max = ZW_NAMELOC_SZ - 1;
    if (charset == 0 || charset == 1) {
        const size_t n = utf8_prefix(text, len, max);
        std::memcpy(dest, text, n);
        dest[n] = '\0';
    } else if (charset == 2) {
        uint8_t buf[ZW_NAMELOC_SZ];
        const size_t n = utf16_to_utf8(text, len, buf, max);
        std::memcpy(dest, buf, n);
        dest[n] = '\0';
    }
}
