// The triangle KD-tree's report: statistics and a VRML97 listing of the split
// planes of its upper levels.
#include "gfxRTKDTree.h"

#include "gfxJournal.h"
#include "gfxKDTreeNodeWords.h"

namespace {

// Planes are written for inner nodes above this depth (the root is depth 1).
const unsigned int PLANE_DEPTH_LIMIT = 8;

// Inner nodes deeper than this are reported as invalid rather than followed,
// so that the recursion stays a few hundred frames deep whatever the node
// array holds. The builders make trees of at most about 45 levels and the
// checked loader accepts none deeper than 129; only a corrupt array chains
// deeper.
const unsigned int REPORT_DEPTH_LIMIT = 256;

// A negative indentation writes no blanks.
unsigned int columns(int indent) {
    return indent > 0 ? static_cast<unsigned int>(indent) : 0u;
}

// One line of fixed text at the given indentation.
void write_line(gfxJournal& journal, unsigned int indent, const char* text) {
    write_indent(journal, indent);
    journal << text;
}

} // namespace

void gfxRTKDTree::debug(gfxJournal& journal, bool verbose, int indent) const {
    if (node_array_ == nullptr || number_of_nodes_ == 0)
        return;
    const unsigned int i0 = columns(indent);
    const unsigned int s = indent_step();
    const KDTreeStatistic& stat = statistic_;

    write_line(journal, i0, "Tree statistics:\n");
    write_line(journal, i0 + s, "number of nodes: ");
    journal << number_of_nodes_ << "\n";
    write_line(journal, i0 + s, "number of empty cells: ");
    journal << stat.number_of_empty_cells << "\n";
    write_line(journal, i0 + s, "number of leaves: ");
    journal << stat.number_of_leaves << "\n";
    write_line(journal, i0 + s, "average objects per cell: ");
    journal << stat.average_objects_per_cell << "\n";
    write_line(journal, i0 + s, "max number of objects in cell: ");
    journal << stat.max_objects_in_cell << "\n";
    write_line(journal, i0 + s, "compile time in sec: ");
    journal << stat.compile_time_sec << "\n";
    write_line(journal, i0 + s, "tree depth: ");
    journal << stat.tree_depth << "\n\n";

    write_line(journal, i0, "Insert planes into VRML file:\n");
    write_line(journal, i0 + s, "DEF KDTree Group { children [\n");
    write_line(journal, i0 + 2 * s, "Shape {\n");
    write_line(journal, i0 + 3 * s, "appearance Appearance {\n");
    write_line(journal, i0 + 4 * s, "material Material {\n");
    write_line(journal, i0 + 5 * s, "ambientIntensity 1.000000\n");
    write_line(journal, i0 + 5 * s, "diffuseColor     1.000000 0.000000 1.000000\n");
    write_line(journal, i0 + 5 * s, "specularColor    1.000000 0.000000 1.000000\n");
    write_line(journal, i0 + 5 * s, "shininess        0.0\n");
    write_line(journal, i0 + 5 * s, "transparency     0.500000 }\n");
    write_line(journal, i0 + 4 * s, "}\n");
    write_line(journal, i0 + 4 * s, "geometry IndexedFaceSet {\n");
    write_line(journal, i0 + 5 * s, "coord Coordinate {\n");
    write_line(journal, i0 + 6 * s, "point [\n");

    unsigned int node_counter = 0;
    unsigned int plane_counter = 0;
    unsigned int dump_depth = 0;
    debug_node(8, node_counter, &scene_bbox_, plane_counter, dump_depth, journal, verbose,
               static_cast<int>(i0 + 7 * s));

    write_line(journal, i0 + 6 * s, "]\n");
    write_line(journal, i0 + 5 * s, "}\n");
    write_line(journal, i0 + 5 * s, "coordIndex [\n");
    for (unsigned int k = 0; k < plane_counter; ++k) {
        write_indent(journal, i0 + 6 * s);
        journal << 4 * k << ", " << 4 * k + 1 << ", " << 4 * k + 2 << ", " << 4 * k + 3
                << ", -1,\n";
    }
    write_line(journal, i0 + 5 * s, "]\n");
    write_line(journal, i0 + 5 * s, "convex TRUE\n");
    write_line(journal, i0 + 5 * s, "solid  FALSE\n");
    write_line(journal, i0 + 5 * s, "ccw    TRUE\n");
    write_line(journal, i0 + 4 * s, "}}]}\n");
    write_line(journal, i0 + s, "End of VRML code.\n");
}

void gfxRTKDTree::debug_node(unsigned int node_offset, unsigned int& node_counter,
                             const KDTreeBBox* bbox, unsigned int& plane_counter,
                             unsigned int& dump_depth, gfxJournal& journal, bool verbose,
                             int indent) const {
    using namespace gfx_detail;
    // More visits than nodes, or a node outside the array: the array is corrupt.
    if (node_counter > number_of_nodes_ || node_offset > node_array_size_ ||
        node_array_size_ - node_offset < 8) {
        journal << "Invalid node_counter\n";
        return;
    }
    if (bbox == nullptr) {
        write_line(journal, columns(indent), "bbox is NULL\n");
        return;
    }
    const unsigned int word0 = node_word(node_array_, node_offset);
    if (!(word0 & LEAF_FLAG) && dump_depth >= REPORT_DEPTH_LIMIT) {
        journal << "Invalid node_counter\n";
        return;
    }
    ++node_counter;
    if (word0 & LEAF_FLAG)
        return;

    const unsigned int axis = word0 & 3u;
    const float p = node_float(node_array_, node_offset + 4);
    ++dump_depth;

    if (dump_depth < PLANE_DEPTH_LIMIT) {
        const float* lo = bbox->bbmin;
        const float* hi = bbox->bbmax;
        float corners[4][3];
        switch (axis) {
        case 0:
            corners[0][0] = p, corners[0][1] = lo[1], corners[0][2] = lo[2];
            corners[1][0] = p, corners[1][1] = lo[1], corners[1][2] = hi[2];
            corners[2][0] = p, corners[2][1] = hi[1], corners[2][2] = hi[2];
            corners[3][0] = p, corners[3][1] = hi[1], corners[3][2] = lo[2];
            break;
        case 1:
            corners[0][0] = lo[0], corners[0][1] = p, corners[0][2] = lo[2];
            corners[1][0] = lo[0], corners[1][1] = p, corners[1][2] = hi[2];
            corners[2][0] = hi[0], corners[2][1] = p, corners[2][2] = hi[2];
            corners[3][0] = hi[0], corners[3][1] = p, corners[3][2] = lo[2];
            break;
        default:
            corners[0][0] = lo[0], corners[0][1] = lo[1], corners[0][2] = p;
            corners[1][0] = hi[0], corners[1][1] = lo[1], corners[1][2] = p;
            corners[2][0] = hi[0], corners[2][1] = hi[1], corners[2][2] = p;
            corners[3][0] = lo[0], corners[3][1] = hi[1], corners[3][2] = p;
            break;
        }
        for (const float* corner : corners) {
            write_indent(journal, columns(indent));
            journal << double(corner[0]) << " " << double(corner[1]) << " " << double(corner[2])
                    << ",\n";
        }
        ++plane_counter;
    }

    // Axis 3 does not occur in a valid tree; it is read as z like above.
    const unsigned int a = axis < 3 ? axis : 2u;
    KDTreeBBox lower = *bbox;
    KDTreeBBox upper = *bbox;
    lower.bbmax[a] = p;
    upper.bbmin[a] = p;
    const unsigned int pair = node_offset + (word0 & PAIR_OFFSET_MASK);
    debug_node(pair, node_counter, &lower, plane_counter, dump_depth, journal, verbose, indent);
    debug_node(pair + 8, node_counter, &upper, plane_counter, dump_depth, journal, verbose, indent);
    --dump_depth;
}
