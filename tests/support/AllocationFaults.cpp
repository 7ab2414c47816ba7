#include "AllocationFaults.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

std::atomic<bool> armed{false};
std::atomic<int> to_skip{0}, remaining{0}, injected_count{0};
AllocationFaultRule active_rule;
std::thread::id arming_thread;

bool should_fail(std::size_t bytes) {
    if (!armed.load(std::memory_order_acquire) || bytes < active_rule.min_bytes ||
        bytes > active_rule.max_bytes)
        return false;
    const bool on_arming_thread = std::this_thread::get_id() == arming_thread;
    if ((active_rule.thread == AllocationFaultRule::ARMING_THREAD && !on_arming_thread) ||
        (active_rule.thread == AllocationFaultRule::OTHER_THREADS && on_arming_thread))
        return false;
    if (to_skip.fetch_sub(1) > 0 || remaining.fetch_sub(1) <= 0)
        return false;
    injected_count.fetch_add(1);
    return true;
}

void* allocate(std::size_t bytes) noexcept {
    return should_fail(bytes) ? nullptr : std::malloc(bytes > 0 ? bytes : 1);
}

} // namespace

AllocationFaults::AllocationFaults(const AllocationFaultRule& rule) {
    active_rule = rule;
    arming_thread = std::this_thread::get_id();
    to_skip.store(rule.skip);
    remaining.store(rule.failures);
    injected_count.store(0);
    armed.store(true, std::memory_order_release);
}

AllocationFaults::~AllocationFaults() {
    armed.store(false, std::memory_order_release);
}

int AllocationFaults::injected() const {
    return injected_count.load();
}

// The nothrow forms are replaced; every form frees through free(), so all
// forms must come from malloc here.
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    return allocate(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
    return allocate(bytes);
}
void* operator new(std::size_t bytes) {
    void* p = std::malloc(bytes > 0 ? bytes : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t bytes) {
    return operator new(bytes);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
