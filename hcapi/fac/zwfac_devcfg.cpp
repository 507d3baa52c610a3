// Device-specific configuration: the JSON file read into device records,
// their translation rules, and the lookups of the network and report paths.
//
// Every number goes through one reader that checks its JSON type and range
// on the double value (cJSON's int saturates), so that a number never lands
// cut in a narrower field; -1 stays the wildcard where a field allows it.
#include "hcapi/core/zwfac.h"

#include "hcapi/zip/zip_dec.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>

namespace {

struct json_deleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

enum class pick { first, last };

// The member of that name and JSON type; members of other types are passed
// over. Which of several counts depends on the key (first or last).
const cJSON *member(const cJSON *obj, const char *key, int type, pick which = pick::first)
{
    const cJSON *found = nullptr;
    for (const cJSON *m = obj ? obj->child : nullptr; m != nullptr; m = m->next) {
        if (m->string == nullptr || std::strcmp(m->string, key) != 0 || (m->type & 0xFF) != type)
            continue;
        found = m;
        if (which == pick::first)
            break;
    }
    return found;
}

// A whole number in lo..hi; `any` admits -1 as the wildcard (stored as
// DEV_ANY).
bool num_ok(double v, double lo, double hi) { return std::isfinite(v) && v == std::floor(v) && v >= lo && v <= hi; }

// Reads a number member: 0 (found and stored), 1 (absent), or -25.
int get_num(const cJSON *obj, const char *key, double lo, double hi, bool any, uint32_t *out,
            pick which = pick::last)
{
    const cJSON *m = member(obj, key, cJSON_Number, which);
    if (m == nullptr)
        return 1;
    const double v = m->valuedouble;
    if (any && v == -1) {
        *out = DEV_ANY;
        return 0;
    }
    if (!num_ok(v, lo, hi))
        return ZW_ERR_VALUE;
    *out = static_cast<uint32_t>(static_cast<int64_t>(v));
    return 0;
}

// The same for a required member: -56 when absent.
int req_num(const cJSON *obj, const char *key, double lo, double hi, bool any, uint32_t *out,
            pick which = pick::last)
{
    const int rc = get_num(obj, key, lo, hi, any, out, which);
    return rc == 1 ? ZW_ERR_MISSING_ENTRY : rc;
}

template <class T>
int req_field(const cJSON *obj, const char *key, double lo, double hi, bool any, T *out, pick which = pick::last)
{
    uint32_t v;
    const int rc = req_num(obj, key, lo, hi, any, &v, which);
    if (rc == 0)
        *out = static_cast<T>(v);
    return rc;
}

constexpr double u8_max = 0xFF;
constexpr double u16_max = 0xFFFF;
constexpr double u32_max = 4294967295.0;

int byte_array(const cJSON *arr, std::vector<uint8_t> *out, size_t keep = SIZE_MAX)
{
    for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
        if (!cJSON_IsNumber(e) || !num_ok(e->valuedouble, 0, u8_max))
            return ZW_ERR_VALUE;
        if (out->size() < keep)
            out->push_back(static_cast<uint8_t>(e->valuedouble));
    }
    return 0;
}

// The one object of a rule's "match" or "result" array.
int one_object(const cJSON *arr, const cJSON **obj)
{
    if (cJSON_GetArraySize(arr) != 1 || !cJSON_IsObject(arr->child))
        return ZW_ERR_VALUE;
    *obj = arr->child;
    return 0;
}

int level_range(const cJSON *obj, const char *key, uint32_t *low, uint32_t *high, bool *found)
{
    const cJSON *r = member(obj, key, cJSON_Array);
    *found = r != nullptr;
    if (r == nullptr)
        return 0;
    if (cJSON_GetArraySize(r) != 2)
        return ZW_ERR_VALUE;
    const cJSON *a = r->child, *b = r->child->next;
    if (!cJSON_IsNumber(a) || !cJSON_IsNumber(b) || !num_ok(a->valuedouble, 0, u8_max) ||
        !num_ok(b->valuedouble, 0, u8_max))
        return ZW_ERR_VALUE;
    *low = static_cast<uint32_t>(a->valuedouble);
    *high = static_cast<uint32_t>(b->valuedouble);
    return 0;
}

// Reads optional rule keys; counts what was present.
int opt_num(const cJSON *obj, const char *key, double hi, uint32_t *out, int *present)
{
    const int rc = get_num(obj, key, 0, hi, true, out, pick::first);
    if (rc == 0)
        ++*present;
    return rc < 0 ? rc : 0;
}

int alarm_result(const cJSON *obj, dev_alrm_tgt_t *t)
{
    int present = 0;
    int rc;
    if ((rc = opt_num(obj, "alarm_type", u8_max, &t->alrm_type, &present)) != 0 ||
        (rc = opt_num(obj, "alarm_level", u8_max, &t->alrm_level, &present)) != 0 ||
        (rc = opt_num(obj, "zw_alarm_type", u8_max, &t->notif_type, &present)) != 0 ||
        (rc = opt_num(obj, "zw_alarm_event", u8_max, &t->notif_evt, &present)) != 0 ||
        (rc = opt_num(obj, "zw_alarm_param_type", u8_max, &t->param_type, &present)) != 0)
        return rc;
    if (const cJSON *p = member(obj, "zw_alarm_param", cJSON_Array)) {
        if ((rc = byte_array(p, &t->param, u8_max)) != 0)
            return rc;
        ++present;
    }
    constexpr size_t name_max = 80;
    for (auto [key, name] : {std::pair{"alarm_type_name", &t->type_name}, std::pair{"alarm_level_name", &t->level_name}})
        if (const cJSON *s = member(obj, key, cJSON_String)) {
            *name = std::string(s->valuestring).substr(0, name_max);
            ++present;
        }
    return present == 0 ? ZW_ERR_MISSING_ENTRY : 0;
}

int alarm_match(const cJSON *obj, dev_alrm_rule_t *r)
{
    int present = 0;
    int rc;
    uint32_t level = DEV_ANY;
    if ((rc = opt_num(obj, "alarm_type", u8_max, &r->alrm_type, &present)) != 0 ||
        (rc = opt_num(obj, "alarm_level", u8_max, &level, &present)) != 0 ||
        (rc = opt_num(obj, "zw_alarm_type", u8_max, &r->notif_type, &present)) != 0 ||
        (rc = opt_num(obj, "zw_alarm_event", u8_max, &r->notif_evt, &present)) != 0)
        return rc;
    if (level != DEV_ANY) {
        r->level_low = r->level_high = level;
        r->level_mode = 0;
    }
    bool found;
    uint32_t low, high;
    if ((rc = level_range(obj, "alarm_level_range", &low, &high, &found)) != 0)
        return rc;
    if (found) {
        r->level_low = low;
        r->level_high = high;
        r->level_mode = 1;
        ++present;
    }
    if (const cJSON *p = member(obj, "zw_alarm_param", cJSON_Array)) {
        if ((rc = byte_array(p, &r->param, u8_max)) != 0)
            return rc;
        ++present;
    }
    if (present == 0)
        return ZW_ERR_MISSING_ENTRY;
    r->match_valid = true;
    return 0;
}

uint32_t effective(uint32_t result, uint32_t match) { return result != DEV_ANY ? result : match; }

// The endpoint's alarm record, created when a rule of another type needs it.
dev_if_t *alarm_if(std::vector<std::unique_ptr<dev_if_t>> &list)
{
    for (auto &i : list)
        if (i->if_type == DEV_IF_ALARM)
            return i.get();
    list.push_back(std::make_unique<dev_if_t>());
    dev_if_t *i = list.back().get();
    i->if_type = DEV_IF_ALARM;
    i->flags = DEV_IF_FLAG_EVT_CLR;
    return i;
}

int alarm_rules(const cJSON *arr, dev_if_t *alarm)
{
    for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
        if (!cJSON_IsObject(e))
            continue;
        const cJSON *m = member(e, "match", cJSON_Array);
        const cJSON *r = member(e, "result", cJSON_Array);
        const cJSON *mo = nullptr, *ro = nullptr;
        int rc;
        if ((m && (rc = one_object(m, &mo)) != 0) || (r && (rc = one_object(r, &ro)) != 0))
            return rc;
        if (mo == nullptr || ro == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        auto rule = std::make_unique<dev_alrm_rule_t>();
        if ((rc = alarm_match(mo, rule.get())) != 0 || (rc = alarm_result(ro, &rule->result)) != 0)
            return rc;
        rule->eff_alrm_type = effective(rule->result.alrm_type, rule->alrm_type);
        rule->eff_notif_type = effective(rule->result.notif_type, rule->notif_type);
        rule->eff_notif_evt = effective(rule->result.notif_evt, rule->notif_evt);
        alarm->alrm.push_back(std::move(rule));
    }
    return 0;
}

int bsnsr_match(const cJSON *obj, dev_rule_t *r)
{
    int rc = get_num(obj, "type", 0, u8_max, true, &r->type, pick::first);
    if (rc < 0)
        return rc;
    if ((rc = req_num(obj, "state", 0, u8_max, true, &r->value, pick::first)) != 0)
        return rc;
    return req_num(obj, "result_if_type", 0, u8_max, false, &r->result_if_type, pick::first);
}

int basic_match(const cJSON *obj, dev_rule_t *r)
{
    int rc;
    if ((rc = req_num(obj, "command", 0, u8_max, false, &r->type, pick::first)) != 0 ||
        (rc = req_num(obj, "value", 0, u8_max, false, &r->value, pick::first)) != 0)
        return rc;
    return req_num(obj, "result_if_type", 0, u8_max, false, &r->result_if_type, pick::first);
}

int alrm_snsr_match(const cJSON *obj, dev_rule_t *r)
{
    int rc;
    if ((rc = req_num(obj, "type", 0, u8_max, true, &r->type, pick::first)) != 0)
        return rc;
    bool found;
    if ((rc = level_range(obj, "state_range", &r->value, &r->value_high, &found)) != 0)
        return rc;
    if (found) {
        r->value_mode = 1;
    } else {
        if ((rc = req_num(obj, "state", 0, u8_max, true, &r->value, pick::first)) != 0)
            return rc;
        r->value_high = r->value;
        r->value_mode = 0;
    }
    return req_num(obj, "result_if_type", 0, u8_max, false, &r->result_if_type, pick::first);
}

// Rules whose result is an alarm report kept in the endpoint's alarm record.
int mapped_rules(const cJSON *arr, int (*match)(const cJSON *, dev_rule_t *), dev_if_t *intf,
                 std::vector<std::unique_ptr<dev_if_t>> &list)
{
    for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
        if (!cJSON_IsObject(e))
            continue;
        dev_rule_t rule;
        bool have_match = false, have_result = false;
        for (const cJSON *m = e->child; m != nullptr; m = m->next) {
            if (m->string == nullptr || !cJSON_IsArray(m))
                continue;
            const bool is_match = std::strcmp(m->string, "match") == 0;
            const bool is_result = std::strcmp(m->string, "result") == 0;
            if ((is_match && have_match) || (is_result && have_result) || (!is_match && !is_result))
                continue;  // the first of each counts
            const cJSON *o = nullptr;
            int rc = one_object(m, &o);
            if (rc != 0)
                return rc;
            if (is_match) {
                if ((rc = match(o, &rule)) != 0)
                    return rc;
                have_match = true;
                continue;
            }
            if (!have_match)
                return ZW_ERR_SEQUENCE;
            if (rule.result_if_type != DEV_IF_ALARM)
                return ZW_ERR_UNSUPPORTED;
            auto alarm = std::make_unique<dev_alrm_rule_t>();
            if ((rc = alarm_result(o, &alarm->result)) != 0)
                return rc;
            alarm->eff_alrm_type = alarm->result.alrm_type;
            alarm->eff_notif_type = alarm->result.notif_type;
            alarm->eff_notif_evt = alarm->result.notif_evt;
            rule.target = &alarm->result;
            alarm_if(list)->alrm.push_back(std::move(alarm));
            have_result = true;
        }
        if (!have_match || !have_result)
            return ZW_ERR_MISSING_ENTRY;
        intf->rules.push_back(rule);
    }
    return 0;
}

// "no_event_clear" and "event_clear_timeout" of types 3, 6 and 8: 0, 1 when
// neither is present, or an error.
int event_clear(const cJSON *obj, dev_if_t *intf, bool *has_no_evt_clr)
{
    uint32_t no_clr = 0;
    int rc = get_num(obj, "no_event_clear", 0, u32_max, false, &no_clr);
    if (rc < 0)
        return rc;
    *has_no_evt_clr = rc == 0;
    if (no_clr == 0) {
        intf->flags |= DEV_IF_FLAG_EVT_CLR;
        return 0;
    }
    intf->flags &= static_cast<uint8_t>(~DEV_IF_FLAG_EVT_CLR);
    constexpr uint32_t tmout_max = 3600;
    const cJSON *t = member(obj, "event_clear_timeout", cJSON_Number, pick::last);
    if (t == nullptr) {
        intf->evt_clr_tmout = 300;
        return 0;
    }
    if (!num_ok(t->valuedouble, 0, 1e300))
        return ZW_ERR_VALUE;
    intf->evt_clr_tmout = static_cast<uint16_t>(std::min<double>(t->valuedouble, tmout_max));
    return 0;
}

int setp_value(const cJSON *obj, const char *val_key, const char *unit_key, uint8_t type, uint8_t *out)
{
    const cJSON *v = member(obj, val_key, cJSON_String, pick::first);
    uint32_t unit;
    if (v == nullptr)
        return ZW_ERR_MISSING_ENTRY;
    int rc = req_num(obj, unit_key, 0, u8_max, false, &unit, pick::first);
    if (rc != 0)
        return rc;
    std::string text = v->valuestring;
    util_dec_val_t dv{};
    if (util_dec_str_to_val(text.data(), 2, &dv) != 0)
        return ZW_ERR_VALUE;
    out[0] = type;
    out[1] = dv.precision;
    out[2] = static_cast<uint8_t>(unit);
    out[3] = dv.size;
    std::memcpy(out + 4, dv.value, 4);
    return 0;
}

int parse_if_data(const cJSON *obj, dev_if_t *intf, std::vector<std::unique_ptr<dev_if_t>> &list)
{
    int rc;
    bool has_no_clr = false;
    switch (intf->if_type) {
    case DEV_IF_GRP: {
        const cJSON *g = member(obj, "grp_id", cJSON_Array);
        if (g == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        constexpr size_t grp_max = 8;
        return byte_array(g, &intf->grp, grp_max);
    }
    case DEV_IF_CONFIG: {
        const cJSON *c = member(obj, "config", cJSON_Array);
        if (c == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        for (const cJSON *e = c->child; e != nullptr; e = e->next) {
            if (!cJSON_IsObject(e))
                continue;
            dev_cfg_param_t p{};
            uint32_t val;
            if ((rc = req_field(e, "param_num", 0, u8_max, false, &p.param_num)) != 0 ||
                (rc = req_field(e, "param_size", 0, u8_max, false, &p.size)) != 0 ||
                (rc = req_num(e, "param_val", -2147483648.0, u32_max, false, &val)) != 0)
                return rc;
            p.val = static_cast<int32_t>(val);
            intf->cfg.push_back(p);
        }
        return 0;
    }
    case DEV_IF_BSENSOR: {
        uint32_t type;
        const int has_type = get_num(obj, "bin_sensor_type", 0, u8_max, false, &type);
        if (has_type < 0)
            return has_type;
        if (has_type == 0)
            intf->bsnsr_type = static_cast<uint8_t>(type);
        if ((rc = event_clear(obj, intf, &has_no_clr)) != 0)
            return rc;
        const cJSON *r = member(obj, "bin_sensor", cJSON_Array);
        if (has_type != 0 && !has_no_clr && r == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        return r ? mapped_rules(r, bsnsr_match, intf, list) : 0;
    }
    case DEV_IF_SENSOR:
        if ((rc = req_field(obj, "sensor_type", 0, u8_max, false, &intf->snsr_type)) != 0)
            return rc;
        return req_field(obj, "sensor_unit", 0, u8_max, false, &intf->snsr_unit);
    case DEV_IF_METER:
        if ((rc = req_field(obj, "meter_type", 0, u8_max, false, &intf->meter_type)) != 0)
            return rc;
        return req_field(obj, "meter_supported_units", 0, u8_max, false, &intf->meter_units);
    case DEV_IF_ALARM: {
        if ((rc = event_clear(obj, intf, &has_no_clr)) != 0)
            return rc;
        const cJSON *r = member(obj, "alarm", cJSON_Array);
        if (r == nullptr && !has_no_clr)
            return ZW_ERR_MISSING_ENTRY;
        return r ? alarm_rules(r, intf) : 0;
    }
    case DEV_IF_BASIC: {
        intf->flags |= DEV_IF_FLAG_EVT_CLR;
        const cJSON *r = member(obj, "basic", cJSON_Array);
        if (r == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        return mapped_rules(r, basic_match, intf, list);
    }
    case DEV_IF_ALRM_SNSR: {
        if ((rc = event_clear(obj, intf, &has_no_clr)) != 0)
            return rc;
        const cJSON *r = member(obj, "alrm_snsr", cJSON_Array);
        if (r == nullptr && !has_no_clr)
            return ZW_ERR_MISSING_ENTRY;
        return r ? mapped_rules(r, alrm_snsr_match, intf, list) : 0;
    }
    case DEV_IF_THRMO_SETP: {
        const cJSON *s = member(obj, "thrmo_setp", cJSON_Array);
        if (s == nullptr)
            return ZW_ERR_MISSING_ENTRY;
        for (const cJSON *e = s->child; e != nullptr; e = e->next) {
            if (!cJSON_IsObject(e))
                continue;
            // The entry count is one byte.
            if (intf->setp.size() == u8_max)
                break;
            uint8_t type;
            if ((rc = req_field(e, "type", 0, u8_max, false, &type, pick::first)) != 0)
                return rc;
            dev_setp_rng_t rng{};
            if ((rc = setp_value(e, "min_value", "min_unit", type, rng.data())) != 0 ||
                (rc = setp_value(e, "max_value", "max_unit", type, rng.data() + 8)) != 0)
                return rc;
            intf->setp.push_back(rng);
        }
        return 0;
    }
    default:
        return ZW_ERR_WRONG_IF;
    }
}

int parse_if(const cJSON *obj, dev_ep_ent_t *ep)
{
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(obj, "if_type");
    if (t == nullptr)
        return ZW_ERR_MISSING_ENTRY;
    if (!cJSON_IsNumber(t))
        return ZW_ERR_VALUE;
    if (!num_ok(t->valuedouble, DEV_IF_GRP, DEV_IF_THRMO_SETP))
        return ZW_ERR_WRONG_IF;
    auto intf = std::make_unique<dev_if_t>();
    intf->if_type = static_cast<uint8_t>(t->valuedouble);
    uint32_t ver = 0, hidden = 0;
    int rc;
    if ((rc = get_num(obj, "user_def_version", 0, u8_max, false, &ver, pick::first)) < 0 ||
        (rc = get_num(obj, "hidden", 0, u32_max, false, &hidden, pick::first)) < 0)
        return rc;
    // An alarm record made earlier for another type's rules takes this
    // object's own settings and rules.
    dev_if_t *target = intf.get();
    if (intf->if_type == DEV_IF_ALARM)
        for (auto &i : ep->intf)
            if (i->if_type == DEV_IF_ALARM)
                target = i.get();
    if ((rc = parse_if_data(obj, target, ep->intf)) != 0)
        return rc;
    target->usr_def_ver = static_cast<uint8_t>(ver);
    if (hidden != 0)
        target->flags |= DEV_IF_FLAG_HIDDEN;
    if (target == intf.get())
        ep->intf.push_back(std::move(intf));
    return 0;
}

int parse_ep(const cJSON *obj, dev_ep_ent_t *ep, uint32_t *err_loc)
{
    int rc;
    if ((rc = req_field(obj, "epid", 0, 127, false, &ep->epid)) != 0)
        return rc;
    uint32_t v;
    if ((rc = get_num(obj, "create_interface", 0, u16_max, false, &v)) < 0)
        return rc;
    if (rc == 0)
        ep->create_if = static_cast<uint16_t>(v);
    if ((rc = get_num(obj, "create_interface_version", 0, u8_max, false, &v)) < 0)
        return rc;
    if (rc == 0)
        ep->create_if_ver = static_cast<uint8_t>(v);
    if (const cJSON *arr = member(obj, "interface", cJSON_Array))
        for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
            if (!cJSON_IsObject(e))
                continue;
            ++err_loc[2];
            if ((rc = parse_if(e, ep)) != 0)
                return rc;
        }
    if (const cJSON *arr = member(obj, "redirect", cJSON_Array))
        for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
            if (!cJSON_IsObject(e))
                continue;
            dev_redir_t r{0, DEV_ANY, 0};
            if ((rc = req_field(e, "interface", 0, u16_max, false, &r.cls, pick::first)) != 0 ||
                (rc = req_field(e, "target_ep", 0, 127, false, &r.target_ep, pick::first)) != 0)
                return rc;
            if ((rc = get_num(e, "command", 0, u8_max, true, &r.cmd, pick::first)) < 0)
                return rc;
            ep->redir.push_back(r);
        }
    return 0;
}

int parse_dev(const cJSON *obj, dev_rec_t *rec, uint32_t *err_loc)
{
    int rc;
    if ((rc = req_num(obj, "vid", 0, u32_max, true, &rec->vid)) != 0 ||
        (rc = req_num(obj, "ptype", 0, u32_max, true, &rec->ptype)) != 0 ||
        (rc = req_num(obj, "pid", 0, u32_max, true, &rec->pid)) != 0 ||
        (rc = req_field(obj, "category", 0, u8_max, false, &rec->category)) != 0)
        return rc;
    const cJSON *arr = member(obj, "ep", cJSON_Array);
    if (arr == nullptr || arr->child == nullptr)
        return 0;
    auto eps = std::make_unique<dev_ep_t>();
    for (const cJSON *e = arr->child; e != nullptr; e = e->next) {
        if (!cJSON_IsObject(e))
            continue;
        ++err_loc[1];
        err_loc[2] = 0;
        eps->ent.emplace_back();
        if ((rc = parse_ep(e, &eps->ent.back(), err_loc)) != 0)
            return rc;
    }
    rec->ep = eps.release();
    return 0;
}

auto rec_key(const dev_rec_t &r) { return std::tie(r.vid, r.ptype, r.pid); }

int load(const char *path, dev_rec_t **recs, uint32_t *rec_cnt, dev_glb_opt_t **opts, uint32_t *opt_cnt,
         uint32_t *err_loc)
{
    uint8_t *raw = nullptr;
    size_t raw_len = 0;
    const int read_rc = zwnet_file_read_all(path, &raw, &raw_len);
    if (read_rc != 0)
        return read_rc;
    std::string text(reinterpret_cast<const char *>(raw), raw_len);
    std::free(raw);

    std::unique_ptr<cJSON, json_deleter> root(cJSON_ParseWithLength(text.data(), text.size()));
    if (!root)
        return ZW_ERR_PARSE_FILE;
    const cJSON *devs = member(root.get(), "device_records", cJSON_Array, pick::last);
    const cJSON *glbs = member(root.get(), "global_settings", cJSON_Array, pick::last);

    std::vector<dev_glb_opt_t> glb;
    if (glbs != nullptr)
        for (const cJSON *e = glbs->child; e != nullptr; e = e->next) {
            uint32_t v;
            // One setting per element: the last "wakeup_interval" of it.
            const int rc = get_num(e, "wakeup_interval", 0, u32_max, false, &v);
            if (rc < 0)
                return rc;
            if (rc == 0)
                glb.push_back({1, v});
        }
    if (devs == nullptr)
        return ZW_ERR_FILE;

    std::vector<dev_rec_t> out;
    struct guard_t {
        std::vector<dev_rec_t> &v;
        ~guard_t()
        {
            for (auto &r : v)
                delete r.ep;
        }
    } guard{out};
    for (const cJSON *e = devs->child; e != nullptr; e = e->next) {
        if (!cJSON_IsObject(e))
            continue;
        ++err_loc[0];
        err_loc[1] = err_loc[2] = 0;
        out.push_back(dev_rec_t{0, 0, 0, 0, nullptr});
        const int rc = parse_dev(e, &out.back(), err_loc);
        if (rc != 0)
            return rc;
    }
    std::stable_sort(out.begin(), out.end(), [](const dev_rec_t &a, const dev_rec_t &b) { return rec_key(a) < rec_key(b); });

    dev_rec_t *rec_arr = out.empty() ? nullptr : new dev_rec_t[out.size()];
    dev_glb_opt_t *glb_arr = glb.empty() ? nullptr : new (std::nothrow) dev_glb_opt_t[glb.size()];
    if (!glb.empty() && glb_arr == nullptr) {
        delete[] rec_arr;
        return ZW_ERR_MEMORY;
    }
    std::copy(out.begin(), out.end(), rec_arr);
    std::copy(glb.begin(), glb.end(), glb_arr);
    *recs = rec_arr;
    *rec_cnt = static_cast<uint32_t>(out.size());
    *opts = glb_arr;
    *opt_cnt = static_cast<uint32_t>(glb.size());
    out.clear();  // the array owns the endpoint lists now
    return 0;
}

}  // namespace

int zwdevcfg_load(const char *path, dev_rec_t **recs, uint32_t *rec_cnt, dev_glb_opt_t **opts, uint32_t *opt_cnt,
                  uint32_t *err_loc)
{
    uint32_t loc_dummy[3];
    if (err_loc == nullptr)
        err_loc = loc_dummy;
    err_loc[0] = err_loc[1] = err_loc[2] = 0;
    if (path == nullptr || recs == nullptr || rec_cnt == nullptr || opts == nullptr || opt_cnt == nullptr)
        return ZW_ERR_VALUE;
    *recs = nullptr;
    *rec_cnt = 0;
    *opts = nullptr;
    *opt_cnt = 0;
    try {
        return load(path, recs, rec_cnt, opts, opt_cnt, err_loc);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
}

void zwdevcfg_glb_free(dev_glb_opt_t *opts, uint32_t) { delete[] opts; }

void zwdevcfg_free(dev_rec_t *recs, uint32_t cnt)
{
    if (recs == nullptr)
        return;
    for (uint32_t i = 0; i < cnt; ++i)
        delete recs[i].ep;
    delete[] recs;
}

int zwdevcfg_find(const uint32_t *key, const dev_rec_t *recs, uint32_t cnt, dev_rec_t *found)
{
    if (key == nullptr || recs == nullptr || found == nullptr)
        return 0;
    const uint32_t tries[4][3] = {{key[0], key[1], key[2]},
                                  {key[0], key[1], DEV_ANY},
                                  {key[0], DEV_ANY, DEV_ANY},
                                  {DEV_ANY, DEV_ANY, DEV_ANY}};
    for (const auto &t : tries) {
        const dev_rec_t probe{t[0], t[1], t[2], 0, nullptr};
        const dev_rec_t *end = recs + cnt;
        const dev_rec_t *it = std::lower_bound(
            recs, end, probe, [](const dev_rec_t &a, const dev_rec_t &b) { return rec_key(a) < rec_key(b); });
        if (it != end && rec_key(*it) == rec_key(probe)) {
            *found = *it;
            return 1;
        }
    }
    return 0;
}

namespace {

const dev_ep_ent_t *ep_find(const dev_ep_t *ep, uint8_t ep_id)
{
    if (ep == nullptr)
        return nullptr;
    for (const auto &e : ep->ent)
        if (e.epid == ep_id)
            return &e;
    return nullptr;
}

}  // namespace

void *zwdevcfg_ep_if_get(dev_ep_t *ep, uint8_t ep_id, uint8_t if_type)
{
    const dev_ep_ent_t *e = ep_find(ep, ep_id);
    if (e == nullptr)
        return nullptr;
    for (const auto &i : e->intf)
        if (i->if_type == if_type)
            return i.get();
    return nullptr;
}

uint8_t zwdevcfg_cls_to_type(uint16_t cls)
{
    static constexpr std::pair<uint16_t, uint8_t> map[] = {
        {0x30, DEV_IF_BSENSOR}, {0x31, DEV_IF_SENSOR}, {0x32, DEV_IF_METER},     {0x71, DEV_IF_ALARM},
        {0x20, DEV_IF_BASIC},   {0x9C, DEV_IF_ALRM_SNSR}, {0x43, DEV_IF_THRMO_SETP},
    };
    for (const auto &[c, t] : map)
        if (c == cls)
            return t;
    return 0;
}

dev_if_t *zwdevcfg_ep_cls_if_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls)
{
    const uint8_t type = zwdevcfg_cls_to_type(cls);
    return type == 0 ? nullptr : static_cast<dev_if_t *>(zwdevcfg_ep_if_get(ep, ep_id, type));
}

uint8_t zwdevcfg_ep_cls_ver_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls)
{
    const dev_if_t *i = zwdevcfg_ep_cls_if_get(ep, ep_id, cls);
    return i ? i->usr_def_ver : 0;
}

int zwdevcfg_redir_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls, uint8_t cmd, uint8_t *target_ep)
{
    const dev_ep_ent_t *e = ep_find(ep, ep_id);
    if (e == nullptr || target_ep == nullptr)
        return 0;
    for (const auto &r : e->redir)
        if (r.cls == cls && (r.cmd == DEV_ANY || r.cmd == cmd)) {
            *target_ep = r.target_ep;
            return 1;
        }
    return 0;
}
