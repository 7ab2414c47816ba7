"""Times Scene.intersect on the rays zrv_python_bench_data wrote and compares
its rate with the C++ rate of the same rays over the same mesh (one thread
each; the Python figure includes converting the arrays, grouping the rays
into packets and building the result arrays). Usage: python_bench.py FOLDER"""

import os
import sys
import time

import numpy as np
import zorvadideruvovozov as zrv

REPETITIONS = 3
MAX_COST = 0.20  # the binding may cost at most this fraction of the C++ rate


def load(folder, name, dtype=np.float32, columns=3):
    data = np.fromfile(os.path.join(folder, name), dtype=dtype)
    return data.reshape(-1, columns) if columns > 1 else data


def best_rate(scene, origins, directions, threads):
    best = 0.0
    for _ in range(REPETITIONS):
        start = time.perf_counter()
        hits = scene.intersect(origins, directions, threads=threads)
        best = max(best, len(origins) / (time.perf_counter() - start) / 1e6)
    return best, hits


def main(folder):
    vertices = load(folder, "vertices.f32")
    faces = np.arange(len(vertices)).reshape(-1, 3)
    cpp = {}
    with open(os.path.join(folder, "cpp_rates.txt")) as rates:
        for line in rates:
            structure, rays, rate = line.split()
            cpp[structure, rays] = float(rate)

    threads = min(os.cpu_count() or 1, zrv.MAX_THREADS)
    print(f"Python binding, {len(faces)} triangles, 1 thread against C++ on 1 thread "
          f"(and Python on {threads}):")
    print(f"{'structure':9} {'rays':9} {'C++ Mrays/s':>12} {'Python':>8} {'cost':>7} "
          f"{'agree':>7} {'Python x' + str(threads):>10}")
    worst = 0.0
    for structure in ("kd", "bvh"):
        scene = zrv.Scene(vertices, faces, accel=structure, build_threads=1)
        for rays in ("coherent", "random"):
            origins = load(folder, rays + "_origins.f32")
            directions = load(folder, rays + "_directions.f32")
            rate, hits = best_rate(scene, origins, directions, 1)
            many, _ = best_rate(scene, origins, directions, threads)
            cpp_triangles = load(folder, f"{rays}_{structure}_triangles.i32", np.int32, 1)
            agree = np.mean(hits["triangle"] == cpp_triangles)
            cost = 1.0 - rate / cpp[structure, rays]
            worst = max(worst, cost)
            print(f"{structure:9} {rays:9} {cpp[structure, rays]:12.2f} {rate:8.2f} "
                  f"{cost:7.1%} {agree:7.2%} {many:10.2f}")
    verdict = "within" if worst <= MAX_COST else "ABOVE"
    print(f"largest binding cost {worst:.1%}: {verdict} the {MAX_COST:.0%} budget")


if __name__ == "__main__":
    main(sys.argv[1])
