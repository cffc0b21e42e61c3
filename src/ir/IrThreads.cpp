#include "ir/IrThreads.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lumetta::ir {

namespace {

// What one runOnHelpers call waits for: its helpers' calls, and the first exception.
struct Batch {
    std::mutex lock;
    std::condition_variable finished;
    int pending = 0;
    std::exception_ptr error;

    void done(std::exception_ptr e) {
        std::lock_guard guard(lock);
        if (e && !error) error = std::move(e);
        if (--pending == 0) finished.notify_all();
    }
};

// Creating a thread per parallel loop cost a conversion about a hundred thread starts and fresh
// stacks; helpers now wait for the next piece of work instead.
class HelperPool {
  public:
    ~HelperPool() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        for (auto& h : helpers_) h->wake.notify_all();
        for (auto& h : helpers_)
            if (h->thread.joinable()) h->thread.join();
    }

    void run(int threads, void (*call)(void*, int), void* context) {
        Batch batch;
        batch.pending = threads - 1;
        {
            std::lock_guard guard(lock_);
            for (int k = 1; k < threads; ++k) {
                Helper* h = idleHelper();
                h->job = Job{call, context, k, &batch};
                h->busy = true;
                h->wake.notify_one();
            }
        }
        std::exception_ptr own;
        try {
            call(context, 0);
        } catch (...) {
            own = std::current_exception();
        }
        std::unique_lock wait(batch.lock);
        batch.finished.wait(wait, [&] { return batch.pending == 0; });
        if (own) std::rethrow_exception(own);
        if (batch.error) std::rethrow_exception(batch.error);
    }

  private:
    struct Job {
        void (*call)(void*, int) = nullptr;
        void* context = nullptr;
        int k = 0;
        Batch* batch = nullptr;
    };
    struct Helper {
        std::condition_variable wake;
        Job job;
        bool busy = false;
        std::thread thread;  // last: started once the rest is in place
    };

    // With lock_ held.
    Helper* idleHelper() {
        for (auto& h : helpers_)
            if (!h->busy) return h.get();
        helpers_.push_back(std::make_unique<Helper>());
        Helper* h = helpers_.back().get();
        h->thread = std::thread([this, h] { loop(*h); });
        return h;
    }

    // Runs on the helper's own thread.
    void loop(Helper& h) {
        std::unique_lock guard(lock_);
        for (;;) {
            h.wake.wait(guard, [&] { return h.busy || stopping_; });
            if (!h.busy) return;
            const Job job = h.job;
            guard.unlock();
            std::exception_ptr error;
            try {
                job.call(job.context, job.k);
            } catch (...) {
                error = std::current_exception();
            }
            guard.lock();
            h.busy = false;
            // Reported with lock_ held: the caller cannot hand this helper new work before
            // the batch it belongs to has been told.
            job.batch->done(std::move(error));
        }
    }

    std::mutex lock_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Helper>> helpers_;
};

}  // namespace

void runOnHelpers(int threads, void (*call)(void*, int), void* context) {
    if (threads <= 1) {
        call(context, 0);
        return;
    }
    static HelperPool pool;
    pool.run(threads, call, context);
}

}  // namespace lumetta::ir
