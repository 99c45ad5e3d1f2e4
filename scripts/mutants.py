"""Plant known faults in the routing rules, one at a time, and see the targeted tests catch each.

A developer tool, not part of CI. Each mutant replaces one exact snippet of a
source file (a rule's kernel, or a piece of the native path), the extension is
rebuilt incrementally in build/mutants, and the targeted tests run against that
build (the lockstep and reference runs, the proxy, wheel and stub tests left
out). A mutant is caught when some test fails. The source is restored after
each mutant, also when the script is interrupted.

    .venv/bin/python scripts/mutants.py [--only TEXT] [--list]
"""
import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "load_balancer"
BUILD = ROOT / "build" / "mutants"
PY = ROOT / ".venv" / "bin" / "python"

# (file, original snippet, mutated snippet, what the fault is)
MUTANTS = [
    ("balancer/capacity.cpp", "auto hot = was_hot ? inflight > exit_inflight : inflight >= enter_inflight;",
     "auto hot = was_hot ? inflight >= exit_inflight : inflight >= enter_inflight;",
     "hybrid: a hot pool leaves at the exit threshold instead of below it"),
    ("balancer/capacity.cpp", "if (!truth(hot)) hot = was_hot ? rate > exit_rate : rate >= enter_rate;",
     "if (!truth(hot)) hot = was_hot ? rate > exit_rate : rate > enter_rate;",
     "hybrid: a cold pool turns hot only above the rate threshold"),
    ("balancer/capacity.cpp", "const N& ratio = at_least(lo, at_most(hi, exit_ratio));",
     "const N& ratio = at_most(hi, exit_ratio);",
     "hybrid: a negative exit ratio is not clamped to 0"),
    ("balancer/capacity.cpp", "return at_least(one, at_most(configured, knob));",
     "return at_least(one, configured);",
     "superfast: the per-server cap does not clamp a larger configured cap"),
    ("balancer/capacity.cpp", "if (truth(configured <= zero)) return at_least(one, knob);",
     "if (truth(configured < zero)) return at_least(one, knob);",
     "superfast: a configured cap of 0 is taken as a cap"),
    ("balancer/capacity.cpp", "return busy() < cap;", "return busy() <= cap;",
     "free slot: a backend at its cap still has a slot"),
    ("balancer/capacity.cpp",
     "    auto busy = [&] { return double(rec.inflight + rec.held); };\n    if (!capacity::free_slot(",
     "    auto busy = [&] { return double(rec.inflight); };\n    if (!capacity::free_slot(",
     "native gate: slots held for woken waiters are not counted"),
    ("balancer/capacity.cpp",
     "    auto busy = [&] { return double(rec.inflight + rec.held); };\n    bool free = capacity::free_slot(",
     "    auto busy = [&] { return double(rec.inflight); };\n    bool free = capacity::free_slot(",
     "native gate, replaced clock: slots held for woken waiters are not counted"),
    ("balancer/capacity.cpp", "            hot_ = now;\n            hot_written_ = true;",
     "            hot_ = now;",
     "native gate: a hot/cold change is not written to the pool's state"),
    ("balancer/capacity.cpp", "    return busy() < limit;", "    return busy() <= limit;",
     "limits: a backend at its limit still has a slot"),
    ("balancer/capacity.cpp", "    if (until && truth(now() >= *until)) return py::no<decltype(limit < limit)>();",
     "    if (until && truth(now() > *until)) return py::no<decltype(limit < limit)>();",
     "limits: a limit is still valid at its own time"),
    ("balancer/dispatch.cpp", "double window_length(double configured) { return configured > 0.5 ? configured : 0.5; }",
     "double window_length(double configured) { return configured > 0.5 ? configured : 1.0; }",
     "dispatch window: the shortest window is 1.0 s instead of 0.5 s"),
    ("balancer/dispatch.cpp", "bool stale(double ts, double cutoff) { return ts < cutoff; }",
     "bool stale(double ts, double cutoff) { return ts <= cutoff; }",
     "dispatch window: a timestamp at the cutoff leaves the window"),
    ("balancer/dispatch.cpp", "if (!(span > 0.001)) span = 0.001;", "if (!(span > 0.01)) span = 0.01;",
     "dispatch rate: the shortest span is 10 ms"),
    ("balancer/pickers.cpp", "if (!same(id_a, id_b)) return truth(id_a < id_b);",
     "if (!same(id_a, id_b)) return truth(id_a > id_b);",
     "least connections: ties go to the larger id"),
    ("balancer/pickers.cpp", "return truth(weight > zero) ? inflight / weight : infinity;",
     "return truth(weight > zero) ? inflight * weight : infinity;",
     "least connections: load multiplied by the weight"),
    ("balancer/pickers.cpp", "        material_.push_back('|');", "        material_.push_back(':');",
     "sticky: the hashed material is joined with ':'"),
    ("balancer/wrr.cpp", "    return truth(neg_id > best_neg_id);", "    return truth(best_neg_id > neg_id);",
     "round-robin: ties go to the larger id"),
    ("balancer/wrr.cpp", "    friend bool operator>(NegId a, NegId b) { return a.id < b.id; }",
     "    friend bool operator>(NegId a, NegId b) { return a.id > b.id; }",
     "native round-robin: ties go to the larger id"),
    ("balancer/wrr.cpp", "            set_float(state, r.id, cur, PyFloat_AS_DOUBLE(cur) - total);",
     "            set_float(state, r.id, cur, PyFloat_AS_DOUBLE(cur) - total / 2);",
     "native round-robin: the winner gives back half the total"),
    ("balancer/record.h", "inline bool positive(const py::Num& n) noexcept { return n.v > 0.0; }",
     "inline bool positive(const py::Num& n) noexcept { return n.v != 0.0; }",
     "native records: a negative weight does not drain the backend"),
    ("balancer/record.h", "    return value::truth(w) ? F(value::as_float(w)) : one;",
     "    return value::truth(w) ? F(value::as_float(w)) : F(value::as_float(w));",
     "records: a missing weight is not read as 1.0 by the pickers"),
    ("balancer/native.cpp", "    if (PyDict_GET_SIZE(held) == 0) return true;", "    return true;",
     "native records: held slots are never read"),
    ("knobs.h", "    if (py::contains(valid(), v)) return v;\n    return dflt();", "    return v;",
     "normaliser: a name outside the vocabulary is kept"),
    ("balancer/queue.cpp", "    return total * (truth(m > one) ? m : one);", "    return total * m;",
     "queue ceiling: a multiplier below 1 is not raised to 1"),
    ("balancer/select.cpp", "                if (!b && gate.free(r)) eligible.push_back(effective[k]);",
     "                if (gate.free(r)) eligible.push_back(effective[k]);",
     "native select: sin-binned backends stay eligible"),
    ("telemetry/snapshot.cpp", "        put(entry, s_inflight_total, py::new_int(p.inflight_total));",
     "        put(entry, s_inflight_total, py::new_int(0));",
     "native snapshot: a pool's in-flight total is always 0"),
]

TARGETED = ["-q", "-x", "-p", "no:cacheprovider", "--timeout=120",
            "--ignore=tests/test_differential.py", "--ignore=tests/test_reference.py",
            "--ignore-glob=tests/test_proxy*.py", "--ignore=tests/test_wheel.py", "--ignore=tests/test_stubs.py",
            "--ignore=tests/test_registration.py"]


def configure():
    if (BUILD / "build.ninja").exists():
        return
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                    f"-DCMAKE_MAKE_PROGRAM={ROOT / '.venv' / 'bin' / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={PY}"], check=True, stdout=subprocess.DEVNULL)


def build():
    return subprocess.run(["cmake", "--build", str(BUILD)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def run_tests():
    env = dict(os.environ, PYTHONPATH=str(BUILD))
    out = subprocess.run([str(PY), "-m", "pytest", *TARGETED], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    failed = [line.split()[1] for line in out.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    return out.returncode, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="run the mutants whose description contains TEXT")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = parser.parse_args()
    chosen = [m for m in MUTANTS if not args.only or args.only in m[3]]
    if args.list:
        for path, _, _, what in chosen:
            print(f"{path:28} {what}")
        return 0
    for path, original, _, what in chosen:
        if (SRC / path).read_text().count(original) != 1:
            sys.exit(f"mutant out of date (its snippet is not in {path} exactly once): {what}")
    configure()
    base = build()
    if base.returncode:
        sys.exit("the unmutated source does not build:\n" + base.stdout)
    rc, failed = run_tests()
    if rc:
        sys.exit(f"the targeted tests fail on the unmutated source: {failed}")

    caught = 0
    print(f"{len(chosen)} mutants; targeted tests: pytest {' '.join(TARGETED[4:])}\n")
    for path, original, mutated, what in chosen:
        file = SRC / path
        text = file.read_text()
        started = time.monotonic()
        try:
            file.write_text(text.replace(original, mutated, 1))
            built = build()
            if built.returncode:
                verdict, detail = "NOT BUILT", built.stdout.strip().splitlines()[-1]
            else:
                rc, failed = run_tests()
                verdict = "caught" if rc else "MISSED"
                detail = failed[0] if failed else ""
        finally:
            file.write_text(text)
        caught += verdict == "caught"
        print(f"{verdict:9} {time.monotonic() - started:5.1f}s  {path:24} {what}\n{'':17}{detail}", flush=True)
    build()
    print(f"\n{caught} of {len(chosen)} caught")
    return 0 if caught == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
