#!/usr/bin/env python3
"""Line coverage and mutation testing of src/ (docs/testing.md).

  mutate.py coverage  runs every ctest test alone in the gcov build, keeps
                      which src/ lines each one executes (cached on a hash of
                      the sources and tests) and prints line coverage.
  mutate.py run       applies a seeded sample of mutants to a private copy of
                      the tree, one at a time, rebuilds only what the chosen
                      tests need and runs the tests that execute the mutated
                      line, fastest first, up to the first failure.
  mutate.py list      prints every candidate mutant, without a build.
  mutate.py selftest  checks the outcome rules and the score's interval.

Environment: MUTANTS (sample size, default 100), MUTANT_SEED (default a fresh
one, printed first), MUTANT_BUDGET (seconds of tests per mutant, 0: no
limit), MUTATION_JSON (report file).
"""
import argparse
import hashlib
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_MUTANTS = 100
DEFAULT_BUDGET = 60
Z95 = 1.959964  # two-sided 95 % normal quantile
GCOV_LOCK = threading.Lock()

# ---------------------------------------------------------------- mutants

# Preprocessor lines, log calls and assertions (a mutated condition of an
# assertion tests the check, not the code).
SKIP_LINE = re.compile(r"^\s*#|\b(LOG(_AS|_FAILURE|_FAILURE_AS)?|tarn_log(_failure|_raw)?"
                       r"|\w*assert|\w*ASSERT|\w*assert_failed)\b")
COMPARE = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGIC = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
NUMBER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)(?=[uUlL]*(?![\w.']))")
RETURN = re.compile(r"^(\s*return\s+)(.+?);\s*$")
# A dropped free() only leaks, which make test-asan is there to catch.
RELEASE = {"free"}
KEYWORDS = {"return", "break", "continue", "goto", "throw", "delete", "case", "default", "using",
            "typedef", "else", "do", "if", "while", "for", "switch", "sizeof", "static_cast"}
# One expression statement on one line: a call, an assignment or ++/--.
STATEMENT = re.compile(r"^\s*([A-Za-z_][\w:]*)(?:(?:\.|->)[A-Za-z_]\w*|\[[^\]]*\])*"
                       r"\s*(\(.*\)|(?:[-+*/%&|^]|<<|>>)?=\s*\S.*|\+\+|--);\s*$")


def mask(lines):
    """Yields each line with comments and literal contents blanked, columns kept."""
    in_comment = False
    for text in lines:
        out, i = [], 0
        while i < len(text):
            if in_comment:
                end = text.find("*/", i)
                stop = len(text) if end < 0 else end + 2
                out.append(" " * (stop - i))
                in_comment, i = end < 0, stop
            elif text.startswith("//", i):
                out.append(" " * (len(text) - i))
                i = len(text)
            elif text.startswith("/*", i):
                in_comment = True
            elif text[i] in "\"'":
                j = i + 1
                while j < len(text) and text[j] != text[i]:
                    j += 2 if text[j] == "\\" else 1
                out.append(text[i] + " " * (min(j, len(text)) - i - 1) + text[i:j + 1][-1:])
                i = j + 1
            else:
                out.append(text[i])
                i += 1
        yield "".join(out)[:len(text)]


def balanced(s):
    return s.count("(") == s.count(")") and s.count("{") == s.count("}")


def line_mutants(m, starts_statement):
    """(column, operator, original, replacement) for one masked line."""
    for x in COMPARE.finditer(m):
        yield x.start(), "compare", x.group(), FLIP[x.group()]
    for x in LOGIC.finditer(m):
        yield x.start(), "logic", x.group(), "||" if x.group() == "&&" else "&&"
    for x in NUMBER.finditer(m):
        v = x.group()
        if m[x.start() - 1:x.start()] == "[" or re.match(r"0\d", v):
            continue  # array sizes (a bigger buffer is rarely a fault), octal modes
        n = int(v, 0) + 1
        yield x.start(), "constant", v, (hex(n) if v[:2] in ("0x", "0X") else str(n))
    r = RETURN.match(m)
    if r and balanced(r.group(2)):
        value = r.group(2).strip()
        swap = {"true": "false", "false": "true", "0": "-1", "-1": "0"}.get(value)
        if swap is None and value not in ("{}", "nullptr"):
            swap = "{}"
        if swap:
            yield len(r.group(1)), "return", value, swap
    s = STATEMENT.match(m)
    if s and starts_statement and s.group(1) not in KEYWORDS | RELEASE and balanced(m):
        body = m.strip()
        yield m.index(body), "drop", body, ";"


def enumerate_mutants(root):
    found = []
    for path in sorted((root / "src").rglob("*.cpp")):
        rel = str(path.relative_to(root))
        lines = path.read_text().splitlines()
        skipping, previous = False, ""
        for no, m in enumerate(mask(lines), 1):
            stripped = m.strip()
            # Not the tail of an expression that began on an earlier line.
            starts = previous == "" or previous.endswith((";", "{", "}", ":", ")", "else"))
            previous = "" if stripped.startswith("#") else stripped or previous
            if skipping or SKIP_LINE.search(m):
                # A skipped statement spans lines up to its ';' or '{'.
                skipping = not (stripped.endswith((";", "{", "}")) or stripped == "")
                if m.rstrip().endswith("\\"):
                    skipping = True
                continue
            for col, op, orig, repl in line_mutants(m, starts):
                if lines[no - 1][col:col + len(orig)] == orig:
                    found.append({"file": rel, "line": no, "col": col + 1, "op": op,
                                  "orig": orig, "repl": repl})
    return found


def apply(text, mut):
    lines = text.split("\n")
    line, col = lines[mut["line"] - 1], mut["col"] - 1
    assert line[col:col + len(mut["orig"])] == mut["orig"], mut
    lines[mut["line"] - 1] = line[:col] + mut["repl"] + line[col + len(mut["orig"]):]
    return "\n".join(lines)


def describe(m):
    return "%s:%d:%d: %s (%s -> %s)" % (m["file"], m["line"], m["col"], m["op"], m["orig"],
                                         m["repl"])

# ---------------------------------------------------------------- line map


def tree_hash():
    h = hashlib.sha1()
    for top in ("src", "tests", "tools", "CMakeLists.txt"):
        for p in sorted((ROOT / top).rglob("*")) if (ROOT / top).is_dir() else [ROOT / top]:
            if p.is_file() and "__pycache__" not in p.parts and p != Path(__file__).resolve():
                h.update(str(p.relative_to(ROOT)).encode() + b"\0" + p.read_bytes())
    return h.hexdigest()


def ctest_names(build):
    out = subprocess.run(["ctest", "-N"], cwd=build, capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"Test\s+#\d+: (\S+)", out)


# ctest's status line; a test's own output may say "TimeoutError" when it fails.
CTEST_TIMEOUT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: \S+ \.*\*\*\*Timeout\b", re.M)


def run_ctest(build, name, timeout=None, env=None, stop=None):
    """(passed, timed out, seconds) of one ctest test; gives up early once stop
    is set. The time-out is ours: ctest's --timeout yields to a test's TIMEOUT."""
    cmd = ["ctest", "-R", "^%s$" % re.escape(name), "--output-on-failure"]
    start = time.monotonic()
    p = subprocess.Popen(cmd, cwd=build, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, errors="replace",
                         start_new_session=True)
    try:
        while True:
            try:
                out = p.communicate(timeout=1)[0]
                return (p.returncode == 0, bool(CTEST_TIMEOUT.search(out)),
                        time.monotonic() - start)
            except subprocess.TimeoutExpired:
                late = timeout and time.monotonic() - start > timeout
                if late or (stop and stop.is_set()):
                    return False, bool(late), time.monotonic() - start
    finally:
        if p.poll() is None:  # the sandbox takes the test's processes with it
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()


def cover_one(build, name):
    """Runs one test with its .gcda files in a directory of its own."""
    d = build / "pertest" / name
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir(parents=True)
    env = dict(os.environ, GCOV_PREFIX=str(d), GCOV_PREFIX_STRIP=str(len(build.parts) - 1))
    passed, _, secs = run_ctest(build, name, env=env)
    for gcda in d.rglob("*.gcda"):
        shutil.copy(build / gcda.relative_to(d).with_suffix(".gcno"), gcda.with_suffix(".gcno"))
    with GCOV_LOCK:  # gcov leaves its .gcov files in a shared directory
        subprocess.run(["gcovr", "-r", str(ROOT), "--filter", str(ROOT / "src") + "/", "--json",
                        str(d / "cov.json"), str(d)], check=True, capture_output=True)
    lines, code = {}, {}
    for f in json.loads((d / "cov.json").read_text())["files"]:
        lines[f["file"]] = [ln["line_number"] for ln in f["lines"] if ln["count"]]
        code[f["file"]] = [ln["line_number"] for ln in f["lines"] if not ln["gcovr/noncode"]]
    print("  %-40s %-6s %6.1fs" % (name, "ok" if passed else "FAILED", secs), flush=True)
    return name, {"passed": passed, "seconds": secs, "lines": lines, "code": code}


def line_map(build, jobs):
    cache = build / "linemap.json"
    key = tree_hash()
    if cache.exists():
        data = json.loads(cache.read_text())
        if data["key"] == key:
            return data["tests"]
    print("running each test alone in %s for its line map" % build, flush=True)
    shutil.rmtree(build / "pertest", ignore_errors=True)  # tests since deleted included
    for gcda in build.rglob("*.gcda"):
        gcda.unlink()
    with ThreadPoolExecutor(jobs) as pool:
        tests = dict(pool.map(lambda n: cover_one(build, n), ctest_names(build)))
    cache.write_text(json.dumps({"key": key, "tests": tests}))
    return tests


def coverage(args):
    build = Path(args.coverage_build).resolve()
    tests = line_map(build, args.jobs)
    merged = []
    for name in tests:
        merged += ["--add-tracefile", str(build / "pertest" / name / "cov.json")]
    subprocess.run(["gcovr", "-r", str(ROOT), "--filter", str(ROOT / "src") + "/"] + merged,
                   check=True)
    # Per directory, from the same merged data.
    out = subprocess.run(["gcovr", "-r", str(ROOT), "--json-summary", "-"] + merged,
                         check=True, capture_output=True, text=True).stdout
    dirs = {}
    for f in json.loads(out)["files"]:
        d = dirs.setdefault(str(Path(f["filename"]).parent), [0, 0])
        d[0] += f["line_covered"]
        d[1] += f["line_total"]
    print("\n%-20s %7s %7s %6s" % ("directory", "lines", "exec", "cover"))
    for d, (hit, total) in sorted(dirs.items()):
        print("%-20s %7d %7d %5.1f%%" % (d, total, hit, 100.0 * hit / total))
    failed = [n for n, t in tests.items() if not t["passed"]]
    if failed:
        print("tests that failed in the coverage build: " + ", ".join(failed))

# ---------------------------------------------------------------- mutation


def sync_copy(dest):
    """Mirrors the checkout's files into dest, touching only the ones that differ."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.split()
    for rel in listed:
        src, dst = ROOT / rel, dest / rel
        if src.is_file() and (not dst.exists() or dst.read_bytes() != src.read_bytes()):
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dst)
    for stale in [p for p in dest.rglob("*") if p.is_file()]:
        if str(stale.relative_to(dest)) not in listed and "__pycache__" not in stale.parts:
            stale.unlink()


def targets_for(tests):
    tests = list(tests)
    names = {t.split(".", 1)[1] for t in tests if t.startswith("unit.")}
    if any(not t.startswith("unit.") for t in tests):
        names |= {"tarn"} | {p.stem for p in (ROOT / "tools").glob("*.cpp")}
    return sorted(names)


def build(build_dir, targets, jobs):
    p = subprocess.run(["cmake", "--build", str(build_dir), "-j%d" % jobs, "--target"] + targets,
                       capture_output=True, text=True)
    return p.returncode == 0


def within_budget(tests, budget):
    """The fastest tests up to `budget` seconds of their coverage-run time, at
    least one: a line every daemon and lab test runs would cost each of them."""
    chosen, total = [], 0.0
    for name, secs in tests:
        total += secs
        if chosen and budget and total > budget:
            break
        chosen.append((name, secs))
    return chosen


def runs(test, mut, code):
    """Whether the test executes the mutated line; for a line without code of
    its own (a constant's definition), whether it executes any of the file."""
    executed = test["lines"].get(mut["file"], [])
    return mut["line"] in executed if (mut["file"], mut["line"]) in code else bool(executed)


def run_tests(build_dir, tests, jobs):
    """(test, passed, timed out) of each test run, `jobs` at a time, up to the
    first failure. A time-out goes on: a later failure still kills the mutant."""
    stop = threading.Event()

    def one(item):
        name, base = item
        if stop.is_set():
            return None
        passed, timed_out, _ = run_ctest(build_dir, name, 2 * base + 20, stop=stop)
        if stop.is_set():  # cut short by another test's failure
            return None
        if not passed and not timed_out:
            stop.set()
        return name, passed, timed_out

    with ThreadPoolExecutor(jobs) as pool:
        try:
            ran = [r for r in pool.map(one, tests) if r]
        finally:
            stop.set()  # on Ctrl-C too, so the pool need not wait for the tests
    return ran


def verdict(ran):
    """(outcome, test) from the (test, passed, timed out) of the tests run: a
    failure kills; a time-out without one is only a time-out, a slower mutant
    need not be a wrong one."""
    failed = [name for name, passed, timed_out in ran if not passed and not timed_out]
    late = [name for name, _, timed_out in ran if timed_out]
    if failed:
        return "killed", failed[0]
    if late:
        return "timed out", late[0]
    return "survived", None


def judge(mut, tests, src, build_dir, jobs):
    """killed / timed out / survived / did not build for one mutant."""
    path = src / mut["file"]
    original = path.read_text()
    try:
        path.write_text(apply(original, mut))
        # The fastest test alone first: most mutants die there, before the
        # other tests' programs are linked.
        ran = []
        for batch in (tests[:1], tests[1:]):
            if batch and not build(build_dir, targets_for(n for n, _ in batch), jobs):
                return "did not build", None
            ran += run_tests(build_dir, batch, jobs)
            if verdict(ran)[0] == "killed":
                break
        return verdict(ran)
    finally:
        path.write_text(original)


def run(args):
    # A fresh sample unless asked for: checks written against one sample's
    # survivors would flatter a rerun of the same sample.
    given = os.environ.get("MUTANT_SEED")
    seed = int(given) if given else random.SystemRandom().randrange(1, 2**31)
    print("seed %d (%s; MUTANT_SEED=%d draws the same sample)" %
          (seed, "given" if given else "fresh", seed), flush=True)
    count = int(os.environ.get("MUTANTS") or DEFAULT_MUTANTS)
    budget = float(os.environ.get("MUTANT_BUDGET") or DEFAULT_BUDGET)
    tests = line_map(Path(args.coverage_build).resolve(), args.jobs)
    usable = {n: t for n, t in tests.items() if t["passed"]}
    code = {(f, line) for t in tests.values() for f, ls in t["code"].items() for line in ls}
    everything = enumerate_mutants(ROOT)
    everything.sort(key=lambda m: (m["file"], m["line"], m["col"], m["op"], m["repl"]))
    sample = random.Random(seed).sample(everything, min(count, len(everything)))
    sample.sort(key=lambda m: (m["file"], m["line"], m["col"]))
    print("%d mutants in src/, sampling %d with seed %d, tests up to %g s each" %
          (len(everything), len(sample), seed, budget))

    work = Path(args.mutation_build).resolve()
    src, build_dir = work / "src", work / "build"
    sync_copy(src)
    # -O0 without debug info: mutants compile and link fastest.
    subprocess.run(["cmake", "-S", str(src), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Debug",
                    "-DCMAKE_CXX_FLAGS_DEBUG=-O0", "-DCMAKE_C_FLAGS_DEBUG=-O0",
                    "-DTARN_OPENWRT_PREFIX=" + args.openwrt], check=True, capture_output=True)
    if not build(build_dir, ["tarn_lib"], args.jobs):
        sys.exit("the unmutated tree does not build in " + str(build_dir))
    # A signal restores the mutated file through judge()'s finally.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    results, start = [], time.monotonic()
    for i, mut in enumerate(sample, 1):
        covering = sorted(((n, t["seconds"]) for n, t in usable.items() if runs(t, mut, code)),
                          key=lambda nt: nt[1])
        hit = within_budget(covering, budget)
        if hit:
            outcome, by = judge(mut, hit, src, build_dir, args.jobs)
        else:
            outcome, by = "survived", None
        results.append(dict(mut, outcome=outcome, by=by, covered=bool(hit), tests=len(hit),
                            covering=len(covering)))
        note = by or ("" if hit else "not covered")
        print("[%d/%d %4.0fs] %-13s %s %s" % (i, len(sample), time.monotonic() - start,
                                               outcome, describe(mut), note), flush=True)
    report(results, seed, bool(given), len(everything), time.monotonic() - start)


def wilson(k, n):
    """95 % Wilson score interval of k successes in n trials, as fractions."""
    if n == 0:
        return None
    p, z2 = k / n, Z95 * Z95
    centre = (p + z2 / (2 * n)) / (1 + z2 / n)
    half = Z95 / (1 + z2 / n) * math.sqrt(p * (1 - p) / n + z2 / (4 * n * n))
    return max(0.0, centre - half), min(1.0, centre + half)


def scores(counts):
    """The score, killed of killed + survived, and the same with time-outs
    taken for kills; each with its interval. Mutants that did not build are
    not in either."""
    out = {}
    for key, kills, rest in (("score", ("killed",), ("survived",)),
                             ("timeouts_as_kills", ("killed", "timed out"), ("survived",))):
        k = sum(counts[c] for c in kills)
        n = k + sum(counts[c] for c in rest)
        interval = wilson(k, n)
        out[key] = {"killed": k, "of": n,
                    "percent": round(100.0 * k / n, 1) if n else None,
                    "wilson95": [round(100.0 * b, 1) for b in interval] if interval else None}
    return out


def report(results, seed, given, total, seconds):
    counts = {k: sum(r["outcome"] == k for r in results)
              for k in ("killed", "timed out", "survived", "did not build")}
    score = scores(counts)
    print("\nseed %d (%s), %d of %d mutants, %.0f s" %
          (seed, "given" if given else "fresh", len(results), total, seconds))
    print("killed %(killed)d, timed out %(timed out)d, survived %(survived)d, "
          "did not build %(did not build)d (not scored)" % counts)
    for key, label in (("score", "mutation score, killed / (killed + survived)"),
                       ("timeouts_as_kills", "with time-outs as kills, (killed + timed out) / "
                                             "(killed + timed out + survived)")):
        s = score[key]
        if s["of"]:
            print("%s: %.1f%% (%d of %d), 95%% Wilson score interval %.1f%% to %.1f%%" %
                  ((label, s["percent"], s["killed"], s["of"]) + tuple(s["wilson95"])))
        else:
            print("%s: no scored mutants" % label)
    for outcome, title in (("survived", "survivors"), ("timed out", "timed out")):
        listed = [r for r in results if r["outcome"] == outcome]
        if listed:
            print("%s (%d):" % (title, len(listed)))
        for r in listed:
            if r["by"]:
                note = r["by"]
            elif r["covered"]:
                note = "[%d of %d tests]" % (r["tests"], r["covering"])
            else:
                note = "[not covered]"
            print("  %s  %s" % (describe(r), note))
    if os.environ.get("MUTATION_JSON"):
        Path(os.environ["MUTATION_JSON"]).write_text(json.dumps(
            {"seed": seed, "seed_given": given, "sample": len(results), "mutants": total,
             "seconds": round(seconds), "counts": counts, "interval": "95 % Wilson score",
             "score": score["score"], "timeouts_as_kills": score["timeouts_as_kills"],
             "results": results}, indent=1))


# ---------------------------------------------------------------- self-check


def selftest(_args):
    """The outcome rules and the interval, without a build."""
    bad = []
    # Newcombe, Statistics in Medicine 17 (1998), table I, method 3.
    for k, n, low, high in ((81, 263, 0.2553, 0.3662), (15, 148, 0.0624, 0.1605),
                            (0, 20, 0.0, 0.1611), (1, 29, 0.0061, 0.1718)):
        got = wilson(k, n)
        if abs(got[0] - low) > 5e-5 or abs(got[1] - high) > 5e-5:
            bad.append("wilson(%d, %d) = %.4f..%.4f, not %.4f..%.4f" % ((k, n) + got +
                                                                         (low, high)))
    a, b, c = ("a", True, False), ("b", False, False), ("c", False, True)
    for ran, want in (([], ("survived", None)), ([a], ("survived", None)),
                      ([c], ("timed out", "c")), ([a, c, b], ("killed", "b")),
                      ([b, c], ("killed", "b"))):
        if verdict(ran) != want:
            bad.append("verdict(%s) = %s, not %s" % (ran, verdict(ran), want))
    status = "1/1 Test #7: daemon.stun ..........***%s   9.01 sec\n"
    for out, want in ((status % "Timeout", True), (status % "Failed", False),
                      (status % "Failed" + "TimeoutError: timed out waiting for x\n"
                       "\tThe following tests FAILED:\n\t  7 - daemon.stun (Timeout)\n", False)):
        if bool(CTEST_TIMEOUT.search(out)) != want:
            bad.append("ctest time-out read as %s in %r" % (not want, out))
    got = scores({"killed": 40, "timed out": 10, "survived": 45, "did not build": 5})
    if ([got[k][f] for k in ("score", "timeouts_as_kills") for f in ("killed", "of", "percent")]
            != [40, 85, 47.1, 50, 95, 52.6]):
        bad.append("scores: %s" % got)
    none = scores({"killed": 0, "timed out": 0, "survived": 0, "did not build": 3})
    if none["score"]["wilson95"] is not None:
        bad.append("an interval for no scored mutant")
    print("\n".join(bad) or "selftest passed")
    sys.exit(1 if bad else 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--coverage-build", default=str(ROOT / "build-coverage"))
    parser.add_argument("--mutation-build", default=str(ROOT / "build-mutation"))
    parser.add_argument("--openwrt", default=str(ROOT / "build" / "openwrt"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("command", choices=["coverage", "run", "list", "selftest"])
    args = parser.parse_args()
    if args.command == "list":
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quietly, into head
        for m in enumerate_mutants(ROOT):
            print(describe(m))
    else:
        {"coverage": coverage, "run": run, "selftest": selftest}[args.command](args)


if __name__ == "__main__":
    main()
