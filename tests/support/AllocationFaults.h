// Fault injection for the nothrow allocations of the library (operator new
// with std::nothrow, which the aligned allocator and the builders use): a test
// arms a rule, and matching allocations return null.
#ifndef ZRV_TEST_ALLOCATION_FAULTS_H
#define ZRV_TEST_ALLOCATION_FAULTS_H

#include <cstddef>

struct AllocationFaultRule {
    enum Thread { ANY_THREAD, ARMING_THREAD, OTHER_THREADS };
    Thread thread = ANY_THREAD;
    std::size_t min_bytes = 0;
    std::size_t max_bytes = ~std::size_t(0);
    int skip = 0;     // matching allocations to let through first
    int failures = 1; // matching allocations to fail before the rule retires
};

// While an object lives, nothrow allocations matching the rule fail.
class AllocationFaults {
public:
    explicit AllocationFaults(const AllocationFaultRule& rule);
    ~AllocationFaults();
    AllocationFaults(const AllocationFaults&) = delete;
    AllocationFaults& operator=(const AllocationFaults&) = delete;

    // Allocations that were made to fail so far.
    int injected() const;
};

#endif // ZRV_TEST_ALLOCATION_FAULTS_H
