#include "common/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.hpp"

namespace zel {

namespace {

// The CPU quota of the process's cgroup (cgroup v2 cpu.max "quota period"), in whole cores
// rounded up; 0 when there is none.
std::size_t cgroup_cores() {
    std::ifstream f("/sys/fs/cgroup/cpu.max");
    std::string quota, period;
    if (!(f >> quota >> period) || quota == "max") return 0;
    const double q = std::atof(quota.c_str()), p = std::atof(period.c_str());
    if (q <= 0 || p <= 0) return 0;
    return static_cast<std::size_t>((q + p - 1) / p);
}

std::size_t usable_cores() {
    std::size_t cores = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        cores = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cores == 0) cores = std::max(1U, std::thread::hardware_concurrency());
    const std::size_t quota = cgroup_cores();
    return quota > 0 ? std::min(cores, quota) : cores;
}

std::size_t max_threads(std::size_t cores) { return std::max<std::size_t>(16, 8 * cores); }

[[noreturn]] void thread_refused(std::size_t id, std::size_t threads, const std::string& why) {
    throw MemoryError("cannot start thread " + std::to_string(id + 1) + " of " +
                      std::to_string(threads) + " (ZEL_THREADS sets how many): " + why);
}

// Workers that sleep between jobs, so a kernel split into many short jobs (one per block of
// pairs) does not start threads for each. The calling thread runs tasks too.
class Pool {
public:
    static Pool& instance() {
        // A child made by fork() has none of the workers (and perhaps a lock one of them
        // held): it leaves the parent's pool alone and starts one of its own.
        static const int registered = pthread_atfork(nullptr, nullptr, [] { current() = nullptr; });
        (void)registered;
        // Never destroyed: its threads may still be parked when the process exits.
        static std::mutex made;
        std::lock_guard guard(made);
        if (current() == nullptr) current() = new Pool();
        return *current();
    }

    // Held by the host thread whose job the pool runs: the pool serves one job at a time.
    std::mutex& job() { return job_; }

    void run(std::size_t tasks, std::size_t threads,
             const std::function<void(std::size_t, std::size_t)>& task) {
        std::unique_lock lock(mutex_);
        while (workers_.size() + 1 < threads) {
            const std::size_t id = workers_.size() + 1;
            try {
                workers_.emplace_back([this, id] { work(id); });
            } catch (const std::system_error& e) {
                // The workers started so far stay parked for later jobs. The system refuses a
                // thread for want of memory (its stack) or of a process limit: both are memory
                // the user can free or settings they can lower.
                thread_refused(id, threads, e.code().message());
            } catch (const std::bad_alloc&) {
                thread_refused(id, threads, "out of memory");
            }
        }
        task_ = &task;
        tasks_ = tasks;
        helpers_ = threads - 1;
        next_.store(0);
        failed_.store(tasks);
        error_ = nullptr;
        running_ = helpers_;
        ++generation_;
        lock.unlock();
        wake_.notify_all();
        take_tasks(0);
        lock.lock();
        done_.wait(lock, [this] { return running_ == 0; });
        task_ = nullptr;
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    static Pool*& current() {
        static Pool* pool = nullptr;
        return pool;
    }

    void work(std::size_t id) {
        // Now, while the thread's stack was just allocated.
        ready_to_throw();
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (id > helpers_) continue;  // this job wants fewer threads
            lock.unlock();
            take_tasks(id);
            lock.lock();
            if (--running_ == 0) done_.notify_all();
        }
    }

    // Once a task has failed, the tasks after it are skipped: only the lowest failure is
    // reported, and a job failing for want of memory must not keep an exception alive per task
    // (the runtime's reserve for throwing without memory is small).
    void take_tasks(std::size_t worker) {
        for (std::size_t k = next_.fetch_add(1); k < tasks_; k = next_.fetch_add(1)) {
            if (k > failed_.load()) continue;
            try {
                (*task_)(k, worker);
            } catch (...) {
                std::lock_guard guard(error_mutex_);
                if (k < failed_.load()) {
                    failed_.store(k);
                    error_ = std::current_exception();
                }
            }
        }
    }

    std::mutex job_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> workers_;
    const std::function<void(std::size_t, std::size_t)>* task_ = nullptr;
    std::size_t tasks_ = 0, helpers_ = 0, running_ = 0;
    std::uint64_t generation_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> failed_{0};  // the lowest task that failed, else tasks_
    std::mutex error_mutex_;
    std::exception_ptr error_;
};

}  // namespace

std::size_t thread_count() {
    static const std::size_t cores = usable_cores();
    const char* text = std::getenv("ZEL_THREADS");
    if (!text || !*text) return cores;
    std::size_t n = 0;
    const char* end = text + std::char_traits<char>::length(text);
    const auto [stop, error] = std::from_chars(text, end, n);
    const bool huge = error == std::errc::result_out_of_range;
    if (stop != end || (error != std::errc() && !huge) || (!huge && n == 0)) {
        throw ValueError("ZEL_THREADS must be a positive whole number of threads, not '" +
                         std::string(text) + "'");
    }
    // Beyond a few threads a core, more only costs memory (a stack each) and start-up time.
    if (huge) n = std::numeric_limits<std::size_t>::max();
    return std::min(n, max_threads(cores));
}

void parallel_for(std::size_t tasks, std::size_t threads,
                  const std::function<void(std::size_t, std::size_t)>& task) {
    ready_to_throw();  // the caller's thread runs tasks too
    threads = std::max<std::size_t>(1, std::min(threads, tasks));
    if (threads > 1) {
        Pool& pool = Pool::instance();
        std::unique_lock job(pool.job(), std::try_to_lock);
        if (job) {
            pool.run(tasks, threads, task);
            return;
        }
        // The pool runs another host thread's job (or this is one of its tasks): this job runs
        // on its caller's thread alone, which gives the same results, while the pool's threads
        // keep the cores busy with the other.
    }
    for (std::size_t k = 0; k < tasks; ++k) task(k, 0);
}

}  // namespace zel
