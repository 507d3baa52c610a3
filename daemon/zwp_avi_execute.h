// Execution of a decoded request against the network list: root messages
// get the list itself, every other message the one network, under its
// descriptor lock, level by level down to the addressed interface, whose
// messages also wait for the transmit status and the device's report.
#pragma once

struct zwp_avi_request_t;
struct zwp_net_list_t;

// 0 or 22; the results stay in the request for the reply.
int zwp_net_list_request_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request);
