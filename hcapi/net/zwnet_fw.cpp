// Firmware update of a node: the request, the image and the fragments the
// node asks for.
#include "hcapi/net/zwnet_fw.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_incl.h"
#include "hcapi/net/zwnet_ops.h"
#include "hcapi/zip/zip_file.h"
#include "hcapi/zip/zip_hex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <vector>

namespace {

constexpr uint16_t cls_fw = 0x7A;
enum : uint8_t {
    fw_md_get = 0x01,
    fw_md_rpt = 0x02,
    fw_req_get = 0x03,
    fw_req_rpt = 0x04,
    fw_frag_get = 0x05,
    fw_frag_rpt = 0x06,
    fw_sts_rpt = 0x07,
};
enum : uint16_t {
    op_fw_info = 76,
    op_fw_req = 77,
};
constexpr uint16_t frag_sz_plain = 40;     // without security, and on versions 1 and 2
constexpr uint16_t frag_sz_s2 = 20;        // under Security 2
constexpr uint16_t frag_sz_s0 = 44;        // under Security 0
constexpr uint8_t s2_key_bits = 0x07;
constexpr uint16_t rpt_last_bit = 0x8000;
constexpr uint16_t rpt_num_mask = 0x7FFF;
constexpr uint8_t restart_probes = 10;
constexpr uint32_t frag_flags = ZWIF_EXEC_NO_SZ_CHK | ZWIF_EXEC_NO_SLEEP_Q | ZWIF_EXEC_NO_WAIT_Q | 0x04;

zwif_fw_dev_t *ctx_of(zwif_p intf) { return intf != nullptr && intf->mgmt ? &intf->mgmt->fw : nullptr; }

// The device's announced restart wait is over: the request thread probes
// it until it answers or the request's tries run out.
void restart_probe_post(zwnet_p net, uint8_t node_id)
{
    zwnet_req_t r;
    r.node_id = node_id;
    r.type = ZWNET_REQ_RESTART_PROBE;
    zwnet_req_post(net, r);
}

void restart_wait_cb(void *data)
{
    auto *ref = static_cast<zwnet_node_ref_t *>(data);
    zwnet_p net = ref->net;
    zwnet_lock lk(net);
    if (!plt_tmr_cb_current(&net->plt))
        return;
    zwnode_p node = zwnode_find(&net->ctl, ref->node_id);
    if (node == nullptr)
        return;
    node->restart_tmr = 0;
    restart_probe_post(net, ref->node_id);
}

// The reports the tracker follows, as the report path hands them on.
void req_hook(const zwif_desc_t *intf, uint8_t status) { zwnet_fw_updt_req_cb(intf, status); }
void sts_hook(const zwif_desc_t *intf, uint8_t status, uint16_t wait_tm, uint8_t wait)
{
    zwnet_fw_updt_sts_cb(intf, status, wait_tm, wait);
    // `wait` is set only for a taken image whose device restarts by itself.
    if (!wait || wait_tm == 0)
        return;
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, intf->nodeid);
    if (node == nullptr || node->restart_cb == nullptr)
        return;
    plt_tmr_stop(&net->plt, node->restart_tmr);
    node->restart_tmr =
        plt_tmr_start(&net->plt, uint32_t(wait_tm) * 1000, restart_wait_cb, &net->node_ref[node->nodeid]);
    // Without a timer the probe's own delay is all the device gets; its
    // tries still cover a slow restart.
    if (node->restart_tmr == 0)
        restart_probe_post(net, node->nodeid);
}

void frag_get_cb(zwif_desc_t *intf, uint16_t rpt_num, uint8_t cnt);

// Transmit result of a fragment that has more of its burst behind it.
void frag_snd_cb(appl_layer_ctx *, int status, void *user, uint8_t)
{
    auto *net = static_cast<zwnet_p>(user);
    uint16_t next = 0;
    uint8_t left = 0;
    zwif_desc_t desc{};
    {
        zwnet_lock lk(net);
        zwif_fw_dev_t *ctx = ctx_of(zwif_rec_get(&net->fw_if));
        // A failed transmission ends the burst: the node asks again.
        if (status != 0 || ctx == nullptr || ctx->rpt_left == 0)
            return;
        next = ctx->rpt_next;
        left = static_cast<uint8_t>(ctx->rpt_left);
        desc = net->fw_if;
    }
    frag_get_cb(&desc, next, left);
}

void frag_get_cb(zwif_desc_t *intf, uint16_t rpt_num, uint8_t cnt)
{
    zwnet_lock lk(intf->net);
    if (zwif_p rec = zwif_rec_get(intf)) {
        const int rc = zwif_fw_frag_rpt_snd(rec, rpt_num, cnt);
        if (rc < 0)
            plt_msg_ts_show(&intf->net->plt, "zwif_fw_frag_rpt_snd with error:%d", rc);
    }
}

bool hex_ext(const char *path)
{
    const char *ext = util_file_ext_get(path);
    if (ext == nullptr)
        return false;
    for (const char *e : {"hex", "otz", "ota"})
        if (strcasecmp(ext, e) == 0)
            return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The image
// ---------------------------------------------------------------------------

void zwif_fw_img_close(zwif_fw_dev_t *ctx)
{
    ctx->file.reset();
    ctx->file_sz = 0;
    std::vector<uint8_t>().swap(ctx->img);
    ctx->img_kind = ZWIF_FW_IMG_NONE;
}

int zwif_fw_img_open(const char *path, zwif_fw_dev_t *ctx)
{
    zwif_fw_img_close(ctx);
    if (path == nullptr)
        return ZW_ERR_FILE_OPEN;
    if (hex_ext(path)) {
        std::FILE *f = std::fopen(path, "r");
        if (f == nullptr)
            return ZW_ERR_FILE_OPEN;
        uint8_t *buf = nullptr;
        uint32_t size = 0;
        const int rc = util_hex_img_load(f, ZWIF_FW_HEX_MAX, &buf, &size);
        std::fclose(f);
        if (rc != 0)
            return ZW_ERR_PARSE_FILE;
        try {
            ctx->img.assign(buf, buf + size);
        } catch (const std::bad_alloc &) {
            std::free(buf);
            return ZW_ERR_MEMORY;
        }
        std::free(buf);
        ctx->img_kind = ZWIF_FW_IMG_HEX;
        return 0;
    }
    std::unique_ptr<std::FILE, zwif_fw_dev_t::file_close> f(std::fopen(path, "rb"));
    if (!f)
        return ZW_ERR_FILE_OPEN;
    if (std::fseek(f.get(), 0, SEEK_END) != 0)
        return ZW_ERR_FILE_OPEN;
    const long size = std::ftell(f.get());
    if (size < 0 || static_cast<unsigned long>(size) > UINT32_MAX)
        return ZW_ERR_FILE_OPEN;
    if (size == 0)
        return ZW_ERR_FILE_EOF_REACHED;
    std::rewind(f.get());
    ctx->file = std::move(f);
    ctx->file_sz = static_cast<uint32_t>(size);
    ctx->img_kind = ZWIF_FW_IMG_BIN;
    return 0;
}

int zwif_fw_frag_mem_read(const uint8_t *img, uint32_t img_sz, uint16_t rpt_num, uint8_t *buf, uint16_t *len,
                          int *last)
{
    if (img == nullptr || rpt_num == 0 || *len == 0)
        return 0;
    const uint64_t off = uint64_t(rpt_num - 1) * *len;
    if (off >= img_sz)
        return 0;
    const uint64_t n = std::min<uint64_t>(*len, img_sz - off);
    std::memcpy(buf, img + off, n);
    *len = static_cast<uint16_t>(n);
    *last = off + n == img_sz ? 1 : 0;
    return 1;
}

int zwif_fw_frag_file_read(std::FILE *file, uint32_t file_sz, uint16_t rpt_num, uint8_t *buf, uint16_t *len,
                           int *last)
{
    if (file == nullptr || rpt_num == 0 || *len == 0)
        return 0;
    const uint64_t off = uint64_t(rpt_num - 1) * *len;
    // Past the end a seek still succeeds and the read gives nothing: refuse
    // as the memory reader does, rather than send an empty fragment.
    if (off >= file_sz)
        return 0;
    if (std::fseek(file, static_cast<long>(off), SEEK_SET) != 0)
        return 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(*len, file_sz - off));
    const size_t got = std::fread(buf, 1, want, file);
    if (got != want || std::ferror(file))
        return 0;
    *len = static_cast<uint16_t>(got);
    *last = off + got == file_sz ? 1 : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Fragments
// ---------------------------------------------------------------------------

int zwif_fw_frag_rpt_snd(zwif_p intf, uint16_t rpt_num, uint8_t cnt)
{
    if (intf == nullptr)
        return ZW_ERR_VALUE;
    zwnet_p net = intf->ep->node->net;
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_FW_UPDT)
        return ZW_ERR_DISALLOWED;
    zwif_fw_dev_t *ctx = ctx_of(intf);
    rpt_num &= rpt_num_mask;
    if (ctx == nullptr || rpt_num == 0 || cnt == 0)
        return ZW_ERR_VALUE;
    uint32_t img_sz = 0;
    switch (ctx->img_kind) {
    case ZWIF_FW_IMG_BIN:
        if (!ctx->file)
            return ZW_ERR_FILE_OPEN;
        img_sz = ctx->file_sz;
        break;
    case ZWIF_FW_IMG_HEX:
        if (ctx->img.empty())
            return ZW_ERR_PARSE_FILE;
        img_sz = static_cast<uint32_t>(ctx->img.size());
        break;
    default:
        return ZW_ERR_FAILED;
    }
    if (ctx->frag_sz == 0)
        return ZW_ERR_FILE_EOF_REACHED;

    std::vector<uint8_t> frame;
    try {
        frame.resize(size_t(ctx->frag_sz) + 8);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    uint16_t len = ctx->frag_sz;
    int last = 0;
    uint8_t *data = frame.data() + 4;
    const int ok = ctx->img_kind == ZWIF_FW_IMG_BIN
                       ? zwif_fw_frag_file_read(ctx->file.get(), img_sz, rpt_num, data, &len, &last)
                       : zwif_fw_frag_mem_read(ctx->img.data(), img_sz, rpt_num, data, &len, &last);
    if (!ok)
        return ZW_ERR_FILE_EOF;

    zwif_desc_t desc;
    zwif_desc_fill(&desc, intf);
    const uint8_t pct = last ? 100 : static_cast<uint8_t>(uint64_t(rpt_num - 1) * ctx->frag_sz * 100 / img_sz);
    zwnet_fw_updt_prog_cb(&desc, pct);

    const uint16_t num = static_cast<uint16_t>(rpt_num | (last ? rpt_last_bit : 0));
    frame[0] = static_cast<uint8_t>(cls_fw);
    frame[1] = fw_frag_rpt;
    frame[2] = static_cast<uint8_t>(num >> 8);
    frame[3] = static_cast<uint8_t>(num);
    size_t flen = 4u + len;
    if (intf->ver > 1) {
        const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, frame.data(), flen);
        frame[flen++] = static_cast<uint8_t>(crc >> 8);
        frame[flen++] = static_cast<uint8_t>(crc);
    }
    ctx->rpt_left = last ? 0 : static_cast<uint16_t>(cnt - 1);
    ctx->rpt_next = static_cast<uint16_t>(rpt_num + 1);
    const bool more = ctx->rpt_left != 0;
    // The send waits at the application layer's one-send gate, whose
    // release may sit behind a report that needs the network mutex.
    int rc = 0;
    zwnet_app_call(net, [&] {
        rc = zwif_exec(&desc, frame.data(), static_cast<uint16_t>(flen), more ? frag_snd_cb : nullptr, net,
                       frag_flags, nullptr);
    });
    if (rc < 0)
        plt_msg_ts_show(&net->plt, "Send firmware fragment %u with error:%d", unsigned(rpt_num), rc);
    return 0;
}

// ---------------------------------------------------------------------------
// The request
// ---------------------------------------------------------------------------

int zwif_fw_info_get(const zwif_desc_t *intf, zwrep_fw_info_fn cb)
{
    if (intf == nullptr || intf->cls != cls_fw)
        return ZW_ERR_CLASS_NOT_FOUND;
    if (const int rc = zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(cb), fw_md_rpt); rc != 0)
        return rc;
    if (const int rc = zwnode_cur_op_set(intf, op_fw_info, 1); rc != 0)
        return rc;
    return zwif_get_report(intf, nullptr, 0, fw_md_get, zwif_tx_sts_cb, 0);
}

int zwif_fw_updt_req_ex(const zwif_desc_t *intf, const zwif_fw_updt_req_t *req)
{
    if (intf == nullptr || req == nullptr || intf->cls != cls_fw)
        return ZW_ERR_CLASS_NOT_FOUND;
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (int rc = zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(req->req_cb), fw_req_rpt); rc != 0)
        return rc;
    if (int rc = zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(req->sts_cb), fw_sts_rpt); rc != 0)
        return rc;
    if (int rc = zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(frag_get_cb), fw_frag_get); rc != 0)
        return rc;
    zwif_p rec = zwif_rec_get(intf);
    if (rec == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    zwif_fw_dev_t *ctx = ctx_of(rec);
    if (ctx == nullptr || !ctx->valid)
        return ZW_ERR_INTF_NO_DATA;

    uint8_t param[10] = {static_cast<uint8_t>(req->vid >> 8), static_cast<uint8_t>(req->vid),
                         static_cast<uint8_t>(req->fw_id >> 8), static_cast<uint8_t>(req->fw_id)};
    uint8_t plen = 6;
    uint16_t frag_sz = frag_sz_plain;
    if (intf->real_ver >= 3) {
        uint16_t limit = frag_sz_plain;
        if (intf->propty & IF_PROPTY_SECURE) {
            const zwnode_p node = rec->ep->node;
            limit = node->s2_keys_valid && (node->s2_grnt_keys & s2_key_bits) ? frag_sz_s2 : frag_sz_s0;
        }
        frag_sz = std::min(ctx->max_frag_sz, limit);
        param[plen++] = req->fw_tgt;
        param[plen++] = static_cast<uint8_t>(frag_sz >> 8);
        param[plen++] = static_cast<uint8_t>(frag_sz);
        if (intf->ver > 3)
            param[plen++] = 0;  // activation: at once
        if (intf->ver > 4)
            param[plen++] = req->hw_ver;
    } else if (req->fw_tgt != 0) {
        return ZW_ERR_VALUE;
    }
    if (frag_sz == 0)
        return ZW_ERR_VALUE;

    zwif_fw_img_close(ctx);
    if (int rc = zwif_fw_img_open(req->fw_file, ctx); rc != 0)
        return rc;
    const uint16_t crc = ctx->img_kind == ZWIF_FW_IMG_HEX
                             ? zwnet_crc16(ZWNET_CRC16_INIT, ctx->img.data(), ctx->img.size())
                             : zwnet_file_crc16_chk(ctx->file.get());
    param[4] = static_cast<uint8_t>(crc >> 8);
    param[5] = static_cast<uint8_t>(crc);
    ctx->frag_sz = frag_sz;
    ctx->rpt_left = 0;
    ctx->rpt_next = 1;

    zwnode_p node = rec->ep->node;
    node->restart_cb = req->restart_cb;
    node->restart_tries = restart_probes;
    net->fw_req_hook = req_hook;
    net->fw_sts_hook = sts_hook;

    int rc = zwnode_cur_op_set(intf, op_fw_req, 1);
    if (rc == 0) {
        const zwif_desc_t desc = *intf;
        // Sent without the network mutex: see zwif_fw_frag_rpt_snd.
        zwnet_app_call(net, [&] { rc = zwif_get_report(&desc, param, plen, fw_req_get, zwif_tx_sts_cb, 0); });
    }
    if (rc < 0) {
        if (zwif_fw_dev_t *c = ctx_of(zwif_rec_get(intf)))
            zwif_fw_img_close(c);
    }
    return rc;
}

int zwif_fw_updt_req(const zwif_desc_t *intf, const zwif_fw_updt_req_t *req)
{
    if (intf == nullptr || intf->net == nullptr || req == nullptr)
        return ZW_ERR_VALUE;
    if (intf->cls != cls_fw)
        return ZW_ERR_CLASS_NOT_FOUND;
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (int rc = zwnet_op_begin(net, ZWNET_OP_FW_UPDT); rc != 0)
        return rc;
    // The tracker follows from before the request goes out, so that the
    // node's answer always finds it.
    if (zwnet_fw_updt_sm(net, ZWNET_FW_EVT_REQ, intf) != 1) {
        zwnet_op_undo(net, ZWNET_OP_FW_UPDT);
        return ZW_ERR_OP_FAILED;
    }
    const int rc = zwif_fw_updt_req_ex(intf, req);
    if (rc < 0) {
        zwnet_fw_updt_stop(net);
        zwnet_op_undo(net, ZWNET_OP_FW_UPDT);
    }
    return rc;
}
