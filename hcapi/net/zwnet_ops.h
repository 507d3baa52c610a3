// Network operations as the library's own modules use them: the
// one-operation rule taken and set in one step, its roll-back, the clearing
// of an operation's data, and the step-timer slot that the network's state
// machines share. The public operation calls are in hcapi/include/zwnet.h.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

// The one-operation rule: under the network mutex, with no operation
// running (or only a low-priority one, which is cancelled) `op` becomes the
// current operation at once, before anything is sent, so that no second
// caller can slip in between: 0. Otherwise -17 and nothing changes.
int zwnet_op_begin(zwnet_p net, uint8_t op);
// A start whose first step failed gives its operation back: the current
// operation becomes 0 if it is still `op`.
void zwnet_op_undo(zwnet_p net, uint8_t op);
// Operation data clear (network mutex held): stops the step timer and puts
// the initialisation, controller-information and node-to-address machines
// back to idle.
void zwnet_op_clr(zwnet_p net);
// Operation data clear and operation 0, under the network mutex.
void zwnet_op_reset(zwnet_p net);

// The shared step timer (network mutex held). Arming stops the slot's
// timer first, so an expiry of an earlier arming finds itself stale.
void zwnet_sm_tmr_start(zwnet_p net, uint32_t ms, plt_tmr_fn cb);
void zwnet_sm_tmr_stop(zwnet_p net);
// First words of every step-timer callback, with the network mutex taken:
// true when this expiry is the slot's current arming (the slot is then
// cleared), false when it was stopped or re-armed since and must do nothing.
bool zwnet_sm_tmr_expired(zwnet_p net);

// The machines of the network update, reset and network-change operations
// hear the events of the machines built here (a node list that arrived, an
// address resolution or interview that ended). The network-change sink
// takes its events and starts nothing (-1) until its machine exists.
// The sinks of update and reset are defined with their machines.
int zwnet_updt_sm_sink(zwnet_p net, int evt, const void *data);
int zwnet_rst_sm_sink(zwnet_p net, int evt, const void *data);
int zwnet_nw_change_sm_sink(zwnet_p net, int evt, const void *data);

// Puts the add, update and reset machines back to idle and stops the
// inclusion watchdog (network mutex held); part of every operation's clear.
// Defined with those machines.
void zwnet_incl_clr(zwnet_p net);
// Puts the learn machine back to idle and stops its watchdog (network
// mutex held); defined with learn mode.
void zwnet_learn_clr(zwnet_p net);
// An abort of the firmware update or of the network change puts its machine
// back to idle (without a notification); built with those machines.
void zwnet_fw_updt_stop(zwnet_p net);
void zwnet_nw_change_stop(zwnet_p net);

// Logs what the gateway told of a node that joined: its id, listening and
// device types, then its command classes ten to a line.
void zwnet_new_node_show(plt_tmr_ctx *plt, const appl_node_info_t &info);
