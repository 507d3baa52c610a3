// Network save: the node-information file is written whenever the network
// information has changed and the network is idle; once a minute the
// facility looks again. A save that fails leaves the network changed, so
// the next minute tries again.
#include "hcapi/fac/zwfac_int.h"

#include <string>

namespace {

enum : uint32_t { MSG_DIRTY = 1 };

struct dirty_msg_t {
    uint32_t kind;
};

struct nwsave_t {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};
    bool dirty{false};

    void on_tick(uint32_t)
    {
        if (dirty)
            save();
    }
    void on_msg(uint32_t kind, const uint8_t *, uint8_t, uint32_t)
    {
        if (kind != MSG_DIRTY)
            return;
        dirty = true;
        save();
    }

    void save()
    {
        std::string path;
        {
            zwnet_lock lk(net);
            if (net->nif_path.empty() || net->homeid == 0 || net->no_save)
                return;
            // Only an idle network is saved; a busy one waits for the next tick.
            if (net->curr_op != ZWNET_OP_NONE)
                return;
            net->curr_op = ZWNET_OP_SAVE_NW;
            path = net->nif_path;
        }
        const int rc = zwnet_ni_file_save(net, path.c_str());
        if (rc < 0) {
            plt_msg_ts_show(&net->plt, "Save node information file '%s' failed: %d", path.c_str(), rc);
        } else {
            plt_msg_ts_show(&net->plt, "Network info saved ...");
            dirty = false;
        }
        zwnet_lock lk(net);
        if (net->curr_op == ZWNET_OP_SAVE_NW)
            net->curr_op = ZWNET_OP_NONE;
    }
};

}  // namespace

int zwnwsave_init(zwnwsave_ctx_t *ctx) { return fac_state_start<nwsave_t>(ctx, 60000, 0); }
void zwnwsave_shutdown(zwnwsave_ctx_t *ctx) { zwfac_stop(ctx); }
void zwnwsave_exit(zwnwsave_ctx_t *ctx) { fac_state_exit<nwsave_t>(ctx); }

void zwnwsave_dirty_set(zwnwsave_ctx_t *ctx) { fac_msg_post(ctx, dirty_msg_t{MSG_DIRTY}); }
