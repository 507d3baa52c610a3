// The network record and its lock, as the library's own modules see it.
//
// Lock order: the network mutex; then the library's list mutexes (woken
// nodes, request list, callback list, multi-command queue); then the Z/IP
// application layer's mutexes and those below. The set-echo mutex is never
// held together with the network mutex.
//
// The network mutex is recursive. Take it only through zwnet_lck /
// zwnet_ulck (or zwnet_lock), which count how deep the calling thread holds
// it: the callback queue's zwnet_app_call relies on that count to release
// it fully around every call into the application (zwnet_cb.h).
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/fac/zwfac.h"
#include "hcapi/include/zwnet.h"
#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_nm.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A node that woke up, with the commands it held while asleep.
struct zwnet_wkup_ent_t {
    uint8_t node_id{0};
    zwnode_q_t q;
};

// One library thread: its run flag (cleared to stop it) and its alive flag
// (set by zwnet_init before the thread exists, cleared by the thread as its
// last act on the network).
struct zwnet_thrd_flags_t {
    std::atomic<uint32_t> run{0};
    std::atomic<uint32_t> alive{0};
};

// The controller's own association group 1 ("LifeLine").
struct zwnet_grp_t {
    uint8_t id{1};
    char name[16]{"LifeLine"};
    uint16_t profile{0x0001};
    uint16_t evt_code{0};
    uint8_t cmd_cls{0x5A};
    uint8_t cmd{0x01};
    uint8_t max_nodes{1};
    uint8_t member{0};
};

inline constexpr uint16_t ZWNET_ECHO_MAX = 46;

// What a per-node timer callback gets: it finds the node again by id under
// the network mutex, so a node freed meanwhile is never touched.
struct zwnet_node_ref_t {
    zwnet_p net{nullptr};
    uint8_t node_id{0};
};

struct zwnet {
    uint32_t homeid{0};
    zwnode_t ctl;  // the controller's own node, head of the node list
    zwnet_init_t init{};
    std::unique_ptr<appl_layer_ctx> appl{std::make_unique<appl_layer_ctx>()};
    appl_nm_ctx nm{};  // the gateway's network-management state, filter on appl

    // The network mutex and who holds it how deeply.
    plt_mtx_t mtx{nullptr};
    std::atomic<std::thread::id> mtx_owner{};
    int mtx_depth{0};  // read and written by the owner only

    uint32_t multi_client{0};
    uint32_t encap_opt{0};  // transmit options by the gateway's firmware
    std::atomic<uint32_t> node_sts_ena{0};
    uint8_t ctl_ipv6[16]{};
    uint8_t gw_addr[16]{};  // in use, as the application layer has it
    uint8_t curr_op{0};
    uint8_t controller_role{0};
    uint8_t controller_capability{0};
    uint8_t zw_role{0};
    uint8_t suc{0};
    uint8_t op_node_id{0};
    uint8_t no_save{0};
    uint8_t on_behalf{0};
    uint32_t poll_started{0};
    uint8_t ep_intv_active{0};  // the endpoint interview runs: its report callbacks see reports

    // Command-queue thread: nodes that woke up (under cmd_q_mtx).
    plt_sem_t cmd_q_sem{nullptr};
    plt_mtx_t cmd_q_mtx{nullptr};
    std::deque<std::unique_ptr<zwnet_wkup_ent_t>> wkup_list;
    // Wait-queue thread: node ids whose report wait ended (network mutex).
    plt_sem_t wait_q_sem{nullptr};
    std::deque<uint8_t> wait_q_list;
    // Request thread.
    plt_sem_t req_sem{nullptr};
    plt_mtx_t req_mtx{nullptr};
    util_lst_t *req_lst{nullptr};
    // Callback thread (zwnet_cb.h).
    plt_sem_t cb_sem{nullptr};
    plt_mtx_t cb_mtx{nullptr};
    util_lst_t *cb_lst{nullptr};
    // Multi-command queue.
    plt_mtx_t mul_cmd_mtx{nullptr};
    util_lst_t *mul_cmd_q{nullptr};

    std::string stor_dir;
    std::string data_dir;

    zwnet_thrd_flags_t wait_q_thrd;
    zwnet_thrd_flags_t cmd_q_thrd;
    zwnet_thrd_flags_t req_thrd;
    zwnet_thrd_flags_t cb_thrd;  // its run flag is also the network-running flag

    plt_tmr_ctx plt{};
    uint32_t opt_val{0};

    zwpoll_ctx_t *poll_ctx{nullptr};
    zwspoll_ctx_t *spoll_ctx{nullptr};
    zwspv_ctx_t *spv_ctx{nullptr};
    zwdpoll_ctx_t *dpoll_ctx{nullptr};
    zwwupoll_ctx_t *wupoll_ctx{nullptr};
    zwnwsave_ctx_t *nw_save_ctx{nullptr};
    zwevtgen_ctx_t *evtgen_ctx{nullptr};
    zwnspoll_ctx_t *nspoll_ctx{nullptr};

    dev_rec_t *dev_recs{nullptr};
    uint32_t dev_rec_cnt{0};
    bool dev_recs_owned{false};

    uint32_t ref_cnt{0};  // under the network mutex
    std::string nif_path;

    // Set echo: a set's simulated report, replayed when the set is delivered.
    plt_mtx_t echo_mtx{nullptr};
    zwif_desc_t echo_if{};
    uint32_t echo_seq{0};
    uint16_t echo_len{0};
    uint8_t echo_buf[ZWNET_ECHO_MAX]{};

    zwnet_node_ref_t node_ref[APPL_NODE_TBL]{};  // entry n for node n

    std::vector<zwnet_grp_t> grps;
    std::vector<zwnet_cls_ent_t> ctl_cls;  // merged controller classes
};

// ---------------------------------------------------------------------------
// The network mutex
// ---------------------------------------------------------------------------

void zwnet_lck(zwnet_p net);
void zwnet_ulck(zwnet_p net);
// How many times the calling thread holds the network mutex (0: not).
int zwnet_lck_depth(zwnet_p net);

class zwnet_lock {
public:
    explicit zwnet_lock(zwnet_p net) : net_(net) { zwnet_lck(net_); }
    ~zwnet_lock() { zwnet_ulck(net_); }
    zwnet_lock(const zwnet_lock &) = delete;
    zwnet_lock &operator=(const zwnet_lock &) = delete;

private:
    zwnet_p net_;
};

// ---------------------------------------------------------------------------
// Network life
// ---------------------------------------------------------------------------

// Drops one reference; the last one frees the network. Call without the
// network mutex.
void zwnet_free(zwnet_p net);
// Whether the network runs (sends are accepted).
inline bool zwnet_running(zwnet_p net) { return net != nullptr && net->cb_thrd.run.load() != 0; }

// The controller class merge: built-in entries first; an extra entry joins
// unless its class is already there. 0 or -12.
int zwnet_cc_tbl_merge(const zwnet_cls_ent_t *builtin, uint8_t builtin_cnt, const zwnet_cls_ent_t *extra,
                       uint8_t extra_cnt, std::vector<zwnet_cls_ent_t> &out);

// The responder's tables: 1 on a match (with the report command for a get).
int zwnet_ctlr_rpt_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *rpt);
int zwnet_ctlr_set_cmd_find(const uint8_t *cmd, uint16_t len, uint16_t *cls);

// The Application Status handler installed into the Z/IP layer: 1 busy
// (status: the wait time), 2 request rejected.
void zwnet_appl_sts_cb(appl_layer_ctx *ctx, uint8_t cmd, uint8_t status);

// The first step of initialisation. The initialisation state machine takes
// this place; until it exists, starting it succeeds and notifies the end of
// operation 1 so that the network becomes idle.
int zwnet_init_sm_start(zwnet_p net);
