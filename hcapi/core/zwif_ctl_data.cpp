#include "hcapi/core/zwif_ctl_data.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/include/zwif_ctl.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

template <class F>
F cb_of(zwif_rpt_fn fn)
{
    return reinterpret_cast<F>(fn);
}

}  // namespace

bool zwif_ctl_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn fn, uint16_t kind, uint16_t arg)
{
    switch (kind) {
    case 0: case 1: case 2: case 8: case 9: case 16: case 20: break;
    default: return false;
    }
    if (fn == nullptr)
        return true;
    std::vector<uint8_t> blk;
    try {
        zwnet_lock lk(net);
        zwif_p i = zwif_rec_get(intf);
        if (i != nullptr && i->data != nullptr && i->data_cnt != 0) {
            const auto *bytes = static_cast<const uint8_t *>(i->data);
            blk.assign(bytes, bytes + size_t(i->data_cnt) * i->data_item_sz);
        }
    } catch (const std::bad_alloc &) {
        return true;
    }
    zwif_desc_t d = *intf;
    const size_t n = blk.size();
    uint8_t *p = blk.data();
    auto call = [&](auto &&f) { zwnet_app_call(net, f); };
    switch (kind) {
    case 0: {  // thermostat fan modes: off supported, count, modes
        auto cb = cb_of<zwrep_thrmo_fan_md_sup_fn>(fn);
        const bool ok = n >= 2 && n >= 2 + size_t(p[1]);
        call([&] { ok ? cb(&d, p[0], p[1], p + 2, 1) : cb(&d, 0, 0, nullptr, 0); });
        break;
    }
    case 1: {  // thermostat modes: count, modes
        auto cb = cb_of<zwrep_thrmo_md_sup_fn>(fn);
        const bool ok = n >= 1 && n >= 1 + size_t(p[0]);
        call([&] { ok ? cb(&d, p[0], p + 1, 1) : cb(&d, 0, nullptr, 0); });
        break;
    }
    case 2:     // setpoint types
    case 20: {  // the range of one setpoint type
        // count, three bytes, then {u32 valid, minimum, maximum} per type
        constexpr size_t hdr = 4, ent = 4 + 2 * sizeof(zwsetp_t);
        const size_t cnt = n >= hdr ? std::min<size_t>(p[0], (n - hdr) / ent) : 0;
        auto min_of = [&](size_t k) { return p + hdr + ent * k + 4; };
        if (kind == 2) {
            auto cb = cb_of<zwrep_thrmo_setp_sup_fn>(fn);
            uint8_t types[UINT8_MAX];
            for (size_t k = 0; k < cnt; ++k)
                types[k] = min_of(k)[0];
            call([&] { n >= hdr ? cb(&d, static_cast<uint8_t>(cnt), types, 1) : cb(&d, 0, nullptr, 0); });
            break;
        }
        auto cb = cb_of<zwrep_thrmo_setp_range_fn>(fn);
        zwsetp_t min{}, max{};
        bool found = false;
        for (size_t k = 0; k < cnt && !found; ++k) {
            uint32_t valid;
            std::memcpy(&valid, p + hdr + ent * k, sizeof valid);
            if (valid && min_of(k)[0] == arg) {
                std::memcpy(&min, min_of(k), sizeof min);
                std::memcpy(&max, min_of(k) + sizeof min, sizeof max);
                found = true;
            }
        }
        call([&] { found ? cb(&d, min.type, &min, &max, 1) : cb(&d, 0, nullptr, nullptr, 0); });
        break;
    }
    case 8: {  // protection capabilities
        auto cb = cb_of<zwrep_prot_sup_fn>(fn);
        zwprot_sup_t sup{};
        const bool ok = n == sizeof sup;
        if (ok)
            std::memcpy(&sup, p, sizeof sup);
        call([&] { ok ? cb(&d, &sup, 1) : cb(&d, nullptr, 0); });
        break;
    }
    case 9: {  // number of user codes
        auto cb = cb_of<zwrep_usr_sup_fn>(fn);
        call([&] { n >= 1 ? cb(&d, p[0], 1) : cb(&d, 0, 0); });
        break;
    }
    case 16: {  // central scenes: scenes, slow refresh, identical, row size, rows
        auto cb = cb_of<zwrep_csc_sup_fn>(fn);
        call([&] { n >= 4 ? cb(&d, p[0], p[2], p[3], p + 4, p[1], 1) : cb(&d, 0, 0, 0, nullptr, 0, 0); });
        break;
    }
    default: break;
    }
    return true;
}
