"""What the Python benchmarks share: medians of repeated calls and the load
other processes put on the machine while a figure was measured."""

import json
import os
import statistics
import subprocess
import sys
import time

REPEATS = 5


class OtherLoad:
    """Processor time used by other processes while a measurement ran, in
    cores: the machine's busy time (/proc/stat) less this process's own."""

    def __init__(self):
        self.start = self._snapshot()

    @staticmethod
    def _snapshot():
        busy = None
        try:
            with open("/proc/stat") as f:
                fields = [int(x) for x in f.readline().split()[1:]]
            busy = (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError):
            pass
        t = os.times()
        return busy, t.user + t.system, time.perf_counter()

    def cores(self):
        busy, own, wall = self._snapshot()
        if busy is None or self.start[0] is None:
            return None
        others = (busy - self.start[0]) - (own - self.start[1])
        return round(max(0.0, others) / (wall - self.start[2]), 2)


def emit(record, load):
    record["other_cores"] = load.cores()
    print(json.dumps(record), flush=True)


def timed(fn, repeats=REPEATS):
    """(median seconds over `repeats` calls after one warm-up, warm-up seconds, last result)."""
    start = time.perf_counter()
    result = fn()
    first = time.perf_counter() - start
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), first, result


def ready(program, model, tool_args):
    """True when the module imports (else a note on standard error) and the
    model file exists, writing it with python3 -m pinnet_tools.<tool_args>
    when it is missing."""
    try:
        import pinnet_rs  # noqa: F401
    except ImportError:
        print(f"{program}: the pinnet_rs module is not on PYTHONPATH; skipped", file=sys.stderr)
        return False
    if not os.path.exists(model):
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        os.makedirs(os.path.dirname(model), exist_ok=True)
        env = dict(os.environ, PYTHONPATH=root + os.pathsep + os.environ.get("PYTHONPATH", ""))
        subprocess.run([sys.executable, "-m", "pinnet_tools." + tool_args[0], *tool_args[1:],
                        "--out", model], cwd=root, env=env, check=True)
    return True


def per_thread_count(script, name, filt, threads=(1, 2)):
    """Runs `script --child THREADS FILTER` once per thread count with
    PINNET_NUM_THREADS set: the pool reads its size once per process."""
    for t in threads:
        sys.stdout.flush()
        done = subprocess.run([sys.executable, os.path.abspath(script), "--child", str(t), filt],
                              env=dict(os.environ, PINNET_NUM_THREADS=str(t)))
        if done.returncode != 0:
            print(f"{name}: the {t}-thread run failed", file=sys.stderr)
