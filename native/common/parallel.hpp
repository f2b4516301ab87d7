// Worker threads for the kernels. Work is split into numbered tasks; which thread runs a task
// never changes a result, because every task writes only its own outputs and anything summed
// across tasks is summed afterwards in task order.
#pragma once

#include <cstddef>
#include <functional>

namespace zel {

// Threads the kernels use: ZEL_THREADS when it is set, else the cores this process may run on
// (its CPU affinity, lowered to the CPU quota of its cgroup). ZEL_THREADS must be a positive
// integer (else a ValueError naming it) and is lowered to eight threads a core (at least 16).
// Read at every call, so a host that changes the variable is followed from the next operation.
std::size_t thread_count();

// Runs task(k, worker) for every k in [0, tasks) on up to `threads` threads, the calling thread
// among them (worker 0), and returns when all have run; `worker` < `threads` names the thread,
// for per-thread scratch space. An exception from a task is rethrown here, after every
// running task has ended; of several, the one of the lowest task. Once a task has failed, the
// tasks after it may not run. Any number of threads may call it at once: the threads serve one
// call at a time, and a call that finds them busy runs its tasks on its own thread.
void parallel_for(std::size_t tasks, std::size_t threads,
                  const std::function<void(std::size_t task, std::size_t worker)>& task);

}  // namespace zel
