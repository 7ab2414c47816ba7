// A two-level scene of instances: meshes, each with its own wide BVH built
// once in object space, placed any number of times by affine transforms,
// under a wide BVH over the placed instances (the top level).
//
// A ray is carried into an instance's space by the instance's inverse
// transform and traced there with the mesh's tree; t is the same parameter
// along the world ray and the carried one, so hits are measured along the
// world ray. One hit rule across the scene: the nearest t the triangle
// kernel accepts (0.0001 <= t < the limit); at equal t the lower instance,
// then the lower triangle position in the mesh's array. Results therefore
// do not depend on the top level's shape, the thread count, the batch order
// or the kernel version. An instance's box in the top level is the box of
// its mesh's bounding polytope (26 planes, worked out when the mesh is
// added) as placed, so that rays passing the corners of a turned mesh's box
// do not enter it. The boxes are padded and widened so that the top level
// culls no instance whose mesh tree finds a hit; the scene is exact
// wherever the mesh trees are for the carried rays (see gfxRTWideBVH.h: a
// ray grazing a triangle's plane is their exception, and its reach grows
// with the carried ray's distance from the mesh in the mesh's own units, so
// with a small scale).
//
// A mesh's nearly flat triangles (see gfxRTWideBVH.h) cost more here: the
// top level widens each instance's box with its mesh's flattest triangle,
// so every ray far enough away enters every instance to test it. On 64
// instances of the 100k benchmark mesh, camera rays traced 8 times slower
// with one such triangle in the mesh and 14 times with ten.
//
// Animation: change transforms with set_transform (and hide or show
// instances with set_enabled), then commit, which rebuilds only the top
// level, or refit, which only moves its boxes. Queries see the instances as
// of the last commit or refit. A deforming mesh moves with refit_mesh,
// followed by a commit or refit. add_mesh, add_meshes, refit_mesh,
// add_instance, reserve_instances, set_transform, set_enabled, commit,
// refit, clear and unstream must not run while a query runs; the queries
// themselves are const and may run on any number of threads at once,
// allocating nothing but list_batch's list and its workers' buffers.
#ifndef GFX_RT_WIDE_SCENE_H
#define GFX_RT_WIDE_SCENE_H

#include "gfxExport.h"
#include "gfxRTWideBVH.h"
#include "gfxRayTracing.h"
#include "gfxStream.h"

#include <cstddef>

// The nearest hit of one ray in a scene.
struct gfxRTWideSceneHit {
    float t;      // distance in units of the world ray's direction; max_distance on a miss
    float u;      // as gfxRTWideHit
    float v;      // as gfxRTWideHit
    int index;    // position of the triangle in its mesh's array; -1 on a miss
    int instance; // the instance hit, in the order of add_instance; -1 on a miss
};

// What add_instance and set_transform did.
enum gfxRTWideInstanceResult {
    GFX_WIDE_INSTANCE_DONE = 0,
    GFX_WIDE_INSTANCE_NO_SUCH_MESH,         // add_instance: mesh is not a mesh of the scene
    GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE,     // set_transform: instance is out of range
    GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM, // null, or a NaN or infinite entry
    GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM,   // no inverse, or one that is not finite
    GFX_WIDE_INSTANCE_TOO_MANY,             // MAX_INSTANCES reached
    GFX_WIDE_INSTANCE_OUT_OF_MEMORY,
};

// A short English text for a result, e.g. "the transform is singular".
GFX_API const char* gfxRTWideInstanceResultText(gfxRTWideInstanceResult result);

class GFX_API gfxRTWideScene {
public:
    static const unsigned int MAX_MESHES = 1u << 20;
    static const unsigned int MAX_INSTANCES = 1u << 24;

    gfxRTWideScene();
    ~gfxRTWideScene();
    gfxRTWideScene(const gfxRTWideScene&) = delete;
    gfxRTWideScene& operator=(const gfxRTWideScene&) = delete;

    // Builds a mesh's wide BVH over count records on threads workers and
    // keeps it. Returns the mesh's index (0, 1, ... in the order of the
    // calls), or -1 when the tree cannot be built (see gfxRTWideBVH::build)
    // or MAX_MESHES is reached. An empty mesh is a mesh: its instances are
    // never hit.
    int add_mesh(const triAccel* triangles, unsigned int count, unsigned int threads);
    // Takes over count trees the host built (or loaded) as meshes first,
    // first + 1, ..., leaving each of trees[0, count) empty, and returns
    // first: a host builds new meshes' trees on its own threads while the
    // scene is traced, and adds them between queries. All or none: -1, with
    // every tree left as it was, when memory runs out or MAX_MESHES would be
    // passed.
    int add_meshes(gfxRTWideBVH* trees, unsigned int count);
    // add_mesh for count meshes at once (mesh j: counts[j] records from
    // triangles[j]), their trees built with gfxRTWideBVH::build_each and
    // their hulls worked out on threads workers: 500 meshes of 300 triangles
    // take 57 to 60 ms on two threads against 82 to 85 one add_mesh at a
    // time. Returns the first's index, or -1, adding none, when a build
    // fails or MAX_MESHES would be passed.
    int add_meshes(const triAccel* const* triangles, const unsigned int* counts, unsigned int count,
                   unsigned int threads);
    // Moves a mesh's triangles: a skinned character or cloth placed in the
    // scene. triangles are the next frame's records of the mesh, in the
    // order its tree was built from, and the tree is refitted to them on
    // threads workers (gfxRTWideBVH::refit). The mesh's hull, and the box of
    // every instance of it, are worked out again; the top level takes the
    // new boxes at the next commit or refit, which must come before the next
    // query (until then, rays may miss the parts of its instances that moved
    // out of their last boxes). Returns false, changing nothing, for no such
    // mesh, or whenever gfxRTWideBVH::refit refuses (another count, other
    // valid triangles, no memory): add the moved mesh as a new one then, and
    // place its instances on it.
    bool refit_mesh(unsigned int mesh, const triAccel* triangles, unsigned int count,
                    unsigned int threads);

    // Places mesh by transform, a 3x4 row-major matrix from object to world
    // space: world[r] = t[4r] * x + t[4r + 1] * y + t[4r + 2] * z + t[4r + 3].
    // The instance's index is instance_count() before the call. A transform
    // with a non-finite entry, or without a finite inverse, is refused: its
    // linear part counts as singular when |det| is below 2^-24 times the
    // product of its rows' lengths (which bounds |det|), i.e. when its rows
    // are parallel to within float's precision.
    gfxRTWideInstanceResult add_instance(unsigned int mesh, const float transform[12]);
    // Makes room for count instances in all, so that add_instance does not
    // run out of memory before instance_count() reaches count: a host that
    // adds several instances at once can then add all or none. False when
    // memory runs out or count exceeds MAX_INSTANCES; the scene is unchanged.
    bool reserve_instances(unsigned int count);
    // Replaces an instance's transform, with add_instance's checks; visible to
    // queries after the next commit.
    gfxRTWideInstanceResult set_transform(unsigned int instance, const float transform[12]);
    // Moves count instances at once, instance instances[j] to the transform
    // at transforms + 12 j (of two entries for one instance, the later
    // wins), working the inverses and bounds out on threads workers (0
    // counts as 1). Every entry is checked before any instance moves: the
    // first refused one's result is returned, with its entry in *refused
    // when refused is not null, and nothing moves (OUT_OF_MEMORY when the
    // call's scratch cannot be had).
    gfxRTWideInstanceResult set_transforms(const unsigned int* instances, const float* transforms,
                                           unsigned int count, unsigned int threads,
                                           unsigned int* refused = nullptr);
    // Takes an instance out of the scene (enabled false) or puts it back
    // (true), from the next commit on. A disabled instance keeps its index,
    // mesh and transform, and set_transform still moves it, but no query
    // reaches it: a renderer hides objects without renumbering the others.
    // Instances are enabled when added.
    gfxRTWideInstanceResult set_enabled(unsigned int instance, bool enabled);
    // Rebuilds the top level over every enabled instance's current
    // transform, on threads workers (0 counts as 1). Returns false when
    // memory runs out; the scene then traces nothing until a commit
    // succeeds.
    bool commit(unsigned int threads);
    // Commits the instances' current transforms by keeping the top level's
    // tree and moving its boxes (each node's the union of those below it):
    // on 10,000 instances about a thirtieth of commit's time, with the same
    // answers, though rays slow down as instances move far from where the
    // last commit placed them. When instances were added, enabled or
    // disabled since the last commit, or it failed, it commits instead.
    // Returns false only as commit does.
    bool refit(unsigned int threads);
    // How much a random ray's work in the top level has grown through refits
    // since the last commit: the top level's surface area cost (the child
    // boxes a ray crossing the scene's box enters) over that cost when it was
    // built. 1 just after a commit (and for a scene with nothing to hit),
    // rising as refitted instances part from where the tree grouped them:
    // refit while it stays small, and commit when it passes what the host
    // tolerates. In 2,000 instances drifting apart, a rebuilt tree traced
    // random rays 1.19 times as fast at 1.3, 1.52 times at 2.1; committing
    // whenever it passed 1.3 took 6 commits in 60 frames and traced within
    // 6 % of committing every frame (bench/README.md). O(top-level nodes),
    // allocating nothing.
    double top_level_growth() const;
    // Releases every mesh and instance.
    void clear();

    // A box around the instance's triangles in world space at its transform
    // now (a move counts at once, before any commit): the box of its mesh's
    // convex hull (26 faces: normal to the axes and to the face and body
    // diagonals) carried by the transform, rounded outwards, so a little
    // larger than the carried triangles' own box when the transform rotates.
    // False, with lo and hi untouched, for no such instance or an instance of
    // an empty mesh.
    bool instance_bounds(unsigned int instance, float lo[3], float hi[3]) const;
    // The union of instance_bounds over the enabled instances of non-empty
    // meshes, at their transforms now. False, with lo and hi untouched, when
    // there are none. Each box is worked out anew, at a fraction of a move's
    // cost: O(instances), allocating nothing.
    bool bounds(float lo[3], float hi[3]) const;

    unsigned int mesh_count() const;
    unsigned int instance_count() const;
    const gfxRTWideBVH& mesh(unsigned int mesh) const;
    unsigned int instance_mesh(unsigned int instance) const;
    // As last set by set_enabled; false for an index out of range.
    bool enabled(unsigned int instance) const;
    // The instance's transform as given, and the inverse the queries use.
    const float* transform(unsigned int instance) const;
    const float* inverse_transform(unsigned int instance) const;

    // The inverse of a transform as the scene computes it: in double
    // precision from the float entries, rounded to float. Returns false, and
    // writes nothing, for a transform add_instance refuses.
    static bool invert_transform(const float transform[12], float inverse[12]);
    // add_instance's checks of a transform, placing nothing: DONE with the
    // inverse written as invert_transform writes it, or why add_instance
    // would refuse it (NON_FINITE_TRANSFORM or SINGULAR_TRANSFORM).
    static gfxRTWideInstanceResult check_transform(const float transform[12], float inverse[12]);
    // Carries a world ray into an instance's space with the float operations
    // of every query: for each row r, ((m[4r] * x + m[4r + 1] * y) +
    // m[4r + 2] * z) + m[4r + 3] for the origin and the same without the last
    // term for the direction, each product and sum rounded to float (no fused
    // multiply-add).
    static void carry_ray(const float inverse[12], const float origin[3], const float direction[3],
                          float object_origin[3], float object_direction[3]);

    // The queries of gfxRTWideBVH, over the whole scene as of the last
    // commit, with the instance of each hit beside the triangle.
    bool intersect1(const float origin[3], const float direction[3], float max_distance,
                    gfxRTWideSceneHit& hit) const;
    bool occluded1(const float origin[3], const float direction[3], float max_distance) const;
    // Lanes with a hit get the instance in hit_instance; the others -1.
    void intersect4(RayPacket& rays, HitPacket& hits, __m128i& hit_index, __m128i& hit_instance,
                    const RenderState& state, float max_distance) const;
    // count packets, each with what intersect4 gives it, as
    // gfxRTWideBVH::intersect_packets gives it (a group may also find the
    // far hits its header describes): a camera's neighbouring 2x2 blocks,
    // passed in fours, walk the top level and each instance's mesh as one.
    void intersect_packets(const RayPacket* rays, HitPacket* hits, __m128i* hit_index,
                           __m128i* hit_instance, unsigned int count, const RenderState& state,
                           float max_distance) const;
    int occluded4(const RayPacket& rays, __m128 max_distance) const;
    // As gfxRTWideBVH's batches; instance receives each ray's instance (-1
    // on a miss), and u, v and instance may be null. Both walk a camera's
    // runs of sixteen rays as intersect_packets walks four packets
    // (gfxRTWideBVH::intersect_batch says which).
    void intersect_batch(const float* origins, const float* directions, const float* max_distances,
                         unsigned int count, float* t, int* index, int* instance, float* u,
                         float* v, unsigned int threads) const;
    void occluded_batch(const float* origins, const float* directions, const float* max_distances,
                        unsigned int count, unsigned char* occluded, unsigned int threads) const;

    // As gfxRTWideBVH's, over the whole scene: each instance the ray reaches
    // counts the hits its mesh's tree counts for the carried ray, t along
    // the world ray, and list entries carry their instance.
    void count_batch(const float* origins, const float* directions, const float* max_distances,
                     unsigned int count, unsigned int* counts, unsigned int threads) const;
    bool list_batch(const float* origins, const float* directions, const float* max_distances,
                    unsigned int count, gfxRTWideHitList& list, unsigned int threads) const;

    // Saving and restoring: every mesh's tree (as gfxRTWideBVH::stream writes
    // it), then the instances, then which are disabled. unstream checks as
    // gfxRTWideBVH::unstream does, and also every instance's mesh and
    // transform and the disabled list; on success the scene is committed.
    // On failure returns false, leaves the scene empty and, when reason is
    // not null, says why in one line.
    bool stream(gfxStreamWriter& writer) const;
    bool unstream(gfxStreamReader& reader, unsigned long long max_values,
                  PlxUnicodeString* reason = nullptr);

    // Bytes held: the meshes' trees, the instances and the top level.
    std::size_t memory_bytes() const;

private:
    struct Data;
    Data* data_;
};

#endif // GFX_RT_WIDE_SCENE_H
