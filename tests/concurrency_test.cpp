// Threads, task pool and mutex. The suite also runs under ThreadSanitizer,
// which turns any missing synchronisation into a failure: results are written
// with plain stores on purpose.
#include "ZrvGfxConcurrency.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Sums 1..n into its own field, the fork-and-join pattern of the tree builds.
class SummingThread : public ZrvGfxThread {
public:
    explicit SummingThread(unsigned long n, std::atomic<bool>* gate = nullptr)
        : n_(n), gate_(gate) {}
    void run() override {
        while (gate_ && !gate_->load())
            std::this_thread::yield();
        for (unsigned long i = 1; i <= n_; ++i)
            sum_ += i;
        ++runs_;
    }
    unsigned long n_;
    std::atomic<bool>* gate_;
    unsigned long sum_ = 0;
    int runs_ = 0;
};

TEST(ZrvGfxThread, ResultsOfManyThreadsAreVisibleAfterWait) {
    std::vector<std::unique_ptr<SummingThread>> threads;
    for (unsigned long i = 0; i < 48; ++i)
        threads.emplace_back(new SummingThread(1000 + 97 * i));
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        thread->wait();
    for (auto& thread : threads) {
        EXPECT_EQ(thread->n_ * (thread->n_ + 1) / 2, thread->sum_);
        EXPECT_EQ(1, thread->runs_);
    }
}

TEST(ZrvGfxThread, WaitWithoutStartAndRepeatedWaitReturn) {
    SummingThread thread(10);
    thread.wait();
    EXPECT_EQ(0, thread.runs_);
    thread.start();
    thread.wait();
    thread.wait();
    EXPECT_EQ(55u, thread.sum_);
    // A second start runs again on the same object.
    thread.start();
    thread.wait();
    EXPECT_EQ(2, thread.runs_);
    EXPECT_EQ(110u, thread.sum_);
}

TEST(ZrvGfxThread, CopyOfARunningThreadIsAFreshUnstartedObject) {
    std::atomic<bool> gate(false);
    SummingThread original(200000, &gate);
    original.start(); // held at the gate until the copy exists
    SummingThread copy(original);
    copy.gate_ = nullptr;
    copy.wait(); // not started: returns at once
    EXPECT_EQ(0, copy.runs_);
    copy.start();
    gate.store(true);
    copy.wait();
    original.wait();
    EXPECT_EQ(1, copy.runs_);
    EXPECT_EQ(1, original.runs_);
    EXPECT_EQ(200000ul * 200001ul / 2, copy.sum_);
    EXPECT_EQ(200000ul * 200001ul / 2, original.sum_);
}

// Writes only to objects outside itself, so that it may keep running while
// the derived part of the object is being destroyed.
class SignallingThread : public ZrvGfxThread {
public:
    SignallingThread(std::atomic<bool>& started, std::atomic<bool>& release, bool& finished)
        : started_(started), release_(release), finished_(finished) {}
    void run() override {
        std::atomic<bool>& release = release_;
        bool& finished = finished_;
        started_.store(true);
        while (!release.load())
            std::this_thread::yield();
        finished = true;
    }
    std::atomic<bool>& started_;
    std::atomic<bool>& release_;
    bool& finished_;
};

TEST(ZrvGfxThread, DestroyingAStartedThreadWaitsForRun) {
    std::atomic<bool> started(false);
    std::atomic<bool> release(false);
    bool finished = false;
    std::thread releaser;
    {
        SignallingThread thread(started, release, finished);
        thread.start();
        while (!started.load())
            std::this_thread::yield();
        releaser = std::thread([&release] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            release.store(true);
        });
    }
    // Plain read: only the join in the destructor orders it after run's write.
    EXPECT_TRUE(finished);
    releaser.join();
}

// Checks from inside the tasks that no two running tasks share a worker index.
struct WorkerGuard {
    explicit WorkerGuard(unsigned int workers) : busy(workers) {}
    std::vector<std::atomic<bool>> busy;
    std::atomic<int> index_out_of_range{0};
    std::atomic<int> index_shared{0};

    void enter(unsigned int worker_index) {
        if (worker_index >= busy.size()) {
            ++index_out_of_range;
            return;
        }
        if (busy[worker_index].exchange(true))
            ++index_shared;
    }
    void leave(unsigned int worker_index) {
        if (worker_index < busy.size())
            busy[worker_index].store(false);
    }
};

struct TaskCounters {
    explicit TaskCounters(std::size_t tasks) : runs(tasks, 0), deletions(tasks) {}
    std::vector<int> runs; // plain ints: each task writes only its own slot
    std::vector<std::atomic<int>> deletions;
};

// Optionally busy for `work` iterations; optionally splits itself into two
// subtasks until the range holds a single slot.
class CountingTask : public ZrvGfxRunnableTask {
public:
    CountingTask(ZrvGfxTaskManager& manager, WorkerGuard& guard, TaskCounters& counters,
                 std::size_t begin, std::size_t end, unsigned long work)
        : manager_(manager), guard_(guard), counters_(counters), begin_(begin), end_(end),
          work_(work) {}
    ~CountingTask() override { ++counters_.deletions[begin_]; }

    void run(unsigned int worker_index) override {
        guard_.enter(worker_index);
        volatile unsigned long sink = 0;
        for (unsigned long i = 0; i < work_; ++i)
            sink = sink + i;
        if (end_ - begin_ > 1) {
            std::size_t middle = begin_ + (end_ - begin_) / 2;
            manager_.add_task(new CountingTask(manager_, guard_, counters_, begin_, middle, work_));
            manager_.add_task(new CountingTask(manager_, guard_, counters_, middle, end_, work_));
        } else {
            ++counters_.runs[begin_];
        }
        guard_.leave(worker_index);
    }

    ZrvGfxTaskManager& manager_;
    WorkerGuard& guard_;
    TaskCounters& counters_;
    std::size_t begin_, end_;
    unsigned long work_;
};

void expect_every_slot_once(const TaskCounters& counters, const WorkerGuard& guard) {
    for (std::size_t i = 0; i < counters.runs.size(); ++i)
        ASSERT_EQ(1, counters.runs[i]) << "slot " << i;
    EXPECT_EQ(0, guard.index_out_of_range.load());
    EXPECT_EQ(0, guard.index_shared.load());
}

TEST(ZrvGfxTaskManager, ThousandsOfTinyTasksRunOnceAndAreDeletedOnce) {
    const std::size_t task_count = 5000;
    for (unsigned int workers : {1u, 2u, 5u}) {
        ZrvGfxTaskManager manager(workers);
        EXPECT_EQ(workers, manager.worker_count());
        WorkerGuard guard(workers);
        TaskCounters counters(task_count);
        for (std::size_t i = 0; i < task_count; ++i)
            manager.add_task(new CountingTask(manager, guard, counters, i, i + 1, 0));
        manager.run_tasks_and_wait();
        expect_every_slot_once(counters, guard);
        for (std::size_t i = 0; i < task_count; ++i)
            ASSERT_EQ(1, counters.deletions[i].load()) << "task " << i;
    }
}

TEST(ZrvGfxTaskManager, SubtasksAddedByRunningTasksFinishInTheSameCall) {
    const std::size_t leaves = 3000;
    ZrvGfxTaskManager manager(3);
    WorkerGuard guard(3);
    TaskCounters counters(leaves);
    manager.add_task(new CountingTask(manager, guard, counters, 0, leaves / 3, 100));
    manager.add_task(new CountingTask(manager, guard, counters, leaves / 3, leaves, 100));
    manager.run_tasks_and_wait();
    expect_every_slot_once(counters, guard);
    // Every split task and every leaf was deleted: a range of k slots makes
    // 2k - 1 tasks, each counted at its first slot.
    int deletions = 0;
    for (std::size_t i = 0; i < leaves; ++i)
        deletions += counters.deletions[i].load();
    EXPECT_EQ(int(2 * leaves - 2), deletions);
}

TEST(ZrvGfxTaskManager, SeveralRoundsOnOneManager) {
    ZrvGfxTaskManager manager(4);
    WorkerGuard guard(4);
    for (int round = 0; round < 20; ++round) {
        const std::size_t slots = 50 + 37 * round;
        TaskCounters counters(slots);
        // One task that fans out to every slot, behind a few single-slot tasks.
        manager.add_task(new CountingTask(manager, guard, counters, 0, 1, 0));
        manager.add_task(new CountingTask(manager, guard, counters, 1, 2, 0));
        manager.add_task(new CountingTask(manager, guard, counters, 2, slots, round % 3 * 50));
        manager.run_tasks_and_wait();
        expect_every_slot_once(counters, guard);
    }
    manager.run_tasks_and_wait(); // nothing queued: returns at once
}

// Records the order in which tasks run.
class OrderTask : public ZrvGfxRunnableTask {
public:
    OrderTask(std::vector<int>& order, int id, unsigned int* seen_index)
        : order_(order), id_(id), seen_index_(seen_index) {}
    void run(unsigned int worker_index) override {
        order_.push_back(id_);
        *seen_index_ = worker_index;
    }
    std::vector<int>& order_;
    int id_;
    unsigned int* seen_index_;
};

// Zero workers means one, with index 0; one worker runs the queue in order.
TEST(ZrvGfxTaskManager, OneWorkerRunsTasksInQueueOrder) {
    for (unsigned int workers : {0u, 1u}) {
        ZrvGfxTaskManager manager(workers);
        EXPECT_EQ(1u, manager.worker_count());
        std::vector<int> order;
        unsigned int seen = 77;
        for (int i = 0; i < 100; ++i)
            manager.add_task(new OrderTask(order, i, &seen));
        manager.run_tasks_and_wait();
        ASSERT_EQ(100u, order.size());
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(i, order[i]);
        EXPECT_EQ(0u, seen);
    }
}

TEST(ZrvGfxTaskManager, QueuedTasksWaitForRunTasksAndWait) {
    std::atomic<int> runs(0);
    std::atomic<int> deletions(0);
    class Probe : public ZrvGfxRunnableTask {
    public:
        Probe(std::atomic<int>& runs, std::atomic<int>& deletions)
            : runs_(runs), deletions_(deletions) {}
        ~Probe() override { ++deletions_; }
        void run(unsigned int) override { ++runs_; }
        std::atomic<int>& runs_;
        std::atomic<int>& deletions_;
    };
    {
        ZrvGfxTaskManager manager(2);
        for (int i = 0; i < 10; ++i)
            manager.add_task(new Probe(runs, deletions));
        // Idle workers get every chance to take the tasks early.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(0, runs.load());
        manager.run_tasks_and_wait();
        EXPECT_EQ(10, runs.load());
        EXPECT_EQ(10, deletions.load());
        // Tasks still queued when the manager goes away are deleted unrun.
        for (int i = 0; i < 4; ++i)
            manager.add_task(new Probe(runs, deletions));
    }
    EXPECT_EQ(10, runs.load());
    EXPECT_EQ(14, deletions.load());
}

TEST(ZrvGfxMutex, ProtectsASharedCounter) {
    ZrvGfxMutex mutex;
    long counter = 0; // plain: only the mutex orders the increments
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                mutex.lock();
                ++counter;
                mutex.unlock();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(8 * 20000, counter);
}

} // namespace
