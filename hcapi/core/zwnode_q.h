// Node command queues and their threads.
//
// The sleeping-node queue holds commands for a node that sleeps (or whose
// commands are batched into Multi Command frames) until it wakes up; the
// command-queue thread then sends them. The report-wait queue serialises
// commands to a frequently listening (FLiRS) node: after a command that
// expects a report the node waits until that report arrives or 10 s pass,
// and the wait-queue thread sends the next command.
//
// Every command that expects a report is sent with a completion that arms
// the report wait (or releases the node when the send failed), so a node is
// never left waiting for ever. Queues hold at most ZWNODE_Q_MAX commands.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

inline constexpr uint32_t ZWNODE_RPT_WAIT_MS = 10000;
inline constexpr uint32_t ZWNODE_MUL_CMD_WAIT_MS = 1000;
inline constexpr uint16_t ZWNODE_MUL_CMD_FRAME_MAX = 46;
inline constexpr uint16_t ZWNODE_MUL_CMD_FRAME_CRC = 42;

// Class and command of a frame (two-byte classes from 0xF1): 1, or 0 when
// the frame is too short.
int zwif_cls_cmd_get(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *cmd_id);
// The report that answers a get of the get/report table: 1, else 0.
int zwif_get_rpt_cmd(const uint8_t *cmd, uint16_t len, uint16_t *cls, uint8_t *rpt);

// Completions (the application layer's form). The report-wait completion
// reads the node from its node-id argument.
void zwnode_wait_tx_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);
void zwnode_tx_cb(appl_layer_ctx *ctx, int status, void *tasks, uint8_t node_id);
void zwnode_wait_tx_task_cb(appl_layer_ctx *ctx, int status, void *tasks, uint8_t node_id);

// Ends a node's report wait at once (network mutex held).
void zwnode_wait_release(zwnet_p net, uint8_t node_id);
// A report arrived for the interface: releases the node when it is the one
// it waits for (network mutex held).
void zwnode_wait_rpt_chk(zwif_p intf, const uint8_t *cmd, uint16_t len);
// A Wake Up Notification arrived: hands the node's sleeping-node queue to
// the command-queue thread: 1, or 0 (nothing queued; network mutex held).
int zwnode_wkup_q_post(zwif_p intf);
// The wake-up follow-up of a node that held nothing: tells the polling
// facilities (network mutex held).
void zwnode_wkup_done(zwnode_p node);

// Queue records.
bool zwnode_q_cmd_cmp(const zwnode_q_cmd_t &a, const zwnode_q_cmd_t &b);
void zwnode_cmd_q_rm_all(zwnode_p node);
void zwnode_wait_q_rm_all(zwnode_p node);
// Drops a task list (as failed).
void zwnode_cb_q_rm_all(zwnode_task_list_t *tasks);

// The return routes of an association add, once its SET was delivered: the
// node's plan (node->ret_route: up to four destinations, their count, the
// next index) is in place, and the gateway is asked to delete the node's
// return routes, then to assign one per destination, each request after the
// previous one completed. Provided by the association calls; without the
// network mutex.
void zwif_grp_rr_start(zwnet_p net, uint8_t node_id);

// Sends a queue in Multi Command frames of at most `limit` bytes (46 when
// larger); without the network mutex. 0 or a negative code.
int zwnode_cmd_q_flush(const zwnode_desc_t *node, zwnode_q_t &q, uint16_t limit);

// The bodies of the two queue threads: each serves its queue until its run
// flag is cleared and returns; the network layer starts them and gives up
// their references when they return.
void zwnode_wait_q_thrd(zwnet_p net);
void zwnode_cmd_q_thrd(zwnet_p net);
