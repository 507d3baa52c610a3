// Device-specific configuration files: what a well-formed file becomes, how
// a device finds its record, and the code and error position of each kind of
// malformed file. LeakSanitizer (in the sanitizer build) checks that every
// failure frees what was built.
#include "hcapi/core/zwfac.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct loaded {
    int rc{0};
    dev_rec_t *recs{nullptr};
    uint32_t cnt{0};
    dev_glb_opt_t *opts{nullptr};
    uint32_t opt_cnt{0};
    std::array<uint32_t, 3> loc{};
    ~loaded()
    {
        zwdevcfg_free(recs, cnt);
        zwdevcfg_glb_free(opts, opt_cnt);
    }
};

class DevCfg : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zw_devcfg_XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_LE(0, fd);
        close(fd);
        path_ = tmpl;
    }
    void TearDown() override { std::remove(path_.c_str()); }
    void load(const std::string &text, loaded *out)
    {
        std::ofstream(path_, std::ios::trunc) << text;
        out->rc = zwdevcfg_load(path_.c_str(), &out->recs, &out->cnt, &out->opts, &out->opt_cnt, out->loc.data());
    }
    std::string path_;
};

const char *const full_file = R"({
  "_comment": "sample",
  "global_settings": [{"wakeup_interval": 600}, {"wakeup_interval": 5, "wakeup_interval": 7}],
  "device_records": [
    {"vid": -1, "ptype": -1, "pid": -1, "category": 0},
    {"vid": 134, "ptype": 3, "pid": -1, "category": 2},
    {"vid": 134, "ptype": -1, "pid": -1, "category": 3},
    {"vid": 134, "ptype": 3, "pid": 96, "category": 1, "ep": [
      {"epid": 0, "create_interface": 113, "create_interface_version": 3,
       "interface": [
         {"if_type": 1, "grp_id": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]},
         {"if_type": 2, "config": [{"param_num": 3, "param_size": 4, "param_val": -2}]},
         {"if_type": 3, "bin_sensor_type": 12, "no_event_clear": 1, "event_clear_timeout": 7200,
          "bin_sensor": [{"match": [{"state": 255, "result_if_type": 6}],
                          "result": [{"zw_alarm_type": 7, "zw_alarm_event": 8}]}]},
         {"if_type": 4, "sensor_type": 1, "sensor_unit": 2, "user_def_version": 5, "hidden": 1},
         {"if_type": 6, "alarm": [{"match": [{"alarm_type": 21, "alarm_level_range": [1, 5], "zw_alarm_type": 6}],
                                   "result": [{"zw_alarm_event": 3, "alarm_type_name": "door"}]}]},
         {"if_type": 9, "thrmo_setp": [{"type": 1, "min_value": "-1.5", "max_value": "300", "min_unit": 0,
                                        "max_unit": 1}]}
       ],
       "redirect": [{"interface": 38, "target_ep": 2}, {"interface": 37, "command": 1, "target_ep": 3}]}
    ]}
  ]
})";

TEST_F(DevCfg, ReadsEveryKindOfEntry)
{
    loaded l;
    load(full_file, &l);
    ASSERT_EQ(0, l.rc);
    ASSERT_EQ(4u, l.cnt);
    // Sorted as unsigned numbers: the wildcards last.
    EXPECT_EQ(134u, l.recs[0].vid);
    EXPECT_EQ(96u, l.recs[0].pid);
    EXPECT_EQ(DEV_ANY, l.recs[3].vid);
    // One global setting per element, however many keys it repeats.
    ASSERT_EQ(2u, l.opt_cnt);
    EXPECT_EQ(600u, l.opts[0].val);
    EXPECT_EQ(7u, l.opts[1].val);

    dev_ep_t *ep = l.recs[0].ep;
    ASSERT_NE(nullptr, ep);
    ASSERT_EQ(1u, ep->ent.size());
    EXPECT_EQ(113, ep->ent[0].create_if);
    EXPECT_EQ(3, ep->ent[0].create_if_ver);

    auto *grp = static_cast<dev_if_t *>(zwdevcfg_ep_if_get(ep, 0, DEV_IF_GRP));
    ASSERT_NE(nullptr, grp);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}), grp->grp);

    auto *cfg = static_cast<dev_if_t *>(zwdevcfg_ep_if_get(ep, 0, DEV_IF_CONFIG));
    ASSERT_NE(nullptr, cfg);
    ASSERT_EQ(1u, cfg->cfg.size());
    EXPECT_EQ(-2, cfg->cfg[0].val);

    dev_if_t *bs = zwdevcfg_ep_cls_if_get(ep, 0, 0x30);
    ASSERT_NE(nullptr, bs);
    EXPECT_EQ(12, bs->bsnsr_type);
    EXPECT_EQ(3600, bs->evt_clr_tmout);
    EXPECT_EQ(0, bs->flags & DEV_IF_FLAG_EVT_CLR);
    ASSERT_EQ(1u, bs->rules.size());
    EXPECT_EQ(DEV_ANY, bs->rules[0].type);  // no "type": every binary sensor type
    ASSERT_NE(nullptr, bs->rules[0].target);
    EXPECT_EQ(7u, bs->rules[0].target->notif_type);

    EXPECT_EQ(5, zwdevcfg_ep_cls_ver_get(ep, 0, 0x31));
    EXPECT_EQ(DEV_IF_FLAG_HIDDEN, zwdevcfg_ep_cls_if_get(ep, 0, 0x31)->flags & DEV_IF_FLAG_HIDDEN);

    // The binary sensor's result and the alarm object share one alarm record.
    dev_if_t *alarm = zwdevcfg_ep_cls_if_get(ep, 0, 0x71);
    ASSERT_NE(nullptr, alarm);
    ASSERT_EQ(2u, alarm->alrm.size());
    EXPECT_EQ(&alarm->alrm[0]->result, bs->rules[0].target);
    const dev_alrm_rule_t &r = *alarm->alrm[1];
    EXPECT_EQ(1, r.level_mode);
    EXPECT_EQ(1u, r.level_low);
    EXPECT_EQ(5u, r.level_high);
    EXPECT_EQ(21u, r.eff_alrm_type);   // from the match
    EXPECT_EQ(6u, r.eff_notif_type);   // from the match
    EXPECT_EQ(3u, r.eff_notif_evt);    // from the result
    EXPECT_EQ("door", r.result.type_name);

    dev_if_t *sp = zwdevcfg_ep_cls_if_get(ep, 0, 0x43);
    ASSERT_NE(nullptr, sp);
    ASSERT_EQ(1u, sp->setp.size());
    const dev_setp_rng_t want = {1, 1, 0, 1, 0xF1, 0, 0, 0, 1, 0, 1, 2, 0x01, 0x2C, 0, 0};
    EXPECT_EQ(want, sp->setp[0]);

    uint8_t target = 0;
    EXPECT_EQ(1, zwdevcfg_redir_get(ep, 0, 38, 0x55, &target));  // no "command": every command
    EXPECT_EQ(2, target);
    EXPECT_EQ(1, zwdevcfg_redir_get(ep, 0, 37, 1, &target));
    EXPECT_EQ(3, target);
    EXPECT_EQ(0, zwdevcfg_redir_get(ep, 0, 37, 2, &target));
    EXPECT_EQ(0, zwdevcfg_redir_get(ep, 1, 38, 1, &target));
    EXPECT_EQ(0, zwdevcfg_cls_to_type(0x25));
}

TEST_F(DevCfg, LookupFallsBackToTheWildcards)
{
    loaded l;
    load(full_file, &l);
    ASSERT_EQ(0, l.rc);
    struct {
        std::array<uint32_t, 3> key;
        uint8_t category;
    } cases[] = {
        {{134, 3, 96}, 1},   // exact
        {{134, 3, 97}, 2},   // (vid, ptype, any)
        {{134, 4, 96}, 3},   // (vid, any, any)
        {{135, 3, 96}, 0},   // (any, any, any)
    };
    for (const auto &c : cases) {
        dev_rec_t found{};
        ASSERT_EQ(1, zwdevcfg_find(c.key.data(), l.recs, l.cnt, &found));
        EXPECT_EQ(c.category, found.category) << c.key[0] << "/" << c.key[1] << "/" << c.key[2];
    }
    loaded none;
    load(R"({"device_records": [{"vid": 1, "ptype": 2, "pid": 3, "category": 4}]})", &none);
    ASSERT_EQ(0, none.rc);
    const uint32_t key[3] = {1, 2, 4};
    dev_rec_t found{};
    EXPECT_EQ(0, zwdevcfg_find(key, none.recs, none.cnt, &found));
}

std::string dev(const std::string &ifs) { return R"({"vid": 1, "ptype": 2, "pid": 3, "category": 4, "ep": [{"epid": 0, "interface": [)" + ifs + "]}]}"; }
std::string file(const std::string &devs) { return R"({"device_records": [)" + devs + "]}"; }

TEST_F(DevCfg, RefusesWhatDoesNotFitWithItsCodeAndPosition)
{
    const std::string ok_dev = R"({"vid": 1, "ptype": 2, "pid": 3, "category": 4})";
    struct {
        const char *what;
        std::string text;
        int rc;
        std::array<uint32_t, 3> loc;
    } cases[] = {
        {"not JSON", "{", ZW_ERR_PARSE_FILE, {0, 0, 0}},
        {"no device_records", R"({"global_settings": []})", ZW_ERR_FILE, {0, 0, 0}},
        {"device_records not an array", R"({"device_records": {}})", ZW_ERR_FILE, {0, 0, 0}},
        {"missing pid", file(ok_dev + R"(, {"vid": 1, "ptype": 2, "category": 4})"), ZW_ERR_MISSING_ENTRY, {2, 0, 0}},
        {"category above a byte", file(R"({"vid": 1, "ptype": 2, "pid": 3, "category": 256})"), ZW_ERR_VALUE, {1, 0, 0}},
        {"vid beyond 32 bits", file(R"({"vid": 4294967296, "ptype": 2, "pid": 3, "category": 1})"), ZW_ERR_VALUE, {1, 0, 0}},
        {"fractional pid", file(R"({"vid": 1, "ptype": 2, "pid": 3.5, "category": 1})"), ZW_ERR_VALUE, {1, 0, 0}},
        {"vid -2", file(R"({"vid": -2, "ptype": 2, "pid": 3, "category": 1})"), ZW_ERR_VALUE, {1, 0, 0}},
        {"missing epid", file(R"({"vid": 1, "ptype": 2, "pid": 3, "category": 4, "ep": [{}]})"), ZW_ERR_MISSING_ENTRY, {1, 1, 0}},
        {"if_type missing", file(dev(R"({"if_type": 1, "grp_id": []}, {})")), ZW_ERR_MISSING_ENTRY, {1, 1, 2}},
        {"if_type a string", file(dev(R"({"if_type": "1"})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"if_type 10", file(dev(R"({"if_type": 10})")), ZW_ERR_WRONG_IF, {1, 1, 1}},
        {"if_type 0", file(dev(R"({"if_type": 0})")), ZW_ERR_WRONG_IF, {1, 1, 1}},
        {"grp_id missing", file(dev(R"({"if_type": 1})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"grp_id with a text", file(dev(R"({"if_type": 1, "grp_id": [1, "2"]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"group id above a byte", file(dev(R"({"if_type": 1, "grp_id": [256]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"config without size", file(dev(R"({"if_type": 2, "config": [{"param_num": 1, "param_val": 1}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"binary sensor with nothing", file(dev(R"({"if_type": 3})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"sensor without unit", file(dev(R"({"if_type": 4, "sensor_type": 1})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"meter type above a byte", file(dev(R"({"if_type": 5, "meter_type": 300, "meter_supported_units": 1})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"alarm with nothing", file(dev(R"({"if_type": 6})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"alarm match of two objects", file(dev(R"({"if_type": 6, "alarm": [{"match": [{"alarm_type": 1}, {"alarm_type": 2}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"alarm without result", file(dev(R"({"if_type": 6, "alarm": [{"match": [{"alarm_type": 1}]}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"empty alarm match", file(dev(R"({"if_type": 6, "alarm": [{"match": [{}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"alarm range of three", file(dev(R"({"if_type": 6, "alarm": [{"match": [{"alarm_level_range": [1, 2, 3]}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"alarm param text", file(dev(R"({"if_type": 6, "alarm": [{"match": [{"alarm_type": 1}], "result": [{"zw_alarm_param": ["x"]}]}]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"basic result to type 7", file(dev(R"({"if_type": 7, "basic": [{"match": [{"command": 1, "value": 2, "result_if_type": 7}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_UNSUPPORTED, {1, 1, 1}},
        {"result before match", file(dev(R"({"if_type": 7, "basic": [{"result": [{"alarm_type": 1}], "match": [{"command": 1, "value": 2, "result_if_type": 6}]}]})")), ZW_ERR_SEQUENCE, {1, 1, 1}},
        {"basic without value", file(dev(R"({"if_type": 7, "basic": [{"match": [{"command": 1, "result_if_type": 6}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"binary sensor without state", file(dev(R"({"if_type": 3, "bin_sensor": [{"match": [{"result_if_type": 6}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"alarm sensor range of one", file(dev(R"({"if_type": 8, "alrm_snsr": [{"match": [{"type": 1, "state_range": [1], "result_if_type": 6}], "result": [{"alarm_type": 1}]}]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"setpoint text not decimal", file(dev(R"({"if_type": 9, "thrmo_setp": [{"type": 1, "min_value": "1x", "max_value": "2", "min_unit": 0, "max_unit": 0}]})")), ZW_ERR_VALUE, {1, 1, 1}},
        {"setpoint without max_unit", file(dev(R"({"if_type": 9, "thrmo_setp": [{"type": 1, "min_value": "1", "max_value": "2", "min_unit": 0}]})")), ZW_ERR_MISSING_ENTRY, {1, 1, 1}},
        {"redirect without target", file(R"({"vid": 1, "ptype": 2, "pid": 3, "category": 4, "ep": [{"epid": 0, "redirect": [{"interface": 38}]}]})"), ZW_ERR_MISSING_ENTRY, {1, 1, 0}},
        {"redirect target above a byte", file(R"({"vid": 1, "ptype": 2, "pid": 3, "category": 4, "ep": [{"epid": 0, "redirect": [{"interface": 38, "target_ep": 300}]}]})"), ZW_ERR_VALUE, {1, 1, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        loaded l;
        load(c.text, &l);
        EXPECT_EQ(c.rc, l.rc);
        EXPECT_EQ(c.loc, l.loc);
        EXPECT_EQ(nullptr, l.recs);
        EXPECT_EQ(nullptr, l.opts);
    }
    loaded missing;
    EXPECT_EQ(ZW_ERR_FILE_OPEN, zwdevcfg_load("/nonexistent/dev.json", &missing.recs, &missing.cnt, &missing.opts,
                                              &missing.opt_cnt, missing.loc.data()));
}

TEST_F(DevCfg, EdgesThatLoad)
{
    loaded empty;
    load(R"({"device_records": []})", &empty);
    EXPECT_EQ(0, empty.rc);
    EXPECT_EQ(0u, empty.cnt);

    // A "_comment" that is not a string is ignored like any unknown member;
    // a member of the wrong type is passed over; for device numbers the last
    // occurrence counts.
    loaded l;
    load(file(R"({"_comment": 5, "vid": 9, "vid": 1, "ptype": "x", "ptype": 2, "pid": 3, "category": 4})"), &l);
    ASSERT_EQ(0, l.rc);
    ASSERT_EQ(1u, l.cnt);
    EXPECT_EQ(1u, l.recs[0].vid);
    EXPECT_EQ(2u, l.recs[0].ptype);

    loaded one;
    load(file(dev(R"({"if_type": 6, "alarm": [{"match": [{"alarm_level": 3}], "result": [{"alarm_type": 1}]}]},
                    {"if_type": 6, "no_event_clear": 1})")), &one);
    ASSERT_EQ(0, one.rc);
    dev_if_t *a = zwdevcfg_ep_cls_if_get(one.recs[0].ep, 0, 0x71);
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(1u, a->alrm.size());
    EXPECT_EQ(0, a->alrm[0]->level_mode);
    EXPECT_EQ(3u, a->alrm[0]->level_low);
    EXPECT_EQ(300, a->evt_clr_tmout);
}

}  // namespace
