"""Times the Python Scene's queries on the mesh, rays and points that
zrv_embree_query_bench wrote, and compares rates and answers with Embree 3's
C++ calls on the same data and as many threads: nearest hits, occlusion,
every hit (counted and listed) and closest points (and their distances) over
the 1M benchmark mesh, on one and two threads. The Python figure is the whole
call: checking the arrays, the query and building the result arrays. Each
side reports its best rate by the clock and per processor second of all its
threads (time spent waiting for a core on a loaded machine does not count in
the second).

    query_bench.py FOLDER measure   adds this round's rates to python_rates.txt
                                    (and the agreement with Embree, once)
    query_bench.py FOLDER report    the best rates of every round, side by side
"""

import os
import sys
import time

import numpy as np
import zorvadideruvovozov as zrv

import query_referee as referee

REPETITIONS = 3
THREADS = (1, 2)
# Our query, its input set, and Embree's query on that set (embree_rates.txt).
QUERIES = [
    ("intersect", "random", "intersect"),
    ("intersect", "ao", "intersect"),
    ("intersect", "camera", "intersect"),
    ("occluded", "random", "occluded"),
    ("occluded", "ao", "occluded"),
    ("occluded", "camera", "occluded"),
    ("count_intersections", "through", "count_intersections"),
    ("list_intersections", "through", "list_intersections"),
    ("closest_points", "near", "closest_points"),
    ("closest_points", "box", "closest_points"),
    ("distance", "near", "closest_points"),
    ("distance", "box", "closest_points"),
]
EMBREE_CALLS = {
    "intersect": "rtcIntersect1M",
    "occluded": "rtcOccluded1M",
    "count_intersections": "filter, counted",
    "list_intersections": "filter, listed",
    "closest_points": "rtcPointQuery",
}
POINT_SETS = ("near", "box")
# Distances and t agree when within this fraction of the larger, or of 1.
TOLERANCE = 1e-5
AIM = 1.0


def load(folder, name, dtype=np.float32, columns=3):
    data = np.fromfile(os.path.join(folder, name), dtype=dtype)
    return data.reshape(-1, columns) if columns > 1 else data


def close(a, b):
    return np.abs(a - b) <= TOLERANCE * np.maximum(1.0, np.maximum(np.abs(a), np.abs(b)))


def percent(count, total):
    return f"{100.0 * count / max(total, 1):.3f}%"


def judged(wrong):
    ours, theirs = wrong
    return f"float64 rejects {ours} of ours, {theirs} of Embree's"


def nearest_agreement(folder, vertices, inputs, set_name, hits):
    triangle = load(folder, f"intersect_{set_name}_triangle.i32", np.int32, 1)
    t = load(folder, f"intersect_{set_name}_t.f32", np.float32, 1)
    ours_hit, embree_hit = hits["triangle"] >= 0, triangle >= 0
    both = ours_hit & embree_hit
    same = both & (hits["triangle"] == triangle)
    near = close(hits["t"][same], t[same])
    differ = hits["triangle"] != triangle
    wrong = referee.judge_hits(vertices, inputs[0][differ], inputs[1][differ],
                               hits["triangle"][differ], triangle[differ])
    return (f"hit/miss {percent(np.count_nonzero(ours_hit == embree_hit), len(t))}, "
            f"triangle {percent(np.count_nonzero(same), np.count_nonzero(both))}, "
            f"t {percent(np.count_nonzero(near), len(near))} of the same; "
            f"{np.count_nonzero(differ)} rays differ: {judged(wrong)}")


def occluded_agreement(folder, set_name, occluded):
    embree = load(folder, f"occluded_{set_name}.u8", np.uint8, 1) != 0
    return (f"occluded {percent(np.count_nonzero(occluded == embree), len(embree))} "
            f"({np.count_nonzero(occluded & ~embree)} only ours, "
            f"{np.count_nonzero(~occluded & embree)} only Embree's)")


def count_agreement(folder, counts):
    embree = load(folder, "count_through.u32", np.uint32, 1).astype(np.int64)
    counts = np.asarray(counts, dtype=np.int64)
    return (f"counts {percent(np.count_nonzero(counts == embree), len(embree))} "
            f"({np.count_nonzero(counts > embree)} rays more, "
            f"{np.count_nonzero(counts < embree)} fewer; Embree's mean {embree.mean():.2f})")


def list_agreement(folder, vertices, inputs, lists):
    rays = load(folder, "list_through_ray.u32", np.uint32, 1).astype(np.int64)
    triangles = load(folder, "list_through_triangle.i32", np.int32, 1).astype(np.int64)
    t = load(folder, "list_through_t.f32", np.float32, 1)
    ours_rays = np.asarray(lists["ray"], dtype=np.int64)
    ours_triangles = np.asarray(lists["triangle"], dtype=np.int64)
    # Entries as (ray, triangle) keys: those both list, and those of one side.
    ours_keys, embree_keys = (ours_rays << 32) | ours_triangles, (rays << 32) | triangles
    _, ours_at, embree_at = np.intersect1d(ours_keys, embree_keys, assume_unique=True,
                                           return_indices=True)
    near = close(np.asarray(lists["t"])[ours_at], t[embree_at])
    only = [np.setdiff1d(ours_keys, embree_keys), np.setdiff1d(embree_keys, ours_keys)]
    differing = np.unique(np.concatenate(only) >> 32)
    ray_count = len(inputs[0])
    wrong = []
    for keys in only:
        ray, triangle = keys >> 32, keys & 0xFFFFFFFF
        margin = referee.hit_margin(vertices, inputs[0][ray], inputs[1][ray], triangle)
        wrong.append(int(np.count_nonzero(margin < referee.INSIDE)))
    return (f"lists {percent(ray_count - len(differing), ray_count)} of rays, "
            f"t {percent(np.count_nonzero(near), len(near))} of {len(near)} common hits; "
            f"{len(only[0])} hits only ours, {len(only[1])} only Embree's: {judged(wrong)}")


def closest_agreement(folder, vertices, points, set_name, distance, triangle=None):
    embree_distance = load(folder, f"closest_{set_name}_distance.f32", np.float32, 1)
    near = close(np.abs(distance), embree_distance)
    text = f"distance {percent(np.count_nonzero(near), len(near))}"
    if triangle is not None:
        embree_triangle = load(folder, f"closest_{set_name}_triangle.i32", np.int32, 1)
        differ = triangle != embree_triangle
        farther = referee.judge_closest(vertices, points[differ], triangle[differ],
                                        embree_triangle[differ])
        text += (f", triangle {percent(np.count_nonzero(~differ), len(differ))}; "
                 f"{np.count_nonzero(differ)} differ: float64 finds ours farther on "
                 f"{farther[0]}, Embree's on {farther[1]}")
    return text


def agreement(folder, vertices, inputs, method, set_name, result):
    if method == "intersect":
        return nearest_agreement(folder, vertices, inputs, set_name, result)
    if method == "occluded":
        return occluded_agreement(folder, set_name, result)
    if method == "count_intersections":
        return count_agreement(folder, result)
    if method == "list_intersections":
        return list_agreement(folder, vertices, inputs, result)
    if method == "closest_points":
        return closest_agreement(folder, vertices, inputs[0], set_name, result["distance"],
                                 result["triangle"])
    return closest_agreement(folder, vertices, inputs[0], set_name, result)


def read_agreement(folder):
    path = os.path.join(folder, "agreement.txt")
    if not os.path.exists(path):
        return {}
    with open(path) as lines:
        return {tuple(line.split("\t")[:2]): line.rstrip("\n").split("\t")[2] for line in lines}


def measure(folder):
    vertices = load(folder, "mesh_vertices.f32")
    faces = np.arange(len(vertices), dtype=np.int32).reshape(-1, 3)
    scene = zrv.Scene(vertices, faces, accel="wide", build_threads=1)
    known = read_agreement(folder)
    rates, agreements = [], []
    for method, set_name, _ in QUERIES:
        if not hasattr(scene, method):
            continue
        query = getattr(scene, method)
        if set_name in POINT_SETS:
            inputs = (load(folder, f"{set_name}_points.f32"),)
        else:
            inputs = (load(folder, f"{set_name}_origins.f32"),
                      load(folder, f"{set_name}_directions.f32"))
        count = len(inputs[0])
        for threads in THREADS:
            wall = cpu = 0.0
            for _ in range(REPETITIONS):
                start, start_cpu = time.perf_counter(), time.process_time()
                result = query(*inputs, threads=threads)
                cpu = max(cpu, count / (time.process_time() - start_cpu) / 1e6)
                wall = max(wall, count / (time.perf_counter() - start) / 1e6)
            rates.append(f"{method} {set_name} {threads} {wall} {cpu}\n")
        if (method, set_name) not in known:
            text = agreement(folder, vertices, inputs, method, set_name, result)
            agreements.append(f"{method}\t{set_name}\t{text}\n")
    with open(os.path.join(folder, "python_rates.txt"), "a") as out:
        out.writelines(rates)
    with open(os.path.join(folder, "agreement.txt"), "a") as out:
        out.writelines(agreements)


def best_rates(folder, name):
    """{(query, set, threads): [best Mqueries/s, best per processor second]}."""
    best = {}
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return best
    with open(path) as lines:
        for line in lines:
            query, set_name, threads, *figures = line.split()
            key, figures = (query, set_name, int(threads)), [float(f) for f in figures]
            best[key] = [max(pair) for pair in zip(best.get(key, figures), figures)]
    return best


def report(folder):
    embree, python = best_rates(folder, "embree_rates.txt"), best_rates(folder, "python_rates.txt")
    agreements = read_agreement(folder)
    print("Python Scene queries against Embree 3's C++ calls on the 1M mesh, the same inputs and "
          f"threads, best of every round (load average now {os.getloadavg()[0]:.2f}):")
    print(f"{'':42} {'Mqueries/s by the clock':^27} {'Mqueries per processor second':^29}")
    print(f"{'Python':20} {'Embree':16} {'set':7} {'T':>1} "
          + f"{'Embree':>9} {'Python':>8} {'ratio':>8} " * 2)
    worst, missing = None, []
    for method, set_name, embree_query in QUERIES:
        for threads in THREADS:
            if (method, set_name, threads) not in python:
                missing.append(method)
                continue
            ours = python[(method, set_name, threads)]
            theirs = embree[(embree_query, set_name, threads)]
            ratios = [o / e for o, e in zip(ours, theirs)]
            worst = ratios if worst is None else [min(p) for p in zip(worst, ratios)]
            print(f"{method:20} {EMBREE_CALLS[embree_query]:16} {set_name:7} {threads:1} "
                  f"{theirs[0]:9.3f} {ours[0]:8.3f} {ratios[0]:7.2f}x "
                  f"{theirs[1]:9.3f} {ours[1]:8.3f} {ratios[1]:7.2f}x")
    print("Agreement with Embree: t and distances within a relative "
          f"{TOLERANCE:g}; where the answers differ, a float64 test of each side's triangle:")
    for method, set_name, _ in QUERIES:
        if (method, set_name) in agreements:
            print(f"  {method:20} {set_name:8} {agreements[(method, set_name)]}")
    if missing:
        print("Not in this Python module, not measured: " + ", ".join(sorted(set(missing))))
    if worst is not None:
        verdict = "met" if min(worst) >= AIM else "NOT met"
        print(f"Lowest ratio {worst[0]:.2f}x by the clock, {worst[1]:.2f}x by processor time: "
              f"the aim of {AIM:.1f}x on every query is {verdict}")


if __name__ == "__main__":
    {"measure": measure, "report": report}[sys.argv[2]](sys.argv[1])
