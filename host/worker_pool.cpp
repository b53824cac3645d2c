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

// Chunks run on oneTBB where the build has it. Without it (the Windows build)
// and under ThreadSanitizer they run on plain threads with the same semantics:
// every chunk exactly once, on at most WorkerCount() threads at a time, and
// RunChunks returns when all have finished.
#if defined(VESKAR_WITH_TBB) && !defined(__SANITIZE_THREAD__)
#define VESKAR_CHUNKS_ON_TBB 1
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#endif

namespace host {
namespace {

struct Pool {
    std::mutex mutex;
    int count = 0;
#if defined(VESKAR_CHUNKS_ON_TBB)
    std::shared_ptr<tbb::task_arena> arena;
    // oneTBB lets an arena have no more workers than the machine has cores
    // (less one), and says so with a warning of its own on stderr; a count
    // asked for is the count wanted, so the limit is raised to it.
    std::unique_ptr<tbb::global_control> limit;
#endif
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

#if defined(VESKAR_CHUNKS_ON_TBB)

std::shared_ptr<tbb::task_arena> Arena() {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    if (!pool.arena) {
        pool.arena = pool.count > 0 ? std::make_shared<tbb::task_arena>(pool.count)
                                    : std::make_shared<tbb::task_arena>();
    }
    return pool.arena;
}

#else

int ThreadCount() {
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    if (pool.count > 0) {
        return pool.count;
    }
    // hardware_concurrency may answer 0 when it cannot tell.
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

#endif

}  // namespace

void SetWorkerCount(int count) {
    if (count < 0) {
        throw std::invalid_argument("worker count " + std::to_string(count) + " is negative");
    }
    Pool& pool = ThePool();
    std::lock_guard lock(pool.mutex);
    pool.count = count;
#if defined(VESKAR_CHUNKS_ON_TBB)
    pool.arena.reset();
    pool.limit.reset();
    if (count > 0) {
        pool.limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                           static_cast<std::size_t>(count));
    }
#endif
}

#if defined(VESKAR_CHUNKS_ON_TBB)

int WorkerCount() { return Arena()->max_concurrency(); }

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

#else

int WorkerCount() { return ThreadCount(); }

// Threads take chunk numbers from an atomic counter. (ThreadSanitizer builds
// come here too: it cannot see the synchronisation inside the prebuilt oneTBB
// library and would report its task hand-offs as races.) A chunk that throws
// stops the hand-out of further chunks, and the first exception is passed on
// once all threads have joined, as oneTBB cancels and passes it on.
void RunChunks(int count, const std::function<void(int)>& body) {
    if (count <= 0) {
        return;
    }
    const int workers = std::min(ThreadCount(), count);
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
                next = count;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(workers - 1));
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

#endif

}  // namespace host
