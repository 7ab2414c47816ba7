// Storage and bookkeeping shared by every KD-tree: the node array and its
// encoding, the build counters, the build properties and the statistics.
//
// Node encoding. Nodes are 8 bytes (two 32-bit words) addressed by byte
// offset; bytes 0-7 are unused and the root is at offset 8. Children come in
// adjacent pairs (lower side at P, upper side at P + 8, P a multiple of 16).
//   inner node: word 0 = (P - own offset) | axis, word 1 = split position (float)
//   leaf:       word 0 = 0x80000000 | first object entry, word 1 = object count
#ifndef GFX_RT_KDTREE_BASE_H
#define GFX_RT_KDTREE_BASE_H

#include "gfxExport.h"

#include <cstdint>

class gfxJournal;

// Axis-aligned box: minimum corner, then maximum corner.
struct GFX_API KDTreeBBox {
    float bbmin[3];
    float bbmax[3];

    KDTreeBBox() : bbmin{0.0f, 0.0f, 0.0f}, bbmax{0.0f, 0.0f, 0.0f} {}
    KDTreeBBox(float min_x, float min_y, float min_z, float max_x, float max_y, float max_z)
        : bbmin{min_x, min_y, min_z}, bbmax{max_x, max_y, max_z} {}
};

// Statistics of the last build of a tree.
struct GFX_API KDTreeStatistic {
    unsigned int number_of_empty_cells;
    double average_objects_per_cell; // running sum during a build, mean afterwards
    unsigned int max_objects_in_cell;
    unsigned int number_of_leaves;
    unsigned int tree_depth; // deepest level at which a leaf was made; the root is level 1
    double compile_time_sec;
    unsigned int number_of_objects;
    bool valid;
};

class GFX_API gfxRTKDTreeBase {
public:
    // Alignment of every node array.
    static const unsigned int NODE_ALIGNMENT;

    // One object during a build: its own heap-allocated box and the object.
    struct ObjectProxy {
        KDTreeBBox* bbox;
        const void* object;
    };

    gfxRTKDTreeBase();
    // A tree owns its node array: it is not copied.
    gfxRTKDTreeBase(const gfxRTKDTreeBase&) = delete;
    gfxRTKDTreeBase& operator=(const gfxRTKDTreeBase&) = delete;
    virtual ~gfxRTKDTreeBase();

    virtual void debug(gfxJournal& journal, bool verbose, int indent) const;

    // Frees the node array; statistics, scene box and build properties stay.
    void reset();

    unsigned int get_max_tree_depth() const { return max_tree_depth_; }
    const KDTreeStatistic* get_statistic() const { return &statistic_; }
    const KDTreeBBox* get_scene_bbox() const { return &scene_bbox_; }
    // Nodes written by the last build (inner nodes and leaves).
    unsigned int get_number_of_nodes() const { return number_of_nodes_; }

protected:
    virtual void debug_node(unsigned int node_offset, unsigned int& counter, gfxJournal& journal,
                            bool verbose, int indent) const;

    unsigned int get_object_array_size() const { return object_array_size_; }
    unsigned int get_next_free_node() const { return next_free_node_; }
    unsigned int get_next_free_object() const { return next_free_object_; }
    unsigned int get_node_array_size() const { return node_array_size_; }
    const unsigned char* get_node_array_byte() const { return node_array_; }

    // Accounts for one leaf of number_of_objects objects made at the current depth.
    void update_statistics(unsigned int number_of_objects);
    // order[a][0] is the offset within a children pair of the child that a ray
    // with these direction bit patterns enters first along axis a.
    void precompute_traversal_order(unsigned int dx, unsigned int dy, unsigned int dz,
                                    unsigned int order[3][2]) const;

    // Clears every statistic field and starts the build clock.
    void start_build_statistics();
    // Seconds of wall-clock time since start_build_statistics.
    double seconds_since_build_start() const;

    unsigned char* node_array_;
    unsigned int next_free_node_;
    unsigned int next_free_object_;
    unsigned int number_of_nodes_;
    unsigned int node_array_size_;
    unsigned int object_array_size_;
    KDTreeBBox scene_bbox_;
    unsigned int leaf_object_threshold_;
    unsigned int max_tree_depth_;
    float traversal_cost_;
    float empty_space_bonus_;
    double min_volume_divisor_;
    double min_cell_volume_;
    unsigned int current_tree_depth_;
    // Monotonic clock reading (nanoseconds) when the running build started.
    std::uint64_t compile_start_ticks_;
    KDTreeStatistic statistic_;
};

#endif // GFX_RT_KDTREE_BASE_H
