// Runs prepared backtests on native threads while the calling thread, with
// the interpreter lock, turns finished runs into Python objects and serves
// Ctrl-C.
#pragma once

#include "batch/run_input.h"

#include <exception>
#include <functional>
#include <vector>

namespace mirelo::batch {

// The outcome of one run, as the worker left it.
struct RunOutcome {
    bool started = false;
    RunOutput output;
    std::exception_ptr failure;  // a failed run
};

// Runs `runs` on `threads` native threads (at most one per run), the
// interpreter lock released except while `on_done(k)` is called for each
// finished run, in the order they finish.  `stop_on_failure`: a failed run
// keeps the runs not yet started from starting.  Pending signal handlers run
// every few tens of milliseconds; when one raises (KeyboardInterrupt), the
// runs in progress stop at their next poll, none starts, and the exception
// is raised once every thread has ended.  Throws ErrorSet (the handler's
// exception, or the first exception raised by `on_done`).
void run_on_threads(std::vector<RunInput*>& runs, std::vector<RunOutcome>& outcomes, int threads,
                    bool stop_on_failure, const std::function<void(std::size_t)>& on_done);

// The number of threads run_many uses by default: the machine's cores.
int default_threads();

}  // namespace mirelo::batch
