// The thread that faults memory in ahead of need.
#include "feed/populate.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <cstdint>
#include <ctime>
#include <mutex>

namespace {

constexpr size_t kStep = size_t{2} << 20;  // one huge page a call: the requests are looked at between
constexpr long kIdleNs = 5 * 1000 * 1000;

struct Request {
    char* base = nullptr;
    size_t length = 0;
    size_t done = 0;
};
// std::mutex has no destructor work: the detached thread may still hold it while the process exits.
std::mutex gLock;
Request gRequests[kPopulateKinds];
bool gStarted = false;  // under gLock
bool gBusy = false;     // under gLock: the thread is faulting a range in

void* PopulateMain(void*) {
    // The lowest priority there is: on a core it shares with the relay thread (a bridge pinned to
    // one core), it runs only while the relay waits for data, and gives way at once when a datagram
    // arrives.
    struct sched_param lowest = {};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
    for (;;) {
        char* at = nullptr;
        size_t length = 0;
        int kind = 0;
        {
            std::lock_guard<std::mutex> hold(gLock);
            for (; kind < kPopulateKinds; ++kind) {
                const Request& r = gRequests[kind];
                if (r.done < r.length) {
                    at = r.base + r.done;
                    length = r.length - r.done < kStep ? r.length - r.done : kStep;
                    break;
                }
            }
            gBusy = at != nullptr;
        }
        if (at == nullptr) {
            const struct timespec idle = {0, kIdleNs};
            nanosleep(&idle, nullptr);
            continue;
        }
        // A range unmapped meanwhile (a table given back) fails harmlessly; any failure ends the
        // request, so that an old kernel is not asked again and again.
        const bool populated = madvise(at, length, MADV_POPULATE_WRITE) == 0;
        std::lock_guard<std::mutex> hold(gLock);
        gBusy = false;
        Request& r = gRequests[kind];
        if (r.base + r.done == at) {  // still the same request
            r.done = populated ? r.done + length : r.length;
        }
    }
    return nullptr;
}

}  // namespace

void PopulateInBackground(PopulateKind kind, void* base, size_t length) {
    std::unique_lock<std::mutex> hold(gLock, std::try_to_lock);
    if (!hold.owns_lock()) {
        return;
    }
    Request& r = gRequests[kind];
    if (r.base != base) {
        r = Request{static_cast<char*>(base), length, 0};
    } else if (length > r.length) {
        r.length = length;
    }
    if (!gStarted) {
        pthread_t thread;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        gStarted = pthread_create(&thread, &attributes, PopulateMain, nullptr) == 0;
        pthread_attr_destroy(&attributes);
        if (gStarted) {
            pthread_setname_np(thread, "bcst-populate");
        }
    }
}

bool PopulateIdle() {
    std::unique_lock<std::mutex> hold(gLock, std::try_to_lock);
    if (!hold.owns_lock() || gBusy) {
        return false;
    }
    for (const Request& r : gRequests) {
        if (r.done < r.length) {
            return false;
        }
    }
    return true;
}
