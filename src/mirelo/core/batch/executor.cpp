#include "batch/executor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace mirelo::batch {
namespace {

// How often the waiting thread runs the signal handlers.
constexpr auto kSignalInterval = std::chrono::milliseconds(50);

// The work shared by the threads: the next run to start, the finished runs
// not yet handed to the calling thread, and the stop request.
class Board {
public:
    Board(std::vector<RunInput*>& runs, std::vector<RunOutcome>& outcomes, bool stop_on_failure)
        : runs_(runs), outcomes_(outcomes), stop_on_failure_(stop_on_failure) {
        for (RunInput* run : runs_) run->native.cancel = &cancel_;
    }

    // The loop of a worker thread: no Python, no exception escapes.
    void work() {
        for (;;) {
            const std::size_t k = next_.fetch_add(1);
            if (k >= runs_.size() || cancel_.load()) break;
            RunOutcome& outcome = outcomes_[k];
            outcome.started = true;
            try {
                outcome.output = execute(*runs_[k]);
            } catch (...) {
                outcome.failure = std::current_exception();
                if (stop_on_failure_) cancel_.store(true);
            }
            finish(k);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++threads_done_;
        changed_.notify_all();
    }

    void cancel() { cancel_.store(true); }

    // Waits (at most `timeout`) for finished runs; returns them, and whether
    // every thread has ended.
    std::deque<std::size_t> wait(std::chrono::milliseconds timeout, int threads, bool* all_ended) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return !finished_.empty() || threads_done_ == threads; });
        std::deque<std::size_t> done;
        done.swap(finished_);
        *all_ended = threads_done_ == threads && done.empty();
        return done;
    }

private:
    void finish(std::size_t k) {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.push_back(k);
        changed_.notify_all();
    }

    std::vector<RunInput*>& runs_;
    std::vector<RunOutcome>& outcomes_;
    const bool stop_on_failure_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::size_t> finished_;
    int threads_done_ = 0;
};

// The interpreter lock released for the lifetime of the object, taken back
// around the calls made with `with_gil`.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    template <typename F>
    void with_gil(F&& body) {
        PyEval_RestoreThread(state_);
        try {
            body();
        } catch (...) {
            state_ = PyEval_SaveThread();
            throw;
        }
        state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// A pending Python exception, kept while other work goes on.
class HeldException {
public:
    void take_pending() {
        if (exc_ == nullptr) exc_ = py::fetch_exception();
        else PyErr_Clear();
    }
    bool held() const { return exc_ != nullptr; }
    [[noreturn]] void raise() {
        py::restore_exception(exc_);
        exc_ = nullptr;
        py::throw_pending();
    }
    ~HeldException() { Py_XDECREF(exc_); }

private:
    PyObject* exc_ = nullptr;
};

}  // namespace

int default_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

void run_on_threads(std::vector<RunInput*>& runs, std::vector<RunOutcome>& outcomes, int threads,
                    bool stop_on_failure, const std::function<void(std::size_t)>& on_done) {
    outcomes.clear();
    outcomes.resize(runs.size());
    if (runs.empty()) return;
    threads = std::max(1, std::min<int>(threads, static_cast<int>(runs.size())));
    Board board(runs, outcomes, stop_on_failure);
    HeldException raised;
    {
        ReleasedGil gil;
        std::vector<std::thread> workers;
        // Whatever way this block is left, no thread outlives it.
        struct Joiner {
            Board& board;
            std::vector<std::thread>& workers;
            ~Joiner() {
                board.cancel();
                for (std::thread& w : workers) {
                    if (w.joinable()) w.join();
                }
            }
        } joiner{board, workers};
        // Fewer threads than asked when the system refuses more; none: the
        // error is raised.
        try {
            for (int t = 0; t < threads; ++t) workers.emplace_back([&board] { board.work(); });
        } catch (...) {
            if (workers.empty()) throw;
        }
        const int started = static_cast<int>(workers.size());
        for (;;) {
            bool all_ended = false;
            std::deque<std::size_t> done = board.wait(kSignalInterval, started, &all_ended);
            gil.with_gil([&] {
                for (std::size_t k : done) {
                    if (raised.held()) continue;
                    try {
                        on_done(k);
                    } catch (const py::ErrorSet&) {
                        raised.take_pending();
                        board.cancel();
                    }
                }
                if (!raised.held() && PyErr_CheckSignals() < 0) {
                    raised.take_pending();
                    board.cancel();
                }
            });
            if (all_ended) break;
        }
    }
    if (raised.held()) raised.raise();
}

}  // namespace mirelo::batch
