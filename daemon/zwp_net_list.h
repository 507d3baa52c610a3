// The daemon's list of running networks and the owner of what they share:
// the network configuration, the message registry, the gateway-selection
// record and the scene library's process-wide start.
//
// Networks are held in a hash keyed by their 8-byte id. Every network of
// this daemon carries the same key, 01 02 03 04 05 06 07 08, so the list
// holds at most one network and every request is served by it.
#pragma once

#include "daemon/zwp_config.h"
#include "daemon/zwp_runtime.h"

#include <cstdint>

struct zwp_avi_registry_t;
struct zwp_net_list_t;
struct zwp_net_t;
struct zwp_zwave_client_t;

// The key of every network record, and its text.
extern const uint8_t zwp_net_list_fixed_id[8];
#define ZWP_NET_LIST_FIXED_ID_TEXT "01-02-03-04-05-06-07-08"

// Singleton; a second call warns and hands back the list. Starts the scene
// library (on a thread named "Scene" while it starts). 0 or 22.
int zwp_net_list_init(zwp_net_list_t **net_list, const zwp_net_config_t *config, zwp_avi_registry_t *registry);
// Stops the scene library and every network, joins the stop threads, frees.
void zwp_net_list_exit(zwp_net_list_t *net_list);

// Creates, registers and starts the network of the gateway that the
// gateway-selection record chose. 0, or 22 (nothing is left registered).
int portal_client_spawn(zwp_net_list_t *net_list, zwp_net_t **net);
// Stops and frees the registered network; id names it in the log line.
// 0, or 22 when there is none or it cannot be stopped (then it stays
// allocated).
int zwp_net_list_net_stop(zwp_net_list_t *net_list, const char *id);
// The same on an "ANetStopHdlr" thread of the list (joined at the list's
// exit): 0 once the thread runs, 22 when there is no network or no thread.
int zwp_net_list_net_stop_async(zwp_net_list_t *net_list, zwp_net_t *net);
// Removes the network and stops it at once: 0, or 22 when the stop fails
// (the record then stays allocated).
int zwp_net_list_net_kill(zwp_net_list_t *net_list, zwp_net_t *net);

// Registers a network under the fixed key. A list that already holds a
// network refuses a second one (22), so a live network is never orphaned.
int zwp_net_list_add(zwp_net_list_t *net_list, zwp_net_t *net);
// Removes the network's entry; with check set, first makes sure it is the
// registered one (2 when it is not). 0, 2 or 22.
int zwp_net_list_remove(zwp_net_list_t *net_list, zwp_net_t *net, int check);
// The network under the fixed key, with a reference taken under the hash
// lock; the caller drops it. 0, or 2 when absent or the lock fails.
int zwp_net_list_net_get(zwp_net_list_t *net_list, zwp_net_t **net);
// The same by id text ("%02x-" eight times, either case). 0, 2 when absent,
// 22 for a null or malformed text.
int zwp_net_list_get_by_id(zwp_net_list_t *net_list, const char *id, zwp_net_t **net);

// Handles of the threads that stop networks asynchronously; each under the
// array's lock. add: 0 or 22; remove: 0 or 2 when absent; pop: the first
// handle, 0 or 2 when empty.
int zwp_net_list_stop_thread_add(zwp_net_list_t *net_list, apr_thread_t *thread);
int zwp_net_list_stop_thread_remove(zwp_net_list_t *net_list, apr_thread_t *thread);
int zwp_net_list_stop_thread_pop(zwp_net_list_t *net_list, apr_thread_t **thread);

apr_pool_t *zwp_net_list_pool_get(const zwp_net_list_t *net_list);
zwp_avi_registry_t *zwp_net_list_registry_get(const zwp_net_list_t *net_list);
const char *zwp_net_list_var_dir_get(const zwp_net_list_t *net_list);
const char *zwp_net_list_dev_cfg_file_get(const zwp_net_list_t *net_list);
// Seconds; the longest wait for a device's report.
uint32_t zwp_net_list_report_wait_timeout_get(const zwp_net_list_t *net_list);
uint8_t zwp_net_list_gw_auto_set_to_local_get(const zwp_net_list_t *net_list);
zwp_zwave_client_t *zwp_net_list_zwave_client_get(const zwp_net_list_t *net_list);
int zwp_net_list_zwave_client_set(zwp_net_list_t *net_list, zwp_zwave_client_t *zwave_client); // 22 for null
// Serialises gateway selection and re-selection. 0 or 22.
int zwp_net_list_zwave_client_lock(zwp_net_list_t *net_list);
int zwp_net_list_zwave_client_unlock(zwp_net_list_t *net_list);
