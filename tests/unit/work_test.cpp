// Work off the calling thread, without a server: where the work runs, who serves its calls
// and the wait, what a Cancel leaves behind, and how far reads run ahead of their uses.
#include "core/wire.h"
#include "core/work.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct waits_t {
    std::thread::id on;
    std::vector<int> waited;
    std::atomic<int> last{0}; // what the work sees of it
    bool cancel = false;
    std::thread::id nested_on; // where work started from the wait itself ran
};

void note_wait(void* context, int waited_ms)
{
    auto* w = static_cast<waits_t*>(context);
    w->on = std::this_thread::get_id();
    w->waited.push_back(waited_ms);
    w->last = waited_ms;
    if (w->nested_on == std::thread::id())
        run_server_work([w] { w->nested_on = std::this_thread::get_id(); });
    if (w->cancel)
        cancel_server_work();
}

// Up to 10 s for a condition another thread makes true.
template <typename Cond> bool soon(Cond cond)
{
    for (int i = 0; i < 1000 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cond();
}

} // namespace

TEST(Work, RunsOffTheWaitingThreadOnlyWithAWaitRoutineAndACancelEndsAsAFailure)
{
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id ran;
    bool on_worker = true;
    // Without a wait routine (start-up, brolix-cli): here, and done.
    EXPECT_TRUE(run_server_work([&] { ran = std::this_thread::get_id(), on_worker = on_work_thread(); }));
    EXPECT_EQ(ran, self);
    EXPECT_FALSE(on_worker);

    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "finished");
        waits_t waits;
        waits.cancel = cancel;
        void* previous_context = nullptr;
        brolix_wait_fn previous = set_wait_routine(note_wait, &waits, &previous_context);
        std::thread::id called_back;
        bool nested_inline = false;
        bool done = run_server_work([&] {
            ran = std::this_thread::get_id();
            on_worker = on_work_thread();
            // A box the work asks for is shown by the waiting thread.
            on_waiting_thread([&] { called_back = std::this_thread::get_id(); });
            // Work inside work runs where it is.
            std::thread::id inner;
            run_server_work([&] { inner = std::this_thread::get_id(); });
            nested_inline = inner == ran;
            // Until the waiting thread has cancelled, or has told of 100 ms waited.
            soon([&] { return cancel ? wire_cancelled() : waits.last.load() >= 100; });
        });
        set_wait_routine(previous, previous_context);
        EXPECT_EQ(done, !cancel);
        EXPECT_NE(ran, self);
        EXPECT_TRUE(on_worker);
        EXPECT_EQ(called_back, self);
        EXPECT_TRUE(nested_inline);
        ASSERT_FALSE(waits.waited.empty());
        EXPECT_EQ(waits.on, self);
        EXPECT_EQ(waits.nested_on, self);
        EXPECT_LE(waits.waited.front(), waits.waited.back());
        if (!cancel) {
            EXPECT_LT(waits.waited.front(), 100);
        }
        // The next piece of work is not cut by this one's Cancel.
        EXPECT_FALSE(wire_cancelled());
    }
}

TEST(Work, ReadsRunBoundedAheadAndInOrderAndStopWhenAUseSaysSo)
{
    struct row_t {
        int count, workers, stop_at; // stop_at: the use that gives false, or -1
    } rows[] = {{20, 3, -1}, {20, 3, 4}, {5, 8, -1}, {6, 1, -1}, {6, 1, 2}, {0, 3, -1}};
    for (const row_t& row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + " items, " + std::to_string(row.workers) + " workers, stop at " +
                     std::to_string(row.stop_at));
        const int workers = std::min(row.count, row.workers);
        std::mutex held;
        std::vector<int> reads, uses;
        std::vector<std::string> order; // "r0", "u0", ... as they happened
        std::atomic<int> started{0}, off_thread{0};
        int most_ahead_seen = 0;
        run_reads_in_order(
            row.count, row.workers,
            [&](int i) {
                ++started;
                off_thread += on_work_thread() ? 1 : 0;
                std::lock_guard<std::mutex> lock(held);
                reads.push_back(i);
                order.push_back("r" + std::to_string(i));
            },
            [&](int i) {
                if (i == 0 && workers > 1) {
                    // The readers fill what may be read ahead of the first use, and no more.
                    EXPECT_TRUE(soon([&] { return started.load() >= std::min(row.count, 2 * workers); }));
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    most_ahead_seen = started.load();
                }
                std::lock_guard<std::mutex> lock(held);
                uses.push_back(i);
                order.push_back("u" + std::to_string(i));
                return i != row.stop_at;
            });
        const int used = row.stop_at < 0 ? row.count : row.stop_at + 1;
        ASSERT_EQ(static_cast<int>(uses.size()), used);
        for (int i = 0; i < used; ++i)
            EXPECT_EQ(uses[i], i);
        if (workers > 1) {
            EXPECT_EQ(most_ahead_seen, std::min(row.count, 2 * workers));
            EXPECT_EQ(off_thread.load(), started.load());
            // Each read once, and none begun past the bound after the last use.
            std::vector<int> sorted = reads;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
            EXPECT_LE(static_cast<int>(reads.size()), std::min(row.count, used + 2 * workers));
        } else {
            // One worker: here, each read just before its use.
            EXPECT_EQ(off_thread.load(), 0);
            std::vector<std::string> expected;
            for (int i = 0; i < used; ++i)
                expected.insert(expected.end(), {"r" + std::to_string(i), "u" + std::to_string(i)});
            EXPECT_EQ(order, expected);
        }
        if (row.stop_at < 0) {
            EXPECT_EQ(static_cast<int>(reads.size()), row.count);
        }
        EXPECT_FALSE(wire_cancelled()); // a stop cuts the reads under way, not later work
    }
}
