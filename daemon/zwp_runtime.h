// Runtime wrappers: the daemon reaches APR, APR-util and the thread-naming
// call only through these. Every call returns 0 or 22 and logs the failure
// with the library's error text; the two results that are not failures,
// 16 (trylock: held elsewhere) and 62 (timed wait: timed out), are not logged.
//
// Mutexes and condition variables live in an APR pool like the other
// objects, but are built on POSIX directly so that timed waits run on the
// monotonic clock and a wait on a nested mutex held more than once is
// refused instead of deadlocking.
#pragma once

#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_queue.h>
#include <apr_thread_pool.h>
#include <apr_thread_proc.h>

#include <cstddef>
#include <cstdint>

enum : int {
    ZWU_MUTEX_BUSY = 16,    // zwu_mutex_trylock: held by another thread
    ZWU_COND_TIMEDOUT = 62, // zwu_cond_timedwait: no signal in time
};

enum : size_t { ZWU_THREAD_NAME_SIZE = 16 };

int zwu_apr_init(int argc, const char *const *argv);
void zwu_apr_exit();

// A root pool when parent is null.
int zwu_pool_create(apr_pool_t **pool, apr_pool_t *parent);
void zwu_pool_destroy(apr_pool_t *pool);

// name: ZWU_THREAD_NAME_SIZE bytes, emptied on failure.
int zwu_thread_name_get(char *name);
// Saves the current name into saved (ZWU_THREAD_NAME_SIZE bytes) first when
// saved is not null. Threads start with their creator's name, so setting the
// name around a library's thread creation labels the library's threads.
int zwu_thread_name_set(const char *name, char *saved);

int zwu_thread_create(apr_thread_t **thread, apr_pool_t *pool, bool detached, apr_thread_start_t func, void *data);
int zwu_thread_join(apr_status_t *status, apr_thread_t *thread);
int zwu_thread_detach(apr_thread_t *thread);
// Ends the calling thread through pthread_exit. A thread function that
// simply returns is joined with status 0; prefer that where the status is
// not needed (AddressSanitizer mistakes the unwinding for a stack fault).
int zwu_thread_exit(apr_thread_t *thread, apr_status_t status);

// Tasks of one owner can be cancelled together: queued ones are dropped and
// the call returns once the running ones have finished, so it returns only
// as soon as the slowest of them: tasks that may be cancelled must end by
// themselves in bounded time. The pool starts a worker only when a push
// finds none idle, so tasks pushed in a burst while the initial workers
// still count as idle queue behind them instead of growing the pool.
int zwu_thread_pool_create(apr_thread_pool_t **thread_pool, size_t init_count, size_t max_count, apr_pool_t *pool);
int zwu_thread_pool_push(apr_thread_pool_t *thread_pool, apr_thread_start_t func, void *data, uint8_t priority,
                         void *owner);
int zwu_thread_pool_cancel(apr_thread_pool_t *thread_pool, void *owner);
int zwu_thread_pool_destroy(apr_thread_pool_t *thread_pool);

// Bounded FIFO of pointers. Push and pop block; zwu_queue_term wakes every
// blocked caller, which then gets 22 (not logged: it is how workers stop).
int zwu_queue_create(apr_queue_t **queue, unsigned capacity, apr_pool_t *pool);
int zwu_queue_push(apr_queue_t *queue, void *data);
int zwu_queue_pop(apr_queue_t *queue, void **data);
int zwu_queue_term(apr_queue_t *queue);

int zwu_hash_create(apr_hash_t **hash, apr_pool_t *pool);
int zwu_hash_destroy(apr_hash_t *hash);

struct zwu_mutex_t;
struct zwu_cond_t;

enum : int { ZWU_MUTEX_DEFAULT = 0, ZWU_MUTEX_NESTED = 1 };

// nested 1 (ZWU_MUTEX_NESTED) makes the mutex recursive. The mutex lives
// until its pool is destroyed.
int zwu_mutex_create(zwu_mutex_t **mutex, int nested, apr_pool_t *pool);
int zwu_mutex_lock(zwu_mutex_t *mutex);
int zwu_mutex_trylock(zwu_mutex_t *mutex); // 0, 16 or 22
int zwu_mutex_unlock(zwu_mutex_t *mutex);
int zwu_mutex_destroy(zwu_mutex_t *mutex); // nothing to do: the pool owns it

// Holds a mutex for a scope. held() is false when the lock failed (logged
// by zwu_mutex_lock); the guard then releases nothing.
class zwu_mutex_guard {
public:
    explicit zwu_mutex_guard(zwu_mutex_t *mutex) : mutex_(mutex && zwu_mutex_lock(mutex) == 0 ? mutex : nullptr) {}
    ~zwu_mutex_guard()
    {
        if (mutex_)
            zwu_mutex_unlock(mutex_);
    }
    zwu_mutex_guard(const zwu_mutex_guard &) = delete;
    zwu_mutex_guard &operator=(const zwu_mutex_guard &) = delete;
    bool held() const { return mutex_ != nullptr; }

private:
    zwu_mutex_t *mutex_;
};

int zwu_cond_create(zwu_cond_t **cond, apr_pool_t *pool);
int zwu_cond_destroy(zwu_cond_t *cond);
// The mutex must be held exactly once by the caller.
int zwu_cond_wait(zwu_cond_t *cond, zwu_mutex_t *mutex);
// At most usec microseconds (0 or less: no wait); 62 on time-out.
int zwu_cond_timedwait(zwu_cond_t *cond, zwu_mutex_t *mutex, int64_t usec);
int zwu_cond_signal(zwu_cond_t *cond);
int zwu_cond_broadcast(zwu_cond_t *cond);
