// Reading and writing the 32-bit words of KD-tree nodes. Nodes are addressed
// by byte offset; the words are copied rather than cast so that no alignment
// or aliasing assumption is made about the node array.
#ifndef GFX_KDTREE_NODE_WORDS_H
#define GFX_KDTREE_NODE_WORDS_H

#include <cstring>

namespace gfx_detail {

// Bit 31 of word 0 marks a leaf; the other bits hold its first object entry.
const unsigned int LEAF_FLAG = 0x80000000u;
// Word 0 of an inner node: the offset to its children pair in these bits,
// the split axis in bits 0-1.
const unsigned int PAIR_OFFSET_MASK = 0x7FFFFFFCu;

// Always inlined, as they are also compiled for x86-64-v3 (gfxRTHotPaths.inc).
__attribute__((always_inline)) inline unsigned int node_word(const unsigned char* nodes,
                                                             unsigned int offset) {
    unsigned int word;
    std::memcpy(&word, nodes + offset, 4);
    return word;
}

__attribute__((always_inline)) inline float node_float(const unsigned char* nodes,
                                                       unsigned int offset) {
    float value;
    std::memcpy(&value, nodes + offset, 4);
    return value;
}

inline void write_node_word(unsigned char* nodes, unsigned int offset, unsigned int word) {
    std::memcpy(nodes + offset, &word, 4);
}

inline void write_node(unsigned char* nodes, unsigned int offset, unsigned int word0,
                       unsigned int word1) {
    write_node_word(nodes, offset, word0);
    write_node_word(nodes, offset + 4, word1);
}

} // namespace gfx_detail

#endif // GFX_KDTREE_NODE_WORDS_H
