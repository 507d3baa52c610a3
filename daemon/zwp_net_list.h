// The daemon's list of running networks; the owner of the message registry.
#pragma once

struct zwp_avi_registry_t;
struct zwp_net_list_t;

zwp_avi_registry_t *zwp_net_list_registry_get(const zwp_net_list_t *net_list);
