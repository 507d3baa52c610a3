// Arbitrary device-specific configuration files: a load either fails and
// keeps nothing, or yields records whose lookups all work.
#include "hcapi/core/zwfac.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One scratch file per fuzzing process, removed when it ends.
    static const struct scratch_t {
        std::string path = "/tmp/zw_devcfg_fuzz_" + std::to_string(getpid()) + ".json";
        ~scratch_t() { std::remove(path.c_str()); }
    } scratch;
    const std::string &path = scratch.path;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    dev_rec_t *recs = nullptr;
    dev_glb_opt_t *opts = nullptr;
    uint32_t cnt = 0, opt_cnt = 0, loc[3];
    if (zwdevcfg_load(path.c_str(), &recs, &cnt, &opts, &opt_cnt, loc) == 0) {
        for (uint32_t i = 0; i < cnt; ++i) {
            const uint32_t key[3] = {recs[i].vid, recs[i].ptype, recs[i].pid};
            dev_rec_t found{};
            if (zwdevcfg_find(key, recs, cnt, &found) != 1)
                std::abort();
            uint8_t target;
            for (uint16_t cls : {0x20, 0x30, 0x31, 0x32, 0x43, 0x71, 0x9C}) {
                zwdevcfg_ep_cls_if_get(recs[i].ep, 0, cls);
                zwdevcfg_ep_cls_ver_get(recs[i].ep, 1, cls);
                zwdevcfg_redir_get(recs[i].ep, 0, cls, 1, &target);
            }
        }
    } else if (recs != nullptr || opts != nullptr) {
        std::abort();
    }
    zwdevcfg_free(recs, cnt);
    zwdevcfg_glb_free(opts, opt_cnt);
    return 0;
}
