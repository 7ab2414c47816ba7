#include "gfxrtbvhbuilderparallel.h"

#include "gfxAlignedMemory.h"
#include "gfxrtbvhparallelpasses.h"

#include <cstring>
#include <new>
#include <typeinfo>

namespace {

// True for the library's own adaptors, whose object operations only read and
// so may be called from the pool's workers. Only the exact classes: a derived
// class may override the operations.
bool object_operations_only_read(const gfxRTBVH& tree) {
    const std::type_info& type = typeid(tree);
    return type == typeid(gfxRTBVH_triAccel) || type == typeid(gfxRTBVH_KDTree);
}

} // namespace

gfxRTBVHBuilderParallel::gfxRTBVHBuilderParallel(gfxRTBVH* tree, unsigned int number_of_threads)
    : gfxRTBVHBuilder(tree), tasks_(0), node_counter_(0), thread_node_arrays_(nullptr),
      task_threshold_(TASK_THRESHOLD), number_of_threads_(number_of_threads), pool_(nullptr),
      passes_(nullptr) {}

gfxRTBVHBuilderParallel::~gfxRTBVHBuilderParallel() {
    thread_node_arrays_ = nullptr;
    release_pool();
}

int gfxRTBVHBuilderParallel::compare_tasks(const void* a, const void* b) {
    if (a == nullptr || b == nullptr)
        return 0;
    const int d = static_cast<const gfxRTBVHBuildTask*>(b)->size() -
                  static_cast<const gfxRTBVHBuildTask*>(a)->size();
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

void gfxRTBVHBuilderParallel::compute_build_objects() {
    // One pool serves the top levels' passes, which start with this one, and
    // then the subtree tasks.
    pool_ = new (std::nothrow) ZrvGfxTaskManager(number_of_threads_);
    if (pool_ != nullptr && number_of_objects_ >= task_threshold_ && object_order_ != nullptr &&
        object_bins_ != nullptr)
        passes_ = new (std::nothrow) gfxRTBVHParallelPasses(
            *pool_, *tree_, build_objects_, object_bins_, object_order_, number_of_objects_);
    // A host's object operations may use state of its own: they are called
    // on this thread only. The library's adaptors only read, so their
    // records can be made by the workers.
    if (passes_ == nullptr || !object_operations_only_read(*tree_) ||
        !passes_->compute_build_objects())
        gfxRTBVHBuilder::compute_build_objects();
}

unsigned int gfxRTBVHBuilderParallel::build_nodes() {
    const bool built = pool_ != nullptr && split_top_levels(passes_) && run_tasks(*pool_);
    release_pool();
    if (built)
        return node_counter_;
    // Out of memory for the parallel machinery: the same tree, built here.
    delete_recorded_tasks();
    return build_sub_tree(node_array_, 0, int(number_of_objects_));
}

void gfxRTBVHBuilderParallel::release_pool() {
    delete passes_;
    passes_ = nullptr;
    delete pool_;
    pool_ = nullptr;
}

bool gfxRTBVHBuilderParallel::split_top_levels(BVHRangePasses* passes) {
    BVHBuildRange stack[gfxRTBVH::MAX_STACK_SIZE];
    int stack_position = 0;
    stack[0] = {0, 0, int(number_of_objects_), 0};
    node_counter_ = 1;
    while (stack_position >= 0) {
        const BVHBuildRange range = stack[stack_position--];
        if (unsigned(range.end - range.begin) < task_threshold_) {
            gfxRTBVHBuildTask* task = new (std::nothrow) gfxRTBVHBuildTask(this, range);
            if (task == nullptr || tasks_.Append(task) == 0) {
                delete task;
                return false;
            }
            continue;
        }
        if (make_node(node_array_, range, int(node_counter_), &stack[stack_position + 1], passes)) {
            stack_position += 2;
            node_counter_ += 2;
        }
    }
    return true;
}

bool gfxRTBVHBuilderParallel::run_tasks(ZrvGfxTaskManager& pool) {
    // One scratch array per worker, large enough for any task's subtree.
    const unsigned int scratch_bytes = (2 * task_threshold_ - 1) * unsigned(sizeof(BVHNode));
    thread_node_arrays_ = new (std::nothrow) BVHNode*[number_of_threads_]();
    bool ok = thread_node_arrays_ != nullptr;
    for (unsigned int i = 0; ok && i < number_of_threads_; ++i) {
        thread_node_arrays_[i] = static_cast<BVHNode*>(gfx_aligned_malloc(scratch_bytes, 32));
        ok = thread_node_arrays_[i] != nullptr;
    }
    if (ok) {
        tasks_.QuickSort(compare_tasks);
        for (int position = 1; position <= tasks_.Size(); ++position)
            pool.add_task(static_cast<gfxRTBVHBuildTask*>(tasks_[position]));
        // The pool owns and deletes the tasks from here on.
        tasks_.RemoveAll(PlxCollec::KeepMemory);
        pool.run_tasks_and_wait();
    }
    if (thread_node_arrays_ != nullptr) {
        for (unsigned int i = 0; i < number_of_threads_; ++i)
            gfx_aligned_free(thread_node_arrays_[i]);
        delete[] thread_node_arrays_;
        thread_node_arrays_ = nullptr;
    }
    return ok;
}

void gfxRTBVHBuilderParallel::delete_recorded_tasks() {
    for (int position = 1; position <= tasks_.Size(); ++position)
        delete static_cast<gfxRTBVHBuildTask*>(tasks_[position]);
    tasks_.RemoveAll(PlxCollec::ReleaseMemory);
}

void gfxRTBVHBuilderParallel::build_task(unsigned int worker_index, const BVHBuildRange& range) {
    BVHNode* local = thread_node_arrays_[worker_index];
    const unsigned int count = build_sub_tree(local, range.begin, range.end, range.depth);
    if (count == 0)
        return;
    // The only shared write: reserve slots for every node but the root,
    // whose slot the parent reserved.
    mutex_.lock();
    const unsigned int base = node_counter_;
    node_counter_ = base + count - 1;
    mutex_.unlock();

    // Local id k >= 1 becomes base + k - 1.
    for (unsigned int k = 0; k < count; ++k)
        if (local[k].num_triangles < 1)
            local[k].firstChildNodeID += int(base) - 1;
    std::memcpy(&node_array_[range.id], &local[0], sizeof(BVHNode));
    if (count > 1)
        std::memcpy(&node_array_[base], &local[1], (count - 1) * sizeof(BVHNode));
}
