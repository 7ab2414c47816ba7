#include "gfxAlignedMemory.h"
#include "gfxCPUInfo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace {

bool IsAligned(const void* block, unsigned int alignment) {
    return reinterpret_cast<std::uintptr_t>(block) % alignment == 0;
}

unsigned char Pattern(unsigned int index) {
    return static_cast<unsigned char>(index * 7u + 3u);
}

void Fill(void* block, unsigned int size) {
    for (unsigned int i = 0; i < size; ++i)
        static_cast<unsigned char*>(block)[i] = Pattern(i);
}

bool HoldsPattern(const void* block, unsigned int size) {
    for (unsigned int i = 0; i < size; ++i)
        if (static_cast<const unsigned char*>(block)[i] != Pattern(i))
            return false;
    return true;
}

const unsigned int kAlignments[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 1024, 4096};
const unsigned int kSizes[] = {0, 1, 3, 15, 16, 17, 100, 255, 4096, 65537};

TEST(AlignedMemory, BlocksHaveTheRequestedAlignmentAndSize) {
    for (unsigned int alignment : kAlignments)
        for (unsigned int size : kSizes) {
            void* block = gfx_aligned_malloc(size, alignment);
            ASSERT_NE(block, nullptr) << size << " " << alignment;
            EXPECT_TRUE(IsAligned(block, alignment)) << size << " " << alignment;
            Fill(block, size); // the sanitizer build catches a short block
            EXPECT_TRUE(HoldsPattern(block, size));
            gfx_aligned_free(block);
        }
    gfx_aligned_free(nullptr);
    // Alignments that are not powers of two are refused.
    for (unsigned int alignment : {0u, 3u, 48u})
        EXPECT_EQ(gfx_aligned_malloc(16, alignment), nullptr) << alignment;
}

TEST(AlignedMemory, ReallocKeepsContentsAndAlignmentWhateverTheOldSizeSays) {
    // Grow and shrink in turn; the old size handed over is deliberately wrong.
    const unsigned int steps[] = {1, 40, 4000, 24, 24, 70000, 3, 0, 500};
    for (unsigned int alignment : kAlignments) {
        // Realloc of null allocates.
        unsigned int size = 10;
        void* block = gfx_aligned_realloc(nullptr, 123, size, alignment);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(IsAligned(block, alignment));
        Fill(block, size);
        for (unsigned int next : steps) {
            block = gfx_aligned_realloc(block, 0xFFFFFFFFu - next, next, alignment);
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(IsAligned(block, alignment)) << alignment << " " << next;
            EXPECT_TRUE(HoldsPattern(block, next < size ? next : size)) << alignment << " " << next;
            Fill(block, next);
            size = next;
        }
        gfx_aligned_free(block);
    }
}

// Kept first among the CPU tests: the first Instance call runs the probes.
void ForeignSigillHandler(int) {}

TEST(CPUInfo, ProbesRestoreTheHostsIllegalInstructionHandler) {
    struct sigaction host = {};
    struct sigaction saved = {};
    host.sa_handler = ForeignSigillHandler;
    sigemptyset(&host.sa_mask);
    ASSERT_EQ(sigaction(SIGILL, &host, &saved), 0);
    ASSERT_NE(gfxCPUInfo::Instance(), nullptr);
    struct sigaction after = {};
    ASSERT_EQ(sigaction(SIGILL, &saved, &after), 0);
    EXPECT_EQ(after.sa_handler, ForeignSigillHandler);
}

TEST(CPUInfo, SingletonReportsThisMachine) {
    gfxCPUInfo* info = gfxCPUInfo::Instance();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(gfxCPUInfo::Instance(), info);
    EXPECT_GE(info->NumberOfCPUs(), 1u);
    EXPECT_EQ(info->NumberOfCPUs(), static_cast<unsigned int>(sysconf(_SC_NPROCESSORS_ONLN)));
    // Every x86-64 processor has SSE and SSE2.
    EXPECT_TRUE(info->IsSSESupported());
    EXPECT_TRUE(info->IsSSE2Supported());
    *info = *info; // copy assignment is public and keeps the values
    EXPECT_TRUE(info->IsSSE2Supported());
}

} // namespace
