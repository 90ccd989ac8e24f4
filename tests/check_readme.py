"""Does what README.md says, in a fresh copy of the repository, as a newcomer would.

    python3 tests/check_readme.py [--keep]

The commands come from README.md itself, so the two cannot drift apart. Every fenced block
tagged ``sh``, ``python`` or ``cmake`` runs, top to bottom, in a copy of the working tree in a
scratch directory: the files git does not ignore, changed or new ones included (outside a git
checkout: everything but ``build/``, ``.venv*`` and ``.git``).

- ``sh``: ``bash -e`` in the copy's root, with ``.venv/bin`` first on the PATH, as for a reader
  who activated the quick start's environment. The quick start's block makes ``.venv`` there
  (one build of the module, from pip's cache as far as it goes).
- ``python``: ``.venv/bin/python`` in the copy's root.
- ``cmake``: the lines of a consumer's CMakeLists.txt. They are pasted after ``project()`` and
  ``add_executable(app main.cpp)`` into a project that sets no C++ standard, with
  ``examples/cpp/example.cpp`` as ``main.cpp``; the project is configured against ``$HOME/.local``
  (where README's commands install the core), built, and ``app`` runs.

A block right after the comment ``<!-- readme-check: skip REASON -->`` does not run (the test
command, which runs this script). README's examples that name a user's files get them here:
``recordings/`` in the copy holds ``mono.wav`` and a two-channel ``take.wav``, 8000 samples each,
written before the first block. The recording formats' sections write their own inputs.

HOME points into the scratch directory, so that ``$HOME/.local`` is scratch too; pip's and
ccache's caches stay the user's own, and ccache is used for every build when it is installed.
The scratch directory is removed afterwards unless a block fails or ``--keep`` is given.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_LANGUAGES = ("sh", "python", "cmake")
SKIP_MARK = re.compile(r"<!--\s*readme-check:\s*skip\b")
FENCE = re.compile(r"^```(\w*)\s*$")
# Top-level entries of the working tree a fresh clone would not have.
NOT_COPIED = {"build", ".git"}

CONSUMER_HEAD = """\
cmake_minimum_required(VERSION 3.20)
project(app LANGUAGES CXX)
add_executable(app main.cpp)
"""


@dataclass
class Block:
    language: str
    line: int  # of the opening fence, 1-based
    text: str
    skipped: bool


def code_blocks(markdown: str) -> list[Block]:
    """The fenced blocks of `markdown` in order; `skipped` if the skip comment comes right before."""
    blocks: list[Block] = []
    lines = markdown.splitlines()
    i = 0
    previous = ""  # the last non-blank line outside a block
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            if lines[i].strip():
                previous = lines[i]
            i += 1
            continue
        end = i + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        if end == len(lines):
            raise ValueError(f"README.md:{i + 1}: code block is never closed")
        text = "\n".join(lines[i + 1 : end]) + "\n"
        blocks.append(Block(opening.group(1), i + 1, text, bool(SKIP_MARK.search(previous))))
        previous = ""
        i = end + 1
    return blocks


def copy_tree(dest: str) -> None:
    listed = subprocess.run(
        ["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        capture_output=True,
    )
    if listed.returncode == 0:
        for name in listed.stdout.decode().split("\0"):
            source = os.path.join(ROOT, name)
            if name and os.path.lexists(source):  # a file deleted but not yet committed is gone
                os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
                shutil.copy2(source, os.path.join(dest, name), follow_symlinks=False)
        return

    def ignore(directory: str, names: list[str]) -> set[str]:
        skipped = {n for n in names if n == "__pycache__" or n.endswith(".egg-info")}
        if os.path.samefile(directory, ROOT):
            skipped |= {n for n in names if n in NOT_COPIED or n.startswith(".venv")}
        return skipped

    shutil.copytree(ROOT, dest, ignore=ignore, symlinks=True)


def write_wav(path: str, channels: list[list[float]], rate: int = 8000) -> None:
    """A 16-bit PCM WAV file, written with the standard library only."""
    frames = b"".join(
        struct.pack(f"<{len(channels)}h", *(round(c[i] * 32767) for c in channels))
        for i in range(len(channels[0]))
    )
    block = 2 * len(channels)
    fmt = struct.pack("<HHIIHH", 1, len(channels), rate, rate * block, block, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"data" + struct.pack("<I", len(frames)) + frames
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def provide_inputs(copy: str) -> None:
    recordings = os.path.join(copy, "recordings")
    os.makedirs(recordings)
    n = 8000
    tone = [0.5 * math.sin(2 * math.pi * 440 * i / 8000) for i in range(n)]
    drift = [0.3 * math.sin(2 * math.pi * 3 * i / 8000) + 0.1 * (i / n) for i in range(n)]
    write_wav(os.path.join(recordings, "mono.wav"), [tone])
    write_wav(os.path.join(recordings, "take.wav"), [tone, drift])


def environment(scratch: str, copy: str) -> dict[str, str]:
    env = dict(os.environ)
    home = os.path.expanduser("~")
    cache = env.get("XDG_CACHE_HOME") or os.path.join(home, ".cache")
    env.setdefault("XDG_CACHE_HOME", cache)
    env.setdefault("XDG_CONFIG_HOME", os.path.join(home, ".config"))
    if shutil.which("ccache"):
        found = subprocess.run(["ccache", "-k", "cache_dir"], capture_output=True, text=True)
        if found.returncode == 0 and found.stdout.strip():
            env.setdefault("CCACHE_DIR", found.stdout.strip())
        env["CCACHE_BASEDIR"] = copy  # hits across copies in different scratch directories
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    env["HOME"] = os.path.join(scratch, "home")
    os.makedirs(env["HOME"])
    for name in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME"):
        env.pop(name, None)
    env["PATH"] = os.pathsep.join([os.path.join(copy, ".venv", "bin"), env.get("PATH", "")])
    return env


def run_cmake_block(block: Block, copy: str, env: dict[str, str]) -> None:
    consumer = os.path.join(copy, "build", "readme-consumer")
    os.makedirs(consumer)
    with open(os.path.join(consumer, "CMakeLists.txt"), "w", encoding="utf-8") as f:
        f.write(CONSUMER_HEAD + block.text)
    shutil.copy(os.path.join(copy, "examples", "cpp", "example.cpp"),
                os.path.join(consumer, "main.cpp"))
    build = os.path.join(consumer, "build")
    prefix = os.path.join(env["HOME"], ".local")
    for command in (
        ["cmake", "-S", consumer, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}"],
        ["cmake", "--build", build],
        [os.path.join(build, "app")],
    ):
        subprocess.run(command, cwd=copy, env=env, check=True)


def run_block(block: Block, copy: str, env: dict[str, str]) -> None:
    if block.language == "sh":
        subprocess.run(["bash", "-e", "-c", block.text], cwd=copy, env=env, check=True)
    elif block.language == "python":
        python = os.path.join(copy, ".venv", "bin", "python")
        subprocess.run([python, "-c", block.text], cwd=copy, env=env, check=True)
    else:
        run_cmake_block(block, copy, env)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    args = parser.parse_args()

    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        blocks = [b for b in code_blocks(f.read()) if b.language in RUN_LANGUAGES]
    scratch = tempfile.mkdtemp(prefix="vantrel-readme-")
    copy = os.path.join(scratch, "vantrel")
    copy_tree(copy)
    provide_inputs(copy)
    env = environment(scratch, copy)
    failed = None
    for block in blocks:
        where = f"README.md:{block.line} ({block.language})"
        if block.skipped:
            print(f"-- {where}: skipped", flush=True)
            continue
        print(f"== {where}", flush=True)
        began = time.monotonic()
        try:
            run_block(block, copy, env)
        except subprocess.CalledProcessError as exc:
            failed = f"{where} failed: {exc}"
            break
        print(f"-- {where}: done in {time.monotonic() - began:.0f} s", flush=True)
    if failed:
        print(f"!! {failed}\n!! the copy is kept in {scratch}", file=sys.stderr)
        return 1
    if args.keep:
        print(f"-- the copy is in {scratch}")
    else:
        shutil.rmtree(scratch)
    ran = sum(not b.skipped for b in blocks)
    print(f"== README: {ran} blocks ran, {len(blocks) - ran} skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
