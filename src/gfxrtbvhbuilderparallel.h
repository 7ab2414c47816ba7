// The parallel BVH builder: the same tree as the serial builder, its top
// levels split on the caller's thread and the subtrees below built as tasks
// on a pool of workers.
#ifndef GFX_RT_BVH_BUILDER_PARALLEL_H
#define GFX_RT_BVH_BUILDER_PARALLEL_H

#include "PlxSystem.h"
#include "ZrvGfxConcurrency.h"
#include "gfxrtbvhbuilder.h"

class gfxRTBVHParallelPasses;

class gfxRTBVHBuilderParallel : public gfxRTBVHBuilder {
public:
    // Ranges of fewer objects than this become tasks.
    static const unsigned int TASK_THRESHOLD = 50000;

    gfxRTBVHBuilderParallel(gfxRTBVH* tree, unsigned int number_of_threads);
    ~gfxRTBVHBuilderParallel() override;

    // Builds one task's subtree into the worker's scratch array and copies it
    // into the tree's nodes: the root at node_id, the rest at slots reserved
    // under the lock.
    void build_task(unsigned int worker_index, const BVHBuildRange& range);
    // Larger ranges first.
    static int compare_tasks(const void* a, const void* b);

protected:
    void compute_build_objects() override;
    unsigned int build_nodes() override;

private:
    // Splits on the caller's thread until every range is below the task
    // threshold; records each such range as a task. False when a task could
    // not be recorded. passes, when given, shares out the passes over each
    // range's records.
    bool split_top_levels(BVHRangePasses* passes);
    // Runs the recorded tasks on pool. False when the scratch arrays could not
    // be made; no task has run then.
    bool run_tasks(ZrvGfxTaskManager& pool);
    // Deletes the recorded tasks that no pool took over.
    void delete_recorded_tasks();
    void release_pool();

    PlxRawCollPV tasks_;
    unsigned int node_counter_; // next free node id; guarded by mutex_ while tasks run
    ZrvGfxMutex mutex_;
    BVHNode** thread_node_arrays_;
    unsigned int task_threshold_;
    unsigned int number_of_threads_;
    // Made with the object records, deleted when the nodes are built.
    ZrvGfxTaskManager* pool_;
    gfxRTBVHParallelPasses* passes_;
};

// One subtree of the parallel build: a range whose root slot its parent
// reserved.
class gfxRTBVHBuildTask : public ZrvGfxRunnableTask {
public:
    gfxRTBVHBuildTask(gfxRTBVHBuilderParallel* builder, const BVHBuildRange& range)
        : builder_(builder), range_(range) {}

    void run(unsigned int worker_index) override { builder_->build_task(worker_index, range_); }
    int size() const { return range_.end - range_.begin; }

private:
    gfxRTBVHBuilderParallel* builder_;
    BVHBuildRange range_;
};

#endif // GFX_RT_BVH_BUILDER_PARALLEL_H
