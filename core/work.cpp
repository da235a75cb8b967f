#include "core/work.h"

#include "core/wire.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

brolix_wait_fn wait_routine = nullptr;
void* wait_context = nullptr;
bool waiting = false; // run_server_work is under way (on the waiting thread)

thread_local bool worker = false;

// What a worker asks the waiting thread to run for it.
struct call_t {
    const std::function<void()>* fn;
    bool done;
};

// One lock for the calls and for the state of the reads: the waiting thread sleeps on
// one condition for both.
std::mutex lock;
std::condition_variable changed;
std::deque<call_t*> calls;

const std::chrono::milliseconds turn(25);

// Serves the workers' calls and the wait routine until finished() holds (under the lock).
void wait_until(const std::function<bool()>& finished)
{
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        while (!calls.empty()) {
            call_t* call = calls.front();
            calls.pop_front();
            held.unlock();
            (*call->fn)();
            held.lock();
            call->done = true;
            changed.notify_all();
        }
        if (finished())
            return;
        changed.wait_for(held, turn);
        if (wait_routine && !finished() && calls.empty()) {
            auto waited = std::chrono::steady_clock::now() - start;
            held.unlock();
            wait_routine(wait_context,
                         static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
            held.lock();
        }
    }
}

} // namespace

brolix_wait_fn set_wait_routine(brolix_wait_fn routine, void* context, void** previous_context)
{
    brolix_wait_fn previous = wait_routine;
    if (previous_context)
        *previous_context = wait_context;
    wait_routine = routine;
    wait_context = context;
    return previous;
}

bool on_work_thread() { return worker; }

void on_waiting_thread(const std::function<void()>& fn)
{
    if (!worker) {
        fn();
        return;
    }
    call_t call{&fn, false};
    std::unique_lock<std::mutex> held(lock);
    calls.push_back(&call);
    changed.notify_all();
    changed.wait(held, [&] { return call.done; });
}

bool run_server_work(const std::function<void()>& work)
{
    if (!wait_routine || worker || waiting) {
        work();
        return !wire_cancelled();
    }
    waiting = true;
    bool finished = false;
    std::thread thread([&] {
        worker = true;
        work();
        std::lock_guard<std::mutex> held(lock);
        finished = true;
        changed.notify_all();
    });
    wait_until([&] { return finished; });
    thread.join();
    bool cancelled = wire_cancelled();
    set_wire_cancel(false);
    waiting = false;
    return !cancelled;
}

void cancel_server_work() { set_wire_cancel(true); }

void run_reads_in_order(int count, int workers, const std::function<void(int)>& read,
                        const std::function<bool(int)>& use)
{
    if (workers > count)
        workers = count;
    if (workers <= 1) {
        for (int i = 0; i < count; ++i) {
            read(i);
            if (!use(i))
                return;
        }
        return;
    }
    // Reads run at most this far ahead of the uses: what is read waits in memory.
    const int ahead = 2 * workers;
    std::vector<char> ready(count, 0);
    int next_read = 0, next_use = 0;
    bool stop = false;
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            worker = true;
            std::unique_lock<std::mutex> held(lock);
            for (;;) {
                changed.wait(held, [&] { return stop || next_read >= count || next_read < next_use + ahead; });
                if (stop || next_read >= count)
                    return;
                int i = next_read++;
                held.unlock();
                read(i);
                held.lock();
                ready[i] = 1;
                changed.notify_all();
            }
        });
    bool cut_short = false;
    for (int i = 0; i < count; ++i) {
        wait_until([&] { return ready[i] != 0; });
        bool go_on = use(i);
        std::lock_guard<std::mutex> held(lock);
        next_use = i + 1;
        changed.notify_all();
        if (!go_on) {
            stop = cut_short = true;
            // The reads still under way are of no use now.
            set_wire_cancel(true);
            break;
        }
    }
    {
        std::lock_guard<std::mutex> held(lock);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& t : threads)
        t.join();
    if (cut_short)
        set_wire_cancel(false);
}
