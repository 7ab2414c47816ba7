// Independent jobs spread over a task pool's workers: the builders' passes
// over disjoint parts of their data.
#ifndef GFX_POOL_JOBS_H
#define GFX_POOL_JOBS_H

#include "ZrvGfxConcurrency.h"

#include <new>

namespace gfx_detail {

template <typename Job> class PoolJobTask final : public ZrvGfxRunnableTask {
public:
    PoolJobTask(const Job& job, unsigned int index) : job_(job), index_(index) {}
    void run(unsigned int) override { job_(index_); }

private:
    const Job& job_;
    unsigned int index_;
};

// Runs job(i) for every i in [0, count) and returns when all have run: on
// the pool's workers, or here without a pool. A job whose task cannot be
// allocated runs here at once, before the pool starts.
template <typename Job> void run_jobs(ZrvGfxTaskManager* pool, unsigned int count, const Job& job) {
    for (unsigned int i = 0; i < count; ++i) {
        PoolJobTask<Job>* task =
            pool != nullptr ? new (std::nothrow) PoolJobTask<Job>(job, i) : nullptr;
        if (task != nullptr)
            pool->add_task(task);
        else
            job(i);
    }
    if (pool != nullptr)
        pool->run_tasks_and_wait();
}

// run_jobs on a pool of up to threads workers started for the call; here,
// without one, for one thread or one job (or when the pool cannot be had).
template <typename Job> void run_jobs_on(unsigned int threads, unsigned int count, const Job& job) {
    ZrvGfxTaskManager* const pool = threads > 1 && count > 1
                                        ? new (std::nothrow)
                                              ZrvGfxTaskManager(threads < count ? threads : count)
                                        : nullptr;
    run_jobs(pool, count, job);
    delete pool;
}

} // namespace gfx_detail

#endif // GFX_POOL_JOBS_H
