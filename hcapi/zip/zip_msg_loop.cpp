#include "hcapi/zip/zip_msg_loop.h"

#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

// Shared by the owner's handle and the worker thread, so that neither has to
// outlive the other: a worker that missed its shutdown time-out still finds
// its semaphore and queue when it wakes.
struct loop_state {
    util_msg_hdlr_fn hdlr = nullptr;
    void *hdlr_data = nullptr;
    util_msg_rel_fn rel = nullptr;
    plt_sem_t sem = nullptr;
    plt_mtx_t mtx = nullptr;  // guards the queue
    util_lst_t *queue = nullptr;

    std::atomic<bool> run{true};
    std::atomic<bool> running{false};
    std::mutex flag_mtx;  // orders run/running changes with their waiters
    std::condition_variable flag_cv;

    ~loop_state()
    {
        util_lst_flush(mtx, &queue);
        if (sem)
            plt_sem_destroy(sem);
        if (mtx)
            plt_mtx_destroy(mtx);
    }

    void set_running(bool on)
    {
        std::lock_guard lk(flag_mtx);
        // A worker that starts after its shutdown must not look alive.
        running.store(on && run.load());
        flag_cv.notify_all();
    }

    void release_queue()
    {
        while (util_lst_t *node = util_lst_get(mtx, &queue)) {
            if (rel)
                rel(util_lst_item(node));
            util_lst_free(node);
        }
    }
};

void worker_main(void *arg)
{
    std::shared_ptr<loop_state> st(std::move(*static_cast<std::shared_ptr<loop_state> *>(arg)));
    delete static_cast<std::shared_ptr<loop_state> *>(arg);
    st->set_running(true);
    bool stop = false;
    while (!stop) {
        plt_sem_wait(st->sem);
        if (!st->run.load())
            break;
        // One post may find several messages, or none.
        while (util_lst_t *node = util_lst_get(st->mtx, &st->queue)) {
            int r = st->hdlr(st->hdlr_data, util_lst_item(node));
            if (st->rel)
                st->rel(util_lst_item(node));
            util_lst_free(node);
            if (r != 0 || !st->run.load()) {
                stop = true;
                break;
            }
        }
    }
    st->set_running(false);
}

}  // namespace

struct util_msg_loop_t {
    std::shared_ptr<loop_state> st;
};

int util_msg_loop_init(util_msg_hdlr_fn hdlr, void *hdlr_data, util_msg_rel_fn rel, uint32_t /*unused*/,
                       util_msg_loop_t **loop)
{
    if (loop == nullptr || hdlr == nullptr)
        return ZIP_ERR_RESOURCE;
    std::unique_ptr<util_msg_loop_t> h(new (std::nothrow) util_msg_loop_t);
    if (!h)
        return ZIP_ERR_MEMORY;
    try {
        h->st = std::make_shared<loop_state>();
    } catch (...) {
        return ZIP_ERR_MEMORY;
    }
    loop_state &st = *h->st;
    st.hdlr = hdlr;
    st.hdlr_data = hdlr_data;
    st.rel = rel;
    if (!plt_sem_init(&st.sem) || !plt_mtx_init(&st.mtx))
        return ZIP_ERR_RESOURCE;
    auto *arg = new (std::nothrow) std::shared_ptr<loop_state>(h->st);
    if (arg == nullptr)
        return ZIP_ERR_MEMORY;
    if (plt_thrd_create(worker_main, arg) != 0) {
        delete arg;
        return ZIP_ERR_RESOURCE;
    }
    {
        std::unique_lock lk(st.flag_mtx);
        st.flag_cv.wait_for(lk, std::chrono::seconds(2), [&st] { return st.running.load(); });
    }
    *loop = h.release();
    return 0;
}

int util_msg_loop_send(util_msg_loop_t *loop, const void *msg, uint8_t length)
{
    if (loop == nullptr || !loop->st->running.load())
        return ZIP_ERR_LOOP_STOPPED;
    int r = util_lst_add(loop->st->mtx, &loop->st->queue, msg, length);
    if (r != 0)
        return r;
    plt_sem_post(loop->st->sem);
    return 0;
}

int util_msg_loop_shutdown(util_msg_loop_t *loop, uint32_t timeout_ms)
{
    if (loop == nullptr)
        return 0;
    loop_state &st = *loop->st;
    {
        std::lock_guard lk(st.flag_mtx);
        st.run.store(false);
    }
    plt_sem_post(st.sem);
    std::unique_lock lk(st.flag_mtx);
    auto ended = [&st] { return !st.running.load(); };
    if (timeout_ms == 0) {
        st.flag_cv.wait(lk, ended);
        return 0;
    }
    return st.flag_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), ended) ? 0 : ZIP_ERR_LOOP_TIMEOUT;
}

void util_msg_loop_exit(util_msg_loop_t *loop)
{
    if (loop == nullptr)
        return;
    loop->st->release_queue();
    delete loop;
}

// ---------------------------------------------------------------------------
// Elapsed-tick counter
// ---------------------------------------------------------------------------

struct util_tick_cnt_t {
    std::atomic<uint32_t> count{0};
    uint32_t period_ms = 1;
    std::mutex mtx;
    std::condition_variable cv;
    bool run = true;
    std::thread thr;

    void loop()
    {
        const auto period = std::chrono::milliseconds(period_ms);
        auto next = std::chrono::steady_clock::now() + period;
        std::unique_lock lk(mtx);
        while (!cv.wait_until(lk, next, [this] { return !run; })) {
            count.fetch_add(1);
            next += period;
        }
    }
};

int util_tick_cnt_start(uint32_t period_ms, util_tick_cnt_t **counter)
{
    if (counter == nullptr)
        return ZIP_ERR_RESOURCE;
    auto *c = new (std::nothrow) util_tick_cnt_t;
    if (c == nullptr)
        return ZIP_ERR_MEMORY;
    c->period_ms = period_ms == 0 ? 1 : period_ms;
    try {
        c->thr = std::thread([c] { c->loop(); });
    } catch (...) {
        delete c;
        return ZIP_ERR_RESOURCE;
    }
    *counter = c;
    return 0;
}

uint32_t util_tick_cnt_get(const util_tick_cnt_t *counter) { return counter ? counter->count.load() : 0; }

void util_tick_cnt_stop(util_tick_cnt_t *counter)
{
    if (counter == nullptr)
        return;
    {
        std::lock_guard lk(counter->mtx);
        counter->run = false;
    }
    counter->cv.notify_all();
    counter->thr.join();
    delete counter;
}
