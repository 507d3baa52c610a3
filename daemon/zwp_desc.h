// A network's descriptor tree: copies of the library's node, endpoint and
// interface descriptors, network -> nodes -> endpoints -> interfaces, with a
// state record per node and the message modules' state per interface.
//
// Requests walk this tree instead of asking the library. Every read and
// change happens under the owning network's descriptor lock; pointers that
// the finders hand out stay valid only while it is held. The tree never
// holds anything a waiting worker relies on across a wait: a worker finds
// its interface again after every wake-up.
#pragma once

#include "daemon/zwp_runtime.h"
#include "hcapi/include/zwnode.h"
#include "util/zwu_array.h"
#include "util/zwu_time.h"

#include <cstdint>
#include <vector>

struct zwp_desc_root_t;

// Gives one interface entry the state of every interface message aimed at
// its class. It belongs to the message layer above the tree, which hands it
// down so that the tree never calls up into that layer.
using zwp_desc_if_setup_fn = int (*)(zwu_array_list_t if_messages, const zwif_desc_t *intf, apr_pool_t *pool);

// What the tree knows of its owner: the daemon's network record (handed to
// the interface entries as their context), the interface message
// descriptors whose state and setup each interface entry gets, and the pool
// that the states are made in.
struct zwp_desc_owner_t {
    void *net;
    zwu_array_list_t if_messages;
    zwp_desc_if_setup_fn if_setup;
    apr_pool_t *pool;
};

// Node state record: alive state (3 alive, 4 down, 5 sleeping), secure flag
// (some interface has secure access) and a copy of the extended version
// record (std::free; null when the node has none).
struct zwp_desc_node_state_t {
    uint8_t alive;
    uint8_t secure;
    ext_ver_t *ext_ver;
};
// A deep copy (false when out of memory) and its release.
bool zwp_desc_node_state_copy(const zwp_desc_node_state_t &from, zwp_desc_node_state_t *to);
void zwp_desc_node_state_release(zwp_desc_node_state_t *state);
// Bytes of an extended version record with `fw_cnt` targets.
size_t zwp_desc_ext_ver_size(uint8_t fw_cnt);

// Builds a tree of every node the library lists. 0 or 22.
int zwp_desc_tree_build(zwp_desc_root_t **root, zwnet_p hc, const zwp_desc_owner_t *owner);
// Destroys every interface state through its destroy function. Null is fine.
void zwp_desc_tree_free(zwp_desc_root_t *root);
// Time of the last build, addition, replacement or removal.
zwu_time_t zwp_desc_tree_utime_get(const zwp_desc_root_t *root);

// Takes the node afresh from the library: replaces the entry of the same id
// in place, or appends. On failure no entry of that node is left. 0 or 22.
int zwp_desc_tree_node_add(zwp_desc_root_t *root, const zwnode_desc_t *node);
int zwp_desc_tree_node_remove(zwp_desc_root_t *root, uint8_t node_id);
int zwp_desc_tree_node_alive_refresh(zwp_desc_root_t *root, uint8_t node_id);

// Finders: 0 and a pointer into the tree, or 22 with an error line.
int zwp_desc_node_find(const zwp_desc_root_t *root, uint32_t node_id, const zwnode_desc_t **node);
int zwp_desc_ep_find(const zwp_desc_root_t *root, uint32_t node_id, uint32_t ep_id, const zwep_desc_t **ep);
int zwp_desc_if_find(const zwp_desc_root_t *root, uint32_t node_id, uint32_t ep_id, uint32_t cls,
                     const zwif_desc_t **intf);

// Interface state, from an interface descriptor that a finder handed out.
using zwp_desc_state_create_t = int (*)(void **state, apr_pool_t *pool);
using zwp_desc_state_destroy_t = void (*)(void *state);
int zwp_desc_if_state_attach(const zwif_desc_t *intf, zwp_desc_state_create_t create,
                             zwp_desc_state_destroy_t destroy, apr_pool_t *pool);
void zwp_desc_if_state_detach(const zwif_desc_t *intf);
void *zwp_desc_state_get(const zwif_desc_t *intf);
// The owning network record.
void *zwp_desc_ctx_get(const zwif_desc_t *intf);

// A copy of a node's state record, refreshed; a node without one gets the
// default {3, 0, none}. 0 or 22. Release the copy.
int zwp_desc_node_state_get(const zwp_desc_root_t *root, uint8_t node_id, zwp_desc_node_state_t *state);

// Lists, in tree order. 0 or 22 (out of memory); the vectors own their
// items' copies (release node states with zwp_desc_node_list_release).
struct zwp_desc_node_item_t {
    zwnode_desc_t node;
    zwp_desc_node_state_t state;
};
int zwp_desc_node_list_get(const zwp_desc_root_t *root, std::vector<zwp_desc_node_item_t> *list);
void zwp_desc_node_list_release(std::vector<zwp_desc_node_item_t> *list);
int zwp_desc_all_ep_list_get(const zwp_desc_root_t *root, std::vector<zwep_desc_t> *list);
int zwp_desc_node_ep_list_get(const zwp_desc_root_t *root, uint8_t node_id, std::vector<zwep_desc_t> *list);
int zwp_desc_ep_if_list_get(const zwp_desc_root_t *root, uint8_t node_id, uint8_t ep_id,
                            std::vector<zwif_desc_t> *list);

// From a node or endpoint descriptor that a finder handed out (under the
// descriptor lock): copies of its endpoints / interfaces in tree order. 0 or
// 22 (out of memory).
int zwp_desc_node_eps_get(const zwnode_desc_t *node, std::vector<zwep_desc_t> *list);
int zwp_desc_ep_ifs_get(const zwep_desc_t *ep, std::vector<zwif_desc_t> *list);
// The endpoint's entry takes a new name and location (each NUL-terminated,
// at most ZW_NAMELOC_SZ - 1 bytes kept).
void zwp_desc_ep_nameloc_store(const zwep_desc_t *ep, const char *name, const char *loc);

// 1 when the build leaves interfaces of this class out of the tree.
int zwp_desc_if_skipped(uint16_t cls);
