#include "ZrvGfxConcurrency.h"

#include <new>
#include <system_error>

// ---------------------------------------------------------------------------
// ZrvGfxThread

ZrvGfxThread::ZrvGfxThread() {}

ZrvGfxThread::ZrvGfxThread(const ZrvGfxThread&) {}

ZrvGfxThread& ZrvGfxThread::operator=(const ZrvGfxThread&) {
    return *this;
}

ZrvGfxThread::~ZrvGfxThread() {
    wait();
}

void ZrvGfxThread::thread_entry(ZrvGfxThread* self) {
    self->run();
}

void ZrvGfxThread::start() {
    wait();
    try {
        thread_ = std::thread(&ZrvGfxThread::thread_entry, this);
    } catch (const std::system_error&) {
        run();
    } catch (const std::bad_alloc&) {
        run();
    }
}

void ZrvGfxThread::wait() {
    // join() can only fail for a thread that is not joinable, which is ruled
    // out here, or for a thread joining itself, which the owner never does.
    if (thread_.joinable())
        thread_.join();
}

// ---------------------------------------------------------------------------
// ZrvGfxRunnableTask

ZrvGfxRunnableTask::ZrvGfxRunnableTask() : next_queued_(nullptr) {}

ZrvGfxRunnableTask::ZrvGfxRunnableTask(const ZrvGfxRunnableTask&) : next_queued_(nullptr) {}

ZrvGfxRunnableTask& ZrvGfxRunnableTask::operator=(const ZrvGfxRunnableTask&) {
    return *this;
}

ZrvGfxRunnableTask::~ZrvGfxRunnableTask() {}

// ---------------------------------------------------------------------------
// ZrvGfxTaskManager

ZrvGfxTaskManager::ZrvGfxTaskManager(unsigned int worker_count)
    : worker_count_(worker_count == 0 ? 1 : worker_count), queue_head_(nullptr),
      queue_tail_(nullptr), tasks_running_(0), round_active_(false), stopping_(false) {
    try {
        workers_.reserve(worker_count_);
        for (unsigned int index = 0; index < worker_count_; ++index)
            workers_.emplace_back(&ZrvGfxTaskManager::worker_loop, this, index);
    } catch (const std::system_error&) {
        // Keep the workers that exist; with none at all the caller runs the tasks.
    } catch (const std::bad_alloc&) {
    }
}

ZrvGfxTaskManager::~ZrvGfxTaskManager() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_available_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    while (ZrvGfxRunnableTask* task = pop_task())
        delete task;
}

ZrvGfxRunnableTask* ZrvGfxTaskManager::pop_task() {
    ZrvGfxRunnableTask* task = queue_head_;
    if (task) {
        queue_head_ = task->next_queued_;
        if (!queue_head_)
            queue_tail_ = nullptr;
        task->next_queued_ = nullptr;
    }
    return task;
}

void ZrvGfxTaskManager::add_task(ZrvGfxRunnableTask* task) {
    if (!task)
        return;
    bool wake_worker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task->next_queued_ = nullptr;
        if (queue_tail_)
            queue_tail_->next_queued_ = task;
        else
            queue_head_ = task;
        queue_tail_ = task;
        wake_worker = round_active_;
    }
    if (wake_worker)
        work_available_.notify_one();
}

void ZrvGfxTaskManager::run_tasks_and_wait() {
    if (workers_.empty()) {
        run_tasks_on_caller();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!queue_head_)
        return;
    round_active_ = true;
    work_available_.notify_all();
    // The worker that finishes the last task ends the round; its unlock of
    // mutex_ publishes every task's writes to this thread.
    round_finished_.wait(lock, [this] { return !round_active_; });
}

void ZrvGfxTaskManager::run_tasks_on_caller() {
    for (;;) {
        ZrvGfxRunnableTask* task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task = pop_task();
        }
        if (!task)
            return;
        task->run(0);
        delete task;
    }
}

void ZrvGfxTaskManager::worker_loop(unsigned int worker_index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_available_.wait(lock, [this] { return stopping_ || (round_active_ && queue_head_); });
        if (stopping_)
            return;
        ZrvGfxRunnableTask* task = pop_task();
        ++tasks_running_;
        lock.unlock();

        task->run(worker_index);
        delete task;

        lock.lock();
        --tasks_running_;
        // A running task may still add work, so the round ends only when the
        // queue is empty and no task is running.
        if (!queue_head_ && tasks_running_ == 0) {
            round_active_ = false;
            round_finished_.notify_all();
        }
    }
}

// ---------------------------------------------------------------------------
// ZrvGfxMutex

ZrvGfxMutex::ZrvGfxMutex() {}

ZrvGfxMutex::~ZrvGfxMutex() {}

void ZrvGfxMutex::lock() {
    mutex_.lock();
}

void ZrvGfxMutex::unlock() {
    mutex_.unlock();
}
