// Events and Sleep.
//
// An event is a flag under the slot's mutex with a condition variable on the monotonic clock.
// Auto-reset events hand a signal to exactly one waiter; manual-reset ones stay signalled.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "handle_table.hpp"
#include "win32api.hpp"

using native::Kind;
using native::Slot;
using native::SlotRef;

namespace {

timespec AfterMs(DWORD milliseconds) {
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += static_cast<time_t>(milliseconds / 1000);
    at.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*security*/, BOOL manualReset, BOOL initialState,
                    LPCSTR /*name*/) {
    Slot* slot = native::Reserve();
    if (slot == nullptr) return nullptr;  // as on Windows: null, not INVALID_HANDLE_VALUE
    slot->fd = -1;
    slot->wakeFd = -1;
    pthread_mutex_lock(&slot->lock);
    slot->manualReset = manualReset != FALSE;
    slot->signalled = initialState != FALSE;
    pthread_mutex_unlock(&slot->lock);
    return native::Publish(slot, Kind::Event);
}

BOOL SetEvent(HANDLE event) {
    SlotRef slot(event);
    if (!slot || slot->kind != Kind::Event) return FALSE;
    pthread_mutex_lock(&slot->lock);
    slot->signalled = true;
    if (slot->manualReset) {
        pthread_cond_broadcast(&slot->changed);
    } else {
        pthread_cond_signal(&slot->changed);
    }
    pthread_mutex_unlock(&slot->lock);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    SlotRef slot(object);
    if (!slot || slot->kind != Kind::Event) return WAIT_FAILED;
    const timespec deadline = AfterMs(milliseconds == INFINITE ? 0 : milliseconds);
    DWORD result = WAIT_TIMEOUT;
    pthread_mutex_lock(&slot->lock);
    for (;;) {
        // A close from another thread ends the wait as a failure, never as a signal.
        if (!native::IsOpen(*slot)) {
            result = WAIT_FAILED;
            break;
        }
        if (slot->signalled) {
            if (!slot->manualReset) slot->signalled = false;
            result = WAIT_OBJECT_0;
            break;
        }
        if (milliseconds == 0) break;
        if (milliseconds == INFINITE) {
            pthread_cond_wait(&slot->changed, &slot->lock);
        } else if (pthread_cond_timedwait(&slot->changed, &slot->lock, &deadline) == ETIMEDOUT) {
            // One last look: a signal that raced the timeout still counts.
            if (native::IsOpen(*slot) && slot->signalled) {
                if (!slot->manualReset) slot->signalled = false;
                result = WAIT_OBJECT_0;
            }
            break;
        }
    }
    pthread_mutex_unlock(&slot->lock);
    return result;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    // An absolute deadline, so a signal that interrupts the sleep does not restart it in full.
    const timespec deadline = AfterMs(milliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
