"""Times the intuitionistic provers on the formula families at growing sizes,
through the Python API.  A benchmark, not a test.

usage: python3 bench/bench_provers.py [--budget SECONDS] [--kill-after SECONDS]
                                      [--provers NAME,...] [--families NAME,...]
                                      [--max-size N] [--max-depth N] [--max-worlds N]

Every run happens in a forked child, so its peak memory is its own and a run
that takes longer than --kill-after is stopped.  A family's ladder of sizes
stops after the first run slower than --budget.  Each line shows the prover,
family, size, verdict (valid / invalid / unknown), seconds and the child's
peak resident memory.  An unknown verdict also ends the ladder: the prover's
limits cut the search there, and larger sizes only repeat it.

To add a prover, add an entry to PROVERS: a name and a function from a
formula to a verdict string.
"""

import argparse
import os
import pickle
import time

from constructive.ljt import prove_ljt
from constructive.tableau import prove_tableau
from families import FAMILIES


LIMITS = {}  # keyword arguments of the provers' limits, from the command line


def tableau_verdict(formula):
    result = prove_tableau(formula, **LIMITS)
    if result.is_valid:
        return "valid"
    return "invalid" if result.countermodel is not None else "unknown"


def ljt_verdict(formula):
    # The sequent search has no limits: it always ends with a proof or none.
    return "valid" if prove_ljt(formula) is not None else "invalid"


# prover name -> formula -> "valid" | "invalid" | "unknown"
PROVERS = {
    "tableau": tableau_verdict,
    "ljt": ljt_verdict,
}


def peak_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def run_child(write_fd, prove, formula):
    try:
        prove(FAMILIES["chain"][0](1))  # touch the code paths once: the child's first pages are copies
        reset_peak()
        start = time.perf_counter()
        verdict = prove(formula)
        row = (verdict, time.perf_counter() - start, peak_mib())
    except BaseException as error:  # reported, not raised: the parent goes on
        row = (f"error: {type(error).__name__}", float("nan"), peak_mib())
    os.write(write_fd, pickle.dumps(row))
    os._exit(0)


def measure(prove, formula, kill_after):
    """(verdict, seconds, peak MiB) of one run in a child, or None when stopped."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        run_child(write_fd, prove, formula)
    os.close(write_fd)
    deadline = time.monotonic() + kill_after
    chunks = []
    os.set_blocking(read_fd, False)
    while time.monotonic() < deadline:
        try:
            chunk = os.read(read_fd, 1 << 16)
        except BlockingIOError:
            time.sleep(0.005)
            continue
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_fd)
    if not chunks or time.monotonic() >= deadline:
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    os.waitpid(pid, 0)
    return pickle.loads(b"".join(chunks)) if chunks else None


def sizes(first, limit):
    n = first
    while n <= limit:
        yield n
        n = n + 1 if n < 4 else n + n // 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--budget", type=float, default=3.0)
    parser.add_argument("--kill-after", type=float, default=20.0)
    parser.add_argument("--max-size", type=int, default=4096)
    parser.add_argument("--provers", default=",".join(PROVERS))
    parser.add_argument("--families", default=",".join(FAMILIES))
    parser.add_argument("--max-depth", type=int, help="depth limit of the tableau (default: its own)")
    parser.add_argument("--max-worlds", type=int, help="world limit of the tableau (default: its own)")
    args = parser.parse_args()
    LIMITS.update({k: v for k, v in (("max_depth", args.max_depth), ("max_worlds", args.max_worlds)) if v})

    print(f"{'prover':10} {'family':14} {'size':>6} {'verdict':8} {'seconds':>9} {'peak_MiB':>9}")
    for family_name in args.families.split(","):  # the provers' ladders of one family stand together
        make, _, first = FAMILIES[family_name]
        for prover_name in args.provers.split(","):
            prove = PROVERS[prover_name]
            for n in sizes(first, args.max_size):
                row = measure(prove, make(n), args.kill_after)
                if row is None:
                    print(f"{prover_name:10} {family_name:14} {n:>6} {'stopped':8} {'>limit':>9} {'-':>9}", flush=True)
                    break
                verdict, seconds, peak = row
                print(f"{prover_name:10} {family_name:14} {n:>6} {verdict:8} {seconds:9.4f} {peak:9.1f}", flush=True)
                if not seconds <= args.budget or verdict != "valid" and verdict != "invalid":
                    break


if __name__ == "__main__":
    main()
