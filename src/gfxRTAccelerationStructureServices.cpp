#include "gfxRTAccelerationStructureServices.h"

#include "gfxKDTreeNodeWords.h"
#include "gfxRTKDTreeThread.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>

namespace {

enum CompileResult {
    COMPILED = 0,
    NULL_ARGUMENT = 1,
    SEEDING_FAILED = 2,
    SUBTREE_FAILED = 3,
    MERGE_FAILED = 4
};

// CompileBVHTree's code for a build whose consistency check failed.
const int BVH_BUILD_FAILED = 2;

// Sets *reason (when given) to the printf-style message.
bool refuse(PlxUnicodeString* reason, const char* format, ...) {
    if (reason != nullptr) {
        char text[256];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof text, format, arguments);
        va_end(arguments);
        *reason = PlxUnicodeString(text);
    }
    return false;
}

} // namespace

gfxRTAccelerationStructureServices::~gfxRTAccelerationStructureServices() {}

int gfxRTAccelerationStructureServices::CompileKDTree(gfxRTKDTree* tree, int number_of_threads,
                                                      const triAccel* triangles,
                                                      unsigned int count) {
    if (tree == nullptr || triangles == nullptr)
        return NULL_ARGUMENT;
    int code = COMPILED;
    bool fallback = false;
    unsigned int n = gfxRTKDTree::get_possible_number_of_seeds(unsigned(number_of_threads));
    if (n > MAX_KDTREE_SEEDS)
        n = MAX_KDTREE_SEEDS;
    tree->reset(0);
    if (n <= 1) {
        tree->create_tree_from_triAccel_list(triangles, count);
        return COMPILED;
    }

    gfxKDTreeCompileState* seeds[MAX_KDTREE_SEEDS] = {};
    gfxRTKDTree* subtrees[MAX_KDTREE_SEEDS] = {};
    gfxRTKDTreeThread* threads[MAX_KDTREE_SEEDS] = {};
    if (!tree->create_seed_notes_from_triAccel_list(triangles, count, n, seeds)) {
        code = SEEDING_FAILED;
        fallback = true;
    } else {
        for (unsigned int i = 0; i < n; ++i) {
            subtrees[i] = new (std::nothrow) gfxRTKDTree(1);
            threads[i] = new (std::nothrow) gfxRTKDTreeThread(subtrees[i], seeds[i], tree, n);
            if (threads[i] != nullptr)
                threads[i]->start();
        }
        bool all_valid = true;
        for (unsigned int i = 0; i < n; ++i) {
            if (threads[i] == nullptr) {
                all_valid = false;
                continue;
            }
            threads[i]->wait();
            if (!threads[i]->is_tree_valid())
                all_valid = false;
        }
        if (!all_valid) {
            code = SUBTREE_FAILED;
            fallback = true;
        } else if (!tree->remerge_subtrees(const_cast<const gfxRTKDTree**>(subtrees), n, count)) {
            code = MERGE_FAILED;
            fallback = true;
        }
        for (unsigned int i = 0; i < n; ++i) {
            delete threads[i];
            if (subtrees[i] != nullptr) {
                subtrees[i]->reset(0);
                delete subtrees[i];
            }
        }
    }
    for (gfxKDTreeCompileState*& seed : seeds) {
        delete seed;
        seed = nullptr;
    }
    if (fallback) {
        tree->reset(count);
        tree->create_tree_from_triAccel_list(triangles, count);
    }
    return code;
}

int gfxRTAccelerationStructureServices::CompileBVHTree(gfxRTBVH* bvh, int number_of_threads) {
    if (bvh == nullptr)
        return NULL_ARGUMENT;
    const unsigned int threads = number_of_threads > 1 ? unsigned(number_of_threads) : 1u;
    return bvh->build_tree(threads) ? COMPILED : BVH_BUILD_FAILED;
}

gfxRTKDTree* gfxRTAccelerationStructureServices::UnstreamNewKDTree(gfxStreamReader& reader,
                                                                   const triAccel* triangles,
                                                                   unsigned int number_of_threads) {
    gfxRTKDTree* tree = new (std::nothrow) gfxRTKDTree(number_of_threads);
    if (tree == nullptr)
        return nullptr;
    tree->set_first_triangle(triangles);
    if (tree->unstream(reader))
        return tree;
    delete tree;
    return nullptr;
}

gfxRTKDTree* gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
    gfxStreamReader& reader, const triAccel* triangles, unsigned int triangle_count,
    unsigned int number_of_threads, unsigned long long max_values, PlxUnicodeString* reason) {
    if (triangles == nullptr) {
        refuse(reason, "no triangle array was given");
        return nullptr;
    }
    if (number_of_threads > gfxRTKDTree::MAX_THREADS) {
        refuse(reason, "a tree is traced by at most %u threads, not %u", gfxRTKDTree::MAX_THREADS,
               number_of_threads);
        return nullptr;
    }
    gfxRTKDTree* tree = new (std::nothrow) gfxRTKDTree(number_of_threads);
    if (tree == nullptr) {
        refuse(reason, "out of memory");
        return nullptr;
    }
    tree->set_first_triangle(triangles);
    bool ok = false;
    switch (tree->read_stream(reader, max_values, MAX_CHECKED_KDTREE_DEPTH)) {
    case gfxRTKDTree::UNSTREAM_DONE:
        ok = CheckKDTree(*tree, triangle_count, reason);
        break;
    case gfxRTKDTree::UNSTREAM_NO_TRIANGLE_ARRAY:
        refuse(reason, "no triangle array was given");
        break;
    case gfxRTKDTree::UNSTREAM_TOKEN_MISMATCH:
        refuse(reason, "the stream does not hold a KD-tree (a token does not match)");
        break;
    case gfxRTKDTree::UNSTREAM_TOO_LARGE:
        refuse(reason,
               "the stream's counts are too large: %u nodes, %u object entries, depth limit %u "
               "(at most %llu values remain, depth limit at most %u)",
               tree->number_of_nodes_, tree->object_array_size_, tree->max_tree_depth_, max_values,
               MAX_CHECKED_KDTREE_DEPTH);
        break;
    case gfxRTKDTree::UNSTREAM_OUT_OF_MEMORY:
        refuse(reason, "out of memory while reading the tree");
        break;
    }
    if (ok)
        return tree;
    delete tree;
    return nullptr;
}

bool gfxRTAccelerationStructureServices::CheckKDTree(const gfxRTKDTree& tree,
                                                     unsigned int triangle_count,
                                                     PlxUnicodeString* reason) {
    using gfx_detail::LEAF_FLAG;
    using gfx_detail::PAIR_OFFSET_MASK;
    const unsigned int node_count = tree.number_of_nodes_;
    const unsigned char* const nodes = tree.node_array_;
    if (node_count == 0 || nodes == nullptr)
        return refuse(reason, "the tree has no nodes");
    const unsigned long long node_end = 8ull * node_count + 8;
    if (node_end > tree.node_array_size_)
        return refuse(reason, "%u nodes do not fit the node array of %u bytes", node_count,
                      tree.node_array_size_);
    const unsigned int object_count = tree.object_array_size_;
    if (object_count > 0 && tree.triangles_ == nullptr)
        return refuse(reason, "the tree has no object array");
    if (tree.first_triangle_ == nullptr)
        return refuse(reason, "the tree knows no triangle array");
    for (unsigned int slot = 0; slot < tree.number_of_threads_; ++slot) {
        const gfxRTKDTree::TraversalStack& stack = tree.stacks_[slot];
        if (stack.node_offsets == nullptr || stack.t_near == nullptr || stack.t_far == nullptr)
            return refuse(reason, "the traversal stack of thread %u is missing", slot);
    }

    // Entries: null or one of the host's triangles. Traversal dereferences
    // every entry of a leaf, so leaves may not cover null entries: counting
    // the nulls before each entry lets each leaf be checked at once.
    unsigned int* nulls_before = new (std::nothrow) unsigned int[object_count + 1ull];
    if (nulls_before == nullptr)
        return refuse(reason, "out of memory while checking the tree");
    nulls_before[0] = 0;
    const std::intptr_t base = reinterpret_cast<std::intptr_t>(tree.first_triangle_);
    const std::intptr_t record = std::intptr_t(sizeof(triAccel));
    for (unsigned int i = 0; i < object_count; ++i) {
        const triAccel* entry = tree.triangles_[i];
        nulls_before[i + 1] = nulls_before[i] + (entry == nullptr ? 1 : 0);
        if (entry == nullptr)
            continue;
        const std::intptr_t distance = reinterpret_cast<std::intptr_t>(entry) - base;
        if (distance < 0 || distance % record != 0 || distance / record >= triangle_count) {
            delete[] nulls_before;
            return refuse(reason,
                          "object entry %u refers to triangle %lld of an array of %u triangles", i,
                          (long long)(distance / record), triangle_count);
        }
    }

    // Depth first from the root. A traversal writes one stack entry per
    // inner node on its path, so leaves may lie at most max_tree_depth_ + 1
    // levels deep (the root is level 1) for the max_tree_depth_ + 2 entries.
    const unsigned long long deepest_leaf = tree.max_tree_depth_ + 1ull;
    const unsigned long long capacity = deepest_leaf + 2;
    unsigned char* seen = new (std::nothrow) unsigned char[node_count + 1ull]();
    unsigned int* pending = new (std::nothrow) unsigned int[capacity];
    unsigned int* levels = new (std::nothrow) unsigned int[capacity];
    bool ok = seen != nullptr && pending != nullptr && levels != nullptr;
    if (!ok)
        refuse(reason, "out of memory while checking the tree");
    unsigned long long top = 0;
    unsigned int reached = 0;
    if (ok) {
        pending[0] = 8;
        levels[0] = 1;
        top = 1;
    }
    while (ok && top > 0) {
        --top;
        const unsigned int node = pending[top];
        const unsigned int level = levels[top];
        if (seen[node / 8]) {
            ok = refuse(reason, "the node at byte offset %u is reached twice", node);
            break;
        }
        seen[node / 8] = 1;
        ++reached;
        const unsigned int word0 = gfx_detail::node_word(nodes, node);
        if (word0 & LEAF_FLAG) {
            const unsigned long long first = word0 & ~LEAF_FLAG;
            const unsigned int count = gfx_detail::node_word(nodes, node + 4);
            if (level > deepest_leaf) {
                ok = refuse(reason,
                            "the leaf at byte offset %u lies %u levels deep; the traversal "
                            "stacks allow %llu",
                            node, level, deepest_leaf);
            } else if (count > 0 && first + count > object_count) {
                ok = refuse(reason,
                            "the leaf at byte offset %u holds entries %llu to %llu of an object "
                            "array of %u",
                            node, first, first + count - 1, object_count);
            } else if (count > 0 && nulls_before[first + count] != nulls_before[first]) {
                ok = refuse(reason, "the leaf at byte offset %u holds a null object entry", node);
            }
            continue;
        }
        const unsigned int axis = word0 & 3;
        const unsigned int step = word0 & PAIR_OFFSET_MASK;
        const unsigned long long pair = (unsigned long long)node + step;
        if (axis == 3) {
            ok = refuse(reason, "the inner node at byte offset %u splits along axis 3", node);
        } else if (step == 0 || step % 8 != 0) {
            ok = refuse(reason, "the inner node at byte offset %u points %u bytes ahead", node,
                        step);
        } else if (pair + 16 > node_end) {
            ok = refuse(reason,
                        "the inner node at byte offset %u points at children at %llu, outside "
                        "the %u nodes",
                        node, pair, node_count);
        } else if (level + 1ull > deepest_leaf) {
            ok = refuse(reason,
                        "the inner node at byte offset %u has children %u levels deep; the "
                        "traversal stacks allow %llu",
                        node, level + 1, deepest_leaf);
        } else if (top + 2 > capacity) {
            ok = refuse(reason, "the tree is deeper than its depth limit allows");
        } else {
            pending[top] = unsigned(pair + 8);
            levels[top++] = level + 1;
            pending[top] = unsigned(pair);
            levels[top++] = level + 1;
        }
    }
    delete[] seen;
    delete[] pending;
    delete[] levels;
    delete[] nulls_before;
    if (!ok)
        return false;
    if (reached != node_count)
        return refuse(reason, "%u of the %u nodes are reachable from the root", reached,
                      node_count);
    return true;
}

gfxRTBVH* gfxRTAccelerationStructureServices::UnstreamNewBVH(gfxStreamReader& reader,
                                                             const triAccel* triangles) {
    gfxRTBVH_triAccel* bvh = new (std::nothrow) gfxRTBVH_triAccel(triangles, 0);
    if (bvh == nullptr)
        return nullptr;
    if (bvh->unstream(reader))
        return bvh;
    delete bvh;
    return nullptr;
}

gfxRTBVH* gfxRTAccelerationStructureServices::UnstreamNewBVHChecked(gfxStreamReader& reader,
                                                                    const triAccel* triangles,
                                                                    unsigned int triangle_count,
                                                                    unsigned long long max_values,
                                                                    PlxUnicodeString* reason) {
    if (triangles == nullptr) {
        refuse(reason, "no triangle array was given");
        return nullptr;
    }
    // The tree keeps the host's count; the count saved with it must match.
    gfxRTBVH_triAccel* bvh = new (std::nothrow) gfxRTBVH_triAccel(triangles, triangle_count);
    if (bvh == nullptr) {
        refuse(reason, "out of memory");
        return nullptr;
    }
    // The triangle BVH's framing around the hierarchy, read here so that the
    // hierarchy's counts can be bounded.
    bool ok = false;
    if (reader.read_string() != "BEGIN:gfxRTBVH_triAccel" || reader.read_string() != "version=1") {
        refuse(reason, "the stream does not hold a triangle BVH (a token does not match)");
    } else if (!bvh->read_hierarchy(reader, max_values)) {
        refuse(reason,
               "the stream's BVH could not be read: a token does not match, a count "
               "exceeds the %llu values that remain, or memory ran out",
               max_values);
    } else {
        const unsigned int saved_count = reader.read_uint();
        if (reader.read_string() != "END:gfxRTBVH_triAccel")
            refuse(reason, "the stream does not hold a triangle BVH (a token does not match)");
        else if (saved_count != triangle_count)
            refuse(reason, "the BVH was saved for %u triangles, the host has %u", saved_count,
                   triangle_count);
        else
            ok = CheckBVH(*bvh, triangle_count, reason);
    }
    if (ok)
        return bvh;
    delete bvh;
    return nullptr;
}

bool gfxRTAccelerationStructureServices::CheckBVH(const gfxRTBVH& bvh, unsigned int object_count,
                                                  PlxUnicodeString* reason) {
    if (bvh.get_number_of_objects() != object_count)
        return refuse(reason, "the BVH has %u objects, not %u", bvh.get_number_of_objects(),
                      object_count);
    const unsigned int node_count = bvh.number_of_nodes_;
    const BVHNode* const nodes = bvh.node_array_;
    const unsigned int order_size = bvh.object_order_size_;
    const int* const order = bvh.object_order_;
    if (order_size != object_count || (order_size > 0 && order == nullptr))
        return refuse(reason, "the object order has %u entries for %u objects", order_size,
                      object_count);
    if (node_count == 0 || nodes == nullptr) {
        // Traversal of a tree without nodes returns at once.
        if (nodes == nullptr && object_count == 0)
            return true;
        return refuse(reason, "the BVH has no nodes");
    }

    // The order: each object exactly once.
    unsigned char* listed = new (std::nothrow) unsigned char[order_size + 1ull]();
    unsigned char* seen = new (std::nothrow) unsigned char[node_count]();
    bool ok = listed != nullptr && seen != nullptr;
    if (!ok)
        refuse(reason, "out of memory while checking the BVH");
    for (unsigned int i = 0; ok && i < order_size; ++i) {
        const int object = order[i];
        if (object < 0 || unsigned(object) >= object_count)
            ok = refuse(reason, "order entry %u names object %d of %u", i, object, object_count);
        else if (listed[object]++)
            ok = refuse(reason, "object %d appears twice in the order", object);
    }

    // Depth first from the root: traversal keeps one stack entry per inner
    // node on its path, in a stack of MAX_STACK_SIZE entries.
    const unsigned int deepest = unsigned(gfxRTBVH::MAX_STACK_SIZE);
    int pending[gfxRTBVH::MAX_STACK_SIZE + 2];
    unsigned int levels[gfxRTBVH::MAX_STACK_SIZE + 2];
    int top = 0;
    unsigned int reached = 0;
    pending[top] = 0;
    levels[top++] = 1;
    while (ok && top > 0) {
        --top;
        const int id = pending[top];
        const unsigned int level = levels[top];
        if (seen[id]) {
            ok = refuse(reason, "node %d is reached twice", id);
            break;
        }
        seen[id] = 1;
        ++reached;
        const BVHNode& node = nodes[id];
        if (node.num_triangles >= 1) {
            const long long first = node.firstTriangleID;
            if (first < 0 || first + node.num_triangles > (long long)order_size)
                ok = refuse(reason, "leaf %d covers order entries %lld to %lld of %u", id, first,
                            first + node.num_triangles - 1, order_size);
            continue;
        }
        const long long child = node.firstChildNodeID;
        if (child <= id || child + 1 >= (long long)node_count)
            ok = refuse(reason, "node %d names children %lld and %lld of %u nodes", id, child,
                        child + 1, node_count);
        else if (node.first > 1)
            ok = refuse(reason, "node %d names its first child %u of a pair", id,
                        unsigned(node.first));
        else if (level + 1 > deepest)
            ok = refuse(reason, "node %d has children %u levels deep; traversal stacks hold %u", id,
                        level + 1, deepest);
        else {
            pending[top] = int(child + 1);
            levels[top++] = level + 1;
            pending[top] = int(child);
            levels[top++] = level + 1;
        }
    }
    delete[] listed;
    delete[] seen;
    if (ok && reached != node_count)
        return refuse(reason, "%u of the %u nodes are reachable from the root", reached,
                      node_count);
    return ok;
}
