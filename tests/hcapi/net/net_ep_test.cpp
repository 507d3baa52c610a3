// The endpoint interview against the gateway simulator over real loopback
// UDP: a node with two endpoints of different classes (one of them secure)
// interviewed as a new node, refreshed by the device poll, and an endpoint
// that stops answering. Protocol times run at a 10 ms tick (a 5600 ms step
// is 560 ms). Also the names a device sends, byte by byte.
#include "hc_test_support.h"

#include "hcapi/net/zwnet_ni.h"
#include "sim/sim_nm.h"
#include "sim/sim_node.h"

#include <cstdio>

namespace {

using namespace hc_test;

constexpr uint8_t node_id = 4;

// Root: Z-Wave Plus, Version, Manufacturer, Multi Channel (two endpoints),
// Association, Configuration, Multilevel Switch v3, Binary Switch. Endpoint 1: Binary
// Switch and Battery; endpoint 2: Multilevel Switch and Version, with Door
// Lock under security.
sim::node_profile two_ep_node()
{
    sim::node_profile p;
    p.node_id = node_id;
    p.classes = {{sim::cc_zwave_plus, 2, {}},      {sim::cc_version, 2, {}},
                 {sim::cc_manufacturer, 1, {}},    {sim::cc_multi_channel, 4, {2, 0, 0x00}},
                 {sim::cc_association, 2, {}},     {sim::cc_switch_multilevel, 3, {}},
                 {sim::cc_configuration, 1, {}},
                 {sim::cc_switch_binary, 2, {}},   {sim::cc_basic, 1, {}}};
    p.endpoint_class_lists = {{sim::cc_switch_binary, sim::cc_battery},
                              {sim::cc_switch_multilevel, sim::cc_version, sim::cc_security}};
    p.endpoint_secure_classes = {{}, {sim::cc_door_lock}};
    return p;
}

std::string hex(const std::vector<uint8_t> &b)
{
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%s%02X", s.empty() ? "" : " ", v);
        s += buf;
    }
    return s;
}

std::atomic<int> g_walk_done{0};
void walk_done(zwnet_p, uint8_t) { ++g_walk_done; }

class EpIntv : public HcNet {
protected:
    // The nodes behind the gateway; the first was added securely.
    virtual std::vector<sim::node_profile> profiles() const { return {two_ep_node()}; }
    virtual bool first_secure() const { return true; }

    void SetUp() override
    {
        cfg = config{};
        std::random_device rd;
        const std::vector<sim::node_profile> profs = profiles();
        int rc = -1;
        for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
            const unsigned r = rd();
            prefix = "127." + std::to_string(100 + r % 150) + "." + std::to_string(1 + (r >> 8) % 250) + ".";
            sim::gateway_config g;
            g.address = addr(1);
            g.port = 4123;
            for (const sim::node_profile &p : profs)
                g.nodes.push_back({p.node_id, addr(p.node_id)});
            gw = std::make_unique<sim::gateway>(g);
            rc = gw->start();
        }
        ASSERT_EQ(0, rc) << gw->last_error();
        model = std::make_unique<sim::node_model>(*gw);
        sim::nm_config nmc;
        for (const sim::node_profile &p : profs) {
            ASSERT_EQ(0, model->add(p));
            nmc.nodes.push_back(sim::nm_node_of(p));
            nmc.nodes.back().in_node_list = false;
        }
        // Added securely: its node information lists a class under security.
        if (first_secure())
            for (uint8_t b : {0x98, 0xF1, 0x00, 0x25})
                nmc.nodes.front().classes.push_back(b);
        nm = std::make_unique<sim::nm_gateway>(*gw, nmc);
        sim::gw_app_config app_cfg;
        app_cfg.fw_versions = {0x0210};
        app = std::make_unique<sim::gw_app>(*gw, app_cfg);
        plt_tick_ms_set(cfg.tick_ms);
        ASSERT_EQ(0, zwnet_init(&params(), &net_));
        rec.net = net_;
        {
            zwnet_lock lk(net_);
            net_->ctl.nodeid = 1;
        }
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
        for (const sim::node_profile &p : profs) {
            in_addr a{};
            inet_pton(AF_INET, addr(p.node_id).c_str(), &a);
            ASSERT_EQ(1, appl_node_ip_set(net_->appl.get(), reinterpret_cast<const uint8_t *>(&a), 4, p.node_id));
        }
        ASSERT_TRUE(no_operation());
    }

    void TearDown() override
    {
        HcNet::TearDown();
        nm.reset();
        model.reset();
    }

    // The node interview of the node, as for a node just added.
    void interview(uint8_t id = node_id, bool new_node = true)
    {
        ASSERT_TRUE(eventually([&] {
            zwnet_lock lk(net_);
            if (net_->curr_op != ZWNET_OP_NONE)
                return false;
            net_->curr_op = ZWNET_OP_UPDATE;
            zwnet_ni_param_t p;
            p.node_id = &id;
            p.cnt = 1;
            p.op = ZWNET_OP_UPDATE;
            p.new_node = new_node ? 1 : 0;
            EXPECT_EQ(1, zwnet_node_info_sm(net_, ZWNET_NI_EVT_START, &p));
            return true;
        }, 30s));
        ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    }
    bool idle()
    {
        zwnet_lock lk(net_);
        return net_->ni_state == ZWNET_NI_IDLE && net_->ep_rec.state == 0 && net_->ep_rec.w_state == 0 &&
               (net_->curr_op == ZWNET_OP_NONE || net_->curr_op == ZWNET_OP_SAVE_NW);
    }

    // "endpoint: bytes" of every command the node received from `from` on.
    std::vector<std::string> transcript(uint64_t from, bool gets_only = false, uint8_t id = node_id) const
    {
        std::vector<std::string> out;
        for (const sim::node_command &c : model->commands(id))
            if (c.index >= from && !(gets_only && c.command.size() >= 2 && is_set(c.command)))
                out.push_back(std::to_string(c.dst_ep) + ": " + hex(c.command));
        return out;
    }
    // The commands of class `cls` that node `id` received from `from` on.
    std::vector<std::string> of_class(uint64_t from, uint8_t id, uint8_t cls) const
    {
        std::vector<std::string> out;
        for (const sim::node_command &c : model->commands(id))
            if (c.index >= from && c.command[0] == cls)
                out.push_back(hex(c.command));
        return out;
    }
    // The device poll's refresh of a node, to its end.
    void refresh(uint8_t id)
    {
        // The save that follows an interview may still take its turn first.
        ASSERT_TRUE(eventually([&] {
            zwnet_lock lk(net_);
            return idle() && net_->curr_op == ZWNET_OP_NONE && zwdpoll_node_updt_sm_start(net_, id) == 0;
        }, 30s));
        ASSERT_TRUE(eventually([&] {
            zwnet_lock lk(net_);
            return net_->curr_op != ZWNET_OP_NODE_CACHE_UPT && net_->ep_rec.w_state == 0;
        }, 30s));
    }
    static bool is_set(const std::vector<uint8_t> &c)
    {
        return (c[0] == 0x85 && (c[1] == 0x01 || c[1] == 0x04));
    }
    uint64_t first_ep_command() const
    {
        for (const sim::node_command &c : model->commands(node_id))
            if (c.dst_ep != 0)
                return c.index;
        return UINT64_MAX;
    }

    template <class F>
    auto with_if(uint8_t ep, uint16_t cls, F &&f, uint8_t id = node_id)
    {
        zwnet_lock lk(net_);
        zwep_p e = zwep_find_by_id(net_, id, ep);
        zwif_p i = e ? zwif_find_cls(e->intf, cls) : nullptr;
        EXPECT_NE(nullptr, i) << "endpoint " << int(ep) << " class " << cls;
        return f(i);
    }

    std::unique_ptr<sim::node_model> model;
    std::unique_ptr<sim::nm_gateway> nm;
};

// A new node with two endpoints: endpoint 1 and 2 get their secure classes
// and versions, then their class walks, the root last with its lifeline; the
// Gets go out in the order of the class table and every cache is filled.
TEST_F(EpIntv, NewMultiEndpointNodeIsAskedInTableOrder)
{
    ASSERT_NO_FATAL_FAILURE(interview());
    const uint64_t from = first_ep_command();
    ASSERT_NE(UINT64_MAX, from);
    const std::vector<std::string> golden = {
        // Endpoint 1: no security, no Version; Binary Switch, Battery.
        "1: 25 02",
        "1: 80 02",
        // Endpoint 2: secure classes, versions, then Multilevel Switch (v3:
        // its supported Get too) and the secure Door Lock.
        "2: 98 02",
        "2: 86 13 26",
        "2: 86 13 86",
        "2: 86 13 98",
        "2: 86 13 62",
        "2: 26 02",
        "2: 26 06",
        "2: 62 02",
        "2: 62 05",
        // The root: groupings, lifeline and its check, Z-Wave Plus,
        // Multilevel Switch; Binary Switch is endpoint 1's.
        "0: 85 05",
        "0: 85 01 01 01",
        "0: 85 02 01",
        "0: 5E 01",
        "0: 26 02",
        "0: 26 06",
    };
    EXPECT_EQ(golden, transcript(from));
    EXPECT_EQ((std::vector<uint8_t>{1, 5, 1, 1, 1}), model->values(node_id, sim::cc_association).value_or(std::vector<uint8_t>{}));

    // What the answers left behind.
    EXPECT_TRUE(with_if(2, 0x62, [](zwif_p i) { return i != nullptr && (i->propty & IF_PROPTY_SECURE); }));
    EXPECT_EQ(3, with_if(2, 0x26, [](zwif_p i) { return i ? int(i->real_ver) : -1; }));
    for (auto [ep, cls] : {std::pair{2, 0x26}, std::pair{0, 0x26}, std::pair{0, 0x85}})
        EXPECT_TRUE(with_if(uint8_t(ep), uint16_t(cls), [](zwif_p i) { return i && i->data != nullptr && i->data_cnt; }))
            << "supported data of endpoint " << ep << " class " << cls;
    for (auto [ep, cls] : {std::pair{1, 0x25}, std::pair{1, 0x80}, std::pair{2, 0x26}, std::pair{2, 0x62}})
        EXPECT_TRUE(with_if(uint8_t(ep), uint16_t(cls), [](zwif_p i) { return i && i->cch_data != nullptr; }))
            << "report cache of endpoint " << ep << " class " << cls;
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// The device poll's refresh of the same node (operation 16, endpoint after
// endpoint) asks for values only: what the first interview cached stands.
TEST_F(EpIntv, RefreshAsksNoSupportedInformation)
{
    ASSERT_NO_FATAL_FAILURE(interview());
    const uint64_t from = model->next_command_index();
    ASSERT_NO_FATAL_FAILURE(refresh(node_id));
    const std::vector<std::string> golden = {
        "0: 26 02", "1: 25 02", "1: 80 02", "2: 26 02", "2: 62 02", "2: 62 05",
    };
    EXPECT_EQ(golden, transcript(from));
}

// An endpoint that stops answering: each Get times out (not before the
// step's 5600 ms at this tick). Binary Switch and Battery time out into the
// next row, so endpoint 1's walk asks both; a silent Multilevel Switch ends
// endpoint 2's walk, and its Door Lock is not asked.
TEST_F(EpIntv, SilentEndpointTimesOutAtEachStep)
{
    ASSERT_NO_FATAL_FAILURE(interview());
    ASSERT_TRUE(no_operation());
    ASSERT_EQ(0, model->set_answers(node_id, sim::answer_mode::never));
    struct silent_case {
        uint8_t ep;
        std::vector<std::string> gets;
    };
    const silent_case cases[] = {
        {1, {"25 02", "80 02"}},
        {2, {"26 02"}},
    };
    for (const silent_case &c : cases) {
        SCOPED_TRACE("endpoint " + std::to_string(c.ep));
        const uint64_t from = model->next_command_index();
        g_walk_done = 0;
        const auto start = steady::now();
        {
            zwnet_lock lk(net_);
            zwnet_ep_info_param_t p;
            p.cmplt_cb = walk_done;
            p.node_id = node_id;
            p.ep_id = c.ep;
            ASSERT_EQ(1, zwnet_1_ep_info_sm(net_, 1, &p));
            EXPECT_EQ(1u, p.started);
            // A second start while it runs is refused.
            zwnet_ep_info_param_t q = p;
            EXPECT_EQ(0, zwnet_1_ep_info_sm(net_, 1, &q));
        }
        ASSERT_TRUE(eventually([&] { return g_walk_done.load() == 1; }, 30s));
        EXPECT_GE(steady::now() - start, c.gets.size() * 500ms);
        std::vector<std::string> sent;
        std::vector<steady::time_point> at;
        for (const sim::node_command &m : model->commands(node_id))
            if (m.index >= from) {
                sent.push_back(hex(m.command));
                at.push_back(m.time);
            }
        EXPECT_EQ(c.gets, sent);
        for (size_t i = 1; i < at.size(); ++i)
            EXPECT_GE(at[i] - at[i - 1], 500ms);
        EXPECT_EQ(1, g_walk_done.load());
    }
}

// A new node whose device record lists configuration parameters and more
// lifeline groups: each parameter is set (one of a size that cannot be sent
// is left out), the controller goes into group 1 and the listed groups, and
// group 1 is read back.
TEST_F(EpIntv, DeviceRecordParametersAndLifelineGroups)
{
    ASSERT_NO_FATAL_FAILURE(interview());
    ASSERT_EQ(0, model->set_values(node_id, sim::cc_association, {3, 5, 1, 0, 1}));
    dev_ep_t eps;
    eps.ent.emplace_back();
    eps.ent.back().epid = 0;
    auto cfg = std::make_unique<dev_if_t>();
    cfg->if_type = DEV_IF_CONFIG;
    cfg->cfg = {{1, 1, 5}, {2, 3, 7}, {3, 2, 0x1234}, {4, 4, -2}};
    auto grp = std::make_unique<dev_if_t>();
    grp->if_type = DEV_IF_GRP;
    grp->grp = {1, 3, 2, 3};
    eps.ent.back().intf.push_back(std::move(cfg));
    eps.ent.back().intf.push_back(std::move(grp));
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        ASSERT_NE(nullptr, n);
        n->dev_rec = dev_rec_t{0x0000, 0x0001, node_id, 0, &eps};
        n->dev_cfg_rec = &n->dev_rec;
        n->dev_cfg_valid = 1;
    }
    const uint64_t from = model->next_command_index();
    ASSERT_NO_FATAL_FAILURE(interview());
    std::vector<std::string> root;
    for (const std::string &c : transcript(from))
        if (c.rfind("0: 70", 0) == 0 || c.rfind("0: 85", 0) == 0)
            root.push_back(c);
    {
        // The records are the test's: the node lets go of them.
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        ASSERT_NE(nullptr, n);
        n->dev_cfg_valid = 0;
        n->dev_cfg_rec = nullptr;
        n->dev_rec = dev_rec_t{};
    }
    const std::vector<std::string> golden = {
        "0: 70 04 01 01 05",
        "0: 70 04 03 02 12 34",
        "0: 70 04 04 04 FF FF FF FE",
        "0: 85 05",
        "0: 85 01 01 01",
        "0: 85 01 03 01",
        "0: 85 01 02 01",
        "0: 85 02 01",
    };
    EXPECT_EQ(golden, root);
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// An endpoint without any class of the table ends its walk by itself, a
// moment after its start and never inside the start call.
TEST_F(EpIntv, EndpointWithoutTableClassesEndsOnItsOwn)
{
    g_walk_done = 0;
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_create(net_, 9);
        ASSERT_NE(nullptr, n);
        zwnet_ep_info_param_t p;
        p.cmplt_cb = walk_done;
        p.node_id = 9;
        ASSERT_EQ(1, zwnet_1_ep_info_sm(net_, 1, &p));
        EXPECT_EQ(0, g_walk_done.load());
    }
    EXPECT_TRUE(eventually([&] { return g_walk_done.load() == 1; }));
}

// A gateway that tells the classes of each endpoint tells its secure ones
// too, after its security mark: the node is not asked through Security, and
// endpoint 2's Door Lock becomes a secure interface all the same.
TEST_F(EpIntv, SecureClassesOfEndpointsFromTheGateway)
{
    {
        zwnet_lock lk(net_);
        net_->feature |= 0x02;
    }
    ASSERT_NO_FATAL_FAILURE(interview());
    std::vector<std::string> caps;
    for (const sim::nm_request &r : nm->requests())
        if (r.command.size() >= 5 && r.command[0] == 0x52 && r.command[1] == 0x07)
            caps.push_back(hex({r.command[3], r.command[4]}));
    // The node interview's capabilities, then the secure classes per endpoint.
    EXPECT_EQ((std::vector<std::string>{"04 01", "04 02", "04 01", "04 02"}), caps);
    for (const std::string &c : transcript(0))
        EXPECT_EQ(std::string::npos, c.find(": 98 ")) << c;
    EXPECT_TRUE(with_if(2, 0x62, [](zwif_p i) { return i != nullptr && (i->propty & IF_PROPTY_SECURE); }));
    {
        zwnet_lock lk(net_);
        zwep_p e1 = zwep_find_by_id(net_, node_id, 1);
        ASSERT_NE(nullptr, e1);
        EXPECT_EQ(nullptr, zwif_find_cls(e1->intf, 0x62));
    }
    // Endpoint 2's walk went on to the secure class.
    EXPECT_EQ((std::vector<std::string>{"62 02", "62 05"}), of_class(0, node_id, 0x62));
    EXPECT_TRUE(nm->violations().empty()) << nm->violations().front();
}

// A node without endpoints that tells what it is, with the classes under
// test; none of them was added securely.
sim::node_profile plain_node(uint8_t id, std::vector<sim::class_profile> more)
{
    sim::node_profile p;
    p.node_id = id;
    p.classes = {{sim::cc_zwave_plus, 2, {}}, {sim::cc_version, 2, {}}, {sim::cc_manufacturer, 1, {}}};
    p.classes.insert(p.classes.end(), more.begin(), more.end());
    return p;
}

class EpWalk : public EpIntv {
protected:
    std::vector<sim::node_profile> profiles() const override
    {
        using sim::cc_thermostat_setpoint;
        // Setpoint values: supported mask (2 bytes), then how the device
        // numbers the types of bits 3 and up: 0 as the bit, 1 four higher,
        // 2 as the bit and silent about types it lacks.
        return {
            plain_node(5, {{cc_thermostat_setpoint, 2, {0x0A, 0x00, 1}}}),
            plain_node(6, {{cc_thermostat_setpoint, 2, {0x82, 0x00, 0}}}),
            plain_node(7, {{cc_thermostat_setpoint, 2, {0x82, 0x00, 2}}}),
            plain_node(8, {{cc_thermostat_setpoint, 2, {0x22, 0x00, 0}}}),
            plain_node(9, {{cc_thermostat_setpoint, 3, {0x0A, 0x00, 1}}}),
            plain_node(16, {{cc_thermostat_setpoint, 2, {0x02, 0x20, 0}}}),
            plain_node(10, {{sim::cc_central_scene, 3, {}}, {sim::cc_notification, 3, {}}, {sim::cc_battery, 1, {}}}),
            plain_node(11, {{sim::cc_central_scene, 2, {}}}),
            plain_node(12, {{sim::cc_central_scene, 3, {}}}),
            plain_node(15, {{sim::cc_central_scene, 3, {}}}),
            plain_node(13, {{sim::cc_simple_av, 1, {}}, {sim::cc_battery, 1, {}}}),
            // Three groups whose information comes in two frames, 300 ms apart.
            plain_node(14, {{sim::cc_association, 2, {3, 5, 1, 0, 1}},
                            {sim::cc_assoc_grp_info, 1, {2, 30}},
                            {sim::cc_battery, 1, {}}}),
            // Binary sensor types 12 (idle) and 10 (detected).
            plain_node(17, {{sim::cc_sensor_binary, 2, {0x0C, 0x00, 0x0A, 0xFF}}}),
        };
    }
    bool first_secure() const override { return false; }

    // The setpoint types the interface's supported information lists.
    std::vector<int> setp_types(uint8_t id)
    {
        return with_if(0, 0x43, [](zwif_p i) {
            std::vector<int> t;
            if (i == nullptr || i->data == nullptr || i->data_cnt != 1)
                return t;
            const auto *b = static_cast<const uint8_t *>(i->data);
            for (size_t k = 0; k < b[0] && 4 + 20 * (k + 1) <= i->data_item_sz; ++k)
                t.push_back(b[4 + 20 * k + 4]);
            return t;
        }, id);
    }
};

// Setpoint readings per supported type. A device of version 1 or 2 may number
// the types of mask bits 3 and up 4 lower than we read them: asked for a type
// of 11 or above that it does not know (it answers type 0, or nothing), it is
// asked for the type 4 lower, and that number stands for the type from then on.
// A refresh asks the readings again, with the numbers that stood, and neither
// the supported types nor known ranges.
TEST_F(EpWalk, SetpointTypesInEitherNumbering)
{
    struct setp_case {
        const char *what;
        uint8_t id;
        std::vector<std::string> gets;
        std::vector<int> types;
        std::vector<std::string> refresh_gets;
    };
    const setp_case cases[] = {
        {"bits 3 and up four higher, as read", 5, {"43 04", "43 02 01", "43 02 07"}, {1, 7},
         {"43 02 01", "43 02 07"}},
        {"bit n is type n", 6, {"43 04", "43 02 01", "43 02 0B", "43 02 07"}, {1, 7}, {"43 02 01", "43 02 07"}},
        {"bit n is type n, silent otherwise", 7, {"43 04", "43 02 01", "43 02 0B", "43 02 07"}, {1, 7},
         {"43 02 01", "43 02 07"}},
        {"unknown type below 11 ends the row", 8, {"43 04", "43 02 01", "43 02 09"}, {1, 9},
         {"43 02 01", "43 02 09"}},
        {"version 3 with ranges", 9, {"43 04", "43 02 01", "43 02 07", "43 09 01", "43 09 07"}, {1, 7},
         {"43 02 01", "43 02 07"}},
        // Bit 13 read four higher is type 17, which a Get cannot carry.
        {"type past 15", 16, {"43 04", "43 02 01", "43 02 0D"}, {1, 13}, {"43 02 01", "43 02 0D"}},
    };
    for (const setp_case &c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t from = model->next_command_index();
        ASSERT_NO_FATAL_FAILURE(interview(c.id));
        EXPECT_EQ(c.gets, of_class(from, c.id, 0x43));
        EXPECT_EQ(c.types, setp_types(c.id));
        from = model->next_command_index();
        ASSERT_NO_FATAL_FAILURE(refresh(c.id));
        EXPECT_EQ(c.refresh_gets, of_class(from, c.id, 0x43));
        EXPECT_EQ(c.types, setp_types(c.id));
    }
    EXPECT_TRUE(with_if(0, 0x43, [](zwif_p i) {
        uint32_t valid[2] = {};
        const auto *b = static_cast<const uint8_t *>(i->data);
        std::memcpy(&valid[0], b + 4, 4);
        std::memcpy(&valid[1], b + 24, 4);
        return valid[0] != 0 && valid[1] != 0;
    }, 9)) << "ranges of the version 3 thermostat";
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// A binary sensor names the type it answers after its value: each
// supported type is asked in turn, none waited out.
TEST_F(EpWalk, BinarySensorTypesEachAnswered)
{
    const uint64_t from = model->next_command_index();
    ASSERT_NO_FATAL_FAILURE(interview(17));
    EXPECT_EQ((std::vector<std::string>{"30 01", "30 02 0A", "30 02 0C"}), of_class(from, 17, 0x30));
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// A new node whose central scenes can repeat held keys slowly is set to do
// so, once more when the gateway refuses the first set; a node of version 2
// and a node that is not new are not.
TEST_F(EpWalk, CentralSceneSlowRefreshOfANewNode)
{
    struct csc_case {
        const char *what;
        uint8_t id;
        bool new_node;
        bool refuse_first_set;
        std::vector<std::string> cmds;
        uint8_t slow;
    };
    const csc_case cases[] = {
        {"version 3, new", 10, true, false, {"5B 01", "5B 04 80"}, 0x80},
        {"version 2, new", 11, true, false, {"5B 01"}, 0x00},
        {"version 3, known", 12, false, false, {"5B 01"}, 0x00},
        {"version 3, new, first set refused", 15, true, true, {"5B 01", "5B 04 80"}, 0x80},
    };
    const auto ends_with = [](const std::vector<uint8_t> &b, std::initializer_list<uint8_t> tail) {
        return b.size() >= tail.size() && std::equal(tail.begin(), tail.end(), b.end() - tail.size());
    };
    for (const csc_case &c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t from = model->next_command_index();
        int obs = 0;
        if (c.refuse_first_set)
            // The frame after the supported Get is the set: the gateway refuses it.
            obs = gw->add_observer([&, id = c.id](const sim::recorded_frame &f) {
                if (f.dir == sim::direction::received && f.node_id == id && ends_with(f.bytes, {0x5B, 0x01}))
                    gw->policy().push_next(sim::behaviour::nack());
            });
        ASSERT_NO_FATAL_FAILURE(interview(c.id, c.new_node));
        if (obs != 0)
            gw->remove_observer(obs);
        EXPECT_EQ(c.cmds, of_class(from, c.id, 0x5B));
        EXPECT_EQ(c.slow, model->values(c.id, sim::cc_central_scene).value_or(std::vector<uint8_t>{0, 0xFF})[1]);
        std::set<std::optional<sim::reply>> set_replies;
        for (const sim::recorded_frame &f : gw->received())
            if (f.node_id == c.id && ends_with(f.bytes, {0x5B, 0x04, 0x80}))
                set_replies.insert(f.applied);
        if (c.refuse_first_set) {
            EXPECT_EQ((std::set<std::optional<sim::reply>>{sim::reply::nack, sim::reply::ack}), set_replies);
        }
    }
    // The walk went on after the set: the rows after it were asked.
    EXPECT_EQ((std::vector<std::string>{"71 07", "71 01 06"}), of_class(0, 10, 0x71));
    EXPECT_EQ((std::vector<std::string>{"80 02"}), of_class(0, 10, 0x80));
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// A refresh of a node whose central scenes and notification types are cached
// sends none of their Gets: the cached answers come back through the callback
// queue and the walk goes on to the battery.
TEST_F(EpWalk, RefreshOfCachedScenesAndNotificationsSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(interview(10));
    const uint64_t from = model->next_command_index();
    ASSERT_NO_FATAL_FAILURE(refresh(10));
    EXPECT_EQ((std::vector<std::string>{"0: 80 02"}), transcript(from, false, 10));
}

// Simple AV Control: the number of supported-command reports, then each once,
// their bytes kept together; a refresh asks none of it again and goes on to
// the battery.
TEST_F(EpWalk, SimpleAvReportsAskedOnceAndNotOnRefresh)
{
    ASSERT_NO_FATAL_FAILURE(interview(13));
    EXPECT_EQ((std::vector<std::string>{"94 02", "94 04 01", "94 04 02"}), of_class(0, 13, 0x94));
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11, 0x20, 0x21}), with_if(0, 0x94, [](zwif_p i) {
        std::vector<uint8_t> b;
        if (i != nullptr && i->data != nullptr)
            b.assign(static_cast<const uint8_t *>(i->data),
                     static_cast<const uint8_t *>(i->data) + size_t(i->data_cnt) * i->data_item_sz);
        return b;
    }, 13));
    const uint64_t from = model->next_command_index();
    ASSERT_NO_FATAL_FAILURE(refresh(13));
    EXPECT_EQ((std::vector<std::string>{"0: 80 02"}), transcript(from, false, 13));
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

// Group information: command lists and names group by group, then the
// information of all groups in list mode. A report that stops short of the
// last group is followed by more: the walk waits for them before it goes on.
TEST_F(EpWalk, GroupInformationInSeveralFrames)
{
    ASSERT_NO_FATAL_FAILURE(interview(14));
    const std::vector<std::string> agi = {
        "59 05 80 01", "59 05 80 02", "59 05 80 03", "59 01 01", "59 01 02", "59 01 03", "59 03 40 01",
    };
    EXPECT_EQ(agi, of_class(0, 14, 0x59));
    std::optional<steady::time_point> info_at, batt_at;
    for (const sim::node_command &c : model->commands(14)) {
        if (hex(c.command) == "59 03 40 01")
            info_at = c.time;
        if (hex(c.command) == "80 02")
            batt_at = c.time;
    }
    ASSERT_TRUE(info_at && batt_at);
    EXPECT_GE(*batt_at - *info_at, 300ms);
    EXPECT_TRUE(model->violations().empty()) << model->violations().front();
}

struct name_case {
    const char *what;
    uint8_t charset;
    std::vector<uint8_t> text;
    const char *before;
    std::string want;
};

// Names and locations as devices send them: cut to the longest valid UTF-8
// prefix of at most 32 bytes, converted from UTF-16, never over a name that
// is there.
TEST(EpName, StoredAsValidUtf8OfAtMost32Bytes)
{
    const std::string a40(40, 'a');
    std::vector<uint8_t> a31e(31, 'a');
    a31e.push_back(0xC3);  // "é" split by the 32-byte limit
    a31e.push_back(0xA9);
    const name_case cases[] = {
        {"plain", 0, {'K', 'i', 't'}, "", "Kit"},
        {"long", 0, std::vector<uint8_t>(a40.begin(), a40.end()), "", std::string(32, 'a')},
        {"character across the limit", 1, a31e, "", std::string(31, 'a')},
        {"invalid byte", 1, {'a', 'b', 0xFF, 'c'}, "", "ab"},
        {"truncated sequence", 1, {'a', 0xE2, 0x82}, "", "a"},
        {"overlong", 1, {'a', 0xC0, 0x80}, "", "a"},
        {"UTF-16", 2, {0x00, 'H', 0x00, 0xE9, 0xD8, 0x3D, 0xDE, 0x00}, "", "H\xC3\xA9\xF0\x9F\x98\x80"},
        {"UTF-16 lone surrogate", 2, {0x00, 'x', 0xDC, 0x00, 0x00, 'y'}, "", "x"},
        {"odd UTF-16 byte", 2, {0x00, 'x', 0x00}, "", "x"},
        {"kept", 0, {'n', 'e', 'w'}, "old", "old"},
        {"unknown character set", 3, {'a'}, "", ""},
        {"empty", 0, {}, "", ""},
    };
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.what);
        char dest[ZW_NAMELOC_SZ] = {};
        std::snprintf(dest, sizeof dest, "%s", c.before);
        zwnet_name_txt_store(c.charset, c.text.data(), static_cast<uint16_t>(c.text.size()), dest);
        EXPECT_EQ(c.want, std::string(dest));
    }
}

}  // namespace
