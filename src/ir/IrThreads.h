#pragma once

// The engine's one way of spreading work over threads.

#include <exception>
#include <type_traits>

namespace lumetta::ir {

/// Runs `call(context, k)` for k = 1 .. threads - 1 on helper threads of a process-wide pool
/// (started the first time they are needed, kept for the next call) and k = 0 on the calling
/// thread. Returns when every call has returned; the first exception thrown by any of them is
/// then rethrown. Calls may nest and may come from several threads at once: a call finding no
/// idle helper starts another one.
void runOnHelpers(int threads, void (*call)(void*, int), void* context);

/// Runs `worker(k)` for k = 0 .. threads - 1: k = 0 on the calling thread, the others on pooled
/// helper threads. Returns when every worker has returned, even when one of them throws.
template <class F>
void runWorkers(int threads, F&& worker) {
    using W = std::remove_reference_t<F>;
    runOnHelpers(
        threads, [](void* context, int k) { (*static_cast<W*>(context))(k); },
        const_cast<void*>(static_cast<const void*>(&worker)));
}

}  // namespace lumetta::ir
