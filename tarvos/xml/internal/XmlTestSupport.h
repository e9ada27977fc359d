#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>

namespace Tarvos::Xml {

// Runs `body` on a thread whose stack is only `stackBytes` large and waits for it. Tests of deep
// documents use it so that any recursion proportional to the depth overflows at once, also in
// optimised builds whose frames are small. Exceptions from `body` are rethrown.
inline void RunOnSmallStack(const std::function<void()>& body, size_t stackBytes = 1024 * 1024) {
    struct Job {
        const std::function<void()>* body;
        std::exception_ptr failure;
    } job{&body, nullptr};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    const int started = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            auto* running = static_cast<Job*>(argument);
            try {
                (*running->body)();
            } catch (...) {
                running->failure = std::current_exception();
            }
            return nullptr;
        },
        &job);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        throw std::runtime_error("pthread_create failed");
    }
    pthread_join(thread, nullptr);
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
}

}  // namespace Tarvos::Xml
