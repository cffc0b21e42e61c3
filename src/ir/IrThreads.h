#pragma once

// The engine's one way of spreading work over threads.

#include <thread>
#include <vector>

namespace lumetta::ir {

/// Runs `worker(k)` for k = 0 .. threads - 1: k = 0 on the calling thread, each other one on a
/// thread of its own. Returns when every worker has returned; the threads are joined even when
/// the calling thread's worker throws.
template <class F>
void runWorkers(int threads, F&& worker) {
    std::vector<std::jthread> pool;
    for (int k = 1; k < threads; ++k) pool.emplace_back([&worker, k] { worker(k); });
    worker(0);
}

}  // namespace lumetta::ir
