"""LJT on the benchmark families of the field and on random problems, on a
baseline build and on this one, in one run.  A benchmark, not a test.

usage: python3 bench/bench_ljt_families.py --baseline DIR [--jobs N] [--limit S]

DIR is the python/ folder of another build (e.g. of an earlier commit).
Every case runs in a fresh process with a time limit (10 s by default),
best of at least 3 runs (more for a fast case):
each family of bench/families.py (BENCHMARK_FAMILIES) at sizes 1, 2, ...
up to 20 or the first size that runs out of time, and the random problems
of bench_ljt.py (60 per number of irrelevant premises, 0 to 2), each with
LJTProver.is_provable and with prove_ljt.  The first table gives, per
family and call, the largest size each build finished in time with its
time there; the second, the cases on which this build is slower than the
baseline by more than 10 % where the baseline took under 10 ms, and the
random problems' totals.  Such a case is measured again, the two builds in
turn (CONFIRM_ROUNDS more fresh processes each), so that a case reported
slower is one the builds differ on, not one where the machine was busy
while only one of them ran; both counts are printed.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
OURS = os.path.join(HERE, "..", "build", "python")
sys.path[:0] = [OURS, HERE]
CALLS = ("is_provable", "prove_ljt")
SIZES = range(1, 21)
CONFIRM_ROUNDS = 5


def case(kind, name, n):
    """The (target, premises) of a case, in the child process."""
    if kind == "family":
        from families import BENCHMARK_FAMILIES
        return BENCHMARK_FAMILIES[name][0](n)
    from bench_ljt import random_candidates
    premises = int(name)
    for k, (_, target, irrelevant) in enumerate(random_candidates(premises)):
        if k == n:
            return target, irrelevant
    raise IndexError(n)


def child(kind, name, n, call):
    from constructive.ljt import LJTProver, prove_ljt
    target, premises = case(kind, name, n)
    # The best of several runs: at least 3, and more for a fast case (up to
    # 100 or 0.2 s), whose best of 3 would still show the noise of the machine.
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or (spent < 0.2 and runs < 100):
        start = time.perf_counter()
        if call == "is_provable":
            verdict = LJTProver().is_provable(target, premises)
        else:
            verdict = prove_ljt(target, premises) is not None
        took = time.perf_counter() - start
        best, spent, runs = min(best, took), spent + took, runs + 1
        if best > 0.1:
            break
    print(json.dumps({"seconds": best, "verdict": verdict}))


def run(build, kind, name, n, call, limit):
    """(seconds, verdict) of one case on one build, or None when it ran out of time or memory."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, HERE]))
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, name, str(n), call],
                             env=env, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return None
    if out.returncode != 0:
        return None
    result = json.loads(out.stdout)
    return result["seconds"], result["verdict"]


def family_series(build, name, call, limit):
    """Per size, the result until the first size that fails."""
    series = {}
    for n in SIZES:
        result = run(build, "family", name, n, call, limit)
        if result is None:
            break
        series[n] = result
    return series


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="python/ folder of the baseline build (required)")
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--limit", type=float, default=10.0)
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, name, n, call = args.child
        sys.path[:] = [p for p in sys.path if p != OURS]  # the build under test comes from PYTHONPATH
        child(kind, name, int(n), call)
        return
    if not args.baseline:
        parser.error("--baseline is required")
    from families import BENCHMARK_FAMILIES
    builds = {"baseline": os.path.abspath(args.baseline), "ours": os.path.abspath(OURS)}
    with ThreadPoolExecutor(args.jobs) as pool:
        series = {(build, name, call): pool.submit(family_series, path, name, call, args.limit)
                  for build, path in builds.items() for name in BENCHMARK_FAMILIES for call in CALLS}
        randoms = {(build, premises, k, call): pool.submit(run, path, "random", str(premises), k, call, args.limit)
                   for build, path in builds.items() for premises in (0, 1, 2) for k in range(60) for call in CALLS}
        series = {key: future.result() for key, future in series.items()}
        randoms = {key: future.result() for key, future in randoms.items()}

    print(f"{'family':28} {'call':12} {'baseline: size, s':>20} {'ours: size, s':>18}")
    slower = []
    for name, (_, valid) in BENCHMARK_FAMILIES.items():
        for call in CALLS:
            cells = []
            for build in builds:
                s = series[(build, name, call)]
                cells.append(f"{max(s)}, {s[max(s)][0]:.4f}" if s else "none")
                for n, (seconds, verdict) in s.items():
                    if verdict != valid:
                        cells[-1] += f" WRONG at {n}"
            print(f"{name:28} {call:12} {cells[0]:>20} {cells[1]:>18}")
            before, after = series[("baseline", name, call)], series[("ours", name, call)]
            for n in before:
                if before[n][0] < 0.01 and (n not in after or after[n][0] > 1.1 * before[n][0]):
                    slower.append((("family", name, n), f"{name}({n})", call, before[n][0], after.get(n, (None,))[0]))
    for premises in (0, 1, 2):
        for call in CALLS:
            totals = []
            for build in builds:
                done = [randoms[(build, premises, k, call)] for k in range(60)]
                finished = [d for d in done if d is not None]
                totals.append(f"{len(finished)}/60, {sum(d[0] for d in finished):.3f}")
            print(f"{'random, ' + str(premises) + ' premises':28} {call:12} {totals[0]:>20} {totals[1]:>18}")
            for k in range(60):
                before, after = randoms[("baseline", premises, k, call)], randoms[("ours", premises, k, call)]
                if before and before[0] < 0.01 and (after is None or after[0] > 1.1 * before[0]):
                    slower.append((("random", str(premises), k), f"random+{premises}#{k}", call, before[0],
                                   after[0] if after else None))
    confirmed = confirm(slower, builds, args.jobs, args.limit)
    print(f"\n{len(slower)} cases slower by more than 10 % where the baseline took under 10 ms; measured again, the"
          f" builds in turn ({CONFIRM_ROUNDS} more runs each), {len(confirmed)} stay so:")
    for name, call, before, after in confirmed:
        print(f"  {name:28} {call:12} {before:.6f} -> {after if after is None else f'{after:.6f}'}")


def confirm(slower, builds, jobs, limit):
    """The cases of `slower` ((kind, name, n) of the case, its label, call,
    baseline's and our seconds) that stay slower by more than 10 % when
    measured again, each build in turn, with the best of every run of each:
    (label, call, baseline's seconds, ours)."""
    def again(entry):
        (kind, key, n), name, call, before, after = entry
        best = {"baseline": before, "ours": after}
        for _ in range(CONFIRM_ROUNDS):
            for build, path in builds.items():
                result = run(path, kind, key, n, call, limit)
                if result is not None and (best[build] is None or result[0] < best[build]):
                    best[build] = result[0]
        return name, call, best["baseline"], best["ours"]

    with ThreadPoolExecutor(jobs) as pool:
        measured = list(pool.map(again, slower))
    return [(name, call, before, after) for name, call, before, after in measured
            if after is None or after > 1.1 * before]


if __name__ == "__main__":
    main()
