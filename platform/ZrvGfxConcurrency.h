// Threads, a task pool and a mutex for the library's parallel builds.
//
// Built on the C++ standard thread library. Nothing here throws: when the
// system refuses to create a thread, the work runs on the calling thread
// instead, so a build always completes (only more slowly).
#ifndef ZRV_GFX_CONCURRENCY_H
#define ZRV_GFX_CONCURRENCY_H

#include "gfxExport.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// A thread object that runs its own run(). Subclasses add their fields and
// override run(); the owner calls start() and later wait(), and reads the
// results from the object only after wait() has returned.
class GFX_API ZrvGfxThread {
public:
    // The work of the thread. Declared before the destructor on purpose: the
    // order of the table of virtual operations is part of the interface.
    virtual void run() = 0;
    // Waits for a thread that was started and not yet waited for. A subclass
    // whose objects may be destroyed while running should call wait() in its
    // own destructor, before its fields go away.
    virtual ~ZrvGfxThread();

    ZrvGfxThread();
    // A copy is a fresh, unstarted thread object: nothing of a running thread
    // is shared with it.
    ZrvGfxThread(const ZrvGfxThread& other);
    // Leaves this object's own thread alone; there is nothing else to copy.
    ZrvGfxThread& operator=(const ZrvGfxThread& other);

    // Begins run() on a new thread and returns at once. If no thread can be
    // created, run() executes here before start() returns. Starting a thread
    // that is still running first waits for it.
    void start();
    // Blocks until run() has returned; its writes are visible afterwards.
    // Returns at once when the thread was never started or already waited for.
    void wait();

private:
    static void thread_entry(ZrvGfxThread* self);

    std::thread thread_;
};

// A unit of work for ZrvGfxTaskManager.
class GFX_API ZrvGfxRunnableTask {
public:
    // Declared before run() on purpose: the order of the table of virtual
    // operations is part of the interface.
    virtual ~ZrvGfxRunnableTask();
    // worker_index identifies the worker running the task (0 to
    // worker_count - 1); no two tasks running at the same moment share it, so
    // tasks may use it to pick per-worker scratch memory.
    virtual void run(unsigned int worker_index) = 0;

    ZrvGfxRunnableTask();
    ZrvGfxRunnableTask(const ZrvGfxRunnableTask& other);
    ZrvGfxRunnableTask& operator=(const ZrvGfxRunnableTask& other);

private:
    friend class ZrvGfxTaskManager;
    // Link of the manager's queue; the queue needs no allocation this way.
    ZrvGfxRunnableTask* next_queued_;
};

// A fixed pool of workers, created at construction and reused by every
// run_tasks_and_wait(). One thread drives the manager: add_task() may also be
// called from inside running tasks, run_tasks_and_wait() may not.
class GFX_API ZrvGfxTaskManager {
public:
    // worker_count 0 is treated as 1.
    explicit ZrvGfxTaskManager(unsigned int worker_count);
    // Stops and joins the workers; deletes tasks that were queued but never run.
    ~ZrvGfxTaskManager();

    ZrvGfxTaskManager(const ZrvGfxTaskManager&) = delete;
    ZrvGfxTaskManager& operator=(const ZrvGfxTaskManager&) = delete;

    // Queues task behind those already queued and takes ownership of it.
    // Queued tasks start only in run_tasks_and_wait(); tasks added by a
    // running task are run by the same run_tasks_and_wait() call.
    void add_task(ZrvGfxRunnableTask* task);
    // Runs every queued task exactly once, in queue order as workers become
    // free, deletes each after its run, and returns when all have finished;
    // the tasks' writes are visible to the caller afterwards.
    void run_tasks_and_wait();

    unsigned int worker_count() const { return worker_count_; }

private:
    void worker_loop(unsigned int worker_index);
    ZrvGfxRunnableTask* pop_task();
    void run_tasks_on_caller();

    unsigned int worker_count_;
    std::vector<std::thread> workers_; // fewer than worker_count_ if the system ran out
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable round_finished_;
    ZrvGfxRunnableTask* queue_head_;
    ZrvGfxRunnableTask* queue_tail_;
    unsigned int tasks_running_;
    bool round_active_; // workers take tasks only during run_tasks_and_wait()
    bool stopping_;
};

// A plain mutual-exclusion lock; never locked twice by the same thread.
class GFX_API ZrvGfxMutex {
public:
    ZrvGfxMutex();
    ~ZrvGfxMutex();

    ZrvGfxMutex(const ZrvGfxMutex&) = delete;
    ZrvGfxMutex& operator=(const ZrvGfxMutex&) = delete;

    void lock();
    void unlock();

private:
    std::mutex mutex_;
};

#endif // ZRV_GFX_CONCURRENCY_H
