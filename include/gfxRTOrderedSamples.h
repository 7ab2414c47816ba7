// Fixed sets of sample directions on the hemisphere around +z, distributed by
// the cosine of their angle to +z, stored four to an sse_vec record so that a
// host can process them one per packet lane.
#ifndef GFX_RT_ORDERED_SAMPLES_H
#define GFX_RT_ORDERED_SAMPLES_H

#include "gfxExport.h"
#include "gfxRayTracing.h"

class GFX_API gfxRTOrderedSamples {
public:
    // Sets by size; values index the accessors and must be below SAMPLE_SET_COUNT.
    enum SampleSet {
        SAMPLES_8 = 0,
        SAMPLES_16 = 1,
        SAMPLES_36 = 2,
        SAMPLES_64 = 3,
        SAMPLES_128 = 4
    };
    static const unsigned int SAMPLE_SET_COUNT = 5;

    // The single object, created on the first call and released when the
    // library is unloaded. Null when its storage cannot be allocated (nothing
    // is kept; a later call tries again). Make the first call before starting
    // threads that use it.
    static const gfxRTOrderedSamples* Instance();

    // The set's records: sample i is lane i % 4 of record i / 4. The order of
    // the samples is fixed.
    const sse_vec* get_set(SampleSet set) const { return sets_[set]; }
    // Number of samples of the set (four per record).
    unsigned int get_set_size(SampleSet set) const { return set_sizes_[set]; }
    // The sample count the host's adaptive sampling uses for this set.
    unsigned int get_adaptive_threshold(SampleSet set) const { return adaptive_thresholds_[set]; }

    // Copies the pointers: the copy shares the sets of other and never frees them.
    gfxRTOrderedSamples& operator=(const gfxRTOrderedSamples& other);

private:
    gfxRTOrderedSamples();
    ~gfxRTOrderedSamples();
    gfxRTOrderedSamples(const gfxRTOrderedSamples&) = delete;

    // Fills one set from table[count][3]; leaves its records null when they
    // cannot be allocated.
    void init(SampleSet set, unsigned int count, unsigned int threshold, const float (*table)[3]);
    void free_sets();
    static void Release();

    sse_vec* sets_[SAMPLE_SET_COUNT];
    unsigned int set_sizes_[SAMPLE_SET_COUNT];
    unsigned int adaptive_thresholds_[SAMPLE_SET_COUNT];

    static gfxRTOrderedSamples* instance_;
};

#endif // GFX_RT_ORDERED_SAMPLES_H
