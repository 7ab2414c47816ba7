// Fault injection: while a rule is armed, the library's nothrow allocations
// that match it return null.
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
