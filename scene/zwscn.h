// The scene library: scenes, actions, schedules, events and security scenes,
// stored and run per network. The daemon initialises the library once for
// the process and binds each network to it when the network starts.
//
// Results: 0 success; anything else fails the caller's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Process-wide start; the caller names its thread "Scene" around the call,
// so that threads started here carry that name. A second call while the
// library runs changes nothing and succeeds.
int zwscn_init(void);
// Process-wide end; nothing happens when the library is not running.
void zwscn_shutdown(void);

// What the library saw of its own life, for the daemon's tests: whether it
// runs, and the name of the thread that last started it (empty before).
int zwscn_is_running(void);
void zwscn_init_thread_name_get(char *name, size_t size);

// ---------------------------------------------------------------------------
// Binding a started network
// ---------------------------------------------------------------------------

// Completion of an action the library started: (network context, node id,
// endpoint id, command class, result).
using zwscn_cmpl_fn = void (*)(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int result);

// A poll request of an action get: what the daemon hands on to the
// host-controller library's polling get, and the handle it gets back.
struct zwscn_poll_req_t {
    uint32_t interval;
    uint16_t count;
    uint16_t rsvd;
    zwscn_cmpl_fn cmpl;
    uint16_t handle; // written by the daemon
};

// What the daemon offers the library to act on devices. The action calls
// take ownership of `data` (malloc'd) and free it.
enum : int { ZWSCN_ACTION_KIND_VALUE = 4 };
enum : int { ZWSCN_EXIST_NODE = 0, ZWSCN_EXIST_EP = 1, ZWSCN_EXIST_IF = 2 };
struct zwscn_init_network_t {
    void *ctx;                // the daemon's network record
    char ctx_persistent[25];  // 24 hex digits: the key of the network's storage
    char time_zone[256];
    char stor_dir[515];
    uint32_t rsvd_words[8];   // 0xFFFFFFFF each
    uint32_t rsvd;
    int (*cb_rsvd)(void *ctx);
    int (*action_set)(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, void *data,
                      zwscn_cmpl_fn cmpl);
    int (*action_get)(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, void *data,
                      zwscn_poll_req_t *poll);
    int (*nameloc_get)(void *ctx, uint8_t node_id, uint8_t ep_id, uint32_t rsvd, char *name, size_t name_size,
                       char *loc, size_t loc_size);
    int (*poll_rm)(void *ctx, uint16_t handle);
    int (*poll_rm_key)(void *ctx, uint32_t key);
    int (*exists)(void *ctx, int kind, uint8_t node_id, uint8_t ep_id, uint16_t cls);
};
static_assert(sizeof(zwscn_init_network_t) == 896, "the library reads the record at fixed offsets");

// The library's three hooks, in a block that the caller frees (std::free).
struct zwscn_hooks_t {
    // An operation notification: data is the 24-digit context id with its
    // NUL (25 bytes), or for a completed replacement the one-byte node id.
    void (*op_notify)(void *ctx, uint8_t op, uint16_t status, const void *data, size_t length);
    void (*node_change)(void *ctx, uint8_t node_id, uint32_t mode);
    // A device's value: the record starts with its 64-bit time.
    void (*report)(void *ctx, uint8_t node_id, uint8_t ep_id, uint16_t cls, int kind, const void *record,
                   size_t length);
};

// 0 and the hooks, or non-zero.
int zwscn_init_network(const zwscn_init_network_t *param, zwscn_hooks_t **hooks);
// Forgets the network; nothing happens for one never bound.
void zwscn_exit_network(void *ctx);
// Brings the stored scenes' states up to date with the network. 0 or non-zero.
int zwscn_status_update_all_scenes(void *ctx);

// What the library saw of a network, for the daemon's tests: the record it
// was bound with, whether it is bound, and every hook call in order.
struct zwscn_event_t {
    char hook;  // 'o' operation, 'n' node change, 'r' report
    uint8_t op_or_node;
    uint8_t ep_id;
    uint16_t cls_or_status;
    int kind_or_mode;
    std::vector<uint8_t> data;
};
struct zwscn_network_view_t {
    bool bound = false;
    zwscn_init_network_t param{};
    int status_updates = 0;
    std::vector<zwscn_event_t> events;
};
// false when the library never saw the network.
bool zwscn_network_view_get(void *ctx, zwscn_network_view_t *view);
