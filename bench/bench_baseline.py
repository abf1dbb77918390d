"""NumPy float32 baselines for the codebook-quantised product benchmarks.

Prints one JSON object per line, like the C++ benchmarks: float32 matrix-vector
and matrix-matrix products of the same shapes as bench_cq, with NumPy's BLAS
pinned to 1 and then 2 threads. The thread count is fixed through the BLAS
environment variables before NumPy is imported, so the script re-runs itself
once per count. OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, when the environment
sets them, are removed for those child processes only (they select a slower
kernel on this processor).

Usage: python3 bench/bench_baseline.py [filter]
"""

import json
import os
import subprocess
import sys
import time

THREAD_COUNTS = (1, 2)
SHAPES = ((512, 512), (2048, 512), (16384, 512), (4096, 4096))
BATCHES = (16, 128)
CHILD_VAR = "PINNET_BENCH_BASELINE_THREADS"
BLAS_THREAD_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")


def median_seconds(call, samples=7, min_sample=0.02):
    call()
    per_call = []
    for _ in range(samples):
        n = 0
        start = time.perf_counter()
        while True:
            call()
            n += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_sample:
                break
        per_call.append(elapsed / n)
    per_call.sort()
    return per_call[len(per_call) // 2]


def blas_kernel():
    """The BLAS library and the kernel it runs, when threadpoolctl is there."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    for info in threadpool_info():
        if info.get("user_api") == "blas":
            return "%s/%s" % (info.get("internal_api"), info.get("architecture"))
    return None


def line(name, rows, cols, m, threads, seconds, flops, nbytes, kernel):
    return json.dumps({
        "name": name, "isa": kernel, "rows": rows, "cols": cols, "m": m, "bits": None,
        "group": None, "threads": threads, "seconds": seconds,
        "gflops": None if flops is None else round(flops / seconds * 1e-9, 3),
        "gbps": round(nbytes / seconds * 1e-9, 3),
    })


def run_child(filter_text, threads):
    import numpy as np

    kernel = blas_kernel()
    rng = np.random.default_rng(1234)
    for rows, cols in SHAPES:
        shape = "%dx%d" % (rows, cols)
        a = rng.uniform(-1, 1, size=(rows, cols)).astype(np.float32)
        name = "cq_baseline_numpy_f32_matvec_" + shape
        if filter_text in name:
            x = rng.uniform(-1, 1, size=cols).astype(np.float32)
            y = np.empty(rows, dtype=np.float32)
            sec = median_seconds(lambda: np.matmul(a, x, out=y))
            print(line(name, rows, cols, 1, threads, sec, 2.0 * rows * cols,
                       4.0 * (rows * cols + cols), kernel), flush=True)
        for m in BATCHES:
            name = "cq_baseline_numpy_f32_matmul_m%d_%s" % (m, shape)
            if filter_text not in name:
                continue
            # Inputs vector-major like the quantised product: y = X · Aᵀ.
            x = rng.uniform(-1, 1, size=(m, cols)).astype(np.float32)
            y = np.empty((m, rows), dtype=np.float32)
            at = a.T
            sec = median_seconds(lambda: np.matmul(x, at, out=y), samples=5)
            print(line(name, rows, cols, m, threads, sec, 2.0 * rows * cols * m,
                       4.0 * (rows * cols + m * cols), kernel), flush=True)


def main():
    filter_text = sys.argv[1] if len(sys.argv) > 1 else ""
    if CHILD_VAR in os.environ:
        run_child(filter_text, int(os.environ[CHILD_VAR]))
        return
    for threads in THREAD_COUNTS:
        env = dict(os.environ)
        env.pop("OPENBLAS_CORETYPE", None)
        env.pop("OPENBLAS_L2_SIZE", None)
        for var in BLAS_THREAD_VARS:
            env[var] = str(threads)
        env[CHILD_VAR] = str(threads)
        subprocess.run([sys.executable, os.path.abspath(__file__), filter_text], env=env,
                       check=True)


if __name__ == "__main__":
    main()
