// Server work off the calling thread: a window keeps painting while a server is slow or
// hung, Cancel ends the work as a failed read ends it, and creation reads several
// collections at once. The thread that waits serves the boxes and progress the work asks
// for, so the message and progress routines are only ever called there.
#ifndef BROLIX_CORE_WORK_H
#define BROLIX_CORE_WORK_H

#include <functional>

// Called on the waiting thread about every 25 ms while work runs, with the milliseconds
// waited so far (the window turns its event loop and shows Cancel there).
typedef void (*brolix_wait_fn)(void* context, int waited_ms);
brolix_wait_fn set_wait_routine(brolix_wait_fn routine, void* context, void** previous_context = nullptr);

// Runs work on a worker thread and returns when it has returned. Without a wait routine
// (start-up, brolix-cli) it runs on the calling thread. False when it was cancelled.
bool run_server_work(const std::function<void()>& work);

// Reads items 0 .. count-1, each with read(i) on one of up to `workers` threads, while the
// calling thread hands each read item to use(i), in order, as soon as it is read. Once use
// gives false no further read starts, the ones under way are cut short, and the call
// returns when every thread has ended. Reads run a bounded way ahead of the uses. With
// one worker everything runs on the calling thread, one item after the other.
void run_reads_in_order(int count, int workers, const std::function<void(int)>& read,
                        const std::function<bool(int)>& use);

// Ends the running work as a failed read: its requests fail at once, in flight or new,
// until the work is over. From the waiting thread (Cancel, Exit).
void cancel_server_work();

// True on a thread that run_server_work or run_reads_in_order started.
bool on_work_thread();

// Runs fn on the thread that waits for the work and returns once it has run; called on
// any other thread it runs fn at once.
void on_waiting_thread(const std::function<void()>& fn);

#endif
