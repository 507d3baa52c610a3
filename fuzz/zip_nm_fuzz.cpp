// Arbitrary bytes as a command received from the gateway, with every pending
// request set up to match it, so that each reply parser reads it; callbacks
// read every byte of the records they get (ASan catches a bad pointer or
// count). Byte 0 of the input picks the source and address family.
#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_nm.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

volatile unsigned g_sink;

void touch(const void *p, size_t n)
{
    if (n != 0 && p == nullptr)
        std::abort();
    const auto *b = static_cast<const uint8_t *>(p);
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i)
        s += b[i];
    g_sink = g_sink + s;
}

void touch_info(const appl_node_info_t *i)
{
    touch(i->cmd_cls, i->cmd_cnt * sizeof(uint16_t));
    touch(i->cmd_cls_ctl, i->cmd_cnt_ctl * sizeof(uint16_t));
    if (i->node_id > 232)
        std::abort();
}

void on_list(appl_layer_ctx *, uint8_t, uint8_t, const uint8_t *m, uint8_t n) { touch(m, n); }
void on_info(appl_layer_ctx *, const appl_node_info_t *i) { touch_info(i); }
void on_ep(appl_layer_ctx *, uint8_t, uint8_t, uint8_t) {}
void on_cap(appl_layer_ctx *, const appl_ep_cap_t *c)
{
    touch(c->cmd_cls, c->cmd_cnt * sizeof(uint16_t));
    touch(c->cmd_cls_ctl, c->cmd_cnt_ctl * sizeof(uint16_t));
}
void on_aggr(appl_layer_ctx *, uint8_t, uint8_t, uint8_t n, const uint8_t *m) { touch(m, n); }
void on_lrn(appl_layer_ctx *, const appl_lrn_sts_t *s) { touch(s->dsk, sizeof s->dsk); }
void on_sts(appl_layer_ctx *, uint8_t) {}
void on_sts_node(appl_layer_ctx *, uint8_t, uint8_t) {}
void on_dsk(appl_layer_ctx *, const uint8_t *d, uint8_t n, uint8_t) { touch(d, n); }
void on_incl(appl_layer_ctx *, const appl_incl_evt_t *e)
{
    if (e->code == APPL_INCL_NODE_ADD) {
        touch_info(&e->add.info);
        if (e->add.dsk_len > 16)
            std::abort();
    }
}
void on_wl_list(appl_layer_ctx *, const appl_wl_list_t *l)
{
    for (uint8_t i = 0; i < l->cnt; ++i) {
        if (l->ent[i].dsk_len > 16)
            std::abort();
        touch(l->ent[i].dsk, l->ent[i].dsk_len);
    }
}
void on_wl_ent(appl_layer_ctx *, const appl_wl_dsk_t *d, uint8_t, const appl_wl_rec_t *r, uint8_t n)
{
    touch(d->dsk, d->dsk_len);
    for (uint8_t i = 0; i < n; ++i)
        if (strnlen(r[i].text, sizeof r[i].text) >= sizeof r[i].text)
            std::abort();  // every text is terminated inside its field
}
void on_wl_sts(appl_layer_ctx *, const appl_wl_dsk_t *d, uint8_t) { touch(d->dsk, d->dsk_len); }
void on_app(appl_layer_ctx *, uint8_t, uint8_t) {}
void on_adv(appl_layer_ctx *, const appl_node_adv_t *a) { touch(a->home_id_raw, 4); }

const appl_nm_cb_t kind_cbs[APPL_NM_KIND_CNT] = {
    on_list,     on_info, on_ep,       on_cap,      on_aggr,
    on_sts_node, on_lrn,  on_sts,      on_dsk,      on_incl,
    on_sts_node, on_sts_node, on_incl, on_sts_node, on_sts_node,
    on_sts_node, on_info, on_wl_list,  on_wl_ent,
};

struct fixture {
    appl_layer_ctx appl{};
    appl_nm_ctx nm{};
    fixture()
    {
        plt_mtx_init(&appl.mtx);
        plt_mtx_init(&appl.tbl_mtx);
        appl_nm_init(&appl, &nm);
        appl.own_node_id = 1;
        nm.unsol_node_list_cb = on_list;
        nm.unsol_incl_cb = on_incl;
        nm.app_sts_cb = on_app;
        nm.unsol_wl_cb = on_wl_sts;
        nm.resolve_cb = on_adv;
        const uint8_t ctlr[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        appl_node_ip_set(&appl, ctlr, 16, 1);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fixture f;
    if (size < 1 || size > 1281)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> cmd(data + 1, data + size);  // exactly its size

    // IPv4 gateway 127.0.0.1 or IPv6 gateway fd00::1; source: the gateway,
    // the controller (fd00::2) or someone else.
    f.appl.ipv4 = mode & 1;
    const uint8_t v4_gw[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    const uint8_t v6_gw[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::memcpy(f.appl.ssn.frm.tpt.peer_addr, f.appl.ipv4 ? v4_gw : v6_gw, 16);
    tpt_sockaddr_t src{};
    if (f.appl.ipv4) {
        src.v4.sin_family = AF_INET;
        const uint8_t a[4] = {127, 0, 0, static_cast<uint8_t>(mode & 2 ? 1 : 9)};
        std::memcpy(&src.v4.sin_addr, a, 4);
    } else {
        src.v6.sin6_family = AF_INET6;
        uint8_t a[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        a[15] = static_cast<uint8_t>(1 + ((mode >> 1) & 3));
        std::memcpy(&src.v6.sin6_addr, a, 16);
    }
    const uint8_t seq = cmd.size() > 2 ? cmd[2] : 0;
    // Requests are made for real node ids only.
    const uint8_t node = cmd.size() > 3 ? static_cast<uint8_t>(cmd[3] % 233) : 0;
    for (size_t k = 0; k < APPL_NM_KIND_CNT; ++k)
        f.nm.pend[k] = {(mode & 8) ? appl_nm_cb_t{} : kind_cbs[k], node, static_cast<uint8_t>(seq ^ (mode & 0x10))};
    appl_nm_rpt_dispatch(&f.appl, &src, cmd.empty() ? nullptr : cmd.data(), static_cast<uint16_t>(cmd.size()));

    // The white-list parsers on their own.
    appl_wl_list_t l{};
    if (appl_wl_list_parse(cmd.data(), static_cast<uint16_t>(cmd.size()), &l) == 0)
        on_wl_list(&f.appl, &l);
    delete[] l.ent;
    appl_wl_rec_t *recs = nullptr;
    uint8_t n = 0;
    if (appl_wl_rec_parse(cmd.data(), static_cast<uint16_t>(cmd.size()), &recs, &n) == 0) {
        appl_wl_dsk_t d{};
        on_wl_ent(&f.appl, &d, 0, recs, n);
    }
    delete[] recs;
    return 0;
}
