#!/usr/bin/env python3
"""Mutation check: proves that the test suite catches small, realistic faults.

Each mutation in scripts/mutations.txt names an exact snippet of product code
and its faulty replacement. The snippet is looked up in the product folders
(never by file and line, so that moved code is still found); it must occur
exactly once. Each mutation is applied to a scratch copy of the tree, built
and run against the whole suite; the original file is restored afterwards,
so one scratch build serves every mutation incrementally.

The tests that killed a mutation in an earlier run (the bracketed names of a
results table given with --hints) run first; a mutation that survives them is
run against the whole suite, so a survivor is always a survivor of everything.

Results: KILLED (the suite failed), SURVIVED (the suite passed), BUILD-FAIL
(the mutant did not compile), N-A (the snippet is missing or not unique:
update it to the same fault at its new place).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

PRODUCT_DIRS = ["core", "rules", "results", "carving", "fat", "ntfs", "exfat", "ext", "scan", "cli"]
SOURCE_EXT = (".cpp", ".h")


class Mutation:
    def __init__(self, mid, area, desc):
        self.mid, self.area, self.desc = mid, area, desc
        self.old = self.new = None
        self.place = "-"
        self.result = None
        self.killers = []


def parse_mutations(path):
    """'ID area | description', then '- original' and '+ replacement' lines."""
    muts = []
    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("- ") or line.startswith("+ "):
                if not muts:
                    sys.exit(f"{path}:{n}: snippet before any mutation")
                # Consecutive lines of one kind form a multi-line snippet.
                attr = "old" if line[0] == "-" else "new"
                prev = getattr(muts[-1], attr)
                setattr(muts[-1], attr, (prev or []) + [line[2:]])
                continue
            head, _, desc = line.partition("|")
            parts = head.split()
            if len(parts) != 2:
                sys.exit(f"{path}:{n}: expected 'ID area | description'")
            muts.append(Mutation(parts[0], parts[1], desc.strip()))
    for m in muts:
        if m.old is None or m.new is None or m.old == m.new:
            sys.exit(f"mutation {m.mid}: needs a '- ' and a different '+ ' line")
    ids = [m.mid for m in muts]
    if len(ids) != len(set(ids)):
        sys.exit("mutation ids are not unique")
    return muts


def snippet_regex(lines):
    """The lines of a snippet; lines after the first may be indented anyhow."""
    pattern = re.escape(lines[0])
    for k, line in enumerate(lines[1:]):
        pattern += r"\n([ \t]*)" if k == 0 else r"\n[ \t]*"
        pattern += re.escape(line)
    return re.compile(pattern)


def replacement(m, match):
    """The replacement lines, later ones indented like the original's second line."""
    indent = match.group(1) if len(m.old) > 1 else ""
    return ("\n" + indent).join(m.new)


def product_files(root):
    for d in PRODUCT_DIRS:
        for dirpath, _, names in os.walk(os.path.join(root, d)):
            for name in sorted(names):
                if name.endswith(SOURCE_EXT):
                    yield os.path.relpath(os.path.join(dirpath, name), root)


def locate(root, muts):
    texts = {rel: open(os.path.join(root, rel), encoding="utf-8", errors="surrogateescape").read()
             for rel in product_files(root)}
    for m in muts:
        rx = snippet_regex(m.old)
        hits = [(rel, match) for rel, t in texts.items() for match in rx.finditer(t)]
        if len(hits) != 1:
            m.result = "N-A"
            m.place = "not found" if not hits else f"{len(hits)} places"
            continue
        rel, match = hits[0]
        m.file, m.span = rel, match.span()
        m.text = replacement(m, match)
        m.place = f"{rel}:{texts[rel].count(chr(10), 0, match.start()) + 1}"


def sync_tree(src, dst):
    """Copies the source tree into dst; only files whose bytes differ are
    rewritten, so unchanged files keep their timestamps and the scratch
    build stays incremental."""
    skip_top = {".git", "build", "build-asan", "build-fuzz", "build-gui"}
    wanted = set()
    for dirpath, dirnames, names in os.walk(src):
        rel_dir = os.path.relpath(dirpath, src)
        if rel_dir == ".":
            dirnames[:] = [d for d in dirnames if d not in skip_top and not d.startswith("build")]
        for name in names:
            rel = os.path.normpath(os.path.join(rel_dir, name))
            wanted.add(rel)
            s, d = os.path.join(src, rel), os.path.join(dst, rel)
            data = open(s, "rb").read()
            if os.path.exists(d) and open(d, "rb").read() == data:
                continue
            os.makedirs(os.path.dirname(d), exist_ok=True)
            with open(d, "wb") as f:
                f.write(data)
            shutil.copymode(s, d)
    for dirpath, _, names in os.walk(dst):
        for name in names:
            rel = os.path.normpath(os.path.relpath(os.path.join(dirpath, name), dst))
            if rel not in wanted:
                os.unlink(os.path.join(dst, rel))


def run(cmd, log, cwd=None, env=None, timeout=None):
    with open(log, "ab") as f:
        f.write(("\n$ " + " ".join(cmd) + "\n").encode())
        f.flush()
        try:
            return subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, cwd=cwd, env=env,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return 124


def failed_tests(log, start):
    """Names of the tests that failed in the ctest run written to the log after offset start."""
    with open(log, "rb") as f:
        f.seek(start)
        text = f.read().decode("utf-8", errors="replace")
    block = text.split("The following tests FAILED:", 1)
    if len(block) < 2:
        return []
    names = re.findall(r"^\s*\d+ - (\S+) \(", block[1], re.M)
    return names


def read_hints(path):
    """Failing tests per mutation id, from the bracketed list of an earlier results table."""
    hints = {}
    if not path or not os.path.exists(path):
        return hints
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^(M\d+)\s+KILLED\b.*\[([^\]]+)\]\s*$", line)
            if m:
                hints[m.group(1)] = [n.strip() for n in m.group(2).split(",") if n.strip()]
    return hints


def clear_test_work(build):
    """Tests that a mutant makes fail leave their scratch images behind (gigabytes over a
    whole run): empty the suite's work folder, unmounting any FUSE mount left in it."""
    work = os.path.join(build, "tests", "work")
    if not os.path.isdir(work):
        return
    with open("/proc/mounts", encoding="utf-8", errors="replace") as f:
        mounts = [line.split()[1] for line in f if len(line.split()) > 1]
    for m in mounts:
        if m.startswith(work + os.sep):
            subprocess.run(["umount", "-l", m], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name in os.listdir(work):
        path = os.path.join(work, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    repo = os.path.dirname(here)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mutations", default=os.path.join(here, "mutations.txt"))
    ap.add_argument("--scratch", default=os.environ.get("FR_MUTATION_SCRATCH", ""),
                    help="scratch folder, kept between runs (default: a fresh temporary one)")
    ap.add_argument("--only", default="", help="comma-separated mutation ids")
    ap.add_argument("--check", action="store_true", help="only locate the snippets")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--test-timeout", default="60", help="seconds per test")
    ap.add_argument("--out", default="", help="also write the table to this file")
    ap.add_argument("--exclude", default="",
                    help="regex of tests left out of every run (tests that already fail on the unmutated tree)")
    ap.add_argument("--hints", default=os.path.join(here, "mutation-results-after.txt"),
                    help="earlier results table whose failing tests run first ('' for none)")
    ap.add_argument("--build-type", default="Release",
                    help="CMake build type of the scratch build (without debug info links are quicker)")
    args = ap.parse_args()

    muts = parse_mutations(args.mutations)
    hints = read_hints(args.hints)
    if args.only:
        # In the order given, so that the most telling mutations can go first.
        by_id = {m.mid: m for m in muts}
        muts = [by_id[i] for i in args.only.split(",") if i in by_id]
    locate(repo, muts)
    if args.check:
        for m in muts:
            print(f"{m.mid:5} {m.place:45} {m.result or 'found'}")
        return 0

    scratch = args.scratch or os.path.join(os.environ.get("TMPDIR", "/tmp"), f"fr-mutation-{os.getpid()}")
    src, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    log = os.path.join(scratch, "mutation.log")
    os.makedirs(src, exist_ok=True)
    sync_tree(repo, src)
    env = dict(os.environ, CCACHE_BASEDIR=scratch, QT_QPA_PLATFORM="offscreen")
    # Link-time optimisation would only slow the rebuild after each mutation.
    configure = ["cmake", "-S", src, "-B", build, "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={args.build_type}",
                 "-DFR_BUILD_GUI=OFF", "-DFR_BUILD_BENCH=OFF", "-DFR_LTO=OFF"]
    if shutil.which("ccache"):
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    build_cmd = ["cmake", "--build", build, "-j", args.jobs]
    test_cmd = ["ctest", "--test-dir", build, "-j", args.jobs, "--stop-on-failure",
                "--timeout", args.test_timeout] + (["-E", args.exclude] if args.exclude else [])
    print(f"scratch: {scratch} (log: {log})", flush=True)
    if run(configure, log, env=env) or run(build_cmd, log, env=env):
        sys.exit("the unmutated tree does not build; see the log")
    if run(test_cmd, log, env=env):
        sys.exit("the unmutated tree fails its tests; see the log")

    for m in muts:
        if m.result == "N-A":
            print(f"{m.mid:5} N-A        {m.place}", flush=True)
            continue
        path = os.path.join(src, m.file)
        original = open(path, "rb").read()
        text = original.decode("utf-8", errors="surrogateescape")
        mutated = (text[:m.span[0]] + m.text + text[m.span[1]:]).encode("utf-8", errors="surrogateescape")
        t0 = time.time()
        try:
            with open(path, "wb") as f:
                f.write(mutated)
            if run(build_cmd, log, env=env):
                m.result = "BUILD-FAIL"
            else:
                start = os.path.getsize(log)
                first = hints.get(m.mid)
                if first:
                    pick = "^(" + "|".join(re.escape(n) for n in first) + ")$"
                    m.result = "KILLED" if run(test_cmd + ["-R", pick], log, env=env) else None
                if m.result is None:
                    start = os.path.getsize(log)
                    m.result = "KILLED" if run(test_cmd, log, env=env) else "SURVIVED"
                if m.result == "KILLED":
                    m.killers = failed_tests(log, start)
                clear_test_work(build)
        finally:
            # A fresh timestamp: the restored file is rebuilt (from ccache).
            with open(path, "wb") as f:
                f.write(original)
        print(f"{m.mid:5} {m.result:10} {m.place} ({time.time() - t0:.0f} s) {' '.join(m.killers)}",
              flush=True)
    run(build_cmd, log, env=env)

    lines = [f"{'id':5} {'result':10} {'area':13} {'place':42} description [failing tests]"]
    for m in muts:
        killers = f" [{', '.join(m.killers)}]" if m.killers else ""
        lines.append(f"{m.mid:5} {m.result:10} {m.area:13} {m.place:42} {m.desc}{killers}")
    counts = {k: sum(1 for m in muts if m.result == k) for k in ("KILLED", "SURVIVED", "BUILD-FAIL", "N-A")}
    applicable = len(muts) - counts["N-A"] - counts["BUILD-FAIL"]
    lines.append(f"total: {len(muts)} mutations, {counts['KILLED']} killed, {counts['SURVIVED']} survived, "
                 f"{counts['BUILD-FAIL']} build-fail, {counts['N-A']} not applicable "
                 f"({counts['KILLED']}/{applicable} killed)")
    if args.exclude:
        lines.insert(0, f"tests left out of every run: {args.exclude}")
    table = "\n".join(lines)
    print(table)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(table + "\n")
    if not args.scratch:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
