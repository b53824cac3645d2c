#include "host/worker_pool.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

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

}  // namespace host
