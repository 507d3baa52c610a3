// A network against the gateway simulator (tests/hcapi/net/hc_test_support.h)
// with what the facility tests share: the facility tick at which each
// command reached the simulator, and node answers to Gets.
#pragma once

#include "tests/hcapi/net/hc_test_support.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwsend.h"

#include <map>

namespace fac_test {

using namespace hc_test;

// One command as it reached the simulator, with the tick of a facility then.
struct seen_cmd {
    uint8_t node_id;
    std::vector<uint8_t> cmd;
    uint32_t tick;
};

class FacNet : public HcNet {
protected:
    // Starts the network and records, for every first copy of a command the
    // simulator receives, the tick of the facility `fac` at that moment.
    void start_fac(const config &c, zwfac_ctx_t *zwnet::*fac)
    {
        ASSERT_NO_FATAL_FAILURE(start(c));
        fac_ = net_->*fac;
        if (fac_.load() == nullptr)
            fac_ = net_->poll_ctx;  // started later by the test: use_fac()
        gw->set_observer([this](const sim::recorded_frame &r) {
            if (r.dir != sim::direction::received || r.frame.kind != sim::frame_kind::packet ||
                r.frame.packet.command.empty() || r.copy > 1)
                return;
            std::lock_guard lk(seen_mtx_);
            seen_.push_back({r.node_id, r.frame.packet.command, fac_.load()->tick.load()});
        });
    }

    // A node answers `get` with `rpt` (or with nothing while `answer` is off).
    void answer(uint8_t cls, uint8_t get, std::vector<uint8_t> rpt)
    {
        gw->on_command(cls, get, [this, rpt](const sim::command_context &) -> std::optional<std::vector<sim::command_reply>> {
            if (!answering.load())
                return std::vector<sim::command_reply>{};
            sim::command_reply r;
            r.command = rpt;
            return std::vector<sim::command_reply>{r};
        });
    }

    std::vector<seen_cmd> seen(uint8_t node_id, const std::vector<uint8_t> &prefix) const
    {
        std::lock_guard lk(seen_mtx_);
        std::vector<seen_cmd> out;
        for (const seen_cmd &s : seen_)
            if (s.node_id == node_id && s.cmd.size() >= prefix.size() &&
                std::equal(prefix.begin(), prefix.end(), s.cmd.begin()))
                out.push_back(s);
        return out;
    }
    size_t seen_count(uint8_t node_id, const std::vector<uint8_t> &prefix) const
    {
        return seen(node_id, prefix).size();
    }

    uint32_t tick() const { return fac_.load()->tick.load(); }
    void use_fac(zwfac_ctx_t *fac) { fac_ = fac; }
    // Waits until the facility's tick has moved `n` ticks on.
    bool ticks_pass(uint32_t n, ms timeout = 60s)
    {
        const uint32_t from = tick();
        return eventually([&] { return tick() - from >= n; }, timeout);
    }

    std::atomic<bool> answering{true};
    std::atomic<zwfac_ctx_t *> fac_{nullptr};
    mutable std::mutex seen_mtx_;
    std::vector<seen_cmd> seen_;
};

// Facility results (callback message type 9) as the application hears them.
struct fac_result {
    uint8_t node_id, ep_id;
    uint16_t cls;
    uint64_t user;
    uint32_t status;
    uint32_t tick;
    bool mutex_held;
};

inline std::mutex g_res_mtx;
inline std::vector<fac_result> g_res;
inline zwfac_ctx_t *g_res_fac = nullptr;

inline void on_fac_result(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, uint64_t user, uint32_t sts)
{
    std::lock_guard lk(g_res_mtx);
    g_res.push_back({node_id, ep_id, cls, user, sts, g_res_fac ? g_res_fac->tick.load() : 0,
                     zwnet_lck_depth(net) != 0});
}
inline std::vector<fac_result> results()
{
    std::lock_guard lk(g_res_mtx);
    return g_res;
}
inline std::vector<fac_result> results_of(uint64_t user)
{
    std::vector<fac_result> out;
    for (const fac_result &r : results())
        if (r.user == user)
            out.push_back(r);
    return out;
}
inline void results_clear(zwfac_ctx_t *fac)
{
    std::lock_guard lk(g_res_mtx);
    g_res.clear();
    g_res_fac = fac;
}

}  // namespace fac_test
