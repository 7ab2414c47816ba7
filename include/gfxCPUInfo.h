// Processor features and count, for the host to decide whether the SSE
// kernels may run and how many build threads to use.
#ifndef GFX_CPU_INFO_H
#define GFX_CPU_INFO_H

#include "gfxExport.h"

class GFX_API gfxCPUInfo {
public:
    // The single object, created on the first call and released when the
    // library is unloaded. Null if it cannot be allocated (a later call tries
    // again). Make the first call before starting threads that use it.
    static gfxCPUInfo* Instance();

    // The processor reports SSE and an SSE instruction executes.
    bool IsSSESupported() const;
    // The processor reports SSE2 and an SSE2 instruction executes.
    bool IsSSE2Supported() const;
    // Processors online, at least 1.
    unsigned int NumberOfCPUs() const;

    gfxCPUInfo& operator=(const gfxCPUInfo& other);

private:
    gfxCPUInfo();
    ~gfxCPUInfo();
    gfxCPUInfo(const gfxCPUInfo&) = delete;

    void InitNumberOfCPUs();
    void InitCPUId();
    static void Release();

    bool sse_supported_;
    bool sse2_supported_;
    unsigned int number_of_cpus_;

    static gfxCPUInfo* instance_;
};

#endif // GFX_CPU_INFO_H
