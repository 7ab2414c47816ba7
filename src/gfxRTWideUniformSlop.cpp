#include "gfxRTWideUniformSlop.h"

#include <cmath>
#include <limits>

namespace gfx_detail {

float wide_uniform_slop(const WideNode* nodes, unsigned int node_count) {
    float largest = 0.0f;
    for (unsigned int n = 0; n < node_count; ++n)
        for (int k = 0; k < 8; ++k)
            if (nodes[n].child[k] != WIDE_EMPTY_CHILD && nodes[n].slop[k] > largest)
                largest = nodes[n].slop[k];
    // An overflowed slop (a triangle shrunk to float's least scale) leaves
    // the widening to each child.
    if (!(largest < std::numeric_limits<float>::infinity()))
        return 0.0f;
    unsigned long long used = 0, near_largest = 0;
    for (unsigned int n = 0; n < node_count; ++n) {
        for (int k = 0; k < 8; ++k) {
            if (nodes[n].child[k] == WIDE_EMPTY_CHILD)
                continue;
            ++used;
            near_largest += nodes[n].slop[k] >= 0.5f * largest ? 1u : 0u;
        }
    }
    return 2 * near_largest >= used ? largest : 0.0f;
}

float wide_longest_edge(const TriangleBlock* blocks, unsigned int block_count) {
    double longest2 = 0.0;
    for (unsigned int b = 0; b < block_count; ++b) {
        const TriangleBlock& block = blocks[b];
        for (int lane = 0; lane < 4; ++lane) {
            for (int k = 0; k < 3; ++k) {
                const int next = k == 2 ? 0 : k + 1;
                double length2 = 0.0;
                for (int a = 0; a < 3; ++a) {
                    const double step =
                        double(block.vertex[next][a][lane]) - double(block.vertex[k][a][lane]);
                    length2 += step * step;
                }
                // An unused lane's NaN fails the comparison.
                if (length2 > longest2)
                    longest2 = length2;
            }
        }
    }
    const float longest = float(std::sqrt(longest2) * (1.0 + 1.0 / 1048576.0));
    return std::nextafter(longest, std::numeric_limits<float>::infinity());
}

} // namespace gfx_detail
