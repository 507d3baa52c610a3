// The node database of a network: the network, node, endpoint and interface
// records, the queued-command record, the network mutex, and the calls that
// find, copy, create and free them. Everything here is read and written only under the network mutex;
// the find functions assume the caller holds it.
#pragma once

#include "hcapi/core/zwfac.h"
#include "hcapi/include/zwif.h"
#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/include/zwnet.h"
#include "hcapi/include/zwnode.h"
#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_nm.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct zwnode;
struct zwep;
struct zwif;
using zwnode_t = zwnode;
using zwep_t = zwep;
using zwif_t = zwif;
using zwnode_p = zwnode_t *;
using zwep_p = zwep_t *;
using zwif_p = zwif_t *;

// Command classes the core itself looks at.
enum : uint16_t {
    COMMAND_CLASS_BASIC = 0x20,
    COMMAND_CLASS_CRC_16_ENCAP = 0x56,
    COMMAND_CLASS_ZWAVEPLUS_INFO = 0x5E,
    COMMAND_CLASS_MULTI_CHANNEL = 0x60,
    COMMAND_CLASS_SUPERVISION = 0x6C,
    COMMAND_CLASS_MANUFACTURER_SPECIFIC = 0x72,
    COMMAND_CLASS_NODE_NAMING = 0x77,
    COMMAND_CLASS_WAKE_UP = 0x84,
    COMMAND_CLASS_VERSION = 0x86,
    COMMAND_CLASS_MULTI_CMD = 0x8F,
    COMMAND_CLASS_SECURITY = 0x98,
    COMMAND_CLASS_SECURITY_2 = 0x9F,
};
inline constexpr uint8_t WAKE_UP_NOTIFICATION = 0x07;
inline constexpr uint8_t MULTI_CMD_ENCAP = 0x01;

// Interface property bits.
enum : uint8_t {
    IF_PROPTY_SECURE = 0x01,
    IF_PROPTY_UNSECURE = 0x02,
    IF_PROPTY_HIDDEN = 0x40,  // with 0x80: never shown by the public walk
};

inline constexpr uint8_t ZWIF_RPT_ROWS_MAX = 7;

struct zwif_rpt_row_t {
    uint8_t rpt_cmd;
    zwif_rpt_fn usr_rpt_cb;
    zwif_rpt_fn sm_rpt_cb;
};

// A slot of a slot-list report cache (kind 1).
struct zwif_cch_slot_t {
    uint8_t len;
    void *buf;  // malloc'd: 64-bit time, then the record
};

// ---------------------------------------------------------------------------
// Association, identification, wake-up, firmware and gateway classes: what
// their reports keep on the interface (under the network mutex).
// ---------------------------------------------------------------------------

// Association group information, as the node-information file stores it.
inline constexpr uint8_t ZWIF_GRP_NAME_MAX = 43;
struct zwif_grp_cmd_t {
    uint16_t cls;
    uint8_t cmd;
    uint8_t rsvd;
};
struct zwif_grp_t {
    uint8_t present{0};  // something of the group is known
    uint16_t profile{0};
    uint16_t evt_code{0};
    char name[ZWIF_GRP_NAME_MAX + 1]{};
    std::vector<zwif_grp_cmd_t> cmds;  // at most 255
};
// Groups by id - 1; its size is the number of groups (at most 255).
struct zwif_grp_tbl_t {
    uint8_t dynamic{0};
    std::vector<zwif_grp_t> grps;
};

// Reports that arrive in several frames gather here, one record per
// interface, so that two nodes' frames never mix.
struct zwif_assoc_acc_t {
    uint8_t active{0};
    uint8_t follow{0};  // reports still to follow, as the last frame said
    uint8_t grp{0};
    uint8_t max{0};
    std::vector<zwif_assoc_ent_t> ents;  // at most ZWIF_ASSOC_ACC_MAX
};
inline constexpr size_t ZWIF_ASSOC_ACC_MAX = 255;
struct zwif_ip_assoc_acc_t {
    uint8_t active{0};
    uint8_t grp{0};
    uint8_t last{0};   // the last index received
    uint8_t total{0};  // announced members
    std::vector<zwif_assoc_ent_t> ents;  // at most total + 1
};
struct zwif_av_acc_t {
    uint8_t total{0};  // reports announced
    uint8_t last{0};   // the last report number received
    std::vector<uint8_t> mask;
};
inline constexpr size_t ZWIF_AV_MASK_MAX = 1024;
inline constexpr size_t ZWIF_SEC_ACC_MAX = 255;  // the class list reader takes a byte count

// What the firmware update needs of the device's meta data.
struct zwif_fw_dev_t {
    uint8_t valid{0};
    uint8_t short_rpt{0};
    uint16_t max_frag_sz{0};
    uint16_t frag_sz{0};   // in use by a running update
    uint16_t rpt_left{0};  // fragments still to send
    // The image of a running update (hcapi/net/zwnet_fw.h).
    uint16_t rpt_next{0};  // the next report number to send
    uint8_t img_kind{0};   // 0 none, 1 binary file, 2 decoded HEX image
    struct file_close {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, file_close> file;  // binary kind
    uint32_t file_sz{0};
    std::vector<uint8_t> img;  // HEX kind
};

struct zwif_mgmt_t {
    zwif_grp_tbl_t agi;             // 0x59
    zwif_assoc_acc_t assoc;         // 0x85, 0x8E
    zwif_ip_assoc_acc_t ip_assoc;   // 0x5C
    zwif_av_acc_t av;               // 0x94
    std::vector<uint8_t> sec_acc;   // 0x98
    uint8_t sec_follow{0};          // reports still to follow, as the last frame said
    uint32_t wkup_intv{0};          // 0x84: the last interval report
    uint8_t wkup_node{0};
    zwif_fw_dev_t fw;               // 0x7A
};

struct zwif {
    zwif_t *next{nullptr};
    void *user{nullptr};
    zwep_t *ep{nullptr};
    uint16_t cls{0};
    uint8_t ver{0};
    uint8_t propty{0};
    uint8_t real_ver{0};
    // Supported information.
    uint8_t data_cnt{0};
    uint8_t data_item_sz{0};
    void *data{nullptr};  // malloc'd
    // Report cache.
    uint8_t cch_kind{0};
    uint8_t cch_ele_cnt{0};
    uint8_t cch_ele_sz{0};
    void *cch_data{nullptr};  // malloc'd; for kind 1 slots of {u8 len, buffer}
    void *tmp_data{nullptr};  // per-class work record, malloc'd
    uint8_t rpt_num{0};
    zwif_rpt_row_t rpt[ZWIF_RPT_ROWS_MAX]{};

    // --- switches, sensors, meters and notifications ---
    // Seconds after which the library ends an event that the device reported
    // as active, unless the property has IF_PROPTY_EVT_NO_CLR.
    uint16_t evt_clr_tmout{0};
    std::unique_ptr<zwif_mgmt_t> mgmt;  // association, identification, ... (created by their reports)
};
// The device ends its own events: no clearing report is generated.
inline constexpr uint8_t IF_PROPTY_EVT_NO_CLR = 0x04;

struct zwep {
    zwep_t *next{nullptr};
    void *user{nullptr};
    zwnode_t *node{nullptr};
    zwif_t *intf{nullptr};
    uint8_t epid{0};
    uint8_t generic{0};
    uint8_t specific{0};
    uint8_t aggr_ep_cnt{0};
    uint8_t aggr_members[ZWEP_AGGR_MAX]{};
    char name[ZW_NAMELOC_SZ]{};
    char loc[ZW_NAMELOC_SZ]{};
    zwplus_info_t zwplus_info{};
};

// A post-send task: what to do once a command was delivered.
struct zwnode_tx_task_t {
    std::vector<uint8_t> payload;
    uint16_t kind{0};
    uint8_t node_id{0};
};
inline constexpr uint16_t ZWNODE_TASK_RET_ROUTE = 5;
// A list of tasks travels as one heap object through zwif_exec and its
// completion; whoever ends it (runs or drops it) deletes it.
struct zwnode_task_list_t {
    std::deque<zwnode_tx_task_t> tasks;
};

// A queued command. Commands longer than ZWNODE_Q_CMD_MAX are never queued.
inline constexpr uint32_t ZWNODE_Q_CMD_MAX = 215;
// Queues hold at most this many commands; the count is a byte.
inline constexpr size_t ZWNODE_Q_MAX = 255;

struct zwnode_q_cmd_t {
    zwif_desc_t intf{};
    zwnode_task_list_t *tasks{nullptr};  // owned
    uint16_t op{0};
    uint8_t op_cnt{0};
    uint8_t rpt{0};          // a report is expected in answer
    uint16_t rpt_cls{0};     // and which one
    uint8_t rpt_cmd{0};
    std::vector<uint8_t> cmd;

    zwnode_q_cmd_t() = default;
    zwnode_q_cmd_t(const zwnode_q_cmd_t &) = delete;
    zwnode_q_cmd_t &operator=(const zwnode_q_cmd_t &) = delete;
    ~zwnode_q_cmd_t();
};
using zwnode_q_t = std::deque<std::unique_ptr<zwnode_q_cmd_t>>;

struct zwnode {
    zwnode_t *next{nullptr};
    void *user{nullptr};
    zwnet_t *net{nullptr};
    zwep_t ep;  // endpoint 0, head of the endpoint list
    uint8_t propty{0};
    uint8_t category{0};
    uint16_t vid{0};
    uint16_t type{0};
    uint16_t pid{0};
    zw_dev_id_t dev_id{};
    uint16_t proto_ver{0};
    uint16_t app_ver{0};
    uint8_t lib_type{0};
    ext_ver_t *ext_ver{nullptr};  // malloc'd
    uint8_t nodeid{0};
    uint8_t sensor{0};  // FLiRS
    uint8_t listen{0};
    uint8_t basic{0};
    uint8_t mul_ch_kind{0};
    uint8_t num_of_ep{0};
    uint8_t num_of_aggr_ep{0};
    uint8_t ep_dynamic{0};
    uint8_t ep_identical{0};
    uint16_t cur_op{0};
    uint8_t cur_op_cnt{0};
    uint8_t enable_cmd_q{0};  // commands go to the sleeping-node queue
    uint8_t sleep_cap{0};
    uint8_t upd_on_wkup{0};
    uint32_t wkup_intv{0xFFFFFFFF};
    uint8_t mul_cmd_cap{0};
    uint8_t mul_cmd_ctl{0};   // batching on
    uint16_t mul_cmd_tmr{0};  // the 1000 ms batching timer
    zwnode_q_t cmd_q;         // sleeping-node queue
    uint8_t crc_cap{0};
    uint8_t spv_cap{0};
    zwnode_q_t wait_q;        // report-wait queue (FLiRS)
    uint16_t wait_tmr{0};     // the 10000 ms report wait
    uint8_t wait_rpt{0};      // waiting for a report
    uint16_t wait_cls{0};
    uint8_t wait_cmd{0};
    uint8_t ret_route[6]{};
    uint8_t s2_keys_valid{0};
    uint8_t s2_grnt_keys{0};
    char s2_dsk[ZWNET_DSK_TEXT_MAX + 1]{};
    void (*restart_cb)(const zwnode_desc_t *node, int status){nullptr};
    uint32_t restart_tries{0};
    uint16_t restart_tmr{0};  // the wait before a restarting device is probed
    uint32_t dev_cfg_valid{0};
    void *dev_cfg_rec{nullptr};  // the device record found: &dev_rec once one applies
    dev_rec_t dev_rec{};         // its copy; the endpoint entries stay the network's
};

// ---------------------------------------------------------------------------
// The network record
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
// ---------------------------------------------------------------------------

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

// The node interview's record of one walk (hcapi/net/zwnet_ni.h).
struct zwnet_ni_rec_t {
    void (*cmplt_cb)(zwnet_t *net, uint8_t first_node_id){nullptr};
    std::vector<uint8_t> node_id;  // the walk's own copy of the list
    uint32_t delay{0};
    uint8_t op{0};
    uint8_t new_node{0};
    uint8_t use_cache{0};
    uint8_t ret_route{0};
    uint8_t gw_dsk{0};
    uint8_t skip_sleeping{0};
    uint8_t idx{0};
};

// The wake-up settings of the node under interview, as its reports gave them.
struct zwnet_wkup_rec_t {
    uint32_t min{0};
    uint32_t max{0};
    uint32_t dflt{0};
    uint32_t step{0};
    uint32_t cur{0};
};

// The endpoint interview's record (hcapi/net/zwnet_ep.cpp), under the network
// mutex: the machine over a node's endpoints and the class walk of one.
struct zwnet_ep_rec_t {
    // Over the endpoints: 0 idle, 1 secure classes, 2 versions, 3 class walk.
    uint32_t state{0};
    void (*cmplt_cb)(zwnet_t *net, uint8_t status){nullptr};
    uint8_t node_id{0};
    uint8_t ep_id{0};
    uint32_t word{0};
    uint8_t tmout_cnt{0};
    // The class walk of one endpoint: 0 idle, else the state of its row.
    uint32_t w_state{0};
    void (*w_cmplt_cb)(zwnet_t *net, uint8_t status){nullptr};
    uint8_t w_node_id{0};
    uint8_t w_ep_id{0};
    uint32_t w_refresh{0};
    uint8_t row{0};
    uint8_t step{0};
    uint8_t idx{0};       // position in the step's parameter list
    uint8_t tmout{0};     // time-outs of the current question
    uint8_t lifeline{0};  // 0 none, 1 set sent, 2 group 1 asked, 3 done
    uint8_t setp_alt{0};  // the device numbers setpoint types from bit 3 on 4 lower
    uint8_t csc{0};       // 1: the central scene configuration is being set
    std::vector<uint8_t> params;  // the step's parameter list: 3 bytes each (length, two bytes)
    std::vector<uint8_t> last;    // the last report the walk took
    // The device poll's completion for the endpoint under refresh.
    void (*dpoll_done)(zwnet_t *net, uint8_t node_id){nullptr};
    uint8_t dpoll_node{0};
    uint16_t tmr{0};
    uint32_t tmr_evt{0};
};

// ---------------------------------------------------------------------------
// Initialisation, controller-information and node-to-address machines
// ---------------------------------------------------------------------------

// A row of the gateway's supported-class table.
struct zwnet_gw_cc_t {
    uint16_t cls{0};
    uint8_t rsvd{0};
    uint8_t flags{0};  // 1 listed unsecure, 2 listed secure only
};

// Completion of the controller-information machine: 0 success, -1 failure.
using zwnet_ctlr_cmplt_fn = void (*)(zwnet_p net, int result);
// Completion of a node-to-address run: 0 or 255, and the starter's data word.
using zwnet_n2ip_cmplt_fn = void (*)(zwnet_p net, uint8_t status, const uint64_t *data);

inline constexpr uint8_t ZWNET_NODE_ID_MAX = 232;

// A node-to-address run, copied whole when it starts.
struct zwnet_n2ip_req_t {
    uint32_t retry_obsolete{0};  // ask again for an address the gateway calls obsolete
    uint8_t node_id[ZWNET_NODE_ID_MAX]{};
    uint8_t cnt{0};
    uint8_t idx{0};
    uint8_t delay_cnt{0};   // delayed retries of the current id
    uint8_t rexmit_cnt{0};  // retransmissions of the current request
    uint32_t state{0};      // 0 idle, 1 waiting for an address, 2 waiting before a delayed retry
    zwnet_n2ip_cmplt_fn cmplt{nullptr};
    uint64_t data{0};
};

// What the identity before learn mode was (home id, then the node id in the
// sixth byte), for the controller-information machine to compare.
struct zwnet_ctlr_prev_t {
    uint32_t home_id{0};
    uint8_t rsvd{0};
    uint8_t node_id{0};
};

struct zwnet_sm_t {
    // The step-timer slot that the initialisation, update, reset,
    // controller-information and node-to-address machines and the interview
    // share: whoever arms it stops it first, and an expiry acts only when its
    // arming is still the current one (plt_tmr_cb_current).
    uint16_t tmr{0};

    // Initialisation: 0 idle, 1 controller information, 2 unsolicited
    // destination, 3 node list, 4 node addresses, 5 interview.
    uint8_t init_state{0};
    uint8_t init_op{0};         // the operation it reports (1 or 6)
    uint8_t init_load_file{0};  // load the node-information file
    const zwnet_ctlr_prev_t *init_prev{nullptr};
    uint8_t nl_tmout_cnt{0};
    uint8_t nl_busy_cnt{0};

    // Controller information: 0 idle, 1 node id, 2 address, 3 node
    // information, 4 class versions, 5 gateway DSK, 6 mailbox, 7 manufacturer.
    uint8_t ctlr_state{0};
    uint8_t ctlr_marker{0};  // 40 class versions, 41 Version report, 9 manufacturer, 10 device id
    uint16_t ctlr_cls{0};    // the class whose version was asked last
    uint8_t ctlr_tmout_cnt{0};
    uint8_t ctlr_busy_cnt{0};
    zwnet_ctlr_cmplt_fn ctlr_cmplt{nullptr};
    const zwnet_ctlr_prev_t *ctlr_prev{nullptr};

    zwnet_n2ip_req_t n2ip{};
};

struct zwnet_incl_st;
struct zwnet_mcmd_st;

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

    // ---- Node interview (hcapi/net/zwnet_ni.h); all under the network mutex ----
    // Called by the wake-up follow-up for a node marked for an update on
    // wake-up (installed by the network layer).
    void (*ni_wkup_updt)(zwnet_t *net, uint8_t node_id){nullptr};
    uint32_t ni_state{0};
    uint32_t ni_step{0};     // the outstanding query (shared with the endpoint interview)
    uint16_t ni_cls{0};      // class whose version or instances are asked
    uint8_t ni_ep{0};        // endpoint whose capability or members are asked
    uint8_t ni_node{0};      // node under interview
    uint8_t ni_tmout_cnt{0};
    uint8_t ni_busy_cnt{0};     // Application Busy answers in this step
    uint8_t ni_tx_busy_cnt{0};  // tries of a node information request while the sender is busy
    uint8_t ni_answered{0};  // the node under interview answered something
    uint16_t ni_tmr{0};      // the interview's step timer
    uint32_t ni_tmr_evt{0};  // what its expiry feeds
    zwnet_ni_rec_t ni_rec;
    zwnet_ep_rec_t ep_rec;
    zwnet_wkup_rec_t ni_wkup;
    // Initialisation, controller-information and node-to-address machines
    // (network mutex).
    zwnet_sm_t sm{};
    // The gateway's feature word, set by the controller-information machine:
    // bit 0 node information carries granted keys; bit 1 multi-channel
    // information is asked of the gateway; bit 2 newer gateway firmware.
    uint16_t feature{0};
    uint8_t ctl_ipv6_prefix[8]{};
    std::vector<zwnet_gw_cc_t> gw_cc;  // the gateway's supported classes
    zwnet_desc_t desc{};               // what zwnet_get_desc hands out

    // ---- Gateway-mode request and Simple AV key hold (zwif_cls_gw.cpp) ----
    // The pending mode request, under the network mutex.
    zwif_desc_t gw_mode_if{};
    zwif_rpt_fn gw_mode_cb{nullptr};
    uint16_t gw_mode_tmr{0};
    uint8_t gw_mode_pend{0};  // asked, not yet answered
    // The key held down, under av_mtx: taken before the network mutex and
    // held across an AV send, so that no keep-alive can follow a key-up.
    std::mutex av_mtx;
    zwif_desc_t av_if{};
    uint8_t av_frame[8]{};
    uint8_t av_repeat{0};
    uint16_t av_tmr{0};
    uint8_t av_seq{0};
    // Inclusion, request thread, network update and reset (hcapi/net/zwnet_incl.h),
    // made with the network.
    std::shared_ptr<zwnet_incl_st> incl;

    // ---- Firmware update tracker (hcapi/net/zwnet_fw.h); network mutex ----
    // The firmware reports hand their news to the tracker through these
    // (installed by the network layer when an update is asked for).
    void (*fw_req_hook)(const zwif_desc_t *intf, uint8_t status){nullptr};
    void (*fw_sts_hook)(const zwif_desc_t *intf, uint8_t status, uint16_t wait_tm, uint8_t wait){nullptr};
    uint32_t fw_state{0};  // 0 idle, 1 request sent, 2 transferring, 3 all fragments sent
    zwif_desc_t fw_if{};   // the tracked interface
    uint8_t fw_prog{0};    // last progress notified, percent
    uint16_t fw_tmr{0};    // step timer

    // ---- Network change machine (hcapi/net/zwnet_nwchg.h); network mutex ----
    uint32_t nw_chg_state{0};  // 0 idle, 1 deferred, 2 controller information, 3 addresses, 4 interview
    uint16_t nw_chg_tmr{0};
    uint16_t nw_chg_retry{0};
    uint8_t nw_chg_incl_ctlr{0};  // 0 not yet, 1 became inclusion controller, 2 re-interview started
    uint8_t nw_chg_cnt{0};        // bitmap bytes, later added node ids
    uint8_t nw_chg_nodes[ZWNET_NODE_ID_MAX]{};
    // The newest node list that came while the machine ran: its next run.
    uint8_t nw_chg_pend{0};
    uint8_t nw_chg_pend_len{0};
    uint8_t nw_chg_pend_map[29]{};

    // ---- Learn mode, the controller's DSK, the provisioning list
    // (hcapi/net/zwnet_learn.cpp, zwnet_sstart.cpp); network mutex ----
    uint32_t lrn_state{0};  // 0 idle, 1 waiting for the gateway's DSK
    void *lrn_user{nullptr};
    zwnet_dsk_fn lrn_dsk_cb{nullptr};
    zwnet_ctlr_prev_t lrn_prev{};  // the identity that an exclusion leaves
    uint8_t lrn_join{0};           // joining another network
    uint16_t lrn_wd_tmr{0};        // a final learn status that never comes
    zwnet_dsk_fn dsk_get_cb{nullptr};
    void *dsk_get_user{nullptr};
    zwnet_wl_get_fn wl_get_cb{nullptr};
    void *wl_get_user{nullptr};
    zwnet_wl_list_fn wl_list_cb{nullptr};
    void *wl_list_user{nullptr};
    // The multi-command reply machine (hcapi/net/zwnet_mcmd.h), made when
    // its first request comes; network mutex.
    std::shared_ptr<zwnet_mcmd_st> mcmd;
};

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

// Whether the network runs (sends are accepted).
inline bool zwnet_running(zwnet_p net) { return net != nullptr && net->cb_thrd.run.load() != 0; }

// ---------------------------------------------------------------------------
// Find (network mutex held)
// ---------------------------------------------------------------------------

zwnode_p zwnode_find(zwnode_p first, uint8_t node_id);
zwep_p zwep_find(zwep_p first, uint8_t ep_id);
zwep_p zwep_find_by_id(zwnet_p net, uint8_t node_id, uint8_t ep_id);
zwep_p zwep_rec_get(const zwep_desc_t *ep);
zwif_p zwif_find_cls(zwif_p first, uint16_t cls);
zwif_p zwif_rec_get(const zwif_desc_t *intf);
zwnode_p zwnode_rec_get(const zwnode_desc_t *node);

// ---------------------------------------------------------------------------
// Descriptors (network mutex held)
// ---------------------------------------------------------------------------

int zwnode_desc_fill(zwnode_desc_t *desc, zwnode_p node);  // 0, -22, -13
void zwep_desc_fill(zwep_desc_t *desc, zwep_p ep);
void zwif_desc_fill(zwif_desc_t *desc, zwif_p intf);
uint8_t zwnode_ep_cnt(zwnode_p node);
int zwif_unsecure_cnt(zwif_p first);
int zwnode_has_secure_if(zwnode_p node);

// ---------------------------------------------------------------------------
// Record life (network mutex held)
// ---------------------------------------------------------------------------

// An interface for the class with its report rows; null for Multi Channel
// version 0 or without memory. Supervision gets a random first session id.
zwif_p zwif_create(uint16_t cls, uint8_t ver, uint8_t propty);
zwif_p zwif_alloc(uint16_t cls, uint8_t ver, uint8_t propty, const uint8_t *rpt_cmds, uint8_t rpt_cnt);
// Frees an interface with its caches and per-class data.
void zwif_dat_free(zwif_p intf);
// The new record takes over the old one's caches and per-class data.
void zwif_dat_copy(zwif_p to, zwif_p from);
// Appends an interface to an endpoint (classes are unique): 1, else 0.
int zwif_attach(zwep_p ep, zwif_p intf);
void zwep_if_rm_all(zwep_p ep);
void zwnode_ep_rm_all(zwnode_p node);
// A new endpoint of a node (ids are unique), or null.
zwep_p zwep_create(zwnode_p node, uint8_t ep_id);
// A new node appended to the network's list (ids are unique), or null.
zwnode_p zwnode_create(zwnet_p net, uint8_t node_id);
// Puts a node record into the state of a fresh one; the controller's own
// node keeps its place and becomes node 0.
void zwnode_reset(zwnode_p node);
// Removes a node by id (the controller's own node is reset, not freed).
void zwnet_node_free(zwnet_p net, uint8_t node_id);
// Security flags after an interview or inclusion: 0 unchanged, 1 updated.
int zwnode_sec_flags_updt(zwnode_p node);

// Cuts a name or location to 32 bytes on a UTF-8 boundary, in place.
void zwep_nameloc_cut(char *text);
