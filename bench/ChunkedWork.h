// A batch shared among threads the way the library's batch calls share
// their rays: chunks of consecutive items taken in order by each free worker.
#ifndef ZRV_BENCH_CHUNKED_WORK_H
#define ZRV_BENCH_CHUNKED_WORK_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace zrv {
namespace bench {

// Items per chunk, as the wide BVH's batch calls take them.
const std::size_t WORK_CHUNK = 4096;

// Calls work(worker, begin, end) for every chunk of [0, count): on the
// caller's thread for one thread, else on `threads` new std::threads (a new
// pool per call, as the batch calls make theirs), worker in [0, threads).
template <class Work> void run_in_chunks(std::size_t count, unsigned int threads, Work work) {
    const std::size_t chunks = (count + WORK_CHUNK - 1) / WORK_CHUNK;
    std::atomic<std::size_t> next(0);
    const auto take_chunks = [&](unsigned int worker) {
        for (std::size_t c = next++; c < chunks; c = next++)
            work(worker, c * WORK_CHUNK, std::min(count, (c + 1) * WORK_CHUNK));
    };
    if (threads <= 1) {
        take_chunks(0);
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned int k = 0; k < threads; ++k)
        workers.emplace_back(take_chunks, k);
    for (std::thread& worker : workers)
        worker.join();
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_CHUNKED_WORK_H
