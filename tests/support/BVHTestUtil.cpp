#include "BVHTestUtil.h"

#include "gfxRTAccelerationStructureServices.h"
#include "zrvSceneRandom.h"

#include <algorithm>
#include <cstring>

void BoxBVH::get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const {
    if (object >= boxes.size())
        return;
    const TestBox& b = boxes[object];
    bbmin = _mm_setr_ps(b.min[0], b.min[1], b.min[2], 0.0f);
    bbmax = _mm_setr_ps(b.max[0], b.max[1], b.max[2], 0.0f);
}

void BoxBVH::test_object_hit(unsigned int object, int lane_mask, RayPacket&, HitPacket& hit,
                             const RenderState&, float) const {
    calls.push_back({object, lane_mask});
    const float t = boxes[object].hit_t;
    if (t < 0.0f)
        return;
    for (int k = 0; k < 4; ++k) {
        if (((lane_mask >> k) & 1) && t < lane_of(hit.t, k)) {
            set_lane(hit.t, k, t);
            alignas(16) int ids[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(ids), hit.id);
            ids[k] = int(object);
            hit.id = _mm_load_si128(reinterpret_cast<const __m128i*>(ids));
        }
    }
}

std::vector<TestBox> boxes_at(const std::vector<float>& centres_x, float w) {
    std::vector<TestBox> boxes;
    for (float x : centres_x)
        boxes.push_back(TestBox{{x - w, 0.0f, 0.0f}, {x + w, 1.0f, 1.0f}});
    return boxes;
}

std::vector<StreamItem> bvh_record(const std::vector<BVHNode>& nodes,
                                   const std::vector<int>& order) {
    std::vector<StreamItem> items = {StreamItem::String("BEGIN:gfxRTBVH"),
                                     StreamItem::String("version=1"),
                                     StreamItem::Uint(unsigned(nodes.size()))};
    for (const BVHNode& n : nodes) {
        int packed;
        std::memcpy(&packed, &n.num_triangles, 4);
        items.insert(items.end(),
                     {StreamItem::Float(n.bbmin[0]), StreamItem::Float(n.bbmin[1]),
                      StreamItem::Float(n.bbmin[2]), StreamItem::Int(n.firstChildNodeID),
                      StreamItem::Float(n.bbmax[0]), StreamItem::Float(n.bbmax[1]),
                      StreamItem::Float(n.bbmax[2]), StreamItem::Int(packed)});
    }
    items.push_back(StreamItem::Uint(unsigned(order.size())));
    for (int o : order)
        items.push_back(StreamItem::Int(o));
    items.push_back(StreamItem::String("END:gfxRTBVH"));
    return items;
}

BVHNode leaf_node(const float min[3], const float max[3], int first, int count) {
    BVHNode n;
    std::memset(&n, 0, sizeof n);
    std::memcpy(n.bbmin, min, sizeof n.bbmin);
    std::memcpy(n.bbmax, max, sizeof n.bbmax);
    n.firstTriangleID = first;
    n.num_triangles = short(count);
    return n;
}

BVHNode inner_node(const float min[3], const float max[3], int first_child, int axis, int first) {
    BVHNode n = leaf_node(min, max, first_child, 0);
    n.axis = static_cast<unsigned char>(axis);
    n.first = static_cast<unsigned char>(first);
    return n;
}

std::string bvh_structural_fault(const gfxRTBVH& tree) {
    const unsigned int count = tree.get_number_of_nodes();
    const unsigned int objects = tree.get_number_of_objects();
    const BVHNode* nodes = tree.get_node_array();
    if (objects == 0)
        return count == 0 ? "" : "nodes without objects";
    if (nodes == nullptr || tree.get_object_order() == nullptr)
        return "no node or order array";
    std::vector<int> covered(objects, 0), seen_object(objects, 0), references(count, 0);
    unsigned int leaves = 0, entries = 0;
    for (unsigned int id = 0; id < count; ++id) {
        const BVHNode& n = nodes[id];
        const std::string where = "node " + std::to_string(id) + ": ";
        if (n.num_triangles < 1) {
            const int c = n.firstChildNodeID;
            if (n.num_triangles != 0 || c <= int(id) || unsigned(c) + 1 >= count || c % 2 != 1)
                return where + "bad inner node";
            if (references[c]++ != 0 || references[c + 1]++ != 0)
                return where + "children referenced twice";
            continue;
        }
        ++leaves;
        entries += unsigned(n.num_triangles);
        if (n.firstTriangleID < 0 || unsigned(n.firstTriangleID + n.num_triangles) > objects)
            return where + "leaf range outside the order";
        for (int i = n.firstTriangleID; i < n.firstTriangleID + n.num_triangles; ++i) {
            const int o = tree.get_object_order()[i];
            if (covered[i]++ != 0 || o < 0 || unsigned(o) >= objects || seen_object[o]++ != 0)
                return where + "order entry " + std::to_string(i) + " covered twice or invalid";
        }
    }
    // Children lie past their parent and are named at most once, so with
    // 2 * leaves - 1 nodes every node but the root is named exactly once;
    // entries are covered at most once, so all are when they add up.
    if (count != 2 * leaves - 1 || entries != objects)
        return "node count is not 2 * leaves - 1 or order entries in no leaf";
    return "";
}

int bvh_hit_id(const gfxRTBVH& tree, const Ray3& ray) {
    RayPacket rays = packet_of(ray);
    HitPacket hits = empty_hits();
    __m128i objects;
    tree.traverse_tree(rays, hits, objects, RenderState{0, 0}, 1e30f);
    return lane_of(hits.id, 0);
}

void box_filtered_brute_force(const std::vector<triAccel>& triangles, const RayPacket& rays,
                              const RenderState& state, HitPacket& hits) {
    const sse_vec inv = {_mm_div_ps(one4, rays.direction.x), _mm_div_ps(one4, rays.direction.y),
                         _mm_div_ps(one4, rays.direction.z)};
    for (const triAccel& t : triangles) {
        if (state.shadow_rays && t.casts_shadow == 0)
            continue;
        float lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(std::min(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
            hi[a] = std::max(std::max(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
        }
        __m128 t_entry;
        const int lanes = gfxRT_ray_box_intersect(rays, inv, lo, hi, t_entry) & rays.active_mask;
        if (lanes != 0)
            gfxRT_ray_triangle_intersect(t, rays, unsigned(lanes), state, hits);
    }
}

namespace {

std::string node_difference(const gfxRTBVH& a, int ia, const gfxRTBVH& b, int ib,
                            const std::string& path) {
    const BVHNode& x = a.get_node_array()[ia];
    const BVHNode& y = b.get_node_array()[ib];
    if (std::memcmp(x.bbmin, y.bbmin, 12) != 0 || std::memcmp(x.bbmax, y.bbmax, 12) != 0 ||
        x.num_triangles != y.num_triangles || x.axis != y.axis || x.first != y.first ||
        (x.num_triangles > 0 && x.firstTriangleID != y.firstTriangleID))
        return "node at " + (path.empty() ? std::string("root") : path) + " differs";
    if (x.num_triangles > 0)
        return "";
    const std::string d = node_difference(a, x.firstChildNodeID, b, y.firstChildNodeID, path + "0");
    return d.empty()
               ? node_difference(a, x.firstChildNodeID + 1, b, y.firstChildNodeID + 1, path + "1")
               : d;
}

} // namespace

std::string bvh_shape_difference(const gfxRTBVH& a, const gfxRTBVH& b) {
    if (a.get_number_of_nodes() != b.get_number_of_nodes())
        return "node counts differ";
    if (a.get_object_order_size() != b.get_object_order_size() ||
        !std::equal(a.get_object_order(), a.get_object_order() + a.get_object_order_size(),
                    b.get_object_order()))
        return "object orders differ";
    return a.get_number_of_nodes() == 0 ? "" : node_difference(a, 0, b, 0, "");
}

TwoLevelScene make_two_level(const std::vector<triAccel>& triangles, unsigned int parts,
                             bool random_parts, unsigned int tracing_threads) {
    TwoLevelScene scene;
    scene.parts.resize(parts);
    scene.part_of.resize(triangles.size());
    zrv::scenes::SplitMix64 rng(parts);
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const unsigned int part =
            random_parts ? rng.below(parts) : unsigned(i * parts / triangles.size());
        scene.parts[part].push_back(triangles[i]);
        scene.part_of[std::size_t(triangles[i].triangle_id)] = int(part);
    }
    scene.bvh.reset(new gfxRTBVH_KDTree());
    for (const std::vector<triAccel>& part : scene.parts) {
        gfxRTKDTree* tree = new gfxRTKDTree(tracing_threads);
        gfxRTAccelerationStructureServices::CompileKDTree(tree, 1, part.data(),
                                                          unsigned(part.size()));
        scene.bvh->addTree(tree);
    }
    gfxRTAccelerationStructureServices::CompileBVHTree(scene.bvh.get(), 2);
    return scene;
}
