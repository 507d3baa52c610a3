#include "daemon/zwp_runtime.h"

#include "daemon/zwp_log.h"

#include <apr_general.h>
#include <apr_strings.h>

#include <pthread.h>
#include <sys/prctl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

struct zwu_mutex_t {
    pthread_mutex_t handle;
    // The holder, so that a condition wait can check it holds the mutex
    // exactly once; only the holder stores its own id here.
    std::atomic<pthread_t> owner;
    // How often the holder holds it; touched only by the holder.
    unsigned depth;
};

struct zwu_cond_t {
    pthread_cond_t handle;
    apr_pool_t *pool;
};

namespace {

struct error_text {
    char text[256];
    explicit error_text(apr_status_t status) { apr_strerror(status, text, sizeof text); }
};

apr_status_t mutex_cleanup(void *data)
{
    pthread_mutex_destroy(&static_cast<zwu_mutex_t *>(data)->handle);
    return APR_SUCCESS;
}

bool owned_by_caller(const zwu_mutex_t *mutex)
{
    return pthread_equal(mutex->owner.load(std::memory_order_relaxed), pthread_self()) != 0;
}

apr_status_t cond_cleanup(void *data)
{
    pthread_cond_destroy(&static_cast<zwu_cond_t *>(data)->handle);
    return APR_SUCCESS;
}

} // namespace

int zwu_apr_init(int argc, const char *const *argv)
{
    return apr_app_initialize(&argc, &argv, nullptr) == APR_SUCCESS ? 0 : 22;
}

void zwu_apr_exit() { apr_terminate(); }

int zwu_pool_create(apr_pool_t **pool, apr_pool_t *parent)
{
    if (!pool)
        return 22;
    return apr_pool_create(pool, parent) == APR_SUCCESS ? 0 : 22;
}

void zwu_pool_destroy(apr_pool_t *pool)
{
    if (pool)
        apr_pool_destroy(pool);
}

int zwu_thread_name_get(char *name)
{
    if (!name)
        return 22;
    char buffer[ZWU_THREAD_NAME_SIZE + 1] = {};
    if (prctl(PR_GET_NAME, buffer, 0, 0, 0) != 0) {
        name[0] = '\0';
        ZWS_LOG_ERROR("Failed to get name for current thread: %s", std::strerror(errno));
        return 22;
    }
    std::memcpy(name, buffer, ZWU_THREAD_NAME_SIZE);
    name[ZWU_THREAD_NAME_SIZE - 1] = '\0';
    return 0;
}

int zwu_thread_name_set(const char *name, char *saved)
{
    if (saved && zwu_thread_name_get(saved) != 0)
        return 22;
    if (!name || !*name) {
        ZWS_LOG_ERROR("Failed to set name for current thread: %s", std::strerror(EINVAL));
        return 22;
    }
    if (prctl(PR_SET_NAME, name, 0, 0, 0) != 0) {
        ZWS_LOG_ERROR("Failed to set name for current thread: %s", std::strerror(errno));
        return 22;
    }
    return 0;
}

int zwu_thread_create(apr_thread_t **thread, apr_pool_t *pool, bool detached, apr_thread_start_t func, void *data)
{
    if (!thread || !pool || !func)
        return 22;
    apr_threadattr_t *attr = nullptr;
    apr_status_t status = apr_threadattr_create(&attr, pool);
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to create thread attribute: %s", error_text(status).text);
        return 22;
    }
    status = apr_threadattr_detach_set(attr, detached ? 1 : 0);
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to set thread attribute for joinable/detached: %s", error_text(status).text);
        return 22;
    }
    status = apr_thread_create(thread, attr, func, data, pool);
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to create thread: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_thread_join(apr_status_t *status, apr_thread_t *thread)
{
    apr_status_t exit_status = APR_SUCCESS;
    const apr_status_t result = thread ? apr_thread_join(&exit_status, thread) : APR_EINVAL;
    if (result != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to join with thread: %s", error_text(result).text);
        return 22;
    }
    if (status)
        *status = exit_status;
    return 0;
}

int zwu_thread_detach(apr_thread_t *thread)
{
    const apr_status_t result = thread ? apr_thread_detach(thread) : APR_EINVAL;
    if (result != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to detach with thread. Status code: %d", result);
        return 22;
    }
    return 0;
}

int zwu_thread_exit(apr_thread_t *thread, apr_status_t status)
{
    const apr_status_t result = thread ? apr_thread_exit(thread, status) : APR_EINVAL;
    // Only reached when the thread could not be ended.
    ZWS_LOG_ERROR("Failed to stop thread: %s", error_text(result).text);
    return 22;
}

int zwu_thread_pool_create(apr_thread_pool_t **thread_pool, size_t init_count, size_t max_count, apr_pool_t *pool)
{
    const apr_status_t status =
        thread_pool && pool ? apr_thread_pool_create(thread_pool, init_count, max_count, pool) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to create thread pool: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_thread_pool_push(apr_thread_pool_t *thread_pool, apr_thread_start_t func, void *data, uint8_t priority,
                         void *owner)
{
    const apr_status_t status =
        thread_pool && func ? apr_thread_pool_push(thread_pool, func, data, priority, owner) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to push task for thread pool: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_thread_pool_cancel(apr_thread_pool_t *thread_pool, void *owner)
{
    const apr_status_t status = thread_pool ? apr_thread_pool_tasks_cancel(thread_pool, owner) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to cancel tasks in thread pool: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_thread_pool_destroy(apr_thread_pool_t *thread_pool)
{
    const apr_status_t status = thread_pool ? apr_thread_pool_destroy(thread_pool) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to stop thread pool: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_queue_create(apr_queue_t **queue, unsigned capacity, apr_pool_t *pool)
{
    const apr_status_t status = queue && pool ? apr_queue_create(queue, capacity, pool) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to create queue: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_queue_push(apr_queue_t *queue, void *data)
{
    if (!queue)
        return 22;
    apr_status_t status;
    do {
        status = apr_queue_push(queue, data);
    } while (status == APR_EINTR);
    if (status == APR_EOF)
        return 22;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to push into the queue: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_queue_pop(apr_queue_t *queue, void **data)
{
    if (!queue || !data)
        return 22;
    apr_status_t status;
    do {
        status = apr_queue_pop(queue, data);
    } while (status == APR_EINTR);
    if (status == APR_EOF)
        return 22;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to pop from the queue: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_queue_term(apr_queue_t *queue)
{
    const apr_status_t status = queue ? apr_queue_term(queue) : APR_EINVAL;
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to terminate queue: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

int zwu_hash_create(apr_hash_t **hash, apr_pool_t *pool)
{
    if (hash)
        *hash = pool ? apr_hash_make(pool) : nullptr;
    return 0;
}

int zwu_hash_destroy(apr_hash_t *) { return 0; }

int zwu_mutex_create(zwu_mutex_t **mutex, int nested, apr_pool_t *pool)
{
    if (!mutex || !pool) {
        ZWS_LOG_ERROR("Failed to create thread mutex: %s", std::strerror(EINVAL));
        return 22;
    }
    auto *made = new (apr_palloc(pool, sizeof(zwu_mutex_t))) zwu_mutex_t{};
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        // A plain mutex checks its owner, so a relock or a foreign unlock is
        // an error result rather than a hang.
        rc = pthread_mutexattr_settype(&attr, nested == ZWU_MUTEX_NESTED ? PTHREAD_MUTEX_RECURSIVE
                                                                         : PTHREAD_MUTEX_ERRORCHECK);
        if (rc == 0)
            rc = pthread_mutex_init(&made->handle, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to create thread mutex: %s", std::strerror(rc));
        return 22;
    }
    apr_pool_cleanup_register(pool, made, mutex_cleanup, apr_pool_cleanup_null);
    *mutex = made;
    return 0;
}

int zwu_mutex_lock(zwu_mutex_t *mutex)
{
    const int rc = mutex ? pthread_mutex_lock(&mutex->handle) : EINVAL;
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to lock thread mutex: %s", std::strerror(rc));
        return 22;
    }
    mutex->owner.store(pthread_self(), std::memory_order_relaxed);
    mutex->depth++;
    return 0;
}

int zwu_mutex_trylock(zwu_mutex_t *mutex)
{
    const int rc = mutex ? pthread_mutex_trylock(&mutex->handle) : EINVAL;
    if (rc == EBUSY)
        return ZWU_MUTEX_BUSY;
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to trylock thread mutex: %s", std::strerror(rc));
        return 22;
    }
    mutex->owner.store(pthread_self(), std::memory_order_relaxed);
    mutex->depth++;
    return 0;
}

int zwu_mutex_unlock(zwu_mutex_t *mutex)
{
    if (!mutex || !owned_by_caller(mutex)) {
        ZWS_LOG_ERROR("Failed to unlock thread mutex: %s", std::strerror(EPERM));
        return 22;
    }
    if (--mutex->depth == 0)
        mutex->owner.store(pthread_t{}, std::memory_order_relaxed);
    const int rc = pthread_mutex_unlock(&mutex->handle);
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to unlock thread mutex: %s", std::strerror(rc));
        return 22;
    }
    return 0;
}

int zwu_mutex_destroy(zwu_mutex_t *) { return 0; }

int zwu_cond_create(zwu_cond_t **cond, apr_pool_t *pool)
{
    if (!cond || !pool) {
        ZWS_LOG_ERROR("Failed to create thread condvar: %s", std::strerror(EINVAL));
        return 22;
    }
    auto *made = new (apr_palloc(pool, sizeof(zwu_cond_t))) zwu_cond_t{};
    made->pool = pool;
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&made->handle, &attr);
        pthread_condattr_destroy(&attr);
    }
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to create thread condvar: %s", std::strerror(rc));
        return 22;
    }
    apr_pool_cleanup_register(pool, made, cond_cleanup, apr_pool_cleanup_null);
    *cond = made;
    return 0;
}

int zwu_cond_destroy(zwu_cond_t *cond)
{
    if (!cond) {
        ZWS_LOG_ERROR("Failed to destroy thread condvar: %s", std::strerror(EINVAL));
        return 22;
    }
    // Runs the cleanup now and takes it off the pool's list.
    const apr_status_t status = apr_pool_cleanup_run(cond->pool, cond, cond_cleanup);
    if (status != APR_SUCCESS) {
        ZWS_LOG_ERROR("Failed to destroy thread condvar: %s", error_text(status).text);
        return 22;
    }
    return 0;
}

namespace {

// A condition wait releases the mutex once; a nested mutex held twice would
// stay locked and the wait could never be woken by its signaller.
bool waitable(zwu_mutex_t *mutex) { return mutex && owned_by_caller(mutex) && mutex->depth == 1; }

void wait_begin(zwu_mutex_t *mutex)
{
    mutex->depth = 0;
    mutex->owner.store(pthread_t{}, std::memory_order_relaxed);
}

void wait_end(zwu_mutex_t *mutex)
{
    mutex->owner.store(pthread_self(), std::memory_order_relaxed);
    mutex->depth = 1;
}

} // namespace

int zwu_cond_wait(zwu_cond_t *cond, zwu_mutex_t *mutex)
{
    if (!cond || !waitable(mutex)) {
        ZWS_LOG_ERROR("Failed to wait on thread condvar: %s", std::strerror(cond ? EDEADLK : EINVAL));
        return 22;
    }
    wait_begin(mutex);
    const int rc = pthread_cond_wait(&cond->handle, &mutex->handle);
    wait_end(mutex);
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to wait on thread condvar: %s", std::strerror(rc));
        return 22;
    }
    return 0;
}

int zwu_cond_timedwait(zwu_cond_t *cond, zwu_mutex_t *mutex, int64_t usec)
{
    if (!cond || !waitable(mutex)) {
        ZWS_LOG_ERROR("Failed to (timed) wait on thread condvar: %s", std::strerror(cond ? EDEADLK : EINVAL));
        return 22;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (usec > 0) {
        // Whole seconds first, so that a long wait cannot overflow.
        deadline.tv_sec += static_cast<time_t>(usec / 1000000);
        deadline.tv_nsec += static_cast<long>(usec % 1000000) * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    wait_begin(mutex);
    const int rc = pthread_cond_timedwait(&cond->handle, &mutex->handle, &deadline);
    wait_end(mutex);
    if (rc == ETIMEDOUT)
        return ZWU_COND_TIMEDOUT;
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to (timed) wait on thread condvar: %s", std::strerror(rc));
        return 22;
    }
    return 0;
}

int zwu_cond_signal(zwu_cond_t *cond)
{
    const int rc = cond ? pthread_cond_signal(&cond->handle) : EINVAL;
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to signal thread condvar: %s", std::strerror(rc));
        return 22;
    }
    return 0;
}

int zwu_cond_broadcast(zwu_cond_t *cond)
{
    const int rc = cond ? pthread_cond_broadcast(&cond->handle) : EINVAL;
    if (rc != 0) {
        ZWS_LOG_ERROR("Failed to broadcast thread condvar: %s", std::strerror(rc));
        return 22;
    }
    return 0;
}
