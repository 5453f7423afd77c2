#include "fault_injection.h"

#include <cstdint>
#include <cstring>

// glibc's own entry points: a program may replace malloc and friends, and
// glibc itself (strdup included) then calls the replacements.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
}

namespace {

long s_countdown = -1;  // allocations to let through before the failure; -1 when disarmed
bool s_delivered = false;
bool s_tracking = false;

// Blocks allocated while tracking, in a fixed open-addressing set: the hook
// cannot allocate for itself.
constexpr size_t kSlots = size_t(1) << 16;
void *s_live[kSlots];
size_t s_live_count = 0;

size_t slot_of(void *p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 48; }

void remember(void *p) {
    if (!s_tracking || p == nullptr || s_live_count + 1 >= kSlots) return;
    size_t i = slot_of(p);
    while (s_live[i] != nullptr) i = (i + 1) & (kSlots - 1);
    s_live[i] = p;
    ++s_live_count;
}

void forget(void *p) {
    if (p == nullptr || s_live_count == 0) return;
    size_t i = slot_of(p);
    while (s_live[i] != nullptr) {
        if (s_live[i] == p) {
            // Backward-shift the run so that later entries stay reachable.
            size_t hole = i;
            for (size_t j = (i + 1) & (kSlots - 1); s_live[j] != nullptr; j = (j + 1) & (kSlots - 1)) {
                const size_t home = slot_of(s_live[j]);
                const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
                if (!stays) {
                    s_live[hole] = s_live[j];
                    s_live[j] = nullptr;
                    hole = j;
                }
            }
            s_live[hole] = nullptr;
            --s_live_count;
            return;
        }
        i = (i + 1) & (kSlots - 1);
    }
}

bool fail_now() {
    if (s_countdown < 0) return false;
    if (s_countdown-- > 0) return false;
    s_delivered = true;
    return true;
}

}  // namespace

extern "C" {

void *malloc(size_t size) {
    if (fail_now()) return nullptr;
    void *p = __libc_malloc(size);
    remember(p);
    return p;
}

void *calloc(size_t count, size_t size) {
    if (fail_now()) return nullptr;
    void *p = __libc_calloc(count, size);
    remember(p);
    return p;
}

void *realloc(void *ptr, size_t size) {
    if (fail_now()) return nullptr;  // the old block stays as it was
    void *p = __libc_realloc(ptr, size);
    if (p != nullptr || size == 0) {
        forget(ptr);
        remember(p);
    }
    return p;
}

void free(void *ptr) {
    forget(ptr);
    __libc_free(ptr);
}

}  // extern "C"

namespace fault {

void fail_nth(long n) {
    s_delivered = false;
    s_countdown = n;
}
void disarm() { s_countdown = -1; }
bool failure_delivered() { return s_delivered; }

void start_tracking() {
    std::memset(s_live, 0, sizeof s_live);
    s_live_count = 0;
    s_tracking = true;
}
size_t leaked() { return s_live_count; }
void stop_tracking() { s_tracking = false; }

}  // namespace fault
