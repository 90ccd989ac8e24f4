"""Mutants generated from the C++ sources by a small operator pass, for tools/mutate.py.

Each operator rewrites one token (or one statement) of one line. Lines are read with their
comments, string and character literals blanked out, so that nothing inside them is mutated and
operators never match across a literal; the mutated line keeps the original text everywhere else.
clang-format writes every binary operator with a space on each side and template brackets
without, so a comparison is recognised by the spaces around it.

Operators:
  flip     < <=, > >=, == != (each way)
  bound    an integer literal +-1 in a condition or an index, or a comparison's bound +1
  drop     an assignment, a call whose result is unused, a `return` of an error value
  swap     the operands of - / % << >> when both are single terms
  logic    && ||
  not      a removed !
"""

from __future__ import annotations

import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

SOURCE_SUFFIXES = (".cpp", ".h")
# Production C++ whose faults the suites should catch; tests, benchmarks and tools are not mutated.
PRODUCTION_DIRS = ("codec", "wavelet", "support", "capi", "hdf5", "python")


@dataclass(frozen=True)
class LineMutant:
    file: str  # relative to the tree's root
    line: int  # 1-based
    operator: str
    original: str  # the whole line
    mutated: str

    @property
    def name(self) -> str:
        return f"{self.file}:{self.line}:{self.operator}"

    def describe(self) -> str:
        return f"{self.file}:{self.line} [{self.operator}] {self.original.strip()}  ->  " \
               f"{self.mutated.strip()}"


def area_of(path: str) -> str:
    """The area a file reports under: its top-level directory, or a Python module's package."""
    if path.endswith(".py"):
        return path.rsplit("/", 1)[0] + "/"
    return path.split("/", 1)[0] + "/"


def group_of(path: str) -> str:
    """The file group a file reports under: its path without suffix, vector kernels and tables
    beside their scalar file (codec/passes_avx2.cpp and codec/passes.h are codec/passes)."""
    stem = path.rsplit(".", 1)[0]
    return re.sub(r"_(avx2|kernels|scalar|neon)$", "", stem)


# --- masking -------------------------------------------------------------------------------------


def masked_lines(text: str) -> list[str]:
    """The file's lines with comments and the insides of string and character literals replaced
    by spaces (quotes are kept), so columns still match the original."""
    out = []
    in_block = False
    for line in text.split("\n"):
        chars = list(line)
        i = 0
        n = len(chars)
        while i < n:
            if in_block:
                if line.startswith("*/", i):
                    chars[i] = chars[i + 1] = " "
                    in_block = False
                    i += 2
                else:
                    chars[i] = " "
                    i += 1
                continue
            c = line[i]
            if line.startswith("//", i):
                for k in range(i, n):
                    chars[k] = " "
                break
            if line.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                in_block = True
                i += 2
                continue
            if c == "R" and line.startswith('R"', i):  # raw strings: blank to the line's end
                for k in range(i, n):
                    chars[k] = " "
                break
            if c in "\"'" and not (c == "'" and i > 0 and line[i - 1].isalnum()):  # 1'000 digits
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                for k in range(i + 1, min(j, n)):
                    chars[k] = " "
                i = j + 1
                continue
            i += 1
        out.append("".join(chars))
    return out


# Lines that never change behaviour or only state what must hold.
SKIP_LINE = re.compile(r"^\s*(#|assert\s*\(|static_assert\s*\(|using\b|namespace\b|template\b"
                       r"|(public|private|protected)\s*:|asm\b|\")")
# Message texts and formatting: changing them is the hand-written table's business.
SKIP_CALL = re.compile(r"\b(format|snprintf|printf|fprintf|PyErr_\w+|raise_with_text)\s*\(")


def is_mutable_line(masked: str, asm_depth: int) -> bool:
    stripped = masked.strip()
    if not stripped or asm_depth > 0 or stripped.endswith("\\"):
        return False
    if SKIP_LINE.match(masked) or SKIP_CALL.search(masked):
        return False
    return True


# --- operators -----------------------------------------------------------------------------------

# A single term: a name with member accesses, optional call parentheses or one index, or a number.
TERM = r"(?:[A-Za-z_]\w*(?:(?:\.|->|::)[A-Za-z_]\w*)*(?:\(\)|\[[^\[\]]*\])?|\d+(?:\.\d*)?[uUlLfF]*)"
TERM_BEFORE = r"(?<![\w.\])>:])"  # the term is not itself the tail of a longer operand
TERM_AFTER = r"(?![\w.(\[<]|->|::)"

COMPARISON = re.compile(r"(?<=[\w)\]] )(<=|>=|==|!=|<|>)(?= [\w(!\-*&+~\"'])")
FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
SWAPPABLE = re.compile(TERM_BEFORE + r"(" + TERM + r") (-|/|%|<<|>>) (" + TERM + r")"
                       + TERM_AFTER)
LOGIC = re.compile(r" (&&|\|\|) ")
NOT = re.compile(r"(?<![\w)\]])!(?!=)")
INT_LITERAL = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uU]?[lL]{0,2})(?![\w.'])")
CONDITION = re.compile(r"^\s*(?:\}\s*else\s+)?(?:if|while|for)\s*\(|\?|\breturn\b.*(?:<|>|==|!=)")
# The bound must be the comparison's whole right operand, or "+ 1" would bind to part of it.
COMPARED_BOUND = re.compile(r"(?<=[\w)\]] )(<=|>=|<|>) (" + TERM + r")" + TERM_AFTER
                            + r"(?=\s*(?:\)|;|\?|&&|\|\||,|$))")

ASSIGNMENT = re.compile(r"^(\s*)(?:[A-Za-z_][\w.\[\]>*-]*|\*\w+|\+\+\w[\w.\[\]>-]*|\w[\w.\[\]>-]*"
                        r"\+\+|--\w+|\w+--)(?:\s*(?:[-+*/%&|^]|<<|>>)?=\s*.*)?;\s*$")
CALL_STATEMENT = re.compile(r"^(\s*)[A-Za-z_][\w.:>-]*(?:<[\w:, ]*>)?\([^;]*\);\s*$")
ERROR_RETURN = re.compile(r"^(\s*(?:(?:\}\s*else\s+)?if\s*\(.*\)\s*)?)return\s+([A-Z]\w*Error"
                          r"::\w+\b.*|[A-Za-z_]\w*\.error\(\).*|std::move\(\w+\)\.error\(\));\s*$")
IF_BODY = re.compile(r"^(\s*(?:\}\s*else\s+)?if\s*\((?P<cond>.*)\)\s+)(?P<body>[^{}]+;)\s*$")
# Declarations and the statements whose removal cannot compile or changes nothing.
NOT_DROPPABLE = re.compile(r"^\s*(return|break|continue|case|default|goto|else|do|const\b|auto\b"
                           r"|static\b|constexpr\b|VANTREL_ASSIGN_OR_RETURN|std::unique_ptr|"
                           r"std::vector|std::span|std::optional|struct\b|class\b|enum\b)")


def _replace(line: str, start: int, end: int, text: str) -> str:
    return line[:start] + text + line[end:]


def _balanced(s: str) -> bool:
    return s.count("(") == s.count(")") and s.count("[") == s.count("]")


def line_mutants(line: str, masked: str) -> list[tuple[str, str]]:
    """(operator, mutated line) for every mutant of one line; `masked` is the line as
    masked_lines gives it."""
    out: list[tuple[str, str]] = []
    for m in COMPARISON.finditer(masked):
        op = m.group(1)
        out.append(("flip", _replace(line, m.start(1), m.end(1), FLIPS[op])))
    for m in COMPARED_BOUND.finditer(masked):
        bound = line[m.start(2):m.end(2)]
        if not bound[0].isdigit():
            out.append(("bound", _replace(line, m.start(2), m.end(2), f"{bound} + 1")))
    in_condition = bool(CONDITION.search(masked))
    for m in INT_LITERAL.finditer(masked):
        value = int(m.group(1), 0) if m.group(1)[:2].lower() == "0x" else int(m.group(1))
        depth = masked[:m.start()].count("[") - masked[:m.start()].count("]")
        if not in_condition and depth <= 0:
            continue
        suffix = m.group(2)
        for delta in (1, -1):
            if value + delta >= 0:
                text = hex(value + delta) if m.group(1)[:2].lower() == "0x" else str(value + delta)
                out.append(("bound", _replace(line, m.start(), m.end(), text + suffix)))
    for m in SWAPPABLE.finditer(masked):
        a, op, b = line[m.start(1):m.end(1)], m.group(2), line[m.start(3):m.end(3)]
        if a != b:
            out.append(("swap", _replace(line, m.start(), m.end(), f"{b} {op} {a}")))
    for m in LOGIC.finditer(masked):
        other = "||" if m.group(1) == "&&" else "&&"
        out.append(("logic", _replace(line, m.start(1), m.end(1), other)))
    for m in NOT.finditer(masked):
        out.append(("not", _replace(line, m.start(), m.end(), "")))
    out.extend(_drops(line, masked))
    seen = set()
    unique = []
    for op, mutated in out:
        if mutated != line and mutated not in seen:
            seen.add(mutated)
            unique.append((op, mutated))
    return unique


def _drops(line: str, masked: str) -> list[tuple[str, str]]:
    indent = line[:len(line) - len(line.lstrip())]
    m = ERROR_RETURN.match(masked)
    if m is not None:
        prefix = line[:m.end(1)]
        return [("drop", prefix + "{}" if prefix.strip() else indent + ";")]
    m = IF_BODY.match(masked)
    if m is not None and _balanced(m.group("cond")) and not NOT_DROPPABLE.match(m.group("body")):
        return [("drop", line[:m.end(1)] + "{}")]
    if NOT_DROPPABLE.match(masked) or not _balanced(masked):
        return []
    stripped = masked.strip()
    # A statement continued from the line before starts with an operator or a closing bracket.
    if not stripped or not (stripped[0].isalpha() or stripped[0] in "_*+-"):
        return []
    if ASSIGNMENT.match(masked) or CALL_STATEMENT.match(masked):
        return [("drop", indent + ";")]
    return []


def _continues_statement(previous: str) -> bool:
    """Whether the statement on the line before is still open (so this line is part of it)."""
    p = previous.rstrip()
    return bool(p) and p[-1] not in ";{}:" and not p.lstrip().startswith("#")


def file_mutants(root: Path, rel: str, lines: set[int] | None = None) -> list[LineMutant]:
    """Every mutant of one file, or of the given 1-based lines of it."""
    text = (root / rel).read_text()
    original = text.split("\n")
    masked = masked_lines(text)
    out = []
    asm_depth = 0
    for i, (line, mline) in enumerate(zip(original, masked)):
        if re.search(r"\basm\s*\(", mline):
            asm_depth = 1
        if asm_depth:
            if ";" in mline:
                asm_depth = 0
            continue
        if lines is not None and i + 1 not in lines:
            continue
        if not is_mutable_line(mline, asm_depth):
            continue
        for op, mutated in line_mutants(line, mline):
            if op == "drop" and i > 0 and _continues_statement(masked[i - 1]):
                continue
            out.append(LineMutant(rel, i + 1, op, line, mutated))
    return out


# --- which lines ---------------------------------------------------------------------------------


def is_production_source(rel: str) -> bool:
    return rel.endswith(SOURCE_SUFFIXES) and rel.split("/", 1)[0] in PRODUCTION_DIRS


def expand_paths(root: Path, patterns: list[str]) -> list[str]:
    """The production C++ files named by paths, directories or glob patterns, relative to root."""
    files: set[str] = set()
    for pattern in patterns:
        pattern = pattern.rstrip("/")
        matches = list(root.glob(pattern)) or []
        for p in matches:
            if p.is_dir():
                matches.extend(q for q in p.rglob("*") if q.is_file())
        for p in matches:
            rel = p.relative_to(root).as_posix()
            if p.is_file() and is_production_source(rel):
                files.add(rel)
    return sorted(files)


def changed_lines(root: Path, rev: str, *pathspecs: str) -> dict[str, set[int]]:
    """Lines added or changed in the working tree since `rev`, by file (git diff -U0)."""
    diff = subprocess.run(["git", "-C", str(root), "diff", "-U0", "--no-color", rev, "--",
                           *pathspecs], stdout=subprocess.PIPE, text=True, check=True).stdout
    out: dict[str, set[int]] = {}
    current = None
    for line in diff.splitlines():
        if line.startswith("+++ "):
            current = line[6:] if line.startswith("+++ b/") else None
        elif line.startswith("@@") and current is not None:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            out.setdefault(current, set()).update(range(start, start + count))
    return {f: ls for f, ls in out.items() if ls}


def generate(root: Path, paths: list[str], diff_rev: str | None) -> list[LineMutant]:
    """The mutants of the named files (all production C++ when none are named), restricted to
    the lines changed since `diff_rev` when it is given."""
    files = expand_paths(root, paths or list(PRODUCTION_DIRS))
    selected: dict[str, set[int] | None] = {f: None for f in files}
    if diff_rev is not None:
        changed = changed_lines(root, diff_rev)
        selected = {f: ls for f, ls in changed.items() if f in selected or
                    (not paths and is_production_source(f))}
    out = []
    for rel in sorted(selected):
        if (root / rel).exists():
            out.extend(file_mutants(root, rel, selected[rel]))
    return out
