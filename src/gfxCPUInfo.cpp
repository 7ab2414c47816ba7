#include "gfxCPUInfo.h"

#include <cpuid.h>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <new>
#include <unistd.h>

gfxCPUInfo* gfxCPUInfo::instance_ = nullptr;

namespace {

constexpr unsigned int kSSEBit = 0x2000000;  // CPUID leaf 1, EDX bit 25
constexpr unsigned int kSSE2Bit = 0x4000000; // CPUID leaf 1, EDX bit 26

thread_local sigjmp_buf probe_escape;

void EscapeIllegalInstruction(int) {
    siglongjmp(probe_escape, 1);
}

// Runs probe with SIGILL turned into a jump back here; false when the probe
// raised it. The previous SIGILL disposition is restored afterwards.
template <typename Probe> bool ExecutesWithoutSigill(Probe probe) {
    struct sigaction guard = {};
    struct sigaction previous = {};
    guard.sa_handler = EscapeIllegalInstruction;
    sigemptyset(&guard.sa_mask);
    if (sigaction(SIGILL, &guard, &previous) != 0)
        return false;
    volatile bool executed = false;
    if (sigsetjmp(probe_escape, 1) == 0) {
        probe();
        executed = true;
    }
    sigaction(SIGILL, &previous, nullptr);
    return executed;
}

// Claims the single release registration.
bool release_registered = false;

} // namespace

gfxCPUInfo* gfxCPUInfo::Instance() {
    gfxCPUInfo* existing = __atomic_load_n(&instance_, __ATOMIC_ACQUIRE);
    if (existing != nullptr)
        return existing;
    if (!__atomic_exchange_n(&release_registered, true, __ATOMIC_ACQ_REL))
        std::atexit(Release); // in a shared object this runs when it is unloaded
    gfxCPUInfo* created = new (std::nothrow) gfxCPUInfo();
    if (created == nullptr)
        return nullptr;
    // Should two first calls race, the loser's object is dropped.
    if (!__atomic_compare_exchange_n(&instance_, &existing, created, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        delete created;
        return existing;
    }
    return created;
}

void gfxCPUInfo::Release() {
    delete __atomic_exchange_n(&instance_, nullptr, __ATOMIC_ACQ_REL);
}

gfxCPUInfo::gfxCPUInfo() : sse_supported_(false), sse2_supported_(false), number_of_cpus_(1) {
    InitNumberOfCPUs();
    InitCPUId();
}

gfxCPUInfo::~gfxCPUInfo() {}

gfxCPUInfo& gfxCPUInfo::operator=(const gfxCPUInfo& other) {
    sse_supported_ = other.sse_supported_;
    sse2_supported_ = other.sse2_supported_;
    number_of_cpus_ = other.number_of_cpus_;
    return *this;
}

bool gfxCPUInfo::IsSSESupported() const {
    return sse_supported_;
}

bool gfxCPUInfo::IsSSE2Supported() const {
    return sse2_supported_;
}

unsigned int gfxCPUInfo::NumberOfCPUs() const {
    return number_of_cpus_;
}

void gfxCPUInfo::InitNumberOfCPUs() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online >= 1)
        number_of_cpus_ = online > 0xFFFFFFFFL ? 0xFFFFFFFFu : static_cast<unsigned int>(online);
}

void gfxCPUInfo::InitCPUId() {
    if (!ExecutesWithoutSigill([] {
            unsigned int a, b, c, d;
            __cpuid(0, a, b, c, d);
            asm volatile("" : : "r"(a), "r"(b), "r"(c), "r"(d));
        }))
        return;
    unsigned int a, b, c, features = 0;
    __cpuid(1, a, b, c, features);

    if (features & kSSEBit)
        sse_supported_ = ExecutesWithoutSigill([] {
            asm volatile("xorps %%xmm0, %%xmm0" : : : "xmm0");
        });
    if (features & kSSE2Bit)
        sse2_supported_ = ExecutesWithoutSigill([] {
            asm volatile("xorpd %%xmm0, %%xmm0" : : : "xmm0");
        });
}
