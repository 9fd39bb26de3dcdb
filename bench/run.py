"""Times redomark against the plain tools a user would otherwise reach for.

Each pair runs both sides in the same session, alternating which goes first,
after one warm-up of each; the table shows medians of wall, user and system time, the
ratio of the wall times and the peak memory of one more run of save and diff.
--baseline times an earlier build's save, diff and restore beside this one's in
the same runs, --only diff times diff alone (on a tree still saved once), and
--shape picks the trees (bench/tree.py). Usage (normally through scripts/bench):
    run.py REDOMARK_BINARY WORKDIR --mapper MAP_EACH_FILE --volume btrfs=DIR --volume xfs=DIR [--files N ...] [--runs N]
           [--shape mixed|source ...] [--only diff] [--baseline BINARY]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tree  # noqa: E402

MIB = 1 << 20


class Run:
    """One finished command: wall, user and system time, status, stderr."""

    def __init__(self, seconds, status, stderr, user=0.0, system=0.0):
        self.seconds, self.status, self.stderr = seconds, status, stderr
        self.user, self.system = user, system


class Times:
    """Medians of a side's runs."""

    def __init__(self, runs):
        self.wall = statistics.median(r.seconds for r in runs)
        self.user = statistics.median(r.user for r in runs)
        self.system = statistics.median(r.system for r in runs)


def run(argv, env=None, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.PIPE)
    # Read stderr only after the wait so that the timing covers the command alone;
    # the tools here write little to it.
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    return Run(seconds, proc.returncode, err, usage.ru_utime, usage.ru_stime)


def check(result, what):
    if result.status != 0:
        raise RuntimeError(f"{what} failed with status {result.status}: {result.stderr.strip()}")
    return result


def is_subvolume(path):
    st = os.lstat(path)
    if st.st_ino != 256 or not os.path.isdir(path) or os.path.islink(path):
        return False
    # Other file systems can number a plain directory 256 too.
    kind = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True)
    return kind.stdout.strip() == "btrfs"


def remove_subvolumes(path):
    """Deletes the Btrfs subvolumes at and below path (read-only snapshot
    checkpoints among them), which a plain tree removal cannot."""
    if not os.path.isdir(path) or os.path.islink(path):
        return
    for root, dirs, _ in os.walk(path):
        for d in list(dirs):
            inner = os.path.join(root, d)
            if is_subvolume(inner):
                dirs.remove(d)
                remove_subvolumes(inner)
    if is_subvolume(path):
        check(run(["btrfs", "subvolume", "delete", path]), "btrfs subvolume delete")
        # The file system frees a deleted subvolume in the background; waiting
        # keeps that work out of the next timed run.
        check(run(["btrfs", "subvolume", "sync", os.path.dirname(path)]), "btrfs subvolume sync")


def remove(path):
    remove_subvolumes(path)
    if os.path.lexists(path):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


class Bench:
    def __init__(self, binary, work, runs, mapper, baseline=None, only=None):
        self.binary, self.runs, self.mapper, self.baseline, self.only = binary, runs, mapper, baseline, only
        self.home = os.path.join(work, "home")
        os.makedirs(self.home, exist_ok=True)
        # A private home: no settings file, no store or trash of the user's own.
        self.env = dict(os.environ, HOME=self.home, LC_ALL="C.UTF-8")
        self.rows, self.memory = [], []

    def redomark(self, *args, binary=None):
        return run([binary or self.binary, *args], env=self.env)

    def peak_memory(self, *args):
        """Peak resident memory of one untimed run. Through GNU time, because a
        child started from this process inherits Python's size as its peak,
        which exec keeps."""
        with tempfile.NamedTemporaryFile(mode="r") as out:
            check(run(["/usr/bin/time", "-f", "%M", "-o", out.name, self.binary, *args], env=self.env),
                  "redomark " + args[0])
            return int(out.read().split()[-1]) * 1024

    def has_command(self, word, probe):
        result = self.redomark(word, probe)
        return not (result.status == 2 and "unknown command" in result.stderr)

    def reset_store(self, mount):
        # Every store at the mount, the baseline's too, whatever its layout. A
        # store root that is a subvolume is emptied and kept, as a user's is:
        # it is made once, and deleting it waits for Btrfs to free the tree.
        stores = [os.path.join(mount, n) for n in os.listdir(mount) if n.startswith(".redomark-checkpoints")]
        for place in (*stores, os.path.join(mount, ".Trash-0"),
                      os.path.join(mount, f".Trash-{os.getuid()}"),
                      os.path.join(self.home, ".local")):
            if os.path.isdir(place) and is_subvolume(place):
                for name in os.listdir(place):
                    remove(os.path.join(place, name))
            else:
                remove(place)

    def pair(self, mine, theirs, before=None, baseline=None):
        """Times mine(), theirs() and baseline() in turn, rotating which goes first,
        before(side) preparing each run untimed; returns each side's Times. Without
        mine (a command redomark lacks yet) only the others are timed."""
        sides = {"mine": mine, "theirs": theirs, "baseline": baseline}
        samples = {side: [] for side, call in sides.items() if call}
        names = list(samples)
        for i in range(self.runs + 1):
            order = names[i % len(names):] + names[:i % len(names)]
            for side in order:
                if before:
                    before(side)
                os.sync()
                result = sides[side]()
                if i > 0:  # the first round warms the caches
                    samples[side].append(result)
        return {s: Times(samples[s]) for s in samples}

    def measure(self, fs, mount, files, shape, available):
        base = os.path.join(mount, "bench")
        remove(base)
        os.makedirs(base)
        folder = os.path.join(base, f"tree-{files}")
        started = time.perf_counter()
        paths = (tree.generate_source if shape == "source" else tree.generate)(folder, files)
        print(f"  {fs} {shape} {files}: tree made in {time.perf_counter() - started:.1f} s", flush=True)
        copy = os.path.join(base, "copy")
        self.reset_store(mount)
        items = sum(len(d) + len(f) for _, d, f in os.walk(folder))

        def add(label, times, target):
            mine, theirs, baseline = times.get("mine"), times["theirs"], times.get("baseline")
            self.rows.append((fs, shape, files, label, mine, theirs, baseline, target))
            shown = "absent" if mine is None else f"{mine.wall:.3f} s"
            print(f"  {fs} {shape} {files}: {label} {shown} vs {theirs.wall:.3f} s", flush=True)

        if self.only == "diff":
            self.measure_diff(fs, mount, base, folder, paths, files, shape, items, available, add)
            remove(base)
            self.reset_store(mount)
            return

        cp_copy = lambda: check(run(["cp", "-a", "--reflink=always", folder, copy]), "cp")  # noqa: E731

        def before_save(side):
            remove(copy)
            self.reset_store(mount)

        save = lambda: check(self.redomark("save", folder), "redomark save")  # noqa: E731
        baseline = None
        if self.baseline:
            baseline = lambda: check(self.redomark("save", folder, binary=self.baseline), "baseline save")  # noqa: E731
        add("save vs cp -a --reflink=always",
            self.pair(save if available["save"] else None, cp_copy, before_save, baseline), 0.7)
        save_rss = None
        if available["save"]:
            before_save("mine")
            save_rss = self.peak_memory("save", folder)
        remove(copy)
        self.reset_store(mount)
        self.measure_diff(fs, mount, base, folder, paths, files, shape, items, available, add, save_rss)
        self.measure_list(fs, mount, folder, available, add)
        self.measure_restore(fs, mount, folder, paths, available, add)
        if fs == "btrfs" and available["save"]:
            self.measure_subvolume(mount, base, folder, paths, available, add)
        remove(base)
        self.reset_store(mount)

    def measure_subvolume(self, mount, base, folder, paths, available, add):
        """The same tree as a Btrfs subvolume, which redomark saves and restores by
        snapshots; a read-only snapshot of it is the physical limit."""
        sub, copy, fresh, old = (os.path.join(base, n) for n in ("subvolume", "sub-copy", "sub-fresh", "sub-old"))
        check(run(["btrfs", "subvolume", "create", sub]), "btrfs subvolume create")
        check(run(["cp", "-a", "--reflink=always", folder + "/.", sub]), "cp")
        self.reset_store(mount)

        def before_save(side):
            remove(copy)
            self.reset_store(mount)

        save = lambda: check(self.redomark("save", sub), "redomark save")  # noqa: E731
        cp_copy = lambda: check(run(["cp", "-a", "--reflink=always", sub, copy]), "cp")  # noqa: E731
        snapshot = lambda: check(run(["btrfs", "subvolume", "snapshot", "-r", sub, copy]), "btrfs snapshot")  # noqa: E731
        add("subvolume save vs cp -a --reflink=always", self.pair(save, cp_copy, before_save), 0.2)
        add("btrfs subvolume snapshot -r vs cp -a --reflink", self.pair(snapshot, cp_copy, before_save), None)
        remove(copy)
        if not available["restore"]:
            remove(sub)
            return
        self.reset_store(mount)
        check(self.redomark("save", sub), "redomark save")
        data = self.checkpoint_data(mount)
        rounds = [0]

        def before_restore(side):
            rounds[0] += 1
            tree.rewrite(sub, paths, 0.01, seed=30 + rounds[0])
            remove(fresh)
            remove(old)
            if side == "mine":
                self.keep_only(mount, data)
                if not is_subvolume(sub):
                    # The other side's copy and rename left a plain directory in its place.
                    again = sub + ".again"
                    check(run(["btrfs", "subvolume", "create", again]), "btrfs subvolume create")
                    check(run(["cp", "-a", "--reflink=always", sub + "/.", again]), "cp")
                    remove(sub)
                    os.rename(again, sub)
                for name in os.listdir(base):
                    if "(replaced by Redomark" in name:
                        remove(os.path.join(base, name))

        def cp_rename():
            result = check(run(["cp", "-a", "--reflink=always", data, fresh]), "cp")
            start = time.perf_counter()
            os.rename(sub, old)
            os.rename(fresh, sub)
            result.seconds += time.perf_counter() - start
            return result

        restore = lambda: check(self.redomark("restore", sub, "--yes"), "redomark restore")  # noqa: E731
        add("subvolume restore --yes vs cp -a --reflink + rename", self.pair(restore, cp_rename, before_restore), 0.5)
        remove(fresh)
        remove(old)
        remove(sub)

    def measure_diff(self, fs, mount, base, folder, paths, files, shape, items, available, add, save_rss=None):
        """One checkpoint and one commit of the same tree, then 1% of it rewritten.
        Git's repository lies beside the tree, not in it."""
        git_dir = os.path.join(base, "git")
        git = ["git", f"--git-dir={git_dir}", f"--work-tree={folder}",
               "-c", "user.name=bench", "-c", "user.email=bench@localhost",
               # No collection in the background: it would run during the timings.
               "-c", "gc.auto=0", "-c", "maintenance.auto=false"]
        check(run(["git", "init", "-q", "--bare", git_dir]), "git init")
        check(run(git + ["config", "core.bare", "false"]), "git config")
        check(run(git + ["add", "-A"]), "git add")
        check(run(git + ["commit", "-q", "-m", "tree"]), "git commit")
        if available["save"]:
            check(self.redomark("save", folder), "redomark save")
        if self.baseline:
            check(self.redomark("save", folder, binary=self.baseline), "baseline save")
        git_status = lambda: check(run(git + ["status", "--porcelain"]), "git status")  # noqa: E731
        if available["save"]:
            # Nothing changed since the checkpoint: a timer's typical run, which saves nothing.
            unchanged = lambda: check(self.redomark("save", folder, "--if-changed"), "redomark save --if-changed")  # noqa: E731
            add("save --if-changed (unchanged) vs git status --porcelain", self.pair(unchanged, git_status), 0.8)
        tree.rewrite(folder, paths, 0.01, seed=2)
        diff = lambda: check(self.redomark("diff", folder), "redomark diff")  # noqa: E731
        baseline = None
        if self.baseline:
            baseline = lambda: check(self.redomark("diff", folder, binary=self.baseline), "baseline diff")  # noqa: E731
        add("diff (1% rewritten) vs git status --porcelain",
            self.pair(diff if available["diff"] else None, git_status, baseline=baseline), 0.7)
        diff_rss = self.peak_memory("diff", folder) if available["diff"] else None
        self.memory.append((fs, shape, files, items, save_rss, diff_rss))
        if available["save"] and available["diff"] and available["show"]:
            self.measure_looking(folder, paths, add)

    def measure_looking(self, folder, paths, add):
        """show of one file, diff --file of the subfolder nearest 200 items and diff of
        two redomarks, each against the whole diff of the folder, which a second
        redomark and another 1% rewritten leave as it was."""
        check(self.redomark("save", folder), "redomark save")
        tree.rewrite(folder, paths, 0.01, seed=3)
        listing = subprocess.run([self.binary, "list", folder, "--json"], env=self.env, capture_output=True, text=True)
        first, second = [line.split('"')[3] for line in listing.stdout.splitlines() if line.strip().startswith('"id"')][:2]
        below = {}
        for root, dirs, names in os.walk(folder, topdown=False):
            below[root] = len(dirs) + len(names) + sum(below.get(os.path.join(root, d), 0) for d in dirs)
        sub = min((d for d in below if d != folder), key=lambda d: abs(below[d] - 200))
        one = next(p for p in sorted(paths) if os.path.isfile(os.path.join(folder, p)))
        whole = lambda: check(self.redomark("diff", folder), "redomark diff")  # noqa: E731
        show = lambda: check(self.redomark("show", folder, "--file", one), "redomark show")  # noqa: E731
        part = lambda: check(self.redomark("diff", folder, "--file", os.path.relpath(sub, folder)),  # noqa: E731
                             "redomark diff --file")
        between = lambda: check(self.redomark("diff", folder, first, second), "redomark diff id id2")  # noqa: E731
        add("show of one file vs whole diff", self.pair(show, whole), 0.1)
        add(f"diff --file of {below[sub]} items vs whole diff", self.pair(part, whole), 0.1)
        add("diff of two redomarks vs whole diff", self.pair(between, whole), 0.5)

    @staticmethod
    def store(mount):
        """The per-user store at a mount point with no shared one."""
        return os.path.join(mount, f".redomark-checkpoints-{os.getuid()}")

    def data_directories(self, mount):
        """Every checkpoint's saved tree in every store at the mount."""
        return {os.path.join(root, "data") for name in os.listdir(mount) if name.startswith(".redomark-checkpoints")
                for root, dirs, _ in os.walk(os.path.join(mount, name)) if "data" in dirs}

    def keep_only(self, mount, data):
        """Leaves the folder one checkpoint, data's, in its store, and empties the Trash."""
        keep = os.path.dirname(data)
        folder_dir = os.path.dirname(keep)
        for name in os.listdir(folder_dir):
            if name != os.path.basename(keep) and name != ".lock":
                remove(os.path.join(folder_dir, name))
        for trash in (os.path.join(mount, ".Trash-0"), os.path.join(self.home, ".local/share/Trash")):
            remove(trash)

    def checkpoint_data(self, mount):
        store = self.store(mount)
        found = [os.path.join(root, "data") for root, dirs, _ in os.walk(store) if "data" in dirs]
        if len(found) != 1:
            raise RuntimeError(f"expected one checkpoint under {store}, found {len(found)}")
        return found[0]

    def measure_list(self, fs, mount, folder, available, add):
        if not available["save"]:
            return
        self.reset_store(mount)
        check(self.redomark("save", folder), "redomark save")
        data = self.checkpoint_data(mount)
        listing = lambda: check(self.redomark("list", folder, "--space"), "redomark list")  # noqa: E731
        if fs == "btrfs":
            label, reference = "list --space vs btrfs filesystem du -s", ["btrfs", "filesystem", "du", "-s", data]
        else:
            label, reference = "list --space vs one thread mapping each file", [self.mapper, data]
        theirs_run = lambda: check(run(reference), label)  # noqa: E731
        add(label, self.pair(listing if available["list"] else None, theirs_run), 1.0)
        if fs != "btrfs":
            # Context only: du counts shared blocks as its own, so no target.
            du = lambda: check(run(["du", "-s", data]), "du -s")  # noqa: E731
            add("list --space vs du -s (context)", self.pair(listing if available["list"] else None, du), None)

    def measure_restore(self, fs, mount, folder, paths, available, add):
        if not available["save"]:
            return
        fresh, old = folder + ".restoring", folder + ".old"
        binaries = {"mine": self.binary, "theirs": self.binary, "baseline": self.baseline}
        data = [None]
        rounds = [0]

        def before(side):
            # Each restore has something to put back, from the one checkpoint the
            # side's own build made of the tree.
            rounds[0] += 1
            remove(fresh)
            remove(old)
            self.reset_store(mount)
            check(self.redomark("save", folder, binary=binaries[side]), "redomark save")
            data[0], = self.data_directories(mount)
            tree.rewrite(folder, paths, 0.01, seed=10 + rounds[0])

        def cp_rename():
            result = check(run(["cp", "-a", "--reflink=always", data[0], fresh]), "cp")
            start = time.perf_counter()
            os.rename(folder, old)
            os.rename(fresh, folder)
            result.seconds += time.perf_counter() - start
            return result

        label = "restore --yes vs cp -a --reflink=always + rename"
        restore = lambda: check(self.redomark("restore", folder, "--yes"), "redomark restore")  # noqa: E731
        baseline = None
        if self.baseline:
            baseline = lambda: check(self.redomark("restore", folder, "--yes", binary=self.baseline),  # noqa: E731
                                     "baseline restore")
        add(label, self.pair(restore if available["restore"] else None, cp_rename, before, baseline), 1.3)
        remove(fresh)
        remove(old)
        self.reset_store(mount)

    def table(self):
        """Times as wall/user/system seconds; ratios of wall times to the other tool's."""
        baseline = any(row[6] for row in self.rows)
        head = f"{'volume':<7} {'shape':<6} {'files':>7}  {'pair':<50} {'redomark s':>20} {'other s':>20} {'ratio':>6}"
        if baseline:
            head += f" {'baseline s':>20} {'ratio':>6}"
        lines = [head + f" {'target':>7}"]

        def times(t):
            return f"{t.wall:.3f}/{t.user:.3f}/{t.system:.3f}"

        for fs, shape, files, label, mine, theirs, base, target in self.rows:
            line = (f"{fs:<7} {shape:<6} {files:>7}  {label:<50} {'absent' if mine is None else times(mine):>20}"
                    f" {times(theirs):>20} {'-' if mine is None else format(mine.wall / theirs.wall, '5.2f') + 'x':>6}")
            if baseline:
                line += (f" {'-' if base is None else times(base):>20}"
                         f" {'-' if base is None else format(base.wall / theirs.wall, '5.2f') + 'x':>6}")
            limit = "-" if target is None else "<=" + format(target, ".1f") + "x"
            lines.append(line + f" {limit:>7}")
        lines.append("")
        lines.append(f"{'volume':<7} {'shape':<6} {'files':>7} {'items':>7}  {'save peak MiB':>13}"
                     f" {'diff peak MiB':>13} {'budget MiB':>10}")
        for fs, shape, files, items, save_rss, diff_rss in self.memory:
            budget = (16 * MIB + 300 * items) / MIB
            shown = ["absent" if r is None else f"{r / MIB:.1f}" for r in (save_rss, diff_rss)]
            lines.append(f"{fs:<7} {shape:<6} {files:>7} {items:>7}  {shown[0]:>13} {shown[1]:>13} {budget:10.1f}")
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("work")
    parser.add_argument("--volume", action="append", required=True, help="NAME=MOUNTPOINT")
    parser.add_argument("--files", type=int, action="append")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--shape", choices=("mixed", "source"), action="append")
    parser.add_argument("--only", choices=("diff",))
    parser.add_argument("--baseline", help="an earlier redomark to time beside this one")
    parser.add_argument("--mapper", required=True, help="the reference that maps each file, for XFS")
    args = parser.parse_args()
    bench = Bench(os.path.abspath(args.binary), os.path.abspath(args.work), args.runs, os.path.abspath(args.mapper),
                  args.baseline and os.path.abspath(args.baseline), args.only)
    volumes = [v.split("=", 1) for v in args.volume]

    probe = os.path.join(volumes[0][1], "probe")
    remove(probe)
    tree.generate(probe, 4)
    available = {w: bench.has_command(w, probe) for w in ("save", "diff", "list", "restore", "show")}
    remove(probe)
    bench.reset_store(volumes[0][1])
    missing = [w for w, ok in available.items() if not ok]
    if missing:
        print("redomark has no " + ", ".join(missing) + " command yet: only the other side is timed",
              flush=True)

    for files in args.files or [10000, 100000]:
        for shape in args.shape or ["mixed", "source"]:
            for fs, mount in volumes:
                bench.measure(fs, mount, files, shape, available)
    print()
    print(f"medians of {args.runs} runs after one warm-up, the sides taking turns to go first;"
          " times are wall/user/system seconds")
    print(bench.table())


if __name__ == "__main__":
    main()
