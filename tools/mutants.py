"""Mutation testing of kofa's C++ sources: how many realistic one-line faults
does the fast part of the test suite catch?

    make mutants                                  # 50 mutants, seed 1
    make mutants ARGS="--count 80 --seed 7"       # another sample
    make mutants ARGS="--files kofa/in_place.cpp --count 30"
    .tools/bin/python tools/mutants.py --mutant path/to/in_place.mutant.12.cpp ...

universalmutator (PyPI, installed into .tools/ by `make mutants`) writes every
mutant of each of kofa/*.cpp and kofa/fits/*.cpp (a changed operator,
constant, condition, a deleted or added statement); a seeded random sample of
them is tried one at a time. Each mutant is copied over its source in a copy
of the sources (build-mutants/src), built incrementally with CMake
(build-mutants/cmake: one object file and the link) and, unless it fails to
build or compiles to the very object code of the original (equivalent, so not
counted), tested with the fast part of the suite (FAST below, pytest -x) on
CPython 3.11 with the NumPy of its matrix cell (noxfile.py), in a venv of its
own (build-mutants/venv). A mutant that makes a test fail, crash or run past
the time limit is killed; one that passes survived.

The closing lines give the score, killed / (killed + survived), and each
survivor as file:line with the original and the mutated line. A survivor is
then judged by hand: equivalent (no behaviour can differ), speed or memory
only (that belongs to bench/), or a missing test.

--mutant runs given mutant files instead of a sample (a mutant file is named
<stem>.mutant.<n>.cpp, or <stem>.<anything>.cpp, after kofa's source
<stem>.cpp): the way to put one fault back by hand and see which test catches
it.

--patches DIR runs a directory of faults written by hand instead: every
DIR/*.patch (a unified diff for `git apply` at the repository root, which may
touch several files of kofa/, headers included) is applied to the copy of
the sources in turn, in name order, built and tested the same way; a patch
that does not apply counts as not built, and one that changes no object file
as the same code. DIR/MANIFEST.tsv, if present, describes each patch (its
first column the file name); the description is shown beside the outcome.
`make faults` runs tools/faults, the sample kept for the next round;
`--patches tools/faults/07-name.patch ...` runs single ones.
"""

import argparse
import difflib
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
import noxfile  # noqa: E402  (interpreters and pins of the test matrix)

WORK = ROOT / "build-mutants"
PYTHON_VERSION = "3.11"
# What the copy of the sources needs to build.
BUILD_INPUTS = ["CMakeLists.txt", "cmake", "kofa", "kofa.pyi"]
# The fast part of the suite: all but the slowest cases (a 35 s hypothesis
# run and a 12 s memory-growth run on 3.11) and the distribution tests.
# Files that catch most faults first, so that -x stops early.
FAST = [
    "tests/test_fits_against_reference.py", "tests/test_in_place.py", "tests/test_binding.py",
    "tests/test_module.py", "tests/test_function_objects.py", "tests/test_refcounts.py",
    "tests/test_allocation_failures.py", "tests/test_threads.py", "tests/test_subinterpreters.py",
    "tests/test_fuzz.py",
]
SLOW = ("not test_ten_thousand_calls_do_not_grow_memory"
        " and not (test_any_arguments_return_or_raise_with_one_entry and exponential_gaussian_mixture)")
BUILD_TIMEOUT = 600
TEST_TIMEOUT = 600
# The unmutated run sets the limit of the others; on a loaded machine it
# takes longer than TEST_TIMEOUT.
BASELINE_TIMEOUT = 1800


def log(*args):
    print(*args, flush=True)


def sources():
    return sorted(p.relative_to(ROOT).as_posix()
                  for p in list((ROOT / "kofa").glob("*.cpp")) + list((ROOT / "kofa" / "fits").glob("*.cpp")))


def run(cmd, timeout, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                          timeout=timeout, **kw)


def venv_python():
    """A venv of the 3.11 interpreter with the NumPy of its cell and the
    test requirements, made once."""
    venv = WORK / "venv"
    python = venv / "bin" / "python"
    wanted = ["numpy==" + noxfile.NUMPY_FOR_PYTHON[PYTHON_VERSION], "pytest", "hypothesis"]
    marker = venv / "mutants-installed.txt"
    if marker.is_file() and marker.read_text() == "\n".join(wanted):
        return python
    interpreter = noxfile.INTERPRETERS.get(PYTHON_VERSION)
    if interpreter is None:
        sys.exit("no CPython {} on this machine (pyenv install {})".format(PYTHON_VERSION, PYTHON_VERSION))
    shutil.rmtree(str(venv), ignore_errors=True)
    subprocess.run([str(interpreter), "-m", "venv", str(venv)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "--quiet"] + wanted, check=True)
    marker.write_text("\n".join(wanted))
    return python


def sync_sources():
    """Copies the build inputs into build-mutants/src, writing only files
    whose content differs, so that the build stays incremental."""
    src = WORK / "src"
    for name in BUILD_INPUTS:
        path = ROOT / name
        files = [p for p in path.rglob("*") if p.is_file()] if path.is_dir() else [path]
        for f in files:
            target = src / f.relative_to(ROOT)
            data = f.read_bytes()
            if not target.is_file() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)
    return src


def configure(python, src):
    build = WORK / "cmake"
    if not (build / "CMakeCache.txt").is_file():
        subprocess.run(["cmake", "-S", str(src), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DPython_EXECUTABLE=" + str(python)], check=True, stdout=subprocess.DEVNULL)
    return build


def build(build_dir):
    jobs = str(os.cpu_count() or 2)
    try:
        proc = run(["cmake", "--build", str(build_dir), "--parallel", jobs], BUILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return proc.returncode == 0, proc.stdout


def object_digest(build_dir, source):
    obj = build_dir / "CMakeFiles" / "kofa.dir" / (source + ".o")
    return hashlib.sha256(obj.read_bytes()).hexdigest() if obj.is_file() else None


def log_score(results, kind, tried, not_built):
    """The closing counts and the score: killed of those built and changed."""
    killed, survived = len(results["killed"]), len(results["survived"])
    log("")
    log("{} tried: {}; {}: {}; same object code (equivalent): {}".format(
        kind, tried, not_built, len(results["no build"]), len(results["same code"])))
    if killed + survived:
        log("score: {} killed of {} built and changed ({:.1f} %)".format(
            killed, killed + survived, 100.0 * killed / (killed + survived)))


def tested(python, build_dir, limit):
    """("survived", "") or ("killed", the first failing test or the status)."""
    status, output = run_tests(python, build_dir, limit)
    if status == 0:
        return "survived", ""
    failed = [line.split(" - ")[0] for line in output.splitlines()
              if line.startswith(("FAILED", "ERROR"))]
    return "killed", failed[0] if failed else "status {}".format(status)


def run_tests(python, build_dir, timeout=TEST_TIMEOUT):
    """pytest's exit status on the fast part (-x), or 'timeout'."""
    env = dict(os.environ, PYTHONPATH=str(build_dir), PYTHONDONTWRITEBYTECODE="1")
    env.pop("KOFA_DIST_TESTS", None)
    cmd = [str(python), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-k", SLOW] + FAST
    try:
        proc = run(cmd, timeout, cwd=str(ROOT), env=env)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    return proc.returncode, proc.stdout


def generate(source):
    """All of universalmutator's mutants of one source, made once per state
    of that source: a list of paths."""
    data = (ROOT / source).read_bytes()
    where = WORK / "mutants" / source.replace("/", "__")
    stamp = where / "source.sha256"
    digest = hashlib.sha256(data).hexdigest()
    if not (stamp.is_file() and stamp.read_text() == digest):
        shutil.rmtree(str(where), ignore_errors=True)
        where.mkdir(parents=True)
        mutate = Path(sys.executable).parent / "mutate"
        proc = run([str(mutate), str(ROOT / source), "cpp", "--noCheck", "--mutantDir", str(where)], 3600,
                   cwd=str(where))
        if proc.returncode != 0:
            sys.exit("mutate failed on {}:\n{}".format(source, proc.stdout[-3000:]))
        stamp.write_text(digest)
    return sorted(where.glob("*.mutant.*.cpp"), key=lambda p: int(p.name.split(".")[-2]))


def changed_line(original, mutant):
    """(line number, original lines, mutated lines) of a mutant, the lines
    joined; an added or deleted line shows as nothing on the other side."""
    a, b = original.splitlines(), mutant.splitlines()
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag != "equal":
            return (i1 + 1, " / ".join(x.strip() for x in a[i1:i2]) or "(nothing)",
                    " / ".join(y.strip() for y in b[j1:j2]) or "(deleted)")
    return 0, "", ""


def all_objects(build_dir):
    """sha256 of every object file of the module."""
    objects = build_dir / "CMakeFiles" / "kofa.dir"
    return {str(p.relative_to(objects)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(objects.rglob("*.o"))}


def manifest(directory):
    """{patch file name: its description} from MANIFEST.tsv."""
    table = {}
    path = directory / "MANIFEST.tsv"
    if path.is_file():
        for line in path.read_text().splitlines():
            fields = line.split("\t")
            if fields and fields[0].endswith(".patch"):
                table[fields[0]] = " | ".join(f for f in fields[1:] if f)
    return table


def apply_patch(src, patch):
    """Applies a patch to the copy of the sources: (applied, output). The
    copy lies inside the repository, so git is kept from finding it."""
    env = dict(os.environ, GIT_CEILING_DIRECTORIES=str(src.parent))
    proc = run(["git", "apply", "--whitespace=nowarn", str(patch)], 60, cwd=str(src), env=env)
    return proc.returncode == 0, proc.stdout


def patch_files(patch):
    """The files a patch changes, relative to the repository root."""
    files = []
    for line in patch.read_text(errors="replace").splitlines():
        if line.startswith("+++ ") and not line.startswith("+++ /dev/null"):
            name = line[4:].split("\t")[0].strip()
            files.append(name[2:] if name.startswith("b/") else name)
    return files


def run_patches(python, src, build_dir, places, limit):
    """Each patch in turn (every *.patch of a directory given, in name
    order, or the patch files given): the outcomes, as for mutants."""
    patches, described = [], {}
    for place in places:
        found = sorted(place.glob("*.patch")) if place.is_dir() else [place]
        if not found:
            sys.exit("no *.patch in {}".format(place))
        patches += found
        described.update(manifest(place if place.is_dir() else place.parent))
    baseline = all_objects(build_dir)
    snapshot = {p: p.read_bytes() for p in (src / "kofa").rglob("*") if p.is_file()}
    results = {"killed": [], "survived": [], "no build": [], "same code": []}
    try:
        for index, patch in enumerate(patches, 1):
            started = time.monotonic()
            applied, output = apply_patch(src, patch)
            by = ""
            if not applied:
                outcome = "no build"
                by = "does not apply: " + " ".join(output.split())[:200]
            else:
                ok, output = build(build_dir)
                if not ok:
                    outcome = "no build"
                elif all_objects(build_dir) == baseline:
                    outcome = "same code"
                else:
                    outcome, by = tested(python, build_dir, limit)
            where = ", ".join(patch_files(patch))
            results[outcome].append((patch.name, where, described.get(patch.name, "")))
            log("[{}/{}] {:9} {} ({})  ({:.0f} s){}".format(
                index, len(patches), outcome, patch.name, where, time.monotonic() - started,
                "\n        " + by if by else ""))
            # Back to the snapshot: files the patch changed or added.
            for path in [p for p in (src / "kofa").rglob("*") if p.is_file()]:
                if path not in snapshot:
                    path.unlink()
                elif path.read_bytes() != snapshot[path]:
                    path.write_bytes(snapshot[path])
    finally:
        for path, data in snapshot.items():
            if not path.is_file() or path.read_bytes() != data:
                path.write_bytes(data)

    log_score(results, "patches", len(patches), "did not apply or build")
    for outcome in ("survived", "same code", "no build"):
        for name, where, description in results[outcome]:
            log("{}: {} ({})\n    {}".format(outcome, name, where, description))
    return 0


def source_of(mutant, known):
    stem = Path(mutant).name.split(".")[0]
    found = [s for s in known if Path(s).stem == stem]
    if len(found) != 1:
        sys.exit("{}: no single kofa source named {}.cpp".format(mutant, stem))
    return found[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=50, help="mutants to try (default 50)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    parser.add_argument("--files", default=None, help="comma-separated subset of the sources")
    parser.add_argument("--mutant", nargs="+", default=None, help="try these mutant files instead")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the unmutated run (one that just passed, say when the sample is split over "
                             "several copies); every test run is then limited to BASELINE_TIMEOUT")
    parser.add_argument("--patches", nargs="+", default=None, metavar="DIR",
                        help="try the faults written by hand in DIR/*.patch (or these patch files) "
                             "instead (make faults)")
    args = parser.parse_args()
    patches = [Path(p).resolve() for p in args.patches] if args.patches else None
    for place in patches or []:
        if not place.exists():
            sys.exit("--patches: no {}".format(place))

    known = sources()
    python = venv_python()
    src = sync_sources()
    build_dir = configure(python, src)
    ok, output = build(build_dir)
    if not ok:
        sys.exit("the unmutated sources do not build:\n" + output[-3000:])
    baseline = {s: object_digest(build_dir, s) for s in known}
    # The sources as they were synced: edits made while the sample runs do
    # not leak into it.
    originals = {s: (src / s).read_text() for s in known}
    if args.no_baseline:
        limit = float(BASELINE_TIMEOUT)
    else:
        log("checking that the unmutated build passes the fast tests ...")
        started = time.monotonic()
        status, output = run_tests(python, build_dir, BASELINE_TIMEOUT)
        if status != 0:
            sys.exit("the unmutated build fails the fast tests ({}):\n{}".format(
                "timed out" if status == "timeout" else "status {}".format(status), output[-3000:]))
        # A mutant that makes the tests hang (an endless loop) is killed by the
        # time limit: four times the unmutated run, at least two minutes.
        limit = max(120.0, 4 * (time.monotonic() - started))

    if patches is not None:
        return run_patches(python, src, build_dir, patches, limit)
    if args.mutant:
        chosen = [(source_of(m, known), Path(m)) for m in args.mutant]
    else:
        files = args.files.split(",") if args.files else known
        pool = [(s, m) for s in files for m in generate(s)]
        log("{} mutants over {} files; sampling {} (seed {})".format(len(pool), len(files), args.count, args.seed))
        chosen = random.Random(args.seed).sample(pool, min(args.count, len(pool)))

    results = {"killed": [], "survived": [], "no build": [], "same code": []}
    try:
        for index, (source, mutant) in enumerate(chosen, 1):
            target = src / source
            original = originals[source]
            text = mutant.read_text()
            where = changed_line(original, text)
            target.write_text(text)
            started = time.monotonic()
            ok, output = build(build_dir)
            if not ok:
                outcome = "no build"
            elif object_digest(build_dir, source) == baseline[source]:
                outcome = "same code"
            else:
                outcome, by = tested(python, build_dir, limit)
            results[outcome].append((source, mutant.name) + where)
            log("[{}/{}] {:9} {}:{} {}  ({:.0f} s){}".format(
                index, len(chosen), outcome, source, where[0], where[2][:100], time.monotonic() - started,
                "\n        by " + by if outcome == "killed" else ""))
            target.write_text(original)
    finally:
        # The copy of the sources goes back to the unmutated state.
        for source in known:
            (src / source).write_text(originals[source])

    log_score(results, "mutants", len(chosen), "did not build")
    for source, name, line, before, after in results["survived"]:
        log("survived: {}:{} ({})\n    was: {}\n    now: {}".format(source, line, name, before, after))
    return 0


if __name__ == "__main__":
    sys.exit(main())
