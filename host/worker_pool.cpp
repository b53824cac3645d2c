#include "host/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace host {
namespace {

struct Pool {
    std::mutex mutex;
    int count = 0;
    std::shared_ptr<tbb::task_arena> arena;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

std::shared_ptr<tbb::task_arena> Arena() {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    if (!pool.arena) {
        pool.arena = pool.count > 0 ? std::make_shared<tbb::task_arena>(pool.count)
                                    : std::make_shared<tbb::task_arena>();
    }
    return pool.arena;
}

}  // namespace

void SetWorkerCount(int count) {
    if (count < 0) {
        throw std::invalid_argument("worker count " + std::to_string(count) + " is negative");
    }
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    pool.count = count;
    pool.arena.reset();
}

int WorkerCount() {
    return Arena()->max_concurrency();
}

#if defined(__SANITIZE_THREAD__)

// ThreadSanitizer cannot see the synchronisation inside the prebuilt oneTBB
// library and reports its task hand-offs as races, which would hide the
// reports that matter. Sanitizer builds therefore run chunks on plain threads
// that take chunk numbers from an atomic counter: the same concurrency for the
// tool, synchronisation the sanitizer understands.
void RunChunks(int count, const std::function<void(int)>& body) {
    if (count <= 0) {
        return;
    }
    int workers = 0;
    {
        Pool& pool = ThePool();
        std::lock_guard lock(pool.mutex);
        workers = pool.count > 0 ? pool.count : static_cast<int>(std::thread::hardware_concurrency());
    }
    workers = std::max(1, std::min(workers, count));
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        for (int chunk = next++; chunk < count; chunk = next++) {
            try {
                body(chunk);
            } catch (...) {
                std::lock_guard lock(failureMutex);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < workers; ++i) {
        threads.emplace_back(work);
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

#else

void RunChunks(int count, const std::function<void(int)>& body) {
    if (count <= 0) {
        return;
    }
    // The arena is held for the whole run, so a change of the worker count
    // meanwhile takes effect with the next frame.
    std::shared_ptr<tbb::task_arena> arena = Arena();
    arena->execute([&] {
        tbb::parallel_for(tbb::blocked_range<int>(0, count, 1), [&](const tbb::blocked_range<int>& range) {
            for (int chunk = range.begin(); chunk != range.end(); ++chunk) {
                body(chunk);
            }
        });
    });
}

#endif

}  // namespace host
