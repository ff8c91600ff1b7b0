// _beginthread: a detached pthread with a stack of at least the size asked for.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "win32api.hpp"

namespace {

struct ThreadStart {
    void (*procedure)(void*);
    void* argument;
};

void* Run(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.procedure(start.argument);
    return nullptr;
}

std::size_t StackSize(unsigned asked) {
    std::size_t size = asked;
    // 0 asks for the default, as with the C runtime.
    if (size == 0) return 0;
    size = std::max<std::size_t>(size, PTHREAD_STACK_MIN);
#if defined(VPIVG_SANITIZED)
    // Instrumented code uses several times the stack of a plain build.
    size = std::max<std::size_t>(size, std::size_t{1} << 20);
#endif
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (size + pageSize - 1) / pageSize * pageSize;
}

}  // namespace

std::uintptr_t _beginthread(void (*procedure)(void*), unsigned stackSize, void* argument) {
    const auto failed = static_cast<std::uintptr_t>(-1);
    if (procedure == nullptr) return failed;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return failed;
    bool ok = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
    const std::size_t size = StackSize(stackSize);
    if (ok && size != 0) ok = pthread_attr_setstacksize(&attributes, size) == 0;
    auto* start = ok ? new (std::nothrow) ThreadStart{procedure, argument} : nullptr;
    pthread_t thread{};
    if (start != nullptr && pthread_create(&thread, &attributes, Run, start) != 0) {
        delete start;
        start = nullptr;
    }
    pthread_attr_destroy(&attributes);
    if (start == nullptr) return failed;
    return static_cast<std::uintptr_t>(thread);
}
