"""The prefixed resolution prover on two builds of the library, in one run.
A benchmark, not a test.

usage: python3 bench/bench_prefixed.py [--baseline DIR] [--build DIR] [--repeat N]
                                       [--limit SECONDS] [--cases NAME,...] [--random N]

Each case is proved by prove_prefixed_resolution (default settings) on the
build in --build (default: the first folder of PYTHONPATH that holds the
library) and on the one in --baseline (default: /work/wt/base-build/python),
each time in a fresh interpreter of its own that is stopped after --limit
seconds.  A line shows the case, the answer (the multiplicity of the proof,
or "none"), the best of --repeat times on each build and their ratio
(baseline over build: above 1 is a gain), and whether the two builds give
the same result (the dictionary of the proof, compared as text).

The cases are the benchmark families of bench/families.py (valid and
invalid) at the small sizes the prefixed prover takes, and seeded random
formulas of the generator of bench/bench_ljt.py with zero to two premises.
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BASELINE = "/work/wt/base-build/python"
FAMILY_SIZES = (1, 2, 3)
RANDOM_SIZES = (10, 14, 18)


def family_cases():
    from families import BENCHMARK_FAMILIES
    for name, (make, _valid) in BENCHMARK_FAMILIES.items():
        for n in FAMILY_SIZES:
            yield f"{name}({n})", lambda make=make, n=n: make(n)


def random_cases(count):
    from bench_ljt import random_formula
    rng = random.Random(2026)
    for k in range(count):
        size = RANDOM_SIZES[k % len(RANDOM_SIZES)]
        target = random_formula(rng, size)
        premises = [random_formula(rng, 4) for _ in range(k % 3)]
        yield f"random{size}+{len(premises)}#{k}", lambda target=target, premises=premises: (target, premises)


def every_case(random_count):
    return dict(list(family_cases()) + list(random_cases(random_count)))


# ---------------------------------------------------------------------------
# The child: one case on one build
# ---------------------------------------------------------------------------
def run_case(name, random_count, repeat):
    import time
    from constructive.resolution import prove_prefixed_resolution
    target, premises = every_case(random_count)[name]()
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = prove_prefixed_resolution(target, premises)
        best = min(best, time.perf_counter() - start)
    answer = "none" if result is None else f"m={result.multiplicity}"
    text = json.dumps(None if result is None else result.to_dict(), sort_keys=True, default=str)
    return {"seconds": best, "answer": answer, "digest": hashlib.sha256(text.encode()).hexdigest()}


def timed(directory, name, args):
    """The child's report for one case on the build in `directory`, or None past the limit."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([directory, HERE, "/usr/lib/python3/dist-packages"]))
    command = [sys.executable, os.path.abspath(__file__), "--child", name, "--random", str(args.random),
               "--repeat", str(args.repeat)]
    try:
        out = subprocess.run(command, env=env, capture_output=True, text=True, timeout=args.limit)
    except subprocess.TimeoutExpired:
        return None
    if out.returncode != 0:
        return {"seconds": None, "answer": (out.stderr.strip().splitlines() or ["failed"])[-1][:30], "digest": ""}
    return json.loads(out.stdout)


def library_folder():
    for folder in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        if os.path.isdir(os.path.join(folder, "constructive")):
            return folder
    sys.exit("no build of the library on PYTHONPATH: give --build")


def seconds_text(report, limit):
    if report is None:
        return f">{limit:g}"
    return "-" if report["seconds"] is None else f"{report['seconds']:.4f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default=DEFAULT_BASELINE)
    parser.add_argument("--build", default=None)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--limit", type=float, default=60.0)
    parser.add_argument("--random", type=int, default=12, help="the number of random cases")
    parser.add_argument("--cases", default="", help="case names to run (default: all)")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        sys.path[:0] = [HERE]
        print(json.dumps(run_case(args.child, args.random, args.repeat)))
        return
    build = args.build or library_folder()
    names = [n for n in every_case(args.random) if not args.cases or n in args.cases.split(",")]
    print(f"build: {build}\nbaseline: {args.baseline}\n")
    print(f"{'case':32} {'answer':8} {'baseline s':>11} {'build s':>9} {'ratio':>7}  same")
    for name in names:
        before, after = timed(args.baseline, name, args), timed(build, name, args)
        ratio = ""
        if before and after and before["seconds"] and after["seconds"]:
            ratio = f"{before['seconds'] / after['seconds']:.2f}"
        elif before is None and after and after["seconds"]:
            ratio = f">{args.limit / after['seconds']:.0f}"
        same = "-" if before is None or after is None else ("yes" if before["digest"] == after["digest"] else "NO")
        answer = (after or before or {"answer": "timeout"})["answer"]
        print(f"{name:32} {answer:8} {seconds_text(before, args.limit):>11} {seconds_text(after, args.limit):>9}"
              f" {ratio:>7}  {same}", flush=True)


if __name__ == "__main__":
    main()
