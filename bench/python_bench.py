"""Times Scene.intersect on the rays zrv_python_bench_data wrote and compares
its rate with the C++ rate of the same rays over the same mesh and on as many
threads: the KD-tree and the BVH over the 100k mesh against the C++ trace of
the prepared packets (one thread), the wide BVH over the 1M mesh against
intersect_batch on the same arrays (one and two threads). The Python figure
includes checking the arrays, the trace, turning tree positions into face
rows and building the result arrays. Each side reports its best rate by the
clock and by the processor time of all its threads (time spent waiting for a
core on a loaded machine does not count in the second). Each round also
times Scene.set_transforms on a scene of 10,000 instances of the 100k mesh,
on one thread (checking the transforms, moving the instances, rebuilding the
top level): moving a tenth of them, against the 5 ms a C++ commit after
some moves is held to, moving all of them, and moving all of them with
refit=True (the top level's tree kept, its boxes moved); and
Scene.set_vertices on the 1M mesh bent by a wave, one thread (its wide BVH
refitted), against a new Scene over the same arrays.

    python_bench.py FOLDER measure   adds this round's rates to python_rates.txt
    python_bench.py FOLDER report    the best rate of every round, side by side
"""

import os
import sys
import time

import numpy as np
import zorvadideruvovozov as zrv

REPETITIONS = 5
# The most the binding may cost, as a fraction of the C++ rate.
BUDGET = {"kd": 0.20, "bvh": 0.20, "wide": 0.15}


def load(folder, name, dtype=np.float32, columns=3):
    data = np.fromfile(os.path.join(folder, name), dtype=dtype)
    return data.reshape(-1, columns) if columns > 1 else data


def best_rates(folder, name):
    """{(mesh, structure, rays, threads): [best Mrays/s, best per processor second, agree]}."""
    best = {}
    with open(os.path.join(folder, name)) as lines:
        for line in lines:
            mesh, structure, rays, threads, *figures = line.split()
            key, figures = (mesh, structure, rays, int(threads)), [float(f) for f in figures]
            best[key] = [max(pair) for pair in zip(best.get(key, figures), figures)]
    return best


MOVED_INSTANCES = 10_000
MOVE_AIM_MS = 5.0


def placements(count, seed):
    """count random rotations, scales of 0.5 to 1.5 and places in a cube 100 wide."""
    rng = np.random.default_rng(seed)
    axis = rng.normal(size=(count, 3))
    axis /= np.linalg.norm(axis, axis=1, keepdims=True)
    angle = rng.uniform(0.0, np.pi, (count, 1, 1))
    k = np.zeros((count, 3, 3))
    k[:, 0, 1], k[:, 0, 2], k[:, 1, 2] = -axis[:, 2], axis[:, 1], -axis[:, 0]
    k -= k.transpose(0, 2, 1)
    rotation = np.eye(3) + np.sin(angle) * k + (1.0 - np.cos(angle)) * (k @ k)
    out = np.empty((count, 3, 4), np.float32)
    out[:, :, :3] = rotation * rng.uniform(0.5, 1.5, (count, 1, 1))
    out[:, :, 3] = rng.uniform(0.0, 100.0, (count, 3))
    return out


def measure_moves(folder):
    """The best times of Scene.set_transforms moving a tenth of the
    instances, all of them, and all of them with refit=True, in ms."""
    vertices = load(folder, "100k_vertices.f32")
    mesh = (vertices, np.arange(len(vertices)).reshape(-1, 3))
    first, second = placements(MOVED_INSTANCES, 1), placements(MOVED_INSTANCES, 2)
    scene = zrv.Scene.from_instances([mesh], first, mesh=np.zeros(MOVED_INSTANCES, np.int32),
                                     build_threads=1)
    tenth = np.arange(0, MOVED_INSTANCES, 10)
    moves = ((tenth, tenth, False), (slice(None), None, False), (slice(None), None, True))
    best = [np.inf] * len(moves)
    for repetition in range(2 * REPETITIONS):
        for k, (moved, instances, refit) in enumerate(moves):
            start = time.perf_counter()
            placed = second if repetition % 2 == 0 else first
            scene.set_transforms(placed[moved], instances, build_threads=1, refit=refit)
            best[k] = min(best[k], time.perf_counter() - start)
    with open(os.path.join(folder, "python_moves.txt"), "a") as out:
        out.write(" ".join(str(b * 1e3) for b in best) + "\n")


def measure_deforms(folder):
    """The best times of Scene.set_vertices on the 1M mesh, alternating
    between its vertices and a bent copy, and of a new Scene over the bent
    copy, both one thread, in ms."""
    vertices = load(folder, "1M_vertices.f32")
    faces = np.arange(len(vertices)).reshape(-1, 3)
    bent = vertices.copy()
    height = np.ptp(vertices[:, 1])
    bent[:, 1] += 0.05 * height * np.sin(6.0 / height * vertices[:, 0])
    scene = zrv.Scene(vertices, faces, build_threads=1)
    refit = build = np.inf
    for repetition in range(REPETITIONS):
        start = time.perf_counter()
        scene.set_vertices(bent if repetition % 2 == 0 else vertices, faces, build_threads=1)
        refit = min(refit, time.perf_counter() - start)
        start = time.perf_counter()
        zrv.Scene(bent, faces, build_threads=1)
        build = min(build, time.perf_counter() - start)
    with open(os.path.join(folder, "python_deforms.txt"), "a") as out:
        out.write(f"{refit * 1e3} {build * 1e3}\n")


def measure(folder):
    figures = {}  # (mesh, structure) -> [(rays, threads)], in the C++ file's order
    for mesh, structure, rays, threads in best_rates(folder, "cpp_rates.txt"):
        figures.setdefault((mesh, structure), []).append((rays, threads))
    lines = []
    for (mesh, structure), traces in figures.items():
        vertices = load(folder, mesh + "_vertices.f32")
        faces = np.arange(len(vertices)).reshape(-1, 3)
        scene = zrv.Scene(vertices, faces, accel=structure, build_threads=1)
        for rays, threads in traces:
            origins = load(folder, rays + "_origins.f32")
            directions = load(folder, rays + "_directions.f32")
            wall = cpu = 0.0
            for _ in range(REPETITIONS):
                start, start_cpu = time.perf_counter(), time.process_time()
                hits = scene.intersect(origins, directions, threads=threads)
                cpu = max(cpu, len(origins) / (time.process_time() - start_cpu) / 1e6)
                wall = max(wall, len(origins) / (time.perf_counter() - start) / 1e6)
            cpp_triangles = load(folder, f"{rays}_{structure}_triangles.i32", np.int32, 1)
            agree = np.mean(hits["triangle"] == cpp_triangles)
            lines.append(f"{mesh} {structure} {rays} {threads} {wall} {cpu} {agree}\n")
    with open(os.path.join(folder, "python_rates.txt"), "a") as out:
        out.writelines(lines)
    measure_moves(folder)
    measure_deforms(folder)


def report(folder):
    cpp, python = best_rates(folder, "cpp_rates.txt"), best_rates(folder, "python_rates.txt")
    print("Python binding against C++ on the same rays, threads and mesh, best of every round "
          f"(load average now {os.getloadavg()[0]:.2f}):")
    print(f"{'':35} {'Mrays/s by the clock':^27} {'Mrays per processor second':^27}")
    print(f"{'mesh':5} {'structure':9} {'rays':9} {'threads':>7} "
          + f"{'C++':>9} {'Python':>8} {'cost':>8} " * 2 + f"{'agree':>8}")
    worst = {}
    for key, (cpp_wall, cpp_cpu) in cpp.items():
        mesh, structure, rays, threads = key
        wall, cpu, agree = python[key]
        costs = 1.0 - wall / cpp_wall, 1.0 - cpu / cpp_cpu
        worst[structure] = [max(pair) for pair in zip(worst.get(structure, costs), costs)]
        print(f"{mesh:5} {structure:9} {rays:9} {threads:7} {cpp_wall:9.2f} {wall:8.2f} "
              f"{costs[0]:8.1%} {cpp_cpu:9.2f} {cpu:8.2f} {costs[1]:8.1%} {agree:8.3%}")
    for structure, (wall, cpu) in worst.items():
        verdict = "within" if max(wall, cpu) <= BUDGET[structure] else "ABOVE"
        print(f"{structure}: largest binding cost {wall:.1%} by the clock, {cpu:.1%} by "
              f"processor time: {verdict} the {BUDGET[structure]:.0%} budget")
    with open(os.path.join(folder, "python_moves.txt")) as lines:
        tenth, every, refitted = np.array([line.split() for line in lines], float).min(axis=0)
    verdict = "within" if tenth <= MOVE_AIM_MS else "ABOVE"
    print(f"Scene.set_transforms on {MOVED_INSTANCES:,} instances of the 100k mesh, one thread, "
          f"best of every round: a tenth moved {tenth:.2f} ms ({verdict} the {MOVE_AIM_MS:g} ms "
          f"aim), all moved {every:.2f} ms, all moved with refit=True {refitted:.2f} ms")
    with open(os.path.join(folder, "python_deforms.txt")) as lines:
        refit, build = np.array([line.split() for line in lines], float).min(axis=0)
    print(f"Scene.set_vertices on the 1M mesh bent by a wave, one thread, best of every round: "
          f"{refit:.0f} ms, against {build:.0f} ms for a new Scene")


if __name__ == "__main__":
    {"measure": measure, "report": report}[sys.argv[2]](sys.argv[1])
