#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Every write of varozidi-cli, varozidi-setup and the window, with each file system call failing
in turn.

Each command runs on a fresh copy of a small seeded collection in a private data folder
(XDG_DATA_HOME, XDG_STATE_HOME, HOME, TMPDIR point into it). A first run under strace counts its
calls; then the command runs again once for each call N of each kind and each error E, under
`strace -f -e inject=CALL:error=E:when=N`. The window (tests/sweep_window) is started first and
strace attached to it once it is ready (`strace -f -p PID`), so its count starts at the action;
tests/sweep_wakeups.cpp keeps the toolkit's wake-ups out of that count. strace counts each
thread's calls apart: point N fails the Nth call of its kind in every thread. The window's
counts move a little with its timing, so a point may fail a neighbouring call on another run:
each report shows the call that failed.

After every run:
- the exit status (the window: whether it said something failed) tells whether the operation
  happened: 0 done, anything else not done, except exit 2 with "... (the change itself was
  made)", which is done;
- the collection is the state before or the state after, as the exit status says: the table
  (ID, and the type and hex of Language, Title and Body), `varozidi-cli check` and a few
  searches; every other file byte for byte (an older backup, an export target, the settings);
- `PRAGMA integrity_check` is ok for every database;
- no file is left behind that neither state has (the data folder, the backup and export
  targets' folders, the state folder, TMPDIR);
- no message names a cause that is not there (damage, another program, a read-only file: the
  sweep's files are sound, private and writable), no failure goes without a message, and no
  bare SQLite message reaches the user.

    tests/io_sweep.py [--short] [--build DIR] [--only NAME] [--jobs N]
    tests/io_sweep.py --only add --call fdatasync --error EIO --point 3   # one run, kept

`--short` (the suite's test) tries each command at a sample of its calls that touch the
run's own files, and tolerates the faults listed in KNOWN; the full form tries every call and
tolerates none. A run whose failed call was never reached, or reached only the toolkit's own
descriptors, is not checked ("checked" in the table counts the rest). Exit status: 0 no fault,
1 faults, 77 strace cannot run here (skipped).

strace fails a call whole; a read that returns part of the data and then fails (a bad sector)
needs an LD_PRELOAD shim of its own, and a kill halfway is the crash harness's work
(tst_crashsafety). The order of writes and syncs is not checked here.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

CALLS = ("openat", "read", "pread64", "pwrite64", "write", "fdatasync", "fsync", "syncfs",
         "ftruncate", "rename", "renameat2", "link", "linkat", "unlink", "unlinkat", "mkdir",
         "rmdir", "close", "getdents64")
ERRORS = ("EIO", "ENOSPC", "EMFILE", "EXDEV", "EACCES")
SEARCHES = ("print", "sum", "Grüße")
DATA = "data/KZQ/Varozidi/"
LIVE = DATA + "varozidi.mdb"
LOCK = DATA + "varozidi.ldb"
STATE = "state/KZQ/Varozidi/"
WINDOW_BACKUP = "data/KZQBackups/Varozidi/Varozidi.mdb"
# The folders of one run; io/ holds the sweep's own files and is not looked at.
FOLDERS = ("data", "state", "home", "tmp", "runtime", "in", "out", "bk", "io")

SNIPPETS = (
    ("Python", "Hello", b"print('hello')\n"),
    ("C++", "Vector sum", b"int sum(const std::vector<int>& v) {\n    return 0;\n}\n"),
    ("SQL", "Count", b"SELECT count(*) FROM t;\n"),
    # Written after the older backups were made.
    ("Python", "Big", b"".join(b"line %d: print(%d) # sum\n" % (i, i) for i in range(1500))),
    ("Text", "Grüße ☃", "Grüße aus Köln\n".encode()),
    ("Shell", "Empty", b""),
)
IMPORTED = (
    ("Go", "Main", b"package main\n\nfunc main() {}\n"),
    ("Python", "Long", b"".join(b"# %05d print the sum of it all\n" % i for i in range(700))),
    ("Rust", "Grüße", "fn main() { println!(\"Grüße\"); }\n".encode()),
)
VSCODE = """{
    // Visual Studio Code's own snippets of a language
    "Print": {"prefix": "pr", "body": ["print($1)", "$0"], "description": "print it"},
    "Main guard": {"prefix": "main", "body": "if __name__ == '__main__':\\n    main()",},
}
"""
OLDER_SETTINGS = b"[EDIT]\nWORDWRAP=0\n"

# Which messages name a cause the sweep never makes. EACCES may rightly read as "read-only".
WRONG_CAUSES = (
    (re.compile(r"damaged|malformed|has problems|not a database", re.I), "damage"),
    (re.compile(r"another program|in use by|is locked|database is locked", re.I),
     "another program"),
    (re.compile(r"read-only|readonly", re.I), "a read-only file"),
)
# SQLite's own words are fine in brackets after the program's; alone they tell a user little.
SQLITE_WORDS = re.compile(r"(?<!\()\b(?:disk I/O error|unable to open database file|"
                          r"database or disk is full|database disk image is malformed|"
                          r"attempt to write a readonly database)|error code=\d+|\bSQLITE_\w+")
MADE_ANYWAY = b"(the change itself was made)"
WINDOW_MADE_ANYWAY = "The change itself was made."
NOT_A_FILE = re.compile(r"\w+\(\d+<(?:anon_inode|pipe|socket):")


class Scenario:
    def __init__(self, name, kind, args, stdin=b"", template="collection", older=(),
                 target=LIVE):
        self.name = name
        self.kind = kind  # cli, setup or window
        self.args = args
        self.stdin = stdin
        self.template = template
        # Files that must stay byte for byte when the operation did not happen.
        self.older = older
        # What the operation makes or changes: as it was after a failure, new after success.
        self.target = target


SCENARIOS = (
    Scenario("add", "cli", ["add", "--language", "Python", "--title", "Grüße new"],
             stdin=b"# new\n" * 900),
    Scenario("edit", "cli", ["edit", "2"], stdin="int sum() { return 1; } // ☃\n".encode()),
    Scenario("remove", "cli", ["remove", "3"]),
    Scenario("import json", "cli", ["import", "{root}/in/export.json"]),
    Scenario("import folder", "cli", ["import", "{root}/in/tree"]),
    Scenario("import vscode", "cli", ["import", "{root}/in/python.json"]),
    Scenario("export json", "cli", ["export", "{root}/out/new.json"], target="out/new.json"),
    Scenario("export folder", "cli", ["export", "--format", "folder", "{root}/out/tree"],
             target="out/tree"),
    Scenario("backup new", "cli", ["backup", "{root}/bk/new.mdb"], target="bk/new.mdb"),
    Scenario("backup older", "cli", ["backup", "{root}/bk/old.mdb"], older=("bk/old.mdb",),
             target="bk/old.mdb"),
    Scenario("check", "cli", ["check"]),
    Scenario("setup", "setup", [], template="empty"),
    Scenario("setup again", "setup", []),
    Scenario("window save", "window", ["save"]),
    Scenario("window add", "window", ["add"]),
    Scenario("window remove", "window", ["remove"]),
    Scenario("window backup", "window", ["backup"], older=(WINDOW_BACKUP,),
             target=WINDOW_BACKUP),
    Scenario("window restore", "window", ["restore"]),
    Scenario("window settings", "window", ["close"], older=(DATA + "Tessel.ini",),
             target=DATA + "Tessel.ini"),
    Scenario("window record", "window", ["record"], target="records"),
)

# Faults today's code still has, mended on their own branches: the short form reports them and
# goes on (the full form never does). Each entry: the scenarios, the fault, and the failed
# calls, each a regular expression. Remove an entry once its mend is in.
KNOWN = ()


class Build:
    def __init__(self, folder, prefix=None):
        self.folder = os.path.abspath(folder)
        self.cli = os.path.join(self.folder, "varozidi-cli")
        self.setup = os.path.join(self.folder, "varozidi-setup")
        if prefix:  # the installed tools; the window is always this build's
            self.cli = os.path.join(prefix, "bin", "varozidi-cli")
            self.setup = os.path.join(prefix, "lib", "varozidi", "varozidi-setup")
        self.window = os.path.join(self.folder, "tests", "sweep_window")
        self.wakeups = os.path.join(self.folder, "tests", "libsweep_wakeups.so")


def environment(root):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("XDG_", "QT_", "VAROZIDI_", "LC_"))}
    env.update(HOME=root + "/home", XDG_DATA_HOME=root + "/data",
               XDG_STATE_HOME=root + "/state", XDG_CONFIG_HOME=root + "/home/.config",
               XDG_CACHE_HOME=root + "/home/.cache", XDG_RUNTIME_DIR=root + "/runtime",
               TMPDIR=root + "/tmp", QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8",
               QT_LOGGING_RULES="qt.qpa.*=false")
    return env


def make_root(root):
    for folder in FOLDERS:
        os.makedirs(os.path.join(root, folder), mode=0o700, exist_ok=True)


def must(argv, env, stdin=b""):
    result = subprocess.run(argv, input=stdin, env=env, capture_output=True, timeout=120)
    if result.returncode != 0:
        raise SystemExit("io_sweep: seeding failed: %s: %s" % (
            " ".join(argv), result.stderr.decode(errors="replace")))
    return result.stdout


def seed(build, work):
    """The templates every run copies: a collection with its older backups and the files to
    import, and an empty root for the set-up tool."""
    root = os.path.join(work, "collection")
    make_root(root)
    env = environment(root)
    must([build.setup], env)
    for i, (language, title, body) in enumerate(SNIPPETS):
        if i == 3:
            must([build.cli, "backup", root + "/bk/old.mdb"], env)
            os.makedirs(os.path.dirname(os.path.join(root, WINDOW_BACKUP)), mode=0o700)
            shutil.copyfile(root + "/bk/old.mdb", os.path.join(root, WINDOW_BACKUP))
        must([build.cli, "add", "--language", language, "--title", title], env, body)
    with open(os.path.join(root, DATA, "Tessel.ini"), "wb") as f:
        f.write(OLDER_SETTINGS)
    side = os.path.join(work, "side")
    make_root(side)
    side_env = environment(side)
    must([build.setup], side_env)
    for language, title, body in IMPORTED:
        must([build.cli, "add", "--language", language, "--title", title], side_env, body)
    must([build.cli, "export", root + "/in/export.json"], side_env)
    must([build.cli, "export", "--format", "folder", root + "/in/tree"], side_env)
    with open(root + "/in/python.json", "w", encoding="utf-8") as f:
        f.write(VSCODE)
    empty = os.path.join(work, "empty")
    make_root(empty)
    os.rmdir(empty + "/data")
    return {"collection": root, "empty": empty}


# The sweep's own view of one run's files -------------------------------------------------

def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def database_value(path, env):
    """The table as the next reader sees it (a hot journal is rolled back) and the integrity
    check's verdict."""
    query = ("SELECT ID, typeof(Language) || ':' || hex(Language), "
             "typeof(Title) || ':' || hex(Title), typeof(Body) || ':' || hex(Body) "
             "FROM varozidi ORDER BY ID;")
    shell = subprocess.run(["sqlite3", "-batch", path, "PRAGMA integrity_check;",
                            "SELECT '-- rows';", query], env=env, capture_output=True, timeout=60)
    verdict, _, rows = shell.stdout.partition(b"-- rows\n")
    verdict = verdict.decode(errors="replace").strip()
    failure = shell.stderr.decode(errors="replace").strip()
    table = ("rows %d, %s" % (rows.count(b"\n"), digest(rows)) if shell.returncode == 0 else
             "unreadable: " + failure)
    return table, verdict or failure


def collection_view(build, env):
    """What varozidi-cli says of the live collection: check and a few searches."""
    said = []
    for args in [["check"]] + [["search", text] for text in SEARCHES]:
        run = subprocess.run([build.cli] + args, env=env, capture_output=True, timeout=60)
        said.append("%s: exit %d, %s" % (" ".join(args), run.returncode, digest(run.stdout)))
    return said


_seen = {}
_seen_lock = threading.Lock()


def database_state(path, key, build, env, live):
    """database_value, with check and searches for the live collection; the same bytes give the
    same answers, so each is worked out once."""
    journal = path + "-journal"
    if os.path.exists(journal):
        with open(journal, "rb") as f:
            key += (digest(f.read()),)
    if live:
        key += (os.path.exists(os.path.join(os.path.dirname(path), "varozidi.ldb")),)
    with _seen_lock:
        if key in _seen:
            return _seen[key]
    table, verdict = database_value(path, env)
    value = (table,) + (tuple(collection_view(build, env)) if live else ())
    with _seen_lock:
        _seen[key] = value, verdict
    return value, verdict


def walk(root):
    """Every path of the run but the sweep's own io/, folders first."""
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        if rel == "io":
            dirs[:] = []
            continue
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(folder, name)
            yield path, os.path.relpath(path, root)


def snapshot(root, build, env, pid=None):
    """Every file of the run by path: databases by their table (the live one also by check and
    searches), records by their presence, anything else by its bytes. Also each database's
    integrity verdict, and the raw digest of every file (of a database, before it was read)."""
    values, raw, integrity = {}, {}, {}
    databases = []
    for path, key in walk(root):
        if pid is not None and key.startswith(STATE):
            key = STATE + re.sub(r"^%d-" % pid, "PID-", os.path.basename(path))
        if os.path.islink(path):
            values[key] = ("link", os.readlink(path))
        elif os.path.isdir(path):
            values[key] = ("folder",)
        else:
            with open(path, "rb") as f:
                data = f.read()
            raw[key] = digest(data)
            if data.startswith(b"SQLite format 3\0") or key.lower().endswith(".mdb"):
                databases.append((path, key, hashlib.sha256(data).hexdigest()))
            # A record names its process and time; the window reports what it holds.
            values[key] = ("record",) if key.endswith(".record") else \
                ("bytes", len(data), raw[key])
    for path, key, whole in databases:
        values[key], integrity[key] = database_state(path, (whole,), build, env, key == LIVE)
    # A hot journal is not left behind: the next reader rolls it back (as these did).
    for key in [k for k in values if k.endswith("-journal")]:
        if not os.path.exists(os.path.join(root, key)):
            del values[key]
    return values, raw, integrity


# Runs ----------------------------------------------------------------------------------------

class Run:
    def __init__(self, scenario, call=None, error=None, point=None):
        self.scenario = scenario
        self.call, self.error, self.point = call, error, point
        self.rc = None
        self.out = b""
        self.err = b""
        self.report = None  # the window's
        self.injected = []  # the calls strace failed, as traced
        self.checked = False
        self.faults = []
        self.root = None
        self.pid = None

    def label(self):
        if self.call is None:
            return self.scenario.name
        return "%s, %s #%d %s" % (self.scenario.name, self.call, self.point, self.error)


def strace_options(run, trace):
    options = ["-f", "-y", "-o", trace]
    if run.call is None:
        options += ["-e", "trace=" + ",".join(CALLS)]
    else:
        options += ["-e", "trace=" + run.call,
                    "-e", "inject=%s:error=%s:when=%d" % (run.call, run.error, run.point)]
    return options


def run_cli(build, run, root, traced, timeout):
    sc = run.scenario
    program = build.setup if sc.kind == "setup" else build.cli
    argv = [program] + [a.format(root=root) for a in sc.args]
    if traced:
        argv = ["strace", "-qq", "--seccomp-bpf"] + strace_options(run, root + "/io/trace") + \
            ["--"] + argv
    with open(root + "/io/stdin", "wb") as f:
        f.write(sc.stdin)
    with open(root + "/io/stdin", "rb") as stdin, open(root + "/io/stdout", "wb") as out, \
            open(root + "/io/stderr", "wb") as err:
        child = subprocess.Popen(argv, stdin=stdin, stdout=out, stderr=err, cwd=root,
                                 env=environment(root), start_new_session=True)
        try:
            run.rc = child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            run.faults.append(("hang", "still running after %d s" % timeout))
    with open(root + "/io/stdout", "rb") as f:
        run.out = f.read()
    with open(root + "/io/stderr", "rb") as f:
        run.err = f.read()


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def run_window(build, run, root, traced, timeout):
    """The window started, strace attached once it is ready, the action, strace gone, the
    report."""
    io = root + "/io"
    err = open(io + "/stderr", "wb")
    env = environment(root)
    env["LD_PRELOAD"] = build.wakeups  # the toolkit's wake-ups are not the window's I/O
    child = subprocess.Popen([build.window, run.scenario.args[0], io], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=err, cwd=root, env=env,
                             start_new_session=True)
    run.pid = child.pid
    tracer = None
    try:
        ready = child.stdout.readline()
        if ready != b"ready\n":
            run.faults.append(("no window", "the window did not start: %r" % ready))
            return
        if traced:
            tracer = subprocess.Popen(["strace"] + strace_options(run, io + "/trace") +
                                      ["-p", str(child.pid)], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      start_new_session=True)
            if b"attached" not in tracer.stderr.readline():
                raise RuntimeError("strace did not attach to the window")
            open(io + "/go", "wb").close()
            if not wait_for(lambda: os.path.lexists(io + "/done") or child.poll() is not None,
                            timeout):
                run.faults.append(("hang", "the action did not end within %d s" % timeout))
            tracer.send_signal(signal.SIGINT)  # detaches; the window goes on untraced
            tracer.wait(timeout=30)
            tracer = None
        open(io + "/report", "wb").close()
        run.rc = child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        run.faults.append(("hang", "the window did not end within %d s" % timeout))
    finally:
        for process in (tracer, child):
            if process is not None and process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        err.close()
    with open(io + "/stderr", "rb") as f:
        run.err = f.read()
    if os.path.exists(io + "/report.json"):
        with open(io + "/report.json", encoding="utf-8") as f:
            run.report = json.load(f)


TRACE_LINE = re.compile(r"^(\d+)\s+(?:<\.\.\. (\w+) resumed>|(\w+)\()")


def read_trace(path, root):
    """Each traced call by kind and thread, in order: its text, the root shown as $ROOT; and
    the calls strace failed."""
    calls, injected, pending = {}, [], {}
    if not os.path.exists(path):
        return calls, injected
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = TRACE_LINE.match(line)
            if not m:
                continue
            tid, resumed, name = m.group(1), m.group(2), m.group(3)
            text = line[m.end(1):].strip().replace(root, "$ROOT")
            if resumed:
                text = pending.pop(tid, "") + " ... " + text
            else:
                calls.setdefault(name, {}).setdefault(tid, []).append(text)
                if "<unfinished ...>" in text:
                    pending[tid] = text
                    continue
            if "(INJECTED)" in text:
                injected.append(text)
    return calls, injected


def fresh_root(templates, sc, work):
    root = tempfile.mkdtemp(prefix="run-", dir=work)
    os.rmdir(root)
    shutil.copytree(templates[sc.template], root, symlinks=True)
    make_root(root)
    return root


def execute(build, templates, work, run, traced, timeout):
    run.root = fresh_root(templates, run.scenario, work)
    if run.scenario.kind == "window":
        run_window(build, run, run.root, traced, timeout)
    else:
        run_cli(build, run, run.root, traced, timeout)
    calls, run.injected = read_trace(run.root + "/io/trace", run.root)
    return calls


# Checks --------------------------------------------------------------------------------------

def said_failed(run):
    """Whether the operation did not happen, by what the program said."""
    if run.scenario.kind == "window":
        if run.report is None:
            return True
        return (any(m["kind"] != "confirmation" and WINDOW_MADE_ANYWAY not in m["text"]
                    for m in run.report["messages"]) or bool(run.report["note"]))
    if run.rc == 0:
        return False
    return not (run.rc == 2 and MADE_ANYWAY in run.err)


def messages_of(run):
    if run.scenario.kind == "window":
        if run.report is None:
            return ""
        return "\n".join([m["text"] for m in run.report["messages"]] + [run.report["note"]])
    return (run.out + b"\n" + run.err).decode(errors="replace")


def describe(values, path):
    value = values.get(path)
    if value is None:
        return "absent"
    return ", ".join(str(v) for v in value)


class Expected:
    """The states before and after an operation, from runs without a failure."""

    def __init__(self, before, after, counts, words):
        self.before, self.before_raw = before[0], before[1]
        self.after, self.after_raw = after[0], after[1]
        self.counts = counts  # kind -> thread -> [call text]
        self.words = words  # what the program says when nothing fails

    def points(self, call):
        return max((len(seq) for seq in self.counts.get(call, {}).values()), default=0)

    def text(self, call, point):
        for seq in self.counts.get(call, {}).values():
            if point <= len(seq):
                return seq[point - 1]
        return ""


def state_of(run, build):
    """The run's files (snapshot) and, for the window, what its editor holds and which records
    the next start would read."""
    values, raw, integrity = snapshot(run.root, build, environment(run.root), run.pid)
    if run.report is not None:
        # Typing is the record's input, not its outcome.
        if run.scenario.args != ["record"]:
            values["editor"] = ("unsaved" if run.report["unsaved"] else "saved",
                                digest(run.report["editor"].encode()))
        values["records"] = tuple(sorted(json.dumps(r, sort_keys=True, ensure_ascii=False)
                                         for r in run.report["records"]))
    return values, raw, integrity


def check(build, run, expected):
    sc = run.scenario
    if run.rc is not None and run.rc < 0:
        run.faults.append(("crash", "ended by signal %d" % -run.rc))
    if sc.kind == "window" and run.report is None and not run.faults:
        run.faults.append(("crash", "the window ended without its report (exit %s)" % run.rc))
    values, raw, integrity = state_of(run, build)
    for path, verdict in sorted(integrity.items()):
        if verdict != "ok":
            run.faults.append(("integrity", "%s: %s" % (path, verdict[:200])))

    failed = said_failed(run)
    words = messages_of(run)
    want = expected.before if failed else expected.after
    other = expected.after if failed else expected.before
    paths = sorted(set(values) | set(expected.before) | set(expected.after))
    if sc.kind == "window" and run.report is None:
        paths = [p for p in paths if p not in ("editor", "records")]
    wrong = [p for p in paths if values.get(p) != want.get(p)]
    if wrong:
        left = [p for p in wrong if p not in expected.before and p not in expected.after]
        odd = [p for p in wrong if p not in left and values.get(p) != other.get(p)]
        switched = [p for p in wrong if p not in left and p not in odd]
        # What a warning names, and the notes of temporary files, the next run removes.
        warned = words + run.err.decode(errors="replace")
        cleared = next_run_clears(build, run, [
            p for p in left if p != LOCK and (is_note(p) or os.path.basename(p) in warned)])
        for path in left:
            # The window warns of a lock file left on its standard error, as desktop programs do.
            if path == LOCK and sc.kind == "window" and os.path.basename(path) in warned:
                continue
            if os.path.basename(path) not in words and path not in cleared:
                run.faults.append(("lock file left without a word" if path == LOCK else
                                   "file left behind", path))
        for path in odd:
            run.faults.append(("neither before nor after",
                               "%s: %s" % (path, describe(values, path))))
        # A set-up that failed may have made some of its files: each is whole or absent.
        if switched and not (sc.kind == "setup" and failed):
            if sc.target in switched or sc.kind == "setup":
                run.faults.append(("said failed, was done" if failed else "said done, not done",
                                   ", ".join(switched)))
            else:
                run.faults.append(("half done", "as %s: %s" % (
                    "after" if failed else "before", ", ".join(switched))))
    # Rows as they were are not enough for a file the operation had to leave alone: an older
    # file when it failed, and whatever it never changes when it works.
    for path, was in expected.before_raw.items():
        if values.get(path) == expected.before.get(path) and raw.get(path, was) != was:
            if failed and path in sc.older:
                run.faults.append(("older file changed", path))
            elif expected.after_raw.get(path) == was:
                run.faults.append(("file it never changes rewritten", path))

    for pattern, cause in WRONG_CAUSES:
        if cause == "a read-only file" and run.error == "EACCES":
            continue
        m = pattern.search(words)
        if m and not pattern.search(expected.words):
            run.faults.append(("names a cause that is not there",
                               "%s: %s" % (cause, line_of(words, m.start()))))
    m = SQLITE_WORDS.search(words)
    if m:
        run.faults.append(("SQLite's own words", line_of(words, m.start())))
    lost_message = any(re.match(r"write\(2<", call) for call in run.injected)
    if failed and not words.strip() and not lost_message and sc.kind != "window":
        run.faults.append(("failure without a message", "exit %s" % run.rc))
    if sc.kind == "setup" and failed:
        # Whatever one run left, the next makes whole.
        again = subprocess.run([build.setup], env=environment(run.root), capture_output=True,
                               timeout=60)
        values, _, _ = snapshot(run.root, build, environment(run.root))
        mended = [p for p in set(values) | set(expected.after) if
                  values.get(p) != expected.after.get(p)]
        if again.returncode != 0 or mended:
            run.faults.append(("the next set-up does not mend it", "exit %d, %s" % (
                again.returncode, ", ".join("%s: %s" % (p, describe(values, p))
                                            for p in sorted(mended)))))


def is_note(key):
    """The state folder's note of a temporary file: bookkeeping that holds nothing of the
    user's, which the next run of any of the programs removes once its maker is gone."""
    return key.startswith(STATE) and key.endswith(".temp")


def next_run_clears(build, run, keys):
    """Those of keys a next run of the command-line tool removes."""
    if not keys:
        return set()
    subprocess.run([build.cli, "languages"], env=environment(run.root), capture_output=True,
                   timeout=60)
    def path_of(key):
        name = os.path.basename(key)
        if run.pid is not None:
            name = re.sub(r"^PID-", "%d-" % run.pid, name)
        return os.path.join(run.root, os.path.dirname(key), name)
    return {k for k in keys if not os.path.lexists(path_of(k))}


def line_of(text, at):
    start = text.rfind("\n", 0, at) + 1
    end = text.find("\n", at)
    return text[start:end if end >= 0 else len(text)].strip()[:240]


# The sweep -----------------------------------------------------------------------------------

def references(build, templates, work, sc, timeout):
    """The state before (the command not run at all; the window made ready and let go), and
    the state after with its calls counted."""
    before = Run(sc)
    before.root = fresh_root(templates, sc, work)
    if sc.kind == "window":
        run_window(build, before, before.root, False, timeout)
    before_state = state_of(before, build)
    after = Run(sc)
    counts = execute(build, templates, work, after, True, timeout)
    if after.faults or said_failed(after):
        raise SystemExit("io_sweep: %s fails without any error injected: exit %s\n%s%s" % (
            sc.name, after.rc, after.err.decode(errors="replace"),
            json.dumps(after.report, indent=1, ensure_ascii=False) if after.report else ""))
    after_state = state_of(after, build)
    for state in (before_state, after_state):
        for path, verdict in state[2].items():
            if verdict != "ok":
                raise SystemExit("io_sweep: %s leaves %s damaged without any error injected: %s"
                                 % (sc.name, path, verdict))
    for run in (before, after):
        shutil.rmtree(run.root, ignore_errors=True)
    return Expected(before_state, after_state, counts, messages_of(after))


def plan(sc, expected, short, only_call=None, only_error=None, only_point=None):
    runs = []
    for ci, call in enumerate(CALLS):
        if only_call and call != only_call:
            continue
        count = expected.points(call)
        points = list(range(1, count + 1))
        if only_point:
            points = [only_point] if only_point <= count or only_call else []
        elif short:
            # The calls on the run's own files (not the libraries'), a few spread out; one
            # for the window, whose runs take a second or more.
            ours = [p for p in points if "$ROOT" in expected.text(call, p)]
            k = 1 if sc.kind == "window" else 2
            points = sorted({ours[len(ours) * (i + 1) // (k + 1)] for i in range(k)}) \
                if len(ours) > k else ours
        for pi, point in enumerate(points):
            errors = [e for e in ERRORS if not only_error or e == only_error]
            if short and not only_error:
                errors = [ERRORS[(ci + pi + len(sc.name)) % len(ERRORS)]]
            runs += [Run(sc, call, error, point) for error in errors]
    return runs


def known(run, fault):
    return any(re.fullmatch(names, run.scenario.name) and fault[0] == kind and
               re.fullmatch(calls, run.call or "") for names, kind, calls in KNOWN)


def reproduce(run):
    return "tests/io_sweep.py --only '%s' --call %s --error %s --point %d" % (
        run.scenario.name, run.call, run.error, run.point)


def can_trace():
    if not shutil.which("strace"):
        return "strace is not installed (scripts/install-deps installs it)"
    if not shutil.which("sqlite3"):
        return "the sqlite3 shell is not installed (scripts/install-deps installs it)"
    probe = subprocess.run(["strace", "-f", "-o", os.devnull, "-e", "inject=getpid:error=EIO",
                            "true"], capture_output=True)
    if probe.returncode != 0:
        return "strace cannot trace here: " + probe.stderr.decode(errors="replace").strip()
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--prefix", help="sweep the command line tools installed there")
    parser.add_argument("--short", action="store_true", help="a sample of points (the suite's)")
    parser.add_argument("--only", action="append", help="scenario names (regular expressions)")
    parser.add_argument("--call", choices=CALLS)
    parser.add_argument("--error", choices=ERRORS)
    parser.add_argument("--point", type=int)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--timeout", type=int, default=60)
    parser.add_argument("--keep", action="store_true", help="keep the folders of faulty runs")
    parser.add_argument("--log", help="write every faulty run into this file")
    parser.add_argument("--count", action="store_true",
                        help="only count each command's calls, as strace -c does")
    args = parser.parse_args()

    why = can_trace()
    if why:
        print("SKIP: " + why)
        return 77
    build = Build(args.build, args.prefix)
    for program in (build.cli, build.setup, build.window, build.wakeups):
        if not os.access(program, os.X_OK):
            raise SystemExit("io_sweep: %s is not built" % program)
    scenarios = [sc for sc in SCENARIOS
                 if not args.only or any(re.fullmatch(o, sc.name) for o in args.only)]
    single = args.point is not None
    keep = args.keep or single
    work = tempfile.mkdtemp(prefix="varozidi-sweep-")
    started = time.monotonic()
    table, faulty = [], []
    try:
        templates = seed(build, os.path.join(work, "seed"))
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs * 3) as pool:
            expectations = list(pool.map(
                lambda sc: references(build, templates, work, sc, args.timeout), scenarios))
        runs = []
        for sc, expected in zip(scenarios, expectations):
            if args.count:
                print("%-16s %s" % (sc.name, ", ".join(
                    "%s %d" % (c, expected.points(c)) for c in CALLS if expected.points(c))))
            else:
                runs += [(run, expected) for run in plan(
                    sc, expected, args.short and not single, args.call, args.error, args.point)]

        finished = [0]
        progress = threading.Lock()

        def one(item):
            run, expected = item
            execute(build, templates, work, run, True, args.timeout)
            # Unchecked: a call never reached, and a failure no such call can have (a write to
            # the toolkit's eventfd or a pipe only ever fails for want of room in it).
            run.checked = run.injected and not any(map(NOT_A_FILE.match, run.injected))
            if run.checked or run.faults:
                check(build, run, expected)
            if not (run.faults and keep):
                shutil.rmtree(run.root, ignore_errors=True)
            with progress:
                finished[0] += 1
                if not args.short and finished[0] % 1000 == 0:
                    print("%d of %d runs, %.0f s" % (finished[0], len(runs),
                                                     time.monotonic() - started),
                          file=sys.stderr, flush=True)
            return run

        # The window's runs first: they mostly wait (backup's notice stays two seconds), and
        # the command line's fill the cores meanwhile.
        runs.sort(key=lambda item: item[0].scenario.kind != "window")
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs * 3) as pool:
            done = list(pool.map(one, runs))
        for sc in scenarios:
            mine = [r for r in done if r.scenario is sc]
            table.append((sc.name, len({(r.call, r.point) for r in mine}),
                          len({r.error for r in mine}), len(mine),
                          sum(1 for r in mine if r.faults), sum(1 for r in mine if r.checked)))
        faulty = [r for r in done if r.faults]
        if single:
            for run in done:
                print_run(run)
    finally:
        shutil.rmtree(os.path.join(work, "seed"), ignore_errors=True)
        if not (keep and faulty):
            shutil.rmtree(work, ignore_errors=True)
    if args.count:
        return 0
    print_summary(table, faulty, args.short, time.monotonic() - started)
    if args.log:
        with open(args.log, "w", encoding="utf-8") as log:
            for run in faulty:
                log.write("%s: exit %s; failed: %s\n" % (run.label(), run.rc,
                                                        " | ".join(run.injected)))
                for fault in run.faults:
                    log.write("    %s: %s\n" % fault)
    unknown = [r for r in faulty if not args.short or any(not known(r, f) for f in r.faults)]
    return 1 if unknown else 0


def print_run(run):
    print("%s: exit %s; failed: %s" % (run.label(), run.rc, " | ".join(run.injected)))
    print("standard output:\n" + run.out.decode(errors="replace"))
    print("standard error:\n" + run.err.decode(errors="replace"))
    if run.report:
        print(json.dumps(run.report, indent=1, ensure_ascii=False))
    for fault in run.faults:
        print("FAULT %s: %s" % fault)
    if run.faults:
        print("kept: " + run.root)


def print_summary(table, faulty, short, seconds):
    print("\n%-16s %7s %7s %7s %7s %9s" % ("command", "points", "errors", "runs", "faults",
                                          "checked"))
    for row in table:
        print("%-16s %7d %7d %7d %7d %9d" % row)
    print("%-16s %7d %7s %7d %7d %9d" % ("total", sum(r[1] for r in table), "",
                                         sum(r[3] for r in table), sum(r[4] for r in table),
                                         sum(r[5] for r in table)))
    print("%d runs in %.0f s\n" % (sum(r[3] for r in table), seconds))
    groups = {}
    for run in faulty:
        for fault in run.faults:
            groups.setdefault((run.scenario.name, fault[0]), []).append((run, fault))
    for (name, kind), items in sorted(groups.items()):
        tag = " (known)" if short and all(known(r, f) for r, f in items) else ""
        print("FAULT%s %s: %s, %d runs" % (tag, name, kind, len(items)))
        for run, fault in items[:3]:
            print("    %s: exit %s: %s" % (run.label(), run.rc, fault[1][:400]))
            print("        failed call: %s" % (" | ".join(run.injected) or "none")[:300])
            print("        reproduce: " + reproduce(run))


if __name__ == "__main__":
    sys.exit(main())
