// Platform layer of the Z/IP client stack and the host-controller library.
//
// The only place where the stack touches the operating system's threads,
// locks and clocks: a timer service with a 100 ms tick, recursive mutexes,
// counting semaphores, condition variables with a bounded wait, detached and
// joinable threads, thread names, a millisecond sleep, a 16-bit random number
// and the library's own print path.
//
// Creation calls return 1 for success and 0 for failure; the timer service
// returns 0 or a negative ZIP_ERR_ code (zip_error.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

// ---------------------------------------------------------------------------
// Print path
// ---------------------------------------------------------------------------

// Debug output sink of a network: receives one NUL-terminated line (with its
// line feed) per call. May be absent, which silences the network's library.
using plt_print_fn = void (*)(const char *text);

// ---------------------------------------------------------------------------
// Timer service
// ---------------------------------------------------------------------------

struct plt_tmr_svc;  // the running service: threads, timer list, dispatch state

// One per network. The network record owns it (by value, zero-initialised)
// and hands its address to every layer, which uses it for timers and for
// printing.
struct plt_tmr_ctx {
    std::atomic<plt_tmr_svc *> svc{nullptr};
    std::atomic<plt_print_fn> print{nullptr};
    int ref_cnt{0};  // plt_init calls not yet matched by plt_exit
};

// A timer callback gets the data pointer given when the timer was started.
using plt_tmr_fn = void (*)(void *data);

// Starts the service (first call: stores the print callback, starts the tick
// thread and the timer thread) or counts one more user (later calls). 0, or
// ZIP_ERR_RESOURCE when a thread could not be started.
int plt_init(plt_tmr_ctx *ctx, plt_print_fn print);

// Undoes one plt_init. The last one stops both threads, waits until every
// timer callback already dispatched has returned (so what they touch may be
// freed afterwards), frees the timers still pending without calling them and
// clears the context, the print callback included. Call it after the layers
// that use the context have stopped; never from a periodic callback.
void plt_exit(plt_tmr_ctx *ctx);

// Timers count ticks. A time-out in ms becomes ms / 100 ticks, plus one when
// ms % 100 is not 0; the timer is due at (tick count at start + ticks) and is
// served on the first tick at which that is reached. So 0, 1 and 100 ms
// expire on the next tick and 101 ms on the one after; a time-out is
// accurate to one tick.
uint32_t plt_ms_to_ticks(uint32_t ms);

// One-shot timer: the callback runs once, on a new detached thread of its own
// (on the timer thread itself when no thread can be made), so it may take
// locks that callers hold while they call plt_tmr_stop. Ids 1..0x7FFF, wrapping
// to 1. Returns the id, 0 when no timer runs (not started, or no memory).
uint16_t plt_tmr_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data);

// Periodic timer: the callback runs on the timer thread every period (at
// least one tick), one periodic callback after another. Ids have bit 0x8000
// set. Returns the id, 0 when no timer runs.
uint16_t plt_periodic_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data);

// Common form of the two above (periodic 0 or 1).
uint16_t plt_tmr_start_ex(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic);

// Cancels a timer: 1 when it was still pending (its callback will not run),
// 0 when no pending timer has the id (id 0, already expired, never started).
// When the callback of that id was already dispatched but has not returned,
// it is marked stale; see the contract below.
int plt_tmr_stop(plt_tmr_ctx *ctx, uint16_t id);

// Stale expiries: the contract that every owner of a timer keeps.
//
// A timer thread may have dispatched a callback just before its owner stopped
// or re-armed the timer; plt_tmr_stop then returns 0 and the callback still
// runs. Each arming of a timer is its own record with its own 32-bit
// generation; plt_tmr_stop marks a dispatched arming of that id stale, and the
// callback asks, under the owner's lock, whether its arming is still current:
//
//   arm:     lock(o); plt_tmr_stop(ctx, o->tmr); o->tmr = plt_tmr_start(ctx, ms, o_cb, o); unlock(o);
//   cancel:  lock(o); plt_tmr_stop(ctx, o->tmr); o->tmr = 0; unlock(o);
//   expiry:  void o_cb(void *d) {
//                lock(o);
//                if (!plt_tmr_cb_current(ctx)) { unlock(o); return; }  // stopped or re-armed
//                o->tmr = 0;  ...act...;  unlock(o);
//            }
//   free:    cancel, then plt_tmr_cb_wait(ctx, o) without holding o's lock, then free o.
//
// Because stop and check both run under the owner's lock, either the check
// came first (the expiry acted before the stop, as if the stop came later) or
// the stop came first (the expiry does nothing). A stale one-shot arming that
// has not yet started its callback is not called at all.

// From inside a timer callback (one-shot or periodic) of this context: 1 when
// the arming that dispatched it is still current, 0 when it was stopped since
// (or the service is exiting, or the caller is not such a callback).
int plt_tmr_cb_current(plt_tmr_ctx *ctx);

// Waits until no dispatched callback with this data pointer (any data when
// null) is still running, other than the caller's own. Prints a line every
// 5 s while it waits. Call it without the locks that those callbacks take.
void plt_tmr_cb_wait(plt_tmr_ctx *ctx, void *data);

// Tick count of the running service (0 when it does not run); wraps.
uint32_t plt_tmr_tick_get(plt_tmr_ctx *ctx);

// Start seam for tests: every timer start goes through this function, the
// real start unless a test has put its own in front (to make starts fail).
// Returns the function it replaces; null puts the real start back. The
// real start is the first value returned, so a test's function can call it.
using plt_tmr_start_fn = uint16_t (*)(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic);
plt_tmr_start_fn plt_tmr_start_seam_set(plt_tmr_start_fn fn);

// Time seam for tests. A tick lasts 100 ms. A test may shorten it for a whole
// timer service: the length is read when the service starts (first plt_init)
// from the last plt_tick_ms_set value (1..100; 0 clears it), else from the
// environment variable ZW_TICK_MS (1..100), else 100. Timer arithmetic stays
// in ticks, so a 5100 ms reply wait is 51 ticks of whatever length a tick has.
void plt_tick_ms_set(unsigned ms);

// Tick length in ms that a service started now would use.
unsigned plt_tick_ms_get();

// The same seam for protocol waits that are not timers (a condition wait for
// a send gate): `ms` scaled by the tick length over 100, at least 1 when ms > 0.
uint32_t plt_tick_scale_ms(uint32_t ms);

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------

struct plt_mtx_s;
struct plt_sem_s;
struct plt_cond_s;
using plt_mtx_t = plt_mtx_s *;
using plt_sem_t = plt_sem_s *;
using plt_cond_t = plt_cond_s *;

int plt_mtx_init(plt_mtx_t *mtx);  // recursive mutex; 1 created, 0 failed
int plt_mtx_lck(plt_mtx_t mtx);    // system call's result (0 locked)
int plt_mtx_ulck(plt_mtx_t mtx);
int plt_mtx_trylock(plt_mtx_t mtx);  // 0 locked, EBUSY held elsewhere
void plt_mtx_destroy(plt_mtx_t mtx);

// Holds a mutex for a scope: the one lock guard of the stack. A guard of no
// mutex holds nothing (lists may run without a lock). Movable, so that a
// call can hand a lock it took to its caller; an empty guard holds nothing.
class plt_lock {
public:
    plt_lock() = default;
    explicit plt_lock(plt_mtx_t mtx) : mtx_(mtx)
    {
        if (mtx_ != nullptr)
            plt_mtx_lck(mtx_);
    }
    ~plt_lock() { unlock(); }
    plt_lock(plt_lock &&other) noexcept : mtx_(std::exchange(other.mtx_, nullptr)) {}
    plt_lock &operator=(plt_lock &&other) noexcept
    {
        if (this != &other) {
            unlock();
            mtx_ = std::exchange(other.mtx_, nullptr);
        }
        return *this;
    }
    plt_lock(const plt_lock &) = delete;
    plt_lock &operator=(const plt_lock &) = delete;

    // Releases the mutex before the end of the scope.
    void unlock()
    {
        if (mtx_ != nullptr)
            plt_mtx_ulck(std::exchange(mtx_, nullptr));
    }
    bool owns_lock() const { return mtx_ != nullptr; }
    explicit operator bool() const { return owns_lock(); }

private:
    plt_mtx_t mtx_ = nullptr;
};

int plt_sem_init(plt_sem_t *sem);  // process-private, count 0; 1 created, 0 failed
int plt_sem_wait(plt_sem_t sem);   // 0, or -1 (interrupted waits are resumed)
int plt_sem_post(plt_sem_t sem);
void plt_sem_destroy(plt_sem_t sem);

int plt_cond_init(plt_cond_t *cond);  // 1 created, 0 failed
// Waits at most `ms` on the monotonic clock with `mtx` locked once by the
// caller: 0 signalled, 1 timed out, 2 other error.
int plt_cond_timedwait(plt_cond_t cond, plt_mtx_t mtx, uint16_t ms);
int plt_cond_broadcast(plt_cond_t cond);
int plt_cond_signal(plt_cond_t cond);
void plt_cond_destroy(plt_cond_t cond);

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

using plt_thrd_fn = void (*)(void *data);
struct plt_thrd_s;
using plt_thrd_t = plt_thrd_s *;

// Detached thread running fn(data): 0, -1 no memory, -2 thread not created.
// A new thread starts with its creator's name.
int plt_thrd_create(plt_thrd_fn fn, void *data);

// Joinable thread running fn(data): 0, -1, -2 as above. It can be cancelled
// (plt_thrd_cancel) only at cancellation points (sleeps, waits, I/O): its
// function must not hold a plain lock across one and must not reach one from
// a noexcept function or a destructor.
int plt_thrd_create_joinable(plt_thrd_fn fn, void *data, plt_thrd_t *thrd);

// Joins and frees the handle: 0 ended normally, 1 was cancelled, -1 join failed.
int plt_thrd_join(plt_thrd_t thrd);

// Asks the thread to end at its next cancellation point: 0 or -1.
int plt_thrd_cancel(plt_thrd_t thrd);

// Name of the calling thread (at most 15 characters are kept): 0 or -1.
int plt_thrd_name_set(const char *name);
int plt_thrd_name_get(char *buf, size_t size);

int plt_sleep(uint32_t ms);  // 0, or -1
int16_t plt_rand();          // the C library's random number cut to 16 bits

// ---------------------------------------------------------------------------
// Printing through the context's print callback
// ---------------------------------------------------------------------------

// One line of at most 254 characters plus a line feed; nothing without a
// context or print callback.
void plt_msg_show(plt_tmr_ctx *ctx, const char *format, ...) __attribute__((format(printf, 2, 3)));
// As plt_msg_show, prefixed with the local time "HH:MM:SS -- ".
void plt_msg_ts_show(plt_tmr_ctx *ctx, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The bytes as "%02X " groups, 10 bytes per line.
void plt_bin_show(plt_tmr_ctx *ctx, const void *bytes, size_t length);

// Lines that begin with the name of the function that prints them.
#define PLT_MSG_SHOW(ctx, format, ...) plt_msg_show((ctx), "%s: " format, __func__ __VA_OPT__(, ) __VA_ARGS__)
