"""make fuzz: the reliability checks at length, against the installed module
and then against the build with the address and undefined-behaviour
sanitizers.

1. The properties of tests/test_properties.py under the "fuzz" profile, in
   rounds with new seeds until their share of the budget is spent. Failing
   examples stay in build/hypothesis, so the next pytest run tries them first.
2. A million mixed random calls (fuzz/calls.py) with resident memory sampled:
   after warm-up it must stay flat.
3. Eight threads calling every method on shared filters (fuzz/threads.py).
4. Spoiled Arrow C structs fed to the companion's native reader
   (fuzz/structs.py): a crash names the round that replays it.

Prints the examples run per property, resident memory at the start and end,
the struct rounds run, and every failure; exits non-zero on any failure.

    python fuzz/run.py [--minutes 5] [--sanitized build/sanitize]

WOX_FUZZ_MINUTES sets the budget when --minutes is not given.
"""
import argparse
import json
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LOGS = ROOT / "build" / "fuzz"
RSS_TOLERANCE = 4 << 20  # growth allowed from the start to the end of the mixed calls (medians, see calls.py)
NORMAL_MEMORY = 12 << 30  # address space for the unsanitized children: a runaway run fails alone


def sanitizer_env(build):
    """What make sanitize sets: the sanitized module first on the path, the
    runtimes preloaded (the interpreter itself is not instrumented)."""
    preload = [subprocess.check_output(["gcc", f"-print-file-name={lib}"], text=True).strip()
               for lib in ("libasan.so", "libubsan.so")]
    return {"PYTHONPATH": str(build), "WOX_SANITIZE": "1", "ASAN_OPTIONS": "detect_leaks=0",
            "LD_PRELOAD": " ".join(preload)}


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (NORMAL_MEMORY, NORMAL_MEMORY))


class Fuzz:
    def __init__(self, sanitized_build):
        self.targets = [("installed module", {}, limit_memory)]
        if sanitized_build:
            self.targets.append(("sanitized build", sanitizer_env(sanitized_build), None))
        self.failures = []
        self.report = []
        LOGS.mkdir(parents=True, exist_ok=True)

    def run(self, name, args, extra_env, preexec, timeout):
        env = dict(os.environ, **extra_env)
        started = time.monotonic()
        try:
            out = subprocess.run(args, cwd=ROOT, env=env, capture_output=True, text=True, timeout=timeout,
                                 preexec_fn=preexec)
            code, stdout, stderr = out.returncode, out.stdout, out.stderr
        except subprocess.TimeoutExpired as e:
            code, stdout, stderr = "timeout", e.stdout or "", e.stderr or ""
            stdout = stdout.decode() if isinstance(stdout, bytes) else stdout
            stderr = stderr.decode() if isinstance(stderr, bytes) else stderr
        log = LOGS / (re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-") + ".log")
        log.write_text(f"$ {' '.join(map(str, args))}\n{stdout}\n{stderr}")
        return code, stdout, stderr, time.monotonic() - started, log

    def module_path(self, extra_env):
        code = "import woxbloomfilter; print(woxbloomfilter.__file__)"
        out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=dict(os.environ, **extra_env),
                             capture_output=True, text=True)
        return out.stdout.strip() or out.stderr.strip().splitlines()[-1]

    def properties(self, label, extra_env, preexec, seconds, first_round):
        """Rounds of the properties until seconds have passed; returns examples per property."""
        deadline = time.monotonic() + seconds
        examples, rounds, base, spent = {}, 0, first_round, 0.0
        while rounds == 0 or time.monotonic() + spent / rounds < deadline:
            rounds += 1
            seed = int.from_bytes(os.urandom(6), "little")
            env = dict(extra_env, WOX_HYPOTHESIS_PROFILE="fuzz", WOX_FUZZ_EXAMPLES=str(base))
            args = [sys.executable, "-m", "pytest", "tests/test_properties.py", "-q", "-p", "no:cacheprovider",
                    "--hypothesis-show-statistics", f"--hypothesis-seed={seed}"]
            code, out, err, took, log = self.run(f"properties {label} round {rounds}", args, env, preexec,
                                                  timeout=max(600, 3 * seconds))
            spent += took
            test = phase = None
            for line in out.splitlines():  # Hypothesis's statistics; shrinking is not counted
                if m := re.match(r"tests/test_properties\.py::(\w+):", line):
                    test = m.group(1)
                elif m := re.search(r"during (\w+) phase", line):
                    phase = m.group(1)
                elif test and phase in ("explicit", "reuse", "generate") and (m := re.search(r"(\d+) passing", line)):
                    examples[test] = examples.get(test, 0) + int(m.group(1))
            print(f"  round {rounds}: {base} examples a property scale, seed {seed}, {took:.0f} s, "
                  f"{'passed' if code == 0 else 'FAILED'}", flush=True)
            if code != 0:
                summary = [line for line in out.splitlines() if line.startswith(("FAILED", "ERROR"))]
                crash = [line for line in err.splitlines() if "Sanitizer" in line or "Fatal Python error" in line]
                self.failures.append(f"properties, {label}, seed {seed}: exit {code}; "
                                     + "; ".join(summary + crash[:3]) + f" (log: {log.relative_to(ROOT)})")
                break
            # Later rounds as large as fit in what is left, within reason.
            left = deadline - time.monotonic()
            base = max(20, min(4 * base, int(base * left / took)))
        return examples, rounds

    def calls(self, label, extra_env, preexec, calls, seconds, check_rss):
        args = [sys.executable, "fuzz/calls.py", "--calls", str(calls), "--seconds", str(int(seconds)),
                "--seed", str(int.from_bytes(os.urandom(4), "little"))]
        code, out, err, took, log = self.run(f"calls {label}", args, extra_env, preexec, timeout=20 * seconds + 600)
        if code != 0:
            self.failures.append(f"calls, {label}: exit {code}: {err.strip().splitlines()[-1:] or ''} "
                                 f"(log: {log.relative_to(ROOT)})")
            return None
        result = json.loads(out.strip().splitlines()[-1])
        growth = result["rss end"] - result["rss start"]
        if check_rss and growth > RSS_TOLERANCE:
            self.failures.append(f"calls, {label}: resident memory grew by {growth / 2**20:.1f} MiB "
                                 f"after warm-up (tolerance {RSS_TOLERANCE / 2**20:.0f} MiB)")
        return result

    def structs(self, label, extra_env, preexec, seconds):
        seed = int.from_bytes(os.urandom(4), "little")
        progress = LOGS / f"structs-{re.sub(r'[^a-z0-9]+', '-', label)}.round"
        args = [sys.executable, "fuzz/structs.py", "--seconds", str(int(seconds)), "--seed", str(seed),
                "--progress", str(progress)]
        code, out, err, took, log = self.run(f"structs {label}", args, extra_env, preexec, timeout=10 * seconds + 600)
        lines = out.strip().splitlines()
        result = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else None
        if code != 0:
            where = progress.read_text().strip() if progress.exists() else "?"
            detail = result["failures"][:5] if result else err.strip().splitlines()[-3:]
            self.failures.append(f"structs, {label}: exit {code}: {detail}; replay: python fuzz/structs.py --seed {seed} "
                                 f"--replay {where} (log: {log.relative_to(ROOT)})")
        return result

    def threads(self, label, extra_env, preexec, seconds):
        args = [sys.executable, "fuzz/threads.py", "--seconds", str(int(seconds)),
                "--seed", str(int.from_bytes(os.urandom(4), "little"))]
        code, out, err, took, log = self.run(f"threads {label}", args, extra_env, preexec, timeout=10 * seconds + 600)
        lines = out.strip().splitlines()
        result = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else None
        if code != 0:
            detail = result["failures"] if result else err.strip().splitlines()[-3:]
            self.failures.append(f"threads, {label}: exit {code}: {detail} (log: {log.relative_to(ROOT)})")
        return result


def mib(n):
    return f"{n / 2**20:.1f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=float(os.environ.get("WOX_FUZZ_MINUTES", 5)))
    parser.add_argument("--sanitized", default="build/sanitize",
                        help="directory of the sanitized module ('' to skip that build)")
    parser.add_argument("--calls", type=int, default=1_000_000, help="mixed calls on the installed module")
    args = parser.parse_args()

    budget = args.minutes * 60
    sanitized = ROOT / args.sanitized if args.sanitized else None
    if sanitized and not list(sanitized.glob("woxbloomfilter*.so")):
        sys.exit(f"no sanitized module in {sanitized}: run make sanitize-build, or pass --sanitized ''")
    fuzz = Fuzz(sanitized)
    started = time.monotonic()
    print(f"fuzz: budget {args.minutes:g} minutes", flush=True)

    # Shares of the budget: the properties take most of it, the sanitized
    # build a little less for being several times slower per example.
    # The structs matter most under the sanitizers, which see a read past a buffer's end.
    shares = {"installed module": (0.30, 0.18, 0.09, 0.05, 1000), "sanitized build": (0.15, 0.05, 0.06, 0.12, 100)}
    results = []
    for label, extra_env, preexec in fuzz.targets:
        prop_share, calls_share, threads_share, structs_share, first_round = shares[label]
        print(f"{label}: {fuzz.module_path(extra_env)}", flush=True)
        print(f" properties ({prop_share * budget:.0f} s)", flush=True)
        examples, rounds = fuzz.properties(label, extra_env, preexec, prop_share * budget, first_round)
        n_calls = args.calls if label == "installed module" else args.calls // 10
        print(f" {n_calls:,} mixed calls ({calls_share * budget:.0f} s or more)", flush=True)
        calls = fuzz.calls(label, extra_env, preexec, n_calls, calls_share * budget,
                           check_rss=label == "installed module")
        print(f" threads ({threads_share * budget:.0f} s)", flush=True)
        threads = fuzz.threads(label, extra_env, preexec, threads_share * budget)
        print(f" structs ({structs_share * budget:.0f} s)", flush=True)
        structs = fuzz.structs(label, extra_env, preexec, structs_share * budget)
        results.append((label, examples, rounds, calls, threads, structs))

    print(f"\nfuzz summary ({(time.monotonic() - started) / 60:.1f} minutes)")
    for label, examples, rounds, calls, threads, structs in results:
        print(f"{label}:")
        print(f"  properties, {rounds} round(s), examples run:")
        for name, n in sorted(examples.items()):
            print(f"    {name:<36} {n:>9,}")
        if calls:
            line = (f"  mixed calls: {calls['calls']:,} in {calls['seconds']:.0f} s, "
                    f"{calls['refusals and interrupts'].get('interrupted', 0):,} of them interrupted by a signal")
            print(line)
            print(f"  resident memory: {mib(calls['rss first sample'])} at the first sample, "
                  f"{mib(calls['rss start'])} at the start after warm-up, {mib(calls['rss end'])} at the end "
                  f"(medians of a third of the samples each; growth {mib(calls['rss end'] - calls['rss start'])}, "
                  f"most {mib(calls['rss max'])})"
                  + ("" if label == "installed module" else "; not judged: the sanitizer's quarantine holds memory"))
        if threads:
            print(f"  threads: {threads['threads']} threads, {threads['calls']:,} calls, "
                  f"{'bits equal the single-threaded replay and the model' if not threads['failures'] else 'FAILED'}")
        if structs:
            tally = structs["tally"]
            refused = sum(n for key, n in tally.items() if key.startswith(("refused", "fill refused")))
            print(f"  structs: {structs['rounds']:,} rounds, {tally.get('read', 0):,} read, {tally.get('rows filled', 0):,} "
                  f"filled, {refused:,} refused, {tally.get('outside the contract, not read', 0):,} outside the contract, "
                  f"{'every struct released once' if not structs['failures'] else 'FAILED'}")
    print("failures:" if fuzz.failures else "failures: none")
    for failure in fuzz.failures:
        print(f"  {failure}")
    return 1 if fuzz.failures else 0


if __name__ == "__main__":
    sys.exit(main())
