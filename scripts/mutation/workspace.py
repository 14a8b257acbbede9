"""One worker's private copy of the sources and its incremental build.

The mutants are never applied to the working tree: each worker keeps a copy
of the tracked sources and a build of its own, so a stopped run leaves the
repository as it was and edits made meanwhile do not leak into a run.

Each mutant costs the compilation of what includes the changed file, the
links, and the tests. The objects of the unchanged build are kept aside and
put back after each mutant, with the changed file given back its old time,
so the next mutant recompiles only its own files.
"""

import os
import shutil
import subprocess
import time

TEST_TARGETS = ["inproc_tests", "loaded_tests"]
MODULE_TARGET = "velorastin_objects"


class BuildFailed(Exception):
    pass


def tracked_files(repo):
    """The project's files: git's list where git and a repository are there,
    else every file outside build trees (a copy of the project without git)."""
    try:
        out = subprocess.run(
            ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
            cwd=repo, check=True, capture_output=True, text=True,
        ).stdout
        return [f for f in out.split("\0") if f and os.path.isfile(os.path.join(repo, f))]
    except (OSError, subprocess.CalledProcessError):
        return walked_files(repo)


def walked_files(repo):
    files = []
    for dirpath, dirnames, names in os.walk(repo):
        rel_dir = os.path.relpath(dirpath, repo)
        if rel_dir == ".":
            dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        for name in names:
            if ".tmp-" in name or name.endswith(".pyc"):
                continue
            files.append(os.path.normpath(os.path.join(rel_dir, name)))
    return files


class Workspace:
    def __init__(self, repo, root, build_jobs):
        self.repo = repo
        self.root = root
        self.src = os.path.join(root, "src")
        self.build = os.path.join(root, "build")
        self.saved = os.path.join(root, "objects")
        self.build_jobs = build_jobs
        self.objects = {}  # object path -> saved copy

    # --- setting up -------------------------------------------------------

    def sync(self):
        """Copies every source whose content differs; others keep their times."""
        wanted = set(tracked_files(self.repo))
        for rel in wanted:
            a, b = os.path.join(self.repo, rel), os.path.join(self.src, rel)
            if os.path.exists(b) and same_content(a, b):
                continue
            os.makedirs(os.path.dirname(b), exist_ok=True)
            shutil.copyfile(a, b)
            shutil.copymode(a, b)
        for dirpath, _, names in os.walk(self.src):
            for name in names:
                path = os.path.join(dirpath, name)
                if os.path.relpath(path, self.src) not in wanted:
                    os.remove(path)

    def configure(self, log):
        if os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            return
        run([
            "cmake", "-S", self.src, "-B", self.build, "-G", "Unix Makefiles",
            f"-DCMAKE_TOOLCHAIN_FILE={self.src}/cmake/i386-linux-gnu.cmake",
            # Optimised as shipped, without debug information: quicker to compile and link.
            "-DCMAKE_BUILD_TYPE=Release",
            # Tests are listed when they run, so a mutant that breaks the test
            # program's start is a failing test, not a failing build.
            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
        ], log)

    def build_targets(self, targets, log, jobs=None):
        cmd = ["cmake", "--build", self.build, "-j", str(jobs or self.build_jobs), "--target", *targets]
        if subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
            raise BuildFailed()

    def prepare(self, log):
        """Sync, configure, build the suite unchanged and keep its objects aside."""
        os.makedirs(self.root, exist_ok=True)
        if os.path.exists(self._dirty()):
            # An earlier run stopped inside a mutant: its objects may be the
            # mutant's although they look newer than the sources.
            self._restore_saved_objects(everything=True)
        self.sync()
        self.configure(log)
        self.build_targets(TEST_TARGETS, log, jobs=max(2, self.build_jobs))
        shutil.rmtree(self.saved, ignore_errors=True)
        self.objects = {}
        for dirpath, _, names in os.walk(self.build):
            for name in names:
                if name.endswith(".o"):
                    path = os.path.join(dirpath, name)
                    copy = os.path.join(self.saved, os.path.relpath(path, self.build))
                    os.makedirs(os.path.dirname(copy), exist_ok=True)
                    shutil.copy2(path, copy)
                    self.objects[path] = copy

    # --- one mutant -------------------------------------------------------

    def apply(self, mutant, log):
        """Builds the suite with `mutant`; raises BuildFailed when it does not compile.

        A change in a header reaches only the module's own objects: the
        reference host and the tests stay built against the header as it
        was, as a host is built against the interface and not the module.
        (It also spares recompiling every test that includes the header.)
        """
        path = os.path.join(self.src, mutant.path)
        open(self._dirty(), "w").close()
        self._original = (path, open(path, "rb").read(), os.stat(path))
        self._started = time.time() - 1
        lines = self._original[1].decode().split("\n")
        lines[mutant.line - 1] = mutant.mutated_line()
        write_newer(path, "\n".join(lines).encode())
        if mutant.path.endswith(".h"):
            self.build_targets([MODULE_TARGET], log)
            self._restore_source()
        self.build_targets(TEST_TARGETS, log)

    def undo(self):
        """Puts the unchanged source and objects back; the next build only relinks."""
        self._restore_source()
        self._restore_saved_objects(everything=False)
        os.remove(self._dirty())

    def _dirty(self):
        return os.path.join(self.root, "inside-a-mutant")

    def _restore_saved_objects(self, everything):
        if everything:
            for dirpath, _, names in os.walk(self.saved):
                for name in names:
                    copy = os.path.join(dirpath, name)
                    self.objects[os.path.join(self.build, os.path.relpath(copy, self.saved))] = copy
        for path, copy in self.objects.items():
            try:
                changed = everything or os.stat(path).st_mtime >= self._started
            except FileNotFoundError:
                changed = True
            if changed:
                shutil.copyfile(copy, path)  # a fresh time: newer than its sources

    def _restore_source(self):
        path, content, st = self._original
        with open(path, "wb") as f:
            f.write(content)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def write_newer(path, content):
    before = os.stat(path).st_mtime_ns
    with open(path, "wb") as f:
        f.write(content)
    # Make sure the build sees the file as changed even within the clock's resolution.
    now = max(time.time_ns(), before + 1_000_000_000)
    os.utime(path, ns=(now, now))


def same_content(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def run(cmd, log):
    if subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
        raise BuildFailed()
