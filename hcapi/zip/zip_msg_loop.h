// Worker threads fed by a message queue, and an elapsed-tick counter.
//
// Each background facility of the library owns one worker: other threads
// post copies of small messages, the worker hands them to the facility's
// handler one after another, in order, without holding any lock.
#pragma once

#include <cstddef>
#include <cstdint>

struct util_msg_loop_t;
struct util_tick_cnt_t;

// Handler: (handler data, message) -> 0 to go on, non-zero to end the worker.
using util_msg_hdlr_fn = int (*)(void *hdlr_data, void *msg);
// Release callback: frees what a message refers to; runs after the handler,
// and at exit for every message still queued.
using util_msg_rel_fn = void (*)(void *msg);

// Starts a worker. `unused` is accepted and ignored. Waits up to 2 s for the
// worker to run and returns 0 (also when that wait ran out: sends are refused
// until it runs), ZIP_ERR_MEMORY, or ZIP_ERR_RESOURCE.
int util_msg_loop_init(util_msg_hdlr_fn hdlr, void *hdlr_data, util_msg_rel_fn rel, uint32_t unused,
                       util_msg_loop_t **loop);

// Queues a copy of the message (at most 255 bytes) for the worker: 0,
// ZIP_ERR_LOOP_STOPPED when the worker no longer runs, ZIP_ERR_MEMORY.
int util_msg_loop_send(util_msg_loop_t *loop, const void *msg, uint8_t length);

// Asks the worker to end after the message it is handling: 0 once it has
// ended (it calls the handler no more), ZIP_ERR_LOOP_TIMEOUT when it has not
// ended within `timeout_ms`; 0 ms waits without limit.
int util_msg_loop_shutdown(util_msg_loop_t *loop, uint32_t timeout_ms);

// Releases the messages still queued and frees the loop; called after a
// shutdown. Safe even when the shutdown timed out: the worker keeps what it
// needs of the loop until it ends, but the handler data must outlive it.
void util_msg_loop_exit(util_msg_loop_t *loop);

// Counter incremented every `period_ms` by a thread of its own: 0,
// ZIP_ERR_MEMORY, ZIP_ERR_RESOURCE.
int util_tick_cnt_start(uint32_t period_ms, util_tick_cnt_t **counter);
uint32_t util_tick_cnt_get(const util_tick_cnt_t *counter);
// Stops the thread, waits for it and frees the counter.
void util_tick_cnt_stop(util_tick_cnt_t *counter);
