#!/usr/bin/env python3
"""Mutation testing of the whole suite: plants one single-line fault at a time in the C++ sources
of engine/ and tarvelo/native/, builds it and runs the suite against it (the engine's GoogleTest
binary, then pytest over tests/python). A mutant is caught when a test fails, crashes or runs out
of time; a mutant that does not build is stillborn and one whose object code is byte for byte the
unmutated one is equivalent: neither is counted.

    .venv/bin/python scripts/mutate.py --sample 200 --seed 1          # a run of 200 drawn at random
    .venv/bin/python scripts/mutate.py --list --files 'engine/elements/load*'
    .venv/bin/python scripts/mutate.py --only engine/elements/load.cpp:48:2 -v

Workers: build/mutation/w<N>/ holds a copy of the sources (src/), an incremental Release build
with the engine tests and the module (build/), the pristine object files of that build (objects/)
and a package folder put on PYTHONPATH (pkg/tarvelo: the package's Python files and the built
cy_engine module). Before a mutant the worker writes the mutated file into its copy; after it,
the original text goes back with its original time stamp and every object file the mutant
rebuilt is replaced by its pristine copy, so that the next build compiles only the next mutant.
Every run first builds and runs the unmutated tree in each worker, and ends by checking that
each worker's binaries are again the unmutated ones.

Results: a progress line per mutant, a summary, build/mutation/results.json (everything) and
build/mutation/survivors.txt (the survivors, by file). Standard library only.
"""

from __future__ import annotations

import argparse
import dataclasses
import fnmatch
import json
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections import Counter, defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ("engine", "tarvelo/native")
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".cc")
# What a worker copies: everything the build and the tests read.
SYNC_ENTRIES = ("CMakeLists.txt", "cmake", "docs", "engine", "tarvelo", "tests", "src")
SYNC_SKIP = ("__pycache__", ".pytest_cache", ".hypothesis")
OUT = ROOT / "build" / "mutation"
VENV = ROOT / ".venv"

KINDS = ("arith", "relational", "equality", "logical", "compound", "not", "negate", "conj",
         "real-imag", "constant", "bool", "remove-check", "remove-statement", "break-continue",
         "loop-bound")

# ---------------------------------------------------------------------------------------------
# Mutant generation
# ---------------------------------------------------------------------------------------------

HIDE = "\x01"  # stands for every character of a string or character literal in masked text


def mask(text: str) -> str:
    """The text with comments blanked and literal contents hidden, column for column."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "'" and i > 0 and text[i - 1].isdigit() and i + 1 < n and text[i + 1].isalnum():
            out.append(c)  # a digit separator
            i += 1
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] not in (c, "\n"):
                j += 2 if text[j] == "\\" else 1
            j = min(j, n - 1)
            out.append(c + HIDE * (j - i - 1) + text[j])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


@dataclasses.dataclass
class Mutant:
    path: str  # relative to the repository
    line: int  # first line, from 1
    k: int  # index among the candidates of that line, from 1
    kind: str
    end: int  # last line replaced (the same as `line` but for a statement spread over lines)
    before: list[str]
    after: list[str]
    weight: float = 1.0  # 1 / number of candidates on the line

    @property
    def id(self) -> str:
        return f"{self.path}:{self.line}:{self.k}"

    def describe(self) -> str:
        if self.kind.startswith("remove") or self.kind == "break-continue":
            return "removed: " + " ".join(s.strip() for s in self.before)
        return f"{self.before[0].strip()}  ->  {self.after[0].strip()}"


# Binary operators as clang-format writes them: one space on each side.
SWAPS = [
    ("arith", " + ", " - "), ("arith", " - ", " + "), ("arith", " * ", " / "),
    ("arith", " / ", " * "),
    ("relational", " < ", " <= "), ("relational", " <= ", " < "), ("relational", " > ", " >= "),
    ("relational", " >= ", " > "),
    ("equality", " == ", " != "), ("equality", " != ", " == "),
    ("logical", " && ", " || "), ("logical", " || ", " && "),
    ("compound", " += ", " -= "), ("compound", " -= ", " += "), ("compound", " *= ", " /= "),
    ("compound", " /= ", " *= "), ("compound", " += ", " = "), ("compound", " -= ", " = "),
    ("compound", " *= ", " = "), ("compound", " /= ", " = "),
]
NUMBER = re.compile(
    r"(?<![\w.])(\d+\.\d*(?:[eE][+-]?\d+)?|\d+[eE][+-]?\d+|\d+)([uUlLfF]*)(?![\w.'])")
NUMERIC_EXPR = re.compile(
    r" [-+*/] |\.real\(|\.imag\(|conj\(|std::(?:abs|sqrt|exp|log|hypot|polar|max|min|pow|"
    r"atan2|cos|sin|fma|tanh|norm|arg)\b|static_cast<|\.sum\(|\.norm\(|squaredNorm|divide\(|"
    r"potential<|value_of<")
NOT_AN_OPERAND = re.compile(r"^\s*(?:\{|\"|new\b|nullptr|this\b|true\b|false\b|&|\[|std::move|"
                            r"std::make_|std::string|none\(|Ref\b|Py)")
TRUTH = re.compile(r" (?:&&|\|\||==|!=|<=|>=|<|>) |^!")
# A constructor or destructor declared in a class: Name(...); or ~Name(); or = default / delete.
MEMBER_DECLARATION = re.compile(r"^(?:explicit\s+)?~?[A-Z]\w*\(.*\)\s*(?:const\s*)?(?:noexcept\s*)?"
                                r"(?:override\s*)?;$|=\s*(?:default|delete);$")
STATEMENT_KEYWORDS_KEPT = {"return", "co_return", "using", "typedef", "template", "static_assert",
                           "friend", "namespace", "case", "default", "public", "private",
                           "protected", "else", "do", "switch", "try", "catch", "goto",
                           "extern", "struct", "class", "enum", "union"}
DECLARATION = re.compile(
    r"^(?:(?:const|constexpr|consteval|constinit|static|inline|thread_local|mutable|volatile|"
    r"unsigned|signed|long|short|typename|virtual|explicit)\s+)*"
    r"(?:::)?[A-Za-z_]\w*(?:<[^;]*>)?(?:::[A-Za-z_~]\w*(?:<[^;]*?>)?)*[\s*&]+[*&]*\s*"
    r"(?:[A-Za-z_~]\w*|\[)")
LABEL = re.compile(r"^(?:case\b.*|default|public|private|protected)\s*:$")
LOG_ONLY = re.compile(r"^(?:spdlog::|SPDLOG_)")


def template_depths(code: str) -> list[int]:
    """For each column, how deep it sits inside template angle brackets (a `<` written against
    the name before it, or `template <`)."""
    depth, out = 0, []
    for i, c in enumerate(code):
        if c == "<" and i + 1 < len(code) and code[i + 1] not in "<=" and i > 0 and \
                (re.match(r"[\w>]", code[i - 1]) or code[:i].rstrip().endswith("template")) and \
                code[i - 1] != "<":
            out.append(depth)
            depth += 1
            continue
        if c == ">" and depth > 0 and code[i - 1] != "-" and not code.startswith(">=", i):
            depth -= 1
        out.append(depth)
    return out


def matching_paren(code: str, open_at: int) -> int:
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def statement_starts(masked: list[str]) -> list[int | None]:
    """For each line, the line (index) where the statement holding it starts, or None for a
    line without code."""
    starts: list[int | None] = [None] * len(masked)
    current = None
    previous = ""  # the last line of code before
    continued = False  # inside a preprocessor line continued by a backslash
    for i, line in enumerate(masked):
        code = line.strip()
        if not code:
            continue
        if continued or code.startswith("#"):
            continued = code.endswith("\\")
            starts[i] = i  # preprocessor lines stand alone (and are skipped)
            previous = ";"
            current = None
            continue
        if current is None or previous.endswith((";", "{", "}")) or LABEL.match(previous):
            current = i
        starts[i] = current
        previous = code
    return starts


def parens_balance(code: str) -> int:
    return code.count("(") + code.count("[") - code.count(")") - code.count("]")


def statement_span(masked: list[str], first: int, starts: list[int | None]) -> int | None:
    """The last line of the plain statement starting at `first` (ending with `;` with balanced
    parentheses and no block in it), or None."""
    balance, braces = 0, 0
    for j in range(first, min(first + 10, len(masked))):
        code = masked[j].strip()
        if not code:
            continue
        if j > first and starts[j] != first:
            return None
        balance += parens_balance(code)
        braces += code.count("{") - code.count("}")
        if braces < 0 or (code.endswith("{") and braces > 0):
            return None
        if code.endswith(";"):
            return j if balance == 0 and braces == 0 else None
    return None


def removal(masked: list[str], lines: list[str], first: int, last: int) -> str | None:
    """The kind of the mutant that removes the statement on lines first..last, or None when its
    removal is not a mutant worth building (a declaration, a return of a value, a log line)."""
    code = " ".join(masked[j].strip() for j in range(first, last + 1))
    word = re.match(r"[A-Za-z_]\w*|\S", code).group(0)
    if code.startswith("}") or LOG_ONLY.match(code):
        return None
    if code in ("break;", "continue;"):
        return "break-continue"
    if code == "return;" or word == "throw":
        return "remove-check"
    if word in STATEMENT_KEYWORDS_KEPT:
        return None
    if word in ("if", "for", "while"):
        # A one-statement if or loop without braces; never when an else follows.
        if re.search(r"\belse\b", code):
            return None
        following = next((m.strip() for m in masked[last + 1:] if m.strip()), "")
        if re.match(r"(?:\}\s*)?else\b", following):
            return None
        if word == "if":
            return "break-continue" if re.search(r"\)\s*(?:break|continue);$", code) \
                else "remove-check"
        return "remove-statement"
    if word == "delete":
        return "remove-statement"
    if DECLARATION.match(code) or MEMBER_DECLARATION.search(code):
        return None
    if re.search(r"(?:^|[.>])(?:require|raise)\(", code):
        return "remove-check"
    return "remove-statement"


def line_mutants(code: str, line: str, statement_first: bool, one_line_statement: bool):
    """(kind, new line) for every line-level mutant of one line; `code` is the masked line."""
    depths = template_depths(code)
    out = []

    def at(i: int, length: int, new: str, kind: str):
        out.append((kind, line[:i] + new + line[i + length:]))

    for kind, old, new in SWAPS:
        for m in re.finditer(re.escape(old), code):
            i = m.start()
            # ` < ` after `template` opens a parameter list; `a - -b` and `x = -y` are unary.
            if old == " < " and code[:i].rstrip().endswith("template"):
                continue
            if old in (" < ", " > ") and i > 0 and code[i - 1] in "<>-=":
                continue
            at(i, len(old), new, kind)

    for m in re.finditer(r"!(?!=)", code):
        at(m.start(), 1, "", "not")

    # A unary minus dropped: after an operator, an opening bracket, a comma or a keyword.
    for m in re.finditer(r"-(?=[\w(.])", code):
        i = m.start()
        before = code[:i].rstrip()
        if depths[i] or (i > 0 and code[i - 1] in "-"):
            continue
        if not before or before[-1] in "([{,=?:!&|+-*/<>%" or re.search(r"\b(?:return|case)$",
                                                                          before):
            at(i, 1, "", "negate")

    # A unary minus added: to the value returned or assigned by a one-line statement.
    if statement_first and one_line_statement:
        m = re.match(r"(\s*return )(.*);\s*$", code)
        if not m:
            m = re.match(r"(\s*[^=;]*?\S (?:[-+*/]?=) )(.*);\s*$", code)
            if m and re.search(r"[<>!=]$", m.group(1).rstrip()[:-1]):
                m = None
        # Only numbers: no truth value, pointer or reference, no braced list or literal text.
        if m and m.group(2) and parens_balance(m.group(2)) == 0 and \
                NUMERIC_EXPR.search(m.group(2)) and not NOT_AN_OPERAND.match(m.group(2)) and \
                HIDE not in m.group(2) and not TRUTH.search(m.group(2)) and \
                not re.search(r"[*&]\s*\w+\s*=\s*$|[{}]|\benum\b", m.group(1)) and \
                parens_balance(m.group(1)) == 0:
            start, stop = m.start(2), m.end(2)
            out.append(("negate", line[:start] + "-(" + line[start:stop] + ")" + line[stop:]))

    for m in re.finditer(r"(?<![\w.])(?:std::)?conj\(", code):
        close = matching_paren(code, m.end() - 1)
        if close < 0:
            continue
        argument = line[m.end():close]
        simple = re.fullmatch(r"[\w.:\[\]>-]+(?:\(\))?", argument.strip()) is not None
        out.append(("conj", line[:m.start()] + (argument if simple else f"({argument})") +
                    line[close + 1:]))
    for m in re.finditer(r"(?<=\.)(real|imag)(?=\()|(?<=std::)(real|imag)(?=\()", code):
        at(m.start(), 4, "imag" if m.group(0) == "real" else "real", "real-imag")

    for m in NUMBER.finditer(code):
        if depths[m.start()] or re.match(r"0;\s*$", code[m.start():]) and \
                re.search(r"\)[\w\s]*= $", code[:m.start()]):  # not the `= 0` of a pure virtual
            continue
        text = m.group(1)
        if re.fullmatch(r"\d+", text):
            value = int(text)
            new = {0: "1", 1: "0"}.get(value, str(value + 1))
        else:
            value = float(text)
            fixed = {0.0: "1.0", 1.0: "0.0", 0.5: "0.25", 2.0: "3.0"}
            new = fixed.get(value) or repr(value * 2)
        at(m.start(1), len(text), new, "constant")

    for m in re.finditer(r"\b(true|false)\b", code):
        at(m.start(), len(m.group(0)), "false" if m.group(0) == "true" else "true", "bool")

    # Loop bounds off by one: for (init; i < n; ...) -> i < n - 1 (n + 1 counting down).
    m = re.search(r"\bfor \(", code)
    if m:
        close = matching_paren(code, m.end() - 1)
        header = code[m.end():close] if close > 0 else ""
        parts = header.split(";")
        if len(parts) == 3 and not re.search(r"&&|\|\|", parts[1]):
            cond_at = m.end() + len(parts[0]) + 1
            c = re.search(r" (<|<=|!=|>|>=) ", parts[1])
            if c:
                bound_end = cond_at + len(parts[1])
                tail = " + 1" if c.group(1) in (">", ">=") else " - 1"
                bound = line[cond_at + c.end():bound_end]
                out.append(("loop-bound", line[:cond_at + c.end()] +
                            (bound + tail if re.fullmatch(r"[\w.:()\->]+", bound) else
                             f"({bound}){tail}") + line[bound_end:]))
    return out


def skip_line(code: str, statement: str) -> bool:
    """Lines that carry no mutable logic: preprocessor, declarations of templates and names,
    static assertions and log calls (judged by the statement they belong to)."""
    if not code or code.startswith("#") or re.fullmatch(r"[{}();,\s]*", code):
        return True
    return bool(re.match(r"(?:template\b|using\b|typedef\b|namespace\b|static_assert\b|friend\b|"
                         r"extern \"|#)", statement) or LOG_ONLY.match(statement))


def file_mutants(path: str, text: str) -> list[Mutant]:
    lines = text.split("\n")
    masked = mask(text).split("\n")
    starts = statement_starts(masked)
    by_line: dict[int, list[tuple[str, int, list[str]]]] = defaultdict(list)
    for i, code in enumerate(masked):
        if starts[i] is None:
            continue
        statement = masked[starts[i]].strip()
        if skip_line(code.strip(), statement):
            continue
        first = starts[i] == i
        span_end = statement_span(masked, i, starts) if first else None
        for kind, new in line_mutants(code, lines[i], first, span_end == i):
            if new != lines[i]:
                by_line[i].append((kind, i, [new]))
        if first and span_end is not None:
            kind = removal(masked, lines, i, span_end)
            if kind:
                # An empty statement stands in for the removed one (a label needs one).
                indent = lines[i][:len(lines[i]) - len(lines[i].lstrip())]
                by_line[i].append((kind, span_end, [indent + ";"] + [""] * (span_end - i)))
    mutants = []
    for i in sorted(by_line):
        seen, unique = set(), []
        for kind, end, after in by_line[i]:
            if (end, tuple(after)) not in seen:
                seen.add((end, tuple(after)))
                unique.append((kind, end, after))
        for k, (kind, end, after) in enumerate(unique, 1):
            mutants.append(Mutant(path, i + 1, k, kind, end + 1, lines[i:end + 1], after,
                                  1.0 / len(unique)))
    return mutants


def source_files() -> list[str]:
    files = []
    for top in SOURCE_DIRS:
        for p in sorted((ROOT / top).rglob("*")):
            if p.is_file() and p.suffix in SOURCE_SUFFIXES:
                files.append(p.relative_to(ROOT).as_posix())
    return files


def mutated_text(text: str, m: Mutant) -> str:
    lines = text.split("\n")
    assert lines[m.line - 1:m.end] == m.before, f"{m.id}: the source changed"
    lines[m.line - 1:m.end] = m.after
    return "\n".join(lines)


def draw(mutants: list[Mutant], n: int, seed: int) -> list[Mutant]:
    """n mutants drawn without replacement, each line of code as likely as any other whatever
    the number of candidates on it (weighted sampling by exponential keys)."""
    rng = random.Random(seed)
    keyed = sorted(mutants, key=lambda m: rng.random() ** (1.0 / m.weight), reverse=True)
    chosen = {id(m) for m in keyed[:n]}
    return [m for m in mutants if id(m) in chosen]


# ---------------------------------------------------------------------------------------------
# Workers
# ---------------------------------------------------------------------------------------------

class Stopped(Exception):
    pass


def run(command, *, cwd, env=None, timeout=None, worker=None):
    """Runs a command in its own process group; returns (exit status or None on timeout, output,
    seconds). The whole group is killed on a timeout or when the run is stopped."""
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               start_new_session=True)
    if worker:
        worker.process = process
    try:
        output, _ = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        kill_group(process)
        output, _ = process.communicate()
        status = None
    finally:
        if worker:
            worker.process = None
    if worker and worker.stopping.is_set():
        raise Stopped
    return status, output.decode(errors="replace"), time.monotonic() - start


def kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def cppad_library_dir() -> str:
    code = ("import sys, pathlib; print(next(str(p / 'cmeel.prefix' / 'lib') for p in "
            "map(pathlib.Path, sys.path) if (p / 'cmeel.prefix' / 'lib').is_dir()))")
    return subprocess.run([str(VENV / "bin/python"), "-c", code], check=True,
                          capture_output=True, text=True).stdout.strip()


def first_match(pattern: str, text: str, default: str = "") -> str:
    m = re.search(pattern, text, re.M)
    return m.group(1).strip() if m else default


class Worker:
    def __init__(self, number: int, options, stopping: threading.Event):
        self.number = number
        self.dir = OUT / f"w{number}"
        self.src = self.dir / "src"
        self.build = self.dir / "build"
        self.objects = self.dir / "objects"
        self.pkg = self.dir / "pkg"
        self.scratch = self.dir / "run"
        self.options = options
        self.stopping = stopping
        self.process = None
        self.object_times: dict[str, int] = {}
        self.mutated: tuple[Path, bytes, int, int] | None = None
        self.test_order: list[str] = []
        self.binaries: dict[str, bytes] = {}

    # ---- the copy of the sources ----

    def sync(self) -> int:
        """Makes src/ the repository's sources; files whose text is already the same keep their
        time stamps (and so their objects). Returns the number of files written."""
        written, wanted = 0, set()
        for entry in SYNC_ENTRIES:
            origin = ROOT / entry
            paths = [origin] if origin.is_file() else sorted(origin.rglob("*"))
            for p in paths:
                if not p.is_file() or any(part in SYNC_SKIP for part in p.parts) or \
                        p.suffix in (".pyc", ".so"):
                    continue
                relative = p.relative_to(ROOT)
                wanted.add(relative)
                target = self.src / relative
                data = p.read_bytes()
                if not target.is_file() or target.read_bytes() != data:
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(data)
                    written += 1
        for entry in SYNC_ENTRIES:
            copy = self.src / entry
            for p in sorted(copy.rglob("*"), reverse=True) if copy.is_dir() else []:
                relative = p.relative_to(self.src)
                if p.is_file() and relative not in wanted and \
                        not any(part in SYNC_SKIP for part in p.parts):
                    p.unlink()
        return written

    def environment(self) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
        env["PYTHONPATH"] = str(self.pkg)
        env["LD_LIBRARY_PATH"] = os.pathsep.join(
            filter(None, [self.options.cppad_lib, os.environ.get("LD_LIBRARY_PATH")]))
        if self.options.derandomize:
            env["CI"] = "true"  # the randomized test draws the same examples every time
        for threads in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[threads] = "1"
        return env

    # ---- build ----

    def configure(self):
        if (self.build / "build.ninja").is_file():
            return
        command = [str(VENV / "bin/cmake"), "-S", str(self.src), "-B", str(self.build), "-G",
                   "Ninja", f"-DCMAKE_MAKE_PROGRAM={VENV / 'bin/ninja'}",
                   "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={VENV / 'bin/python'}",
                   "-DTARVELO_BUILD_TESTS=ON", "-DTARVELO_BUILD_MODULE=ON",
                   # The test list is read when the tests run, not by running the freshly
                   # linked binary as a build step (a mutant that crashes there is caught,
                   # not stillborn).
                   "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                   "-DCMAKE_CXX_SCAN_FOR_MODULES=OFF"]
        status, output, _ = run(command, cwd=self.dir, worker=self)
        if status != 0:
            raise RuntimeError(f"worker {self.number}: cmake failed\n{output[-4000:]}")

    def compile(self, targets=("engine_tests", "cy_engine"), timeout=None):
        command = [str(VENV / "bin/ninja"), "-C", str(self.build), "-j",
                   str(self.options.build_jobs), *targets]
        return run(command, cwd=self.dir, timeout=timeout, worker=self)

    def engine_tests(self) -> Path:
        return self.build / "tests/engine/engine_tests"

    def module(self) -> Path:
        found = sorted((self.build / "tarvelo/native").glob("cy_engine*.so"))
        if not found:
            raise RuntimeError(f"worker {self.number}: no cy_engine module was built")
        return found[0]

    def linked_outputs(self) -> list[Path]:
        return [*self.build.rglob("*.a"), self.engine_tests(),
                *(self.build / "tarvelo/native").glob("cy_engine*.so")]

    def object_files(self) -> list[Path]:
        return sorted(self.build.rglob("*.o"))

    def snapshot_objects(self):
        """Keeps the unmutated tree's object files and their time stamps."""
        shutil.rmtree(self.objects, ignore_errors=True)
        self.object_times = {}
        for o in self.object_files():
            relative = o.relative_to(self.build).as_posix()
            target = self.objects / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(o, target)
            self.object_times[relative] = o.stat().st_mtime_ns

    def changed_objects(self) -> list[str]:
        changed = []
        for relative, stamp in self.object_times.items():
            live = self.build / relative
            if not live.exists() or live.stat().st_mtime_ns != stamp:
                changed.append(relative)
        return changed

    def restore_objects(self):
        """Puts the pristine object files back. Each keeps the time stamp of the object it
        replaces (ninja's dependency log holds that stamp and would otherwise rebuild it); the
        archive and the binaries are made older than their inputs instead, so that the next
        build links them again."""
        changed = self.changed_objects()
        for relative in changed:
            live = self.build / relative
            stamp = live.stat().st_mtime_ns if live.exists() else self.object_times[relative]
            shutil.copyfile(self.objects / relative, live)
            os.utime(live, ns=(stamp, stamp))
            self.object_times[relative] = stamp
        if changed:
            for linked in self.linked_outputs():
                if linked.exists():
                    os.utime(linked, ns=(10**9, 10**9))

    def same_objects(self, changed: list[str]) -> bool:
        return all((self.build / r).read_bytes() == (self.objects / r).read_bytes()
                   for r in changed)

    def make_package(self):
        package = self.pkg / "tarvelo"
        shutil.rmtree(self.pkg, ignore_errors=True)
        shutil.copytree(self.src / "src/tarvelo", package,
                        ignore=shutil.ignore_patterns(*SYNC_SKIP, "*.so"))
        module = self.module()
        (package / module.name).symlink_to(module)
        self.scratch.mkdir(parents=True, exist_ok=True)

    def current_binaries(self) -> dict[str, bytes]:
        return {"engine_tests": self.engine_tests().read_bytes(),
                "cy_engine": self.module().read_bytes()}

    # ---- the suite ----

    def run_engine_tests(self, timeout: float | None):
        """Returns (status, detail, seconds, output), status 'passed', 'failed' or 'timeout'."""
        status, output, seconds = run([str(self.engine_tests()), "--gtest_brief=1"],
                                      cwd=self.scratch, env=self.environment(), timeout=timeout,
                                      worker=self)
        if status is None:
            return "timeout", "engine tests", seconds, output
        if status != 0:
            failed = first_match(r"^\[  FAILED  \] (\S+)", output)
            return "failed", f"engine {failed or describe_status(status)}", seconds, output
        return "passed", "", seconds, output

    def run_pytest(self, timeout: float | None, durations: bool = False):
        """The same for pytest over tests/python, the files in the order of test_order."""
        tests = self.src / "tests/python"
        files = self.test_order or sorted(str(p) for p in tests.glob("test_*.py"))
        command = [str(VENV / "bin/python"), "-P", "-m", "pytest", "-q", "-p",
                   "no:cacheprovider", f"--rootdir={tests}", *files]
        if not self.options.matrix:
            command.insert(4, "-x")
        if durations:
            command += ["--durations=0", "--durations-min=0"]
        status, output, seconds = run(command, cwd=self.scratch, env=self.environment(),
                                      timeout=timeout, worker=self)
        if status is None:
            return "timeout", "pytest", seconds, output
        if status != 0:
            # The failed test, else where a crash happened, else the first error line.
            failed = first_match(r"^((?:FAILED|ERROR) \S.*)$", output)
            crash = re.search(r"^\s*File \"[^\"]*/(test_\w+\.py)\", line \d+ in (\w+)", output,
                              re.M)
            if not failed and crash:
                failed = f"{crash.group(1)}::{crash.group(2)}"
            failed = failed or first_match(r"^E\s+(\S.*)$", output) or \
                first_match(r"^(\w*Error\b.*)$", output) or describe_status(status)
            crashed = " (crash)" if status < 0 or "Fatal Python error" in output else ""
            return "failed", re.sub(r"\S*tests/python/", "", failed) + crashed, seconds, output
        return "passed", "", seconds, output

    # ---- a run ----

    def prepare(self) -> dict:
        """Syncs, builds and runs the unmutated tree; raises if it does not pass."""
        self.dir.mkdir(parents=True, exist_ok=True)
        written = self.sync()
        self.configure()
        status, output, build_seconds = self.compile()
        if status != 0:
            raise RuntimeError(f"worker {self.number}: the unmutated tree does not build\n"
                               f"{output[-6000:]}")
        self.snapshot_objects()
        self.make_package()
        self.binaries = self.current_binaries()
        status, detail, seconds, output = self.run_engine_tests(None)
        if status == "passed":
            status, detail, pytest_seconds, output = self.run_pytest(None, durations=True)
            seconds += pytest_seconds
        if status != "passed":
            raise RuntimeError(f"worker {self.number}: the unmutated tree fails its tests "
                               f"({detail})\n{output[-6000:]}")
        per_file: Counter[str] = Counter()
        for m in re.finditer(r"^([\d.]+)s \w+\s+(\S+?\.py)::", output, re.M):
            per_file[Path(m.group(2)).name] += float(m.group(1))
        tests = self.src / "tests/python"
        self.test_order = sorted((str(p) for p in tests.glob("test_*.py")),
                                 key=lambda p: (per_file[Path(p).name], p))
        return {"worker": self.number, "files_written": written, "build_s": build_seconds,
                "suite_s": seconds, "pytest_file_s": dict(per_file)}

    def evaluate(self, m: Mutant, original: str, timeout: float) -> dict:
        target = self.src / m.path
        stat = target.stat()
        data = target.read_bytes()
        if data.decode() != original:
            raise RuntimeError(f"worker {self.number}: {m.path} is not the original")
        self.mutated = (target, data, stat.st_atime_ns, stat.st_mtime_ns)
        result = {"status": "", "detail": "", "build_s": 0.0, "test_s": 0.0}
        try:
            target.write_text(mutated_text(original, m))
            return self.build_and_test(result, timeout)
        finally:
            self.restore()

    def build_and_test(self, result: dict, timeout: float) -> dict:
        """The engine and its tests are built and run first: a mutant that the engine tests
        catch needs no module. A stage whose objects are the unmutated ones is not run."""
        output = ""
        for stage in ("engine_tests", "cy_engine"):
            status, output, seconds = self.compile([stage], timeout=self.options.build_timeout)
            result["build_s"] += seconds
            if status != 0:
                result["status"] = "stillborn"
                result["detail"] = first_match(r"(error: .*)$", output) or \
                    first_match(r"^(FAILED: .*)$", output) or \
                    ("build timed out" if status is None else "build failed")
                return result
            if self.same_objects(self.changed_objects()):
                if stage == "cy_engine":
                    result["status"] = "equivalent"
                    result["detail"] = "object code unchanged"
                    return result
                continue
            remaining = max(1.0, timeout - result["test_s"])
            status, detail, seconds, output = self.run_engine_tests(remaining) \
                if stage == "engine_tests" else self.run_pytest(remaining)
            result["test_s"] += seconds
            if self.options.matrix:
                # Every test that fails, engine and Python alike, whatever failed before.
                result.setdefault("failing", []).extend(failing_tests(stage, status, output))
                if stage == "engine_tests" and status != "passed":
                    result["engine_failed"] = True
                if stage != "cy_engine":
                    continue
                status = "failed" if result["failing"] else status
                detail = detail or " ".join(result["failing"][:1])
            if status != "passed" or stage == "cy_engine":
                result["status"] = {"passed": "survived", "failed": "caught",
                                    "timeout": "timeout"}[status]
                result["detail"] = detail
                break
        if self.options.verbose:
            result["output"] = output[-6000:]
        return result

    def restore(self):
        if self.mutated:
            target, data, atime, mtime = self.mutated
            target.write_bytes(data)
            os.utime(target, ns=(atime, mtime))
            self.mutated = None
            self.restore_objects()

    def check_restored(self) -> bool:
        """After the last mutant: the binaries built now are the unmutated ones again."""
        status, _, _ = self.compile()
        return status == 0 and self.current_binaries() == self.binaries


def failing_tests(stage: str, status: str, output: str) -> list[str]:
    """The tests a stage's output names as failed; a crash or time-out names the stage."""
    if stage == "engine_tests":
        names = [f"engine {m}" for m in re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)]
    else:
        names = re.findall(r"^(?:FAILED|ERROR) (\S+?)(?: - .*)?$", output, re.M)
        names = [re.sub(r"\S*tests/python/", "", n) for n in names]
    if status == "timeout" or (status == "failed" and not names):
        names.append(f"{stage} {status}")
    return names


def describe_status(status: int) -> str:
    if status < 0:
        try:
            return f"killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"signal {-status}"
    return f"exit {status}"


# ---------------------------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------------------------

def select(options) -> tuple[list[Mutant], dict[str, str]]:
    texts, mutants = {}, []
    for path in source_files():
        if options.files and not any(fnmatch.fnmatch(path, g) or
                                     path.startswith(g.rstrip("/") + "/")
                                     for g in options.files):
            continue
        texts[path] = (ROOT / path).read_text()
        mutants += file_mutants(path, texts[path])
    if options.kinds:
        mutants = [m for m in mutants if m.kind in options.kinds]
    if options.only:
        wanted = []
        for item in options.only:
            parts = item.rsplit(":", 2)
            if len(parts) == 3 and parts[2].isdigit() and parts[1].isdigit():
                matches = [m for m in mutants if m.id == item]
            else:
                path, line = item.rsplit(":", 1)
                matches = [m for m in mutants if m.path == path and str(m.line) == line]
            if not matches:
                sys.exit(f"mutate: no candidate {item} (see --list)")
            wanted += [m for m in matches if m not in wanted]
        mutants = wanted
    elif options.sample:
        mutants = draw(mutants, options.sample, options.seed)
    return mutants, texts


def list_mutants(mutants: list[Mutant], verbose: bool):
    lines_with = {(m.path, m.line) for m in mutants}
    for m in mutants:
        if verbose or len(mutants) <= 20:
            print(f"{m.id}  {m.kind}")
            for b in m.before:
                print(f"  - {b}")
            for a in m.after:
                print(f"  + {a}")
        else:
            print(f"{m.id:<44} {m.kind:<16} {m.describe()}")
    kinds = Counter(m.kind for m in mutants)
    print(f"{len(mutants)} candidates on {len(lines_with)} lines: " +
          ", ".join(f"{k} {n}" for k, n in sorted(kinds.items(), key=lambda x: -x[1])),
          file=sys.stderr)


def percent(caught: int, counted: int) -> str:
    return f"{100.0 * caught / counted:5.1f} %" if counted else "    -  "


def summarise(records: list[dict], wall: float, baseline: list[dict], timeout: float) -> dict:
    by_status = Counter(r["status"] for r in records)
    counted = [r for r in records if r["status"] in ("caught", "timeout", "survived")]
    caught = [r for r in counted if r["status"] != "survived"]
    built = [r for r in records if r["status"] != "stillborn" and r.get("build_s")]

    def table(key):
        rows = defaultdict(lambda: [0, 0])
        for r in counted:
            rows[r[key]][1] += 1
            rows[r[key]][0] += r["status"] != "survived"
        return {k: {"caught": c, "counted": n} for k, (c, n) in sorted(rows.items())}

    def mean(values):
        values = list(values)
        return sum(values) / len(values) if values else 0.0

    return {
        "mutants": len(records), "counted": len(counted), "caught": len(caught),
        "caught_percent": round(100.0 * len(caught) / len(counted), 2) if counted else None,
        "by_status": dict(by_status), "by_file": table("path"), "by_kind": table("kind"),
        "wall_s": round(wall, 1), "timeout_s": round(timeout, 1),
        "mean_build_s": round(mean(r["build_s"] for r in built), 2),
        "mean_test_s": round(mean(r["test_s"] for r in counted), 2),
        "mean_mutant_s": round(mean(r["build_s"] + r["test_s"] for r in records), 2),
        "baseline": baseline,
    }


def print_summary(s: dict, records: list[dict], jobs: int):
    st = s["by_status"]
    print()
    print(f"caught {s['caught']} of {s['counted']} counted mutants: "
          f"{percent(s['caught'], s['counted']).strip()}  "
          f"({st.get('caught', 0)} failed a test, {st.get('timeout', 0)} timed out, "
          f"{st.get('survived', 0)} survived; not counted: {st.get('stillborn', 0)} stillborn, "
          f"{st.get('equivalent', 0)} equivalent)")
    for title, key in (("by file", "by_file"), ("by kind", "by_kind")):
        print(f"\n{title}:")
        for name, row in s[key].items():
            print(f"  {name:<44} {row['caught']:4d} / {row['counted']:<4d} "
                  f"{percent(row['caught'], row['counted'])}")
    survivors = [r for r in records if r["status"] == "survived"]
    if survivors:
        print(f"\nsurvivors ({len(survivors)}):")
        for r in survivors:
            print(f"  {r['id']}  {r['kind']}")
            for b in r["before"]:
                print(f"      - {b.strip()}")
            for a in r["after"]:
                print(f"      + {a.strip()}")
    print(f"\nwall {format_seconds(s['wall_s'])} with {jobs} workers; per mutant: build "
          f"{s['mean_build_s']:.1f} s, suite {s['mean_test_s']:.1f} s (means), "
          f"{s['wall_s'] / max(1, len(records)):.1f} s of wall time; "
          f"timeout {s['timeout_s']:.0f} s")


def format_seconds(seconds: float) -> str:
    minutes, seconds = divmod(int(round(seconds)), 60)
    return f"{minutes}m{seconds:02d}s" if minutes else f"{seconds}s"


def write_survivors(path: Path, records: list[dict], summary: dict):
    survivors = [r for r in records if r["status"] == "survived"]
    by_file = defaultdict(list)
    for r in survivors:
        by_file[r["path"]].append(r)
    with path.open("w") as f:
        f.write(f"# {len(survivors)} survivors of {summary['counted']} counted mutants "
                f"({summary['caught_percent']} % caught)\n")
        for file in sorted(by_file):
            row = summary["by_file"].get(file, {})
            f.write(f"\n{file}  ({len(by_file[file])} of {row.get('counted', '?')} survived)\n")
            for r in sorted(by_file[file], key=lambda r: (r["line"], r["k"])):
                f.write(f"  {r['path']}:{r['line']}:{r['k']}  {r['kind']}\n")
                for b in r["before"]:
                    f.write(f"      - {b.strip()}\n")
                for a in r["after"]:
                    f.write(f"      + {a.strip()}\n")


def git(*args) -> str:
    try:
        return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True,
                              check=True).stdout.strip()
    except (subprocess.CalledProcessError, FileNotFoundError):
        return ""


def evaluate_all(options, mutants: list[Mutant], texts: dict[str, str]) -> int:
    if not (VENV / "bin/python").exists():
        sys.exit("mutate: no .venv; run `make bootstrap` first")
    options.cppad_lib = cppad_library_dir()
    OUT.mkdir(parents=True, exist_ok=True)
    stopping = threading.Event()
    workers = [Worker(n, options, stopping) for n in range(1, options.jobs + 1)]
    started = time.monotonic()
    print(f"mutate: {len(mutants)} mutants, {len(workers)} workers; building and checking the "
          f"unmutated tree in each worker", flush=True)

    errors: list[BaseException] = []
    baseline: list[dict] = [{}] * len(workers)

    def prepare(w: Worker):
        try:
            baseline[w.number - 1] = w.prepare()
        except BaseException as e:  # reported below
            errors.append(e)
            stopping.set()

    def interrupt(*_):
        stopping.set()
        for w in workers:
            if w.process:
                kill_group(w.process)

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        threads = [threading.Thread(target=prepare, args=(w,)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            if any(not isinstance(e, Stopped) for e in errors):
                print(next(str(e) for e in errors if not isinstance(e, Stopped)), file=sys.stderr)
            return 2
        suite = max(b["suite_s"] for b in baseline)
        timeout = options.timeout or 5.0 * suite
        print(f"mutate: unmutated tree passes in every worker (build "
              f"{', '.join(f'{b['build_s']:.0f}' for b in baseline)} s, suite "
              f"{', '.join(f'{b['suite_s']:.1f}' for b in baseline)} s); timeout {timeout:.0f} s",
              flush=True)

        # The most expensive builds first (a header rebuilds every file that includes it), so
        # that no long build is left alone at the end.
        cost = build_costs(workers[0])
        order = sorted(mutants, key=lambda m: -cost.get(m.path, 0.0))
        jobs: queue.Queue[Mutant] = queue.Queue()
        for m in order:
            jobs.put(m)
        records: list[dict] = []
        lock = threading.Lock()
        width = len(str(len(mutants)))

        def work(w: Worker):
            while not stopping.is_set():
                try:
                    m = jobs.get_nowait()
                except queue.Empty:
                    return
                try:
                    result = w.evaluate(m, texts[m.path], timeout)
                except Stopped:
                    return
                except BaseException as e:
                    errors.append(e)
                    stopping.set()
                    return
                record = {"id": m.id, "path": m.path, "line": m.line, "end": m.end, "k": m.k,
                          "kind": m.kind, "before": m.before, "after": m.after,
                          "worker": w.number, **result}
                with lock:
                    records.append(record)
                    done = len(records)
                    tally = Counter(r["status"] for r in records)
                    counted = tally["caught"] + tally["timeout"] + tally["survived"]
                    elapsed = format_seconds(time.monotonic() - started)
                    print(f"[{done:>{width}}/{len(mutants)} {elapsed:>6}] w{w.number} "
                          f"{record['status']:<10} "
                          f"{record['build_s']:5.1f}+{record['test_s']:5.1f}s"
                          f"  {m.id:<40} {m.kind:<16} "
                          f"{percent(tally['caught'] + tally['timeout'], counted)}  "
                          f"{record['detail'][:70]}", flush=True)
                    if options.verbose:
                        print(f"    {m.describe()}")
                        if record.get("output"):
                            print("    | " + "\n    | ".join(record["output"].splitlines()[-25:]))

        threads = [threading.Thread(target=work, args=(w,)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        interrupted = stopping.is_set()
        for w in workers:
            w.restore()
        if errors:
            print(f"mutate: stopped by an error: {errors[0]}", file=sys.stderr)
        restored = all(w.check_restored() for w in workers) if not interrupted else None
    finally:
        signal.signal(signal.SIGINT, previous)

    wall = time.monotonic() - started
    records.sort(key=lambda r: (r["path"], r["line"], r["k"]))
    summary = summarise(records, wall, baseline, timeout)
    summary["interrupted"] = interrupted
    summary["restore_check"] = restored
    result = {"commit": git("rev-parse", "HEAD"), "dirty": bool(git("status", "--porcelain")),
              "argv": sys.argv[1:], "seed": options.seed, "sample": options.sample,
              "jobs": options.jobs, "derandomized": options.derandomize, "summary": summary,
              "mutants": records}
    json_path = Path(options.output) if options.output else OUT / "results.json"
    json_path.write_text(json.dumps(result, indent=1) + "\n")
    write_survivors(json_path.with_name("survivors.txt") if not options.output else
                    json_path.with_suffix(".survivors.txt"), records, summary)
    print_summary(summary, records, len(workers))
    if restored is False:
        print("mutate: WARNING: a worker's binaries differ from the unmutated ones after the "
              "run; its results may be wrong (delete build/mutation and run again)",
              file=sys.stderr)
    if interrupted:
        print("mutate: interrupted; the results so far are written", file=sys.stderr)
    print(f"mutate: results in {json_path}")
    return 1 if errors or interrupted or restored is False else 0


def build_costs(w: Worker) -> dict[str, float]:
    """Estimated seconds to rebuild after a change to each source file: the compile times
    (from ninja's log) of every object that depends on it (from ninja's dependency log)."""
    times: dict[str, float] = {}
    log = w.build / ".ninja_log"
    if log.exists():
        for line in log.read_text().splitlines()[1:]:
            fields = line.split("\t")
            if len(fields) >= 4 and fields[3].endswith(".o"):
                times[fields[3]] = (int(fields[1]) - int(fields[0])) / 1000.0
    status, output, _ = run([str(VENV / "bin/ninja"), "-C", str(w.build), "-t", "deps"],
                            cwd=w.dir)
    cost: dict[str, float] = defaultdict(float)
    target = None
    for line in output.splitlines():
        if not line.startswith(" ") and ":" in line:
            target = line.split(":")[0]
        elif line.strip() and target in times:
            dep = Path(line.strip())
            try:
                relative = dep.resolve().relative_to(w.src.resolve()).as_posix()
            except ValueError:
                continue
            cost[relative] += times[target]
    return cost


def main() -> int:
    parser = argparse.ArgumentParser(
        description="Mutation testing of the suite over engine/ and tarvelo/native/.")
    parser.add_argument("--sample", type=int, metavar="N",
                        help="draw N mutants at random (each line of code equally likely)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    parser.add_argument("--files", action="append", metavar="GLOB",
                        help="only files matching GLOB (repeatable; a folder takes its files)")
    parser.add_argument("--kinds", type=lambda s: s.split(","),
                        help=f"only these kinds, comma-separated: {', '.join(KINDS)}")
    parser.add_argument("--only", action="append", metavar="FILE:LINE[:K]",
                        help="run the chosen candidates (repeatable); see --list")
    parser.add_argument("--list", action="store_true", help="print the candidates and stop")
    parser.add_argument("--jobs", type=int, default=3, help="parallel workers (default 3)")
    parser.add_argument("--build-jobs", type=int, default=1,
                        help="compile jobs within each worker's build (default 1)")
    parser.add_argument("--timeout", type=float,
                        help="seconds per mutant's suite (default 5 x the unmutated suite's)")
    parser.add_argument("--build-timeout", type=float, default=1800.0,
                        help="seconds per mutant's build (default 1800)")
    parser.add_argument("--no-derandomize", dest="derandomize", action="store_false",
                        help="let the randomized test draw new examples (CI unset)")
    parser.add_argument("--output", metavar="JSON",
                        help="results file (default build/mutation/results.json)")
    parser.add_argument("--matrix", action="store_true",
                        help="run every test on every mutant and record all that fail")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show each mutant's change and the tail of its test output")
    options = parser.parse_args()
    if options.kinds and set(options.kinds) - set(KINDS):
        parser.error(f"unknown kinds {sorted(set(options.kinds) - set(KINDS))}")
    mutants, texts = select(options)
    if options.list:
        list_mutants(mutants, options.verbose)
        return 0
    if not mutants:
        sys.exit("mutate: no candidate matches")
    options.jobs = max(1, min(options.jobs, len(mutants)))
    return evaluate_all(options, mutants, texts)


if __name__ == "__main__":
    sys.exit(main())
