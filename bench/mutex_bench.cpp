// An uncontended Lock + Unlock of a factory-made Mutex, called through the LockableObject
// interface, against pthread_mutex_lock/unlock on a default pthread mutex.
#include <pthread.h>

#include <benchmark/benchmark.h>

#include "tarvos/core/Ref.h"
#include "tarvos/system/Mutex.h"
#include "tarvos/system/SystemFactory.h"

namespace {

void BM_TarvosMutexLockUnlock(benchmark::State& state) {
    Tarvos::Ref<Tarvos::System::Mutex> mutex;
    Tarvos::System::GetSystemFactory().CreateMutex(mutex);
    // Through the interface, as callers hold it.
    Tarvos::System::LockableObject* lockable = mutex.Get();
    benchmark::DoNotOptimize(lockable);
    for (auto _ : state) {
        lockable->Lock();
        lockable->Unlock();
    }
}
BENCHMARK(BM_TarvosMutexLockUnlock);

void BM_PthreadMutexLockUnlock(benchmark::State& state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t* target = &mutex;
    benchmark::DoNotOptimize(target);
    for (auto _ : state) {
        pthread_mutex_lock(target);
        pthread_mutex_unlock(target);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadMutexLockUnlock);

// The kind of pthread mutex the factory's Mutex is built on (it reports relocking and foreign
// unlocks): shows how much of the difference the mutex type itself accounts for.
void BM_PthreadErrorCheckMutexLockUnlock(benchmark::State& state) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    pthread_mutex_t* target = &mutex;
    benchmark::DoNotOptimize(target);
    for (auto _ : state) {
        pthread_mutex_lock(target);
        pthread_mutex_unlock(target);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadErrorCheckMutexLockUnlock);

}  // namespace

BENCHMARK_MAIN();
