#include "hcapi/core/zwif_rpt.h"

#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwrec.h"

#include <cstring>

namespace {

// Classes whose frames go on without a registered callback: their device
// records and event clearing act on their own.
bool taken_without_cb(uint16_t cls, uint8_t cmd)
{
    if (cls == COMMAND_CLASS_BASIC && cmd == 0x01)
        return true;
    // A firmware update's tracker follows its request and final status
    // whether or not the application listens.
    if (cls == 0x7A && (cmd == 0x04 || cmd == 0x07))
        return true;
    return cls == 0x9C || cls == 0x30 || cls == 0x71;
}

}  // namespace

int zwif_report_dispatch(zwif_p intf, const uint8_t *cmd, uint16_t len)
{
    uint16_t cls;
    uint8_t c;
    if (intf == nullptr || cmd == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return 0;
    zwnode_p node = intf->ep->node;
    zwnet_p net = node->net;
    zwnet_lock lk(net);

    if (cls == COMMAND_CLASS_WAKE_UP && c == WAKE_UP_NOTIFICATION) {
        plt_msg_ts_show(&net->plt, "Wake up notification received");
        if (!zwnode_wkup_q_post(intf))
            zwnode_wkup_done(node);
        return 1;
    }

    zwif_rpt_fn usr_cb = nullptr, sm_cb = nullptr;
    for (uint8_t r = 0; r < intf->rpt_num && r < ZWIF_RPT_ROWS_MAX; ++r)
        if (intf->rpt[r].rpt_cmd == c) {
            usr_cb = intf->rpt[r].usr_rpt_cb;
            sm_cb = intf->rpt[r].sm_rpt_cb;
            break;
        }
    if (usr_cb == nullptr && sm_cb == nullptr && !taken_without_cb(cls, c))
        return 0;
    // A Basic Set is the receive path's to handle; the device record may
    // map it to a notification first.
    if (cls == COMMAND_CLASS_BASIC && c == 0x01) {
        zwif_rpt_sw_basic_set(intf, cmd, len);
        return 0;
    }
    if (cls < 0x20 || cls > 0x9F)
        return 1;
    const bool usr_only = zwif_rpt_sw_usr_only(cls, c);
    if (usr_only && usr_cb == nullptr)
        return 1;

    zwif_rpt_rec_t rec;
    if (zwif_rpt_parse(cmd, len, &rec) != 0)
        return 1;
    const zwif_rpt_def_t *row = zwif_rpt_def_find(cls, c);
    zwif_rpt_sw_prep(intf, &rec);
    time_t ts = 0;
    const int changed = row->store(intf, &rec, util_time_now(), &ts);
    zwif_rpt_sw_stored(intf, &rec);
    const int act = row->collect != nullptr ? row->collect(intf, &rec) : ZWIF_RPT_CALL;
    struct release_at_end {
        const zwif_rpt_def_t *row;
        zwif_rpt_rec_t *rec;
        ~release_at_end()
        {
            if (row->release != nullptr)
                row->release(rec);
        }
    } release{row, &rec};

    const bool call_sm = (act & ZWIF_RPT_CALL) && sm_cb != nullptr && net->ep_intv_active && !usr_only;
    const bool call_usr = (act & ZWIF_RPT_CALL) && usr_cb != nullptr && changed;
    const bool follow = (act & ZWIF_RPT_FOLLOW) && row->follow != nullptr;
    zwif_desc_t desc;
    zwif_desc_fill(&desc, intf);
    // The callbacks get copies; the interface record may be freed while
    // they run and is not touched after them.
    if (call_sm || call_usr || follow)
        zwnet_app_call(net, [&] {
            if (call_sm) {
                zwif_desc_t d = desc;
                row->call(sm_cb, &d, &rec, ts);
            }
            if (call_usr) {
                zwif_desc_t d = desc;
                row->call(usr_cb, &d, &rec, ts);
            }
            if (follow)
                row->follow(&desc, &rec);
        });
    zwif_rpt_follow_t next;
    if (zwif_rpt_sw_after(net, &desc, &rec, &next)) {
        // Found again: the callbacks may have removed it.
        zwep_p ep = zwep_find_by_id(net, desc.nodeid, desc.epid);
        if (zwif_p other = ep ? zwif_find_cls(ep->intf, next.cls) : nullptr)
            zwif_report_dispatch(other, next.frame, next.len);
    }
    return 1;
}

void zwif_cached_rpt_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt, uint8_t cnt,
                             const uint16_t *keys)
{
    if (net == nullptr || intf == nullptr || cb == nullptr)
        return;
    const zwif_rpt_def_t *row = zwif_rpt_def_find(intf->cls, rpt);
    if (row == nullptr || row->cached == nullptr)
        return;
    zwif_rpt_rec_t rec;
    rec.cls = intf->cls;
    rec.cmd = rpt;
    time_t ts;
    {
        zwnet_lock lk(net);
        ts = row->cached(zwif_rec_get(intf), cnt, keys, &rec);
    }
    zwif_desc_t d = *intf;
    zwnet_app_call(net, [&] { row->call(cb, &d, &rec, ts); });
}
