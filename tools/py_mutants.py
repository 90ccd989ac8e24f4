"""Generated mutants of the companion package (`vantrel_tools`), for tools/mutate.py.

cosmic-ray generates and applies them: it finds the modules by path (python/vantrel_tools/**,
whatever subpackages the package is split into), mutates one file in place at a time and runs a
test command, which suits the sandbox the harness already builds (the package's native part built
beside its sources, the suite run from tests/python). This module picks the mutants (by path,
by the lines changed since a revision, a seeded sample), runs cosmic-ray on them in the sandbox
and reports per module.

The session lives beside the sandbox's build (`<workdir>/current/session.sqlite`); the configuration is
tools/cosmic-ray.toml.
"""

from __future__ import annotations

import ast
import fnmatch
import random
import re
import shlex
import sqlite3
import subprocess
import sys
import time
import tomllib
from pathlib import Path

import cxx_mutants

ROOT = Path(__file__).resolve().parents[1]
CONFIG = ROOT / "tools" / "cosmic-ray.toml"
PACKAGE = "python/vantrel_tools"


def annotation_lines(source: str) -> set[tuple[int, int]]:
    """(line, column) of every token inside an annotation: their mutants change nothing at run
    time when annotations are not evaluated."""
    spots: set[tuple[int, int]] = set()
    for node in ast.walk(ast.parse(source)):
        notes = []
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            notes.append(node.returns)
            a = node.args
            notes += [x.annotation for x in a.posonlyargs + a.args + a.kwonlyargs]
            notes += [a.vararg.annotation if a.vararg else None,
                      a.kwarg.annotation if a.kwarg else None]
        elif isinstance(node, ast.AnnAssign):
            notes.append(node.annotation)
        for note in notes:
            if note is None:
                continue
            for sub in ast.walk(note):
                if hasattr(sub, "lineno"):
                    spots.add((sub.lineno, sub.col_offset))
                    if sub.end_lineno == sub.lineno:
                        spots.update((sub.lineno, c) for c in range(sub.col_offset,
                                                                    sub.end_col_offset))
    return spots


def wanted(rel: str, patterns: list[str]) -> bool:
    """Whether a module (path relative to the tree) is named by a path, directory or glob."""
    if not patterns:
        return True
    for p in patterns:
        p = p.rstrip("/")
        if rel == p or rel.startswith(p + "/") or fnmatch.fnmatch(rel, p):
            return True
    return False


def select(db: Path, src: Path, args, exclude_ops: list[str]) -> int:
    """Deletes every mutant of the session that is not wanted; returns how many are left."""
    con = sqlite3.connect(db)
    rows = con.execute("SELECT job_id, module_path, operator_name, start_pos_row, start_pos_col, "
                       "occurrence, operator_args FROM mutation_specs").fetchall()
    changed = cxx_mutants.changed_lines(ROOT, args.diff, PACKAGE) if args.diff else None
    notes: dict[str, set[tuple[int, int]]] = {}
    keep = []
    for job_id, module, operator, row, col, occurrence, op_args in rows:
        rel = Path(module).resolve().relative_to(src).as_posix()
        if not wanted(rel, args.paths) or any(re.fullmatch(x, operator) for x in exclude_ops):
            continue
        if changed is not None and row not in changed.get(rel, ()):
            continue
        if rel not in notes:
            notes[rel] = annotation_lines((src / rel).read_text())
        if (row, col) in notes[rel]:
            continue
        keep.append((rel, row, col, operator, occurrence, op_args or "", job_id))
    # Job ids are random per session: the sample is drawn in source order, so a seed names the
    # same mutants in every session over the same sources.
    keep.sort()
    if args.sample is not None and args.sample < len(keep):
        keep = sorted(random.Random(args.seed).sample(keep, args.sample))
    keep = [k[-1] for k in keep]
    con.execute("CREATE TEMP TABLE keep (job_id TEXT PRIMARY KEY)")
    con.executemany("INSERT INTO keep VALUES (?)", [(k,) for k in keep])
    for table in ("work_results", "mutation_specs", "work_items"):
        con.execute(f"DELETE FROM {table} WHERE job_id NOT IN (SELECT job_id FROM keep)")
    con.commit()
    con.close()
    return len(keep)


def results(db: Path, src: Path) -> list[tuple[str, str, str]]:
    """(module, description, outcome) of every mutant run, outcome as tools/mutate.py names them."""
    con = sqlite3.connect(db)
    rows = con.execute(
        "SELECT m.module_path, m.operator_name, m.start_pos_row, m.start_pos_col, "
        "r.worker_outcome, r.test_outcome, r.output, r.diff FROM mutation_specs m "
        "LEFT JOIN work_results r ON r.job_id = m.job_id ORDER BY m.module_path, m.start_pos_row"
    ).fetchall()
    con.close()
    out = []
    for module, operator, row, col, worker, test, output, diff in rows:
        rel = Path(module).resolve().relative_to(src).as_posix()
        changed = [d[1:].strip() for d in (diff or "").splitlines()
                   if d[:1] in "+-" and d[:3] not in ("+++", "---")]
        what = f"{rel}:{row}:{col} [{operator}] {'  ->  '.join(changed)}"
        worker, test = (worker or "").lower(), (test or "").lower()
        if not worker:
            outcome = "pending"
        elif worker != "normal":
            outcome = "build-error" if worker in ("exception", "abnormal") else worker
        elif test == "survived":
            outcome = "SURVIVED"
        elif test == "incompetent":
            outcome = "build-error"  # the mutant did not even import
        else:
            outcome = "killed (py timeout)" if (output or "").strip() == "timeout" else "killed (py)"
        out.append((rel, what, outcome))
    return out


def install_cosmic_ray() -> Path:
    """cosmic-ray's command, installed on first use into a virtual environment of its own."""
    venv = ROOT / "build" / "mutate-venv"
    cosmic = venv / "bin" / "cosmic-ray"
    if not cosmic.exists():
        print(f"installing cosmic-ray into {venv}", flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "-r",
                        str(ROOT / "tools" / "requirements-mutate.txt")], check=True)
    return cosmic


def main(args, box, pytest_args: list[str], report) -> int:
    """Runs the generated Python mutants `args` selects in the sandbox `box`, the suite with
    `pytest_args`; `report(rows)` prints the per-module report and returns the exit status."""
    cosmic = install_cosmic_ray()
    config = tomllib.loads(CONFIG.read_text())["cosmic-ray"]
    src = box.src.resolve()
    started = time.monotonic()
    if not args.list:
        _, py_time = box.prepare(args.workdir, True, cpp=False)
        print(f"Python tests: {py_time:.1f} s", flush=True)
    else:
        box.sync(args.workdir)

    session = box.build_dir.parent / "session.sqlite"
    cfg_path = box.build_dir.parent / "cosmic-ray.toml"
    test_command = shlex.join([args.python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                               *pytest_args])
    timeout = max(float(config["timeout"]), 5 * getattr(box, "py_time", 0.0) + 60)
    excluded = [str(src / x) for x in config.get("excluded-modules", [])]
    cfg_text = (f"[cosmic-ray]\nmodule-path = {str(src / config['module-path'])!r}\n"
                f"excluded-modules = {excluded!r}\ntimeout = {timeout}\n"
                f"test-command = {test_command!r}\n[cosmic-ray.distributor]\nname = \"local\"\n")
    cfg_path.write_text(cfg_text.replace("'", '"'))
    session.unlink(missing_ok=True)
    env = box.python_env()
    cwd = box.src / "tests" / "python"
    r = subprocess.run([str(cosmic), "init", str(cfg_path), str(session)], cwd=cwd, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        sys.exit(f"cosmic-ray init failed:\n{r.stdout[-4000:]}")
    exclude_ops = config.get("filters", {}).get("operators-filter", {}).get("exclude-operators", [])
    count = select(session, src, args, exclude_ops)
    if args.list:
        for _, what, _ in results(session, src):
            print(what.split(" ", 2)[0], what.split(" ", 2)[1])
        print(f"{count} mutants")
        return 0
    print(f"{count} mutants; cosmic-ray session {session}", flush=True)
    r = subprocess.run([str(cosmic), "exec", str(cfg_path), str(session)], cwd=cwd, env=env)
    if r.returncode != 0:
        print(f"cosmic-ray exec ended with {r.returncode}; reporting what it recorded")
    status = report(results(session, src))
    print(f"Python mutants run in {time.monotonic() - started:.0f} s")
    return status
