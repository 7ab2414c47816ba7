#include "gfxAlignedMemory.h"
#include "gfxCPUInfo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <unistd.h>

namespace {

unsigned char Pattern(unsigned int index) {
    return static_cast<unsigned char>(index * 7u + 3u);
}

// Fills size bytes of block with the pattern after checking that its first
// kept bytes hold it, and that block is aligned.
void CheckAndFill(void* block, unsigned int alignment, unsigned int kept, unsigned int size) {
    ASSERT_NE(block, nullptr) << size << " " << alignment;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u) << size << " " << alignment;
    unsigned char* bytes = static_cast<unsigned char*>(block);
    for (unsigned int i = 0; i < kept; ++i)
        ASSERT_EQ(bytes[i], Pattern(i)) << size << " " << alignment;
    for (unsigned int i = 0; i < size; ++i) // the sanitizer build catches a short block
        bytes[i] = Pattern(i);
}

// Grown and shrunk in turn by realloc; the old size handed over is
// deliberately wrong, and realloc of null allocates.
TEST(AlignedMemory, BlocksKeepAlignmentSizeAndContents) {
    const unsigned int sizes[] = {0, 1, 3, 15, 16, 17, 100, 255, 4096, 65537};
    const unsigned int steps[] = {1, 40, 4000, 24, 24, 70000, 3, 0, 500};
    for (unsigned int alignment : {1, 2, 4, 8, 16, 32, 64, 128, 256, 1024, 4096}) {
        for (unsigned int size : sizes) {
            void* block = gfx_aligned_malloc(size, alignment);
            CheckAndFill(block, alignment, 0, size);
            gfx_aligned_free(block);
        }
        unsigned int size = 10;
        void* block = gfx_aligned_realloc(nullptr, 123, size, alignment);
        CheckAndFill(block, alignment, 0, size);
        for (unsigned int next : steps) {
            block = gfx_aligned_realloc(block, 0xFFFFFFFFu - next, next, alignment);
            CheckAndFill(block, alignment, next < size ? next : size, next);
            size = next;
        }
        gfx_aligned_free(block);
    }
    gfx_aligned_free(nullptr);
    // Alignments that are not powers of two are refused.
    for (unsigned int alignment : {0u, 3u, 48u})
        EXPECT_EQ(gfx_aligned_malloc(16, alignment), nullptr) << alignment;
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
    *info = *info; // copy assignment is public and keeps the values
    EXPECT_TRUE(info->IsSSE2Supported());
}

} // namespace
