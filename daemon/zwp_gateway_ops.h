// What the root gateway messages need of the network list: its gateway
// record, the lock that serialises gateway changes, and the stop and spawn
// of the network.
//
// The network list sits above the message registry, which registers the
// root messages; so the list installs its calls here when it starts, and
// until then every member is null (the messages then fail).
#pragma once

struct zwp_net_list_t;
struct zwp_net_t;
struct zwp_zwave_client_t;

// Every call returns 0 or 22 unless said otherwise; each is the network
// list's call of the same purpose (daemon/zwp_net_list.h).
struct zwp_gateway_ops_t {
    zwp_zwave_client_t *(*client_get)(const zwp_net_list_t *net_list);
    int (*client_lock)(zwp_net_list_t *net_list);
    int (*client_unlock)(zwp_net_list_t *net_list);
    // With a reference that the caller drops; 2 when there is none.
    int (*net_get)(zwp_net_list_t *net_list, zwp_net_t **net);
    int (*net_stop)(zwp_net_list_t *net_list, const char *id);
    int (*spawn)(zwp_net_list_t *net_list, zwp_net_t **net);
};

// Installs the list's calls (null: none again). The table must outlive
// every request.
void zwp_gateway_ops_set(const zwp_gateway_ops_t *ops);
// Never null.
const zwp_gateway_ops_t *zwp_gateway_ops_get();
