// Thread pool: task throughput against boost::asio::thread_pool, and timer lateness.
//
//   QueueWork/<threads>      1,000,000 empty tasks through ThreadPool::QueueWork, TaskMax = threads
//   AsioThreadPool/<threads> the same through boost::asio::post on a thread_pool of that size
//   TimerLateness/<gap>      100,000 timers with random delays of 0 to 10 ms; counters give the
//                            50th/99th percentile and the largest lateness in microseconds.
//                            gap 0 schedules them as fast as one thread can (a burst of about
//                            1M timers/s that saturates 2 cores); gap 2 schedules one every 2 us
//                            on average (500,000 timers/s, in steps of 100 with a sleep between)
//   AsioTimerLateness/<gap>  the same timers as boost::asio::steady_timers on a thread_pool(10)
//   NanosleepLateness        the machine's own floor: lateness of a bare clock_nanosleep to random
//                            deadlines 0 to 1 ms ahead, 5,000 times

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "tarvos/service/Config.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadPool.h"

namespace {

using Tarvos::Ref;
using namespace Tarvos::System;

constexpr int kTasks = 1000000;

Ref<ThreadPool> MakePool(int taskMax) {
    Ref<Tarvos::Service::Config> config;
    Tarvos::Service::CreateScratchConfig(config);
    Ref<Tarvos::Service::Config::View> view;
    config->GetRootView(view);
    view->SetInt("TaskMax", taskMax);
    Ref<ThreadPool> pool;
    GetSystemFactory().CreateThreadPool(view, pool);
    return pool;
}

// Waits without taking a core from the pool under test.
void WaitFor(const std::atomic<int>& counter, int target) {
    while (counter.load(std::memory_order_acquire) < target) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

void BM_QueueWork(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    Ref<ThreadPool> pool = MakePool(threads);
    std::atomic<int> done{0};
    for (auto _ : state) {
        done = 0;
        for (int i = 0; i < kTasks; ++i) {
            pool->QueueWork(MakeTask([&done] { done.fetch_add(1, std::memory_order_release); }));
        }
        WaitFor(done, kTasks);
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
    pool->Shutdown();
    pool->WaitForThreads(-1);
}
BENCHMARK(BM_QueueWork)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AsioThreadPool(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    boost::asio::thread_pool pool(static_cast<size_t>(threads));
    std::atomic<int> done{0};
    for (auto _ : state) {
        done = 0;
        for (int i = 0; i < kTasks; ++i) {
            boost::asio::post(pool, [&done] { done.fetch_add(1, std::memory_order_release); });
        }
        WaitFor(done, kTasks);
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
    pool.join();
}
BENCHMARK(BM_AsioThreadPool)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Schedules 100,000 timers with random delays of 0 to 10 ms through `schedule(delayMicros,
// fire)`, paced as the benchmark's argument asks, waits until every `fire` ran and reports the
// percentiles of their lateness.
template <class Schedule>
void MeasureTimerLateness(benchmark::State& state, Schedule schedule) {
    constexpr int kTimers = 100000;
    const int64_t gapMicros = state.range(0);
    std::vector<int64_t> lateness(kTimers);
    std::mt19937 random(42);
    std::uniform_int_distribution<int64_t> delay(0, 10000);
    double p50 = 0, p99 = 0, worst = 0;
    for (auto _ : state) {
        std::atomic<int> fired{0};
        int64_t next = NowMicros();
        for (int i = 0; i < kTimers; ++i) {
            if (gapMicros > 0 && i % 100 == 0) {
                next += 100 * gapMicros;
                std::this_thread::sleep_until(
                    std::chrono::steady_clock::time_point(std::chrono::microseconds(next)));
            }
            const int64_t wait = delay(random);
            const int64_t due = NowMicros() + wait;
            schedule(wait, [&lateness, &fired, i, due] {
                lateness[static_cast<size_t>(i)] = NowMicros() - due;
                fired.fetch_add(1, std::memory_order_release);
            });
        }
        WaitFor(fired, kTimers);
        std::vector<int64_t> sorted = lateness;
        std::sort(sorted.begin(), sorted.end());
        p50 = static_cast<double>(sorted[kTimers / 2]);
        p99 = static_cast<double>(sorted[kTimers * 99 / 100]);
        worst = static_cast<double>(sorted.back());
    }
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["max_us"] = worst;
}

void BM_TimerLateness(benchmark::State& state) {
    Ref<ThreadPool> pool = MakePool(10);
    pool->EnterThread();
    MeasureTimerLateness(state, [&](int64_t wait, auto fire) {
        Ref<ScheduledItem> item;
        pool->ScheduleTimer(MakeTask(std::move(fire)), wait, item);
    });
    pool->LeaveThread();
    pool->Shutdown();
    pool->WaitForThreads(-1);
}
BENCHMARK(BM_TimerLateness)
    ->Arg(0)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same timers as steady_timers on a boost::asio::thread_pool of the same size.
void BM_AsioTimerLateness(benchmark::State& state) {
    boost::asio::thread_pool pool(10);
    std::vector<std::unique_ptr<boost::asio::steady_timer>> timers;
    MeasureTimerLateness(state, [&](int64_t wait, auto fire) {
        timers.push_back(
            std::make_unique<boost::asio::steady_timer>(pool, std::chrono::microseconds(wait)));
        timers.back()->async_wait([fire](const boost::system::error_code&) { fire(); });
    });
    pool.join();
}
BENCHMARK(BM_AsioTimerLateness)
    ->Arg(0)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_NanosleepLateness(benchmark::State& state) {
    constexpr int kSleeps = 5000;
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> delay(0, 1000);
    std::vector<int64_t> lateness(kSleeps);
    for (auto _ : state) {
        for (int i = 0; i < kSleeps; ++i) {
            const int64_t due = NowMicros() + delay(random);
            std::this_thread::sleep_until(
                std::chrono::steady_clock::time_point(std::chrono::microseconds(due)));
            lateness[static_cast<size_t>(i)] = NowMicros() - due;
        }
    }
    std::sort(lateness.begin(), lateness.end());
    state.counters["p50_us"] = static_cast<double>(lateness[kSleeps / 2]);
    state.counters["p99_us"] = static_cast<double>(lateness[kSleeps * 99 / 100]);
    state.counters["max_us"] = static_cast<double>(lateness.back());
}
BENCHMARK(BM_NanosleepLateness)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
