#pragma once

#include <functional>

#include "host/export.h"

namespace host {

/// Number of worker threads that render chunks; 0 means one per core.
HOST_API void SetWorkerCount(int count);
HOST_API int WorkerCount();

/// Runs body(i) for i in 0 .. count - 1 on the worker pool and returns when
/// all calls have finished.
HOST_API void RunChunks(int count, const std::function<void(int)>& body);

}  // namespace host
