// The task pool, also under ThreadSanitizer: results are plain stores on
// purpose, so that missing synchronisation fails.
#include "ZrvGfxConcurrency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

class FunctionTask : public ZrvGfxRunnableTask {
public:
    FunctionTask(std::function<void(unsigned int)> run, std::atomic<int>& deletions)
        : run_(std::move(run)), deletions_(deletions) {}
    ~FunctionTask() override { ++deletions_; }
    void run(unsigned int worker_index) override { run_(worker_index); }
    std::function<void(unsigned int)> run_;
    std::atomic<int>& deletions_;
};

// Tasks split down to one slot each; running tasks never share a worker.
struct TaskLedger {
    TaskLedger(ZrvGfxTaskManager& manager, std::size_t slots)
        : manager(manager), busy(manager.worker_count()), runs(slots, 0) {}
    ZrvGfxTaskManager& manager;
    std::vector<std::atomic<bool>> busy;
    std::atomic<int> bad_index{0}, deletions{0};
    std::vector<int> runs; // plain ints: each task writes only its own slot

    void add(std::size_t begin, std::size_t end) {
        manager.add_task(new FunctionTask(
            [=](unsigned int worker) {
                if (worker >= busy.size() || busy[worker].exchange(true)) {
                    ++bad_index;
                    return;
                }
                if (end - begin > 1) {
                    add(begin, begin + (end - begin) / 2);
                    add(begin + (end - begin) / 2, end);
                } else {
                    ++runs[begin];
                }
                busy[worker].store(false);
            },
            deletions));
    }
};

// Every slot runs once and every task, split or not, is deleted once (k
// slots make 2k - 1 tasks), in one call. Zero workers means one.
TEST(ZrvGfxTaskManager, TasksWaitForTheCallRunOnceAndAreDeletedOnce) {
    for (unsigned int workers : {0u, 2u, 5u}) {
        ZrvGfxTaskManager manager(workers);
        EXPECT_EQ(std::max(workers, 1u), manager.worker_count());
        for (int round = 0; round < 4; ++round) {
            const std::size_t tiny = 500 + 300 * round, slots = tiny + 900;
            TaskLedger ledger(manager, slots);
            for (std::size_t i = 0; i < tiny; ++i)
                ledger.add(i, i + 1);
            ledger.add(tiny, tiny + 300);
            ledger.add(tiny + 300, slots);
            manager.run_tasks_and_wait();
            EXPECT_EQ(0, ledger.bad_index.load());
            EXPECT_EQ(ledger.runs, std::vector<int>(slots, 1));
            EXPECT_EQ(int(tiny + 2 * 900 - 2), ledger.deletions.load());
        }
        manager.run_tasks_and_wait(); // nothing queued: returns at once
    }
    // Queued tasks wait for run_tasks_and_wait; tasks still queued when the
    // manager goes away are deleted unrun.
    std::atomic<int> runs(0), deletions(0);
    const auto probe = [&] { return new FunctionTask([&](unsigned int) { ++runs; }, deletions); };
    {
        ZrvGfxTaskManager manager(2);
        for (int i = 0; i < 10; ++i)
            manager.add_task(probe());
        // Idle workers get every chance to take the tasks early.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(0, runs.load());
        manager.run_tasks_and_wait();
        EXPECT_EQ(std::make_pair(10, 10), std::make_pair(runs.load(), deletions.load()));
        for (int i = 0; i < 4; ++i)
            manager.add_task(probe());
    }
    EXPECT_EQ(std::make_pair(10, 14), std::make_pair(runs.load(), deletions.load()));
}

} // namespace
