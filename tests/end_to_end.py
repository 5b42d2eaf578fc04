#!/usr/bin/env python3
"""End-to-end tests: the built tool, run as a user runs it.

Every case checks standard output byte for byte, the exit status, that
standard error stays empty, and the bytes of the files involved.  Fixtures
are made by tools/make_clip.py, whose frames carry their own numbers, so a
cut that is off by one frame fails.

    end_to_end.py --tool PATH [--runner CMD ...] [--platform posix|windows]
                  [--width W --height H] [--sanitized]

--runner puts a command in front of the tool (an emulator such as Wine);
--platform windows skips the cases that need a fault only Linux can make
and runs those that only Windows share modes make possible.
"""

import argparse
import contextlib
import functools
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tools"))
import make_clip  # noqa: E402

OPTIONS = None

BANNER = b"Zorvik Plandry (10-29-2014)\n"
USAGE = (b"Creates a .yuv file given\n"
         b"Parameter 1: input filename (yuv420p format) with .yuv extension\n"
         b"Parameter 2: starting frame number \n"
         b"Parameter 3: number of frames to copy\n"
         b"Parameter 4: output filename with .yuv extension\n")
SHORT_READ = b"Error: seek past end of file\n"
NO_MEMORY = b"Error: not enough memory for frame buffers\n"

# Holds a file open, with a lock of the kind named or none, until its
# standard input closes; says "held" once it holds the file.
HOLDER = r"""
import fcntl, sys
path, mode, lock = sys.argv[1:]
f = open(path, mode, buffering=0)  # unbuffered: a FIFO cannot seek
take = {"flock-sh": lambda: fcntl.flock(f, fcntl.LOCK_SH),
        "flock-ex": lambda: fcntl.flock(f, fcntl.LOCK_EX),
        "lockf-sh": lambda: fcntl.lockf(f, fcntl.LOCK_SH),
        "lockf-ex": lambda: fcntl.lockf(f, fcntl.LOCK_EX),
        "none": lambda: None}[lock]
take()
print("held", flush=True)
sys.stdin.read()
"""

# LeakSanitizer cannot work under ptrace; the sanitized tool is traced
# without it.
NO_LEAK_CHECK = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")

# Runs the tool as a user who owns none of the test's files.
AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")


def input_missing(path):
    return b'Input file "%s" not found\n' % path.encode()


def output_refused(path):
    return b'Output file "%s" cannot be opened for writing\n' % path.encode()


def write_failed(path):
    return b'Error: cannot write output file "%s"\n' % path.encode()


def read_failed(path):
    return b'Error: cannot read input file "%s"\n' % path.encode()


def seek_failed(path):
    return b'Error: cannot seek in input file "%s"\n' % path.encode()


def count(frames):
    return b"frames written: %d\n" % frames


def progress(frames):
    """The progress lines of a run that writes `frames` frames."""
    return b"".join(b"frame# %d:\r" % n for n in range(0, frames, 10))


def copied(frames, *, short=False):
    """Standard output of a run that copies `frames` frames."""
    return BANNER + progress(frames) + (SHORT_READ if short else b"") + \
        count(frames)


def frame_size():
    return make_clip.frame_size(OPTIONS.width, OPTIONS.height)


def frames(numbers):
    return b"".join(make_clip.frame(n, OPTIONS.width, OPTIONS.height)
                    for n in numbers)


def first_frame_beyond(limit):
    return limit // frame_size() + 1


def run_emulated(command, **kwargs):
    """subprocess.run, but a run under an emulator that printed nothing at
    all is tried again, twice at most.  The tool prints its banner before
    it does anything else, so such a run never reached the tool: Wine, on
    a new prefix, now and then loses a program that way."""
    for attempt in range(3):
        done = subprocess.run(command, **kwargs)
        if not OPTIONS.runner or done.stdout != b"":
            break
        sys.stderr.write("note: %s printed nothing (status %d, %r); "
                         "trying again\n" % (" ".join(command[-4:]),
                                              done.returncode, done.stderr))
    return done


def only_on(platform, why):
    """Skips a test unless the tool under test is built for `platform`."""
    def decorate(test):
        @functools.wraps(test)
        def run_or_skip(self):
            if OPTIONS.platform != platform:
                self.skipTest(why)
            test(self)
        return run_or_skip
    return decorate


posix_only = only_on("posix", "needs a fault that only Linux makes")
windows_only = only_on("windows", "needs Windows")


class ToolTest(unittest.TestCase):
    CLIP_FRAMES = 30

    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="framerange-clip-")
        cls.clip = os.path.join(cls.shared, "clip.yuv")
        make_clip.write_frames(cls.clip, range(cls.CLIP_FRAMES),
                               OPTIONS.width, OPTIONS.height)
        with open(cls.clip, "rb") as f:
            cls.clip_bytes = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="framerange-")
        self.addCleanup(shutil.rmtree, self.dir)

    # -- helpers ---------------------------------------------------------

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def link_clip(self, name="in.yuv"):
        os.link(self.clip, self.path(name))

    def command(self, *args, wrap=()):
        return [*wrap, *OPTIONS.runner, OPTIONS.tool, *args]

    def run_tool(self, *args, wrap=(), stdin=None, limits=None):
        """Runs the tool in the test's directory; returns stdout, status."""
        def apply_limits():
            # SIGXFSZ and SIGPIPE are left at their defaults (subprocess
            # restores them), as a shell leaves them: the tool itself must
            # keep a limit or a closed pipe from killing it.
            for which, value in (limits or {}).items():
                resource.setrlimit(which, (value, value))
        done = run_emulated(self.command(*args, wrap=wrap), cwd=self.dir,
                            stdin=stdin if stdin is not None
                            else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=apply_limits if limits else None,
                            timeout=300)
        out = done.stdout
        if OPTIONS.platform == "windows":
            # The console's text mode writes each newline as CR LF; the lone
            # CR that ends a progress line stays as it is.
            out = out.replace(b"\r\n", b"\n")
        self.assertEqual(done.stderr, b"", "standard error must stay empty")
        return out, done.returncode

    def check(self, args, stdout, status, **kwargs):
        out, code = self.run_tool(*args, **kwargs)
        self.assertEqual(out, stdout)
        self.assertEqual(code, status)

    # -- command line ----------------------------------------------------

    def test_wrong_parameter_count_prints_usage_and_touches_nothing(self):
        for args in [(), ("a",), ("a", "b", "c"), ("a", "0", "1", "out", "x")]:
            with self.subTest(args=args):
                self.check(args, BANNER + USAGE, 1)
                self.assertEqual(os.listdir(self.dir), [])

    def test_numbers_are_read_like_atoi(self):
        self.link_clip()
        cases = [
            # start, count, frames copied
            ("abc", "2", [0, 1]),
            ("4", "12abc", range(4, 16)),
            ("+5", " 3", [5, 6, 7]),
            ("-5", "2", [0, 1]),  # a negative start copies from frame 0
            ("-2147483648", "1", [0]),
            ("0x10", "1", [0]),
        ]
        for start, number, expected in cases:
            with self.subTest(start=start, count=number):
                self.check(("in.yuv", start, number, "out.yuv"),
                           copied(len(expected)), 0)
                self.assertEqual(self.read("out.yuv"), frames(expected))

    # -- copies ----------------------------------------------------------

    def test_cuts(self):
        self.link_clip("clip.raw")  # the extension means nothing
        n = self.CLIP_FRAMES
        cases = [
            # start, count, frames copied, short read
            (0, 1, [0], False),
            (5, 1, [5], False),
            (3, 25, range(3, 28), False),
            (0, n, range(n), False),
            (n - 10, 10, range(n - 10, n), False),  # ends exactly at the end
            (n - 2, 10, [n - 2, n - 1], True),
            (n, 5, [], True),
            (n + 100, 1, [], True),
            (2147483647, 1, [], True),  # far beyond anything a disk holds
            ("99999999999", 1, [], True),
            (0, 0, [], False),
            (5, -3, [], False),
            (2147483647, 0, [], False),
        ]
        for start, number, expected, short in cases:
            with self.subTest(start=start, count=number):
                self.check(("clip.raw", str(start), str(number), "out.yuv"),
                           copied(len(expected), short=short), 0)
                self.assertEqual(self.read("out.yuv"), frames(expected))

    def test_partial_last_frame_is_not_copied(self):
        make_clip.write_frames(self.path("in.yuv"), range(8), OPTIONS.width,
                               OPTIONS.height, length=frame_size() * 15 // 2)
        self.check(("in.yuv", "5", "10", "out.yuv"), copied(2, short=True), 0)
        self.assertEqual(self.read("out.yuv"), frames([5, 6]))

    def test_empty_input(self):
        self.put("in.yuv", b"")
        self.check(("in.yuv", "0", "3", "out.yuv"), copied(0, short=True), 0)
        self.assertEqual(self.read("out.yuv"), b"")

    def test_existing_output_is_replaced(self):
        self.link_clip()
        self.put("out.yuv", b"old" * frame_size())
        self.check(("in.yuv", "7", "2", "out.yuv"), copied(2), 0)
        self.assertEqual(self.read("out.yuv"), frames([7, 8]))

    def test_offsets_beyond_2_and_4_gib(self):
        # A sparse file: only the frames around each boundary hold data.
        beyond2 = first_frame_beyond(2**31 - 1)
        beyond4 = first_frame_beyond(2**32 - 1)
        held = [beyond2 - 1, beyond2, beyond2 + 1, beyond4 - 1, beyond4,
                beyond4 + 1]
        make_clip.write_frames(self.path("big.yuv"), held, OPTIONS.width,
                               OPTIONS.height)
        for start in (beyond2 - 1, beyond2, beyond4 - 1, beyond4):
            with self.subTest(start=start):
                self.check(("big.yuv", str(start), "2", "out.yuv"),
                           copied(2), 0)
                self.assertEqual(self.read("out.yuv"),
                                 frames([start, start + 1]))
        self.check(("big.yuv", str(beyond4 + 1), "3", "out.yuv"),
                   copied(1, short=True), 0)
        self.assertEqual(self.read("out.yuv"), frames([beyond4 + 1]))

    def test_paths_longer_than_255_characters(self):
        deep = os.path.join(*["d" * 100] * 3)
        os.makedirs(self.path(deep))
        self.link_clip(os.path.join(deep, "in.yuv"))
        source = os.path.join(deep, "in.yuv")
        target = os.path.join(deep, "o" * 150 + ".yuv")
        self.assertGreater(len(source), 255)
        out, code = self.run_tool(source, "2", "3", target)
        if OPTIONS.platform == "windows" and code == 1:
            # A platform may refuse so long a path, but only in so many
            # words, never by overrunning a buffer.
            self.assertEqual(out, BANNER + input_missing(source))
            return
        self.assertEqual((out, code), (copied(3), 0))
        self.assertEqual(self.read(target), frames([2, 3, 4]))

    # -- files that cannot be used ---------------------------------------

    def test_input_that_cannot_be_opened_leaves_output_alone(self):
        os.mkdir(self.path("dir.yuv"))
        self.put("out.yuv", b"keep")
        for name in ("missing.yuv", "dir.yuv", "nodir/in.yuv"):
            with self.subTest(input=name):
                self.check((name, "0", "1", "out.yuv"),
                           BANNER + input_missing(name), 1)
                self.assertEqual(self.read("out.yuv"), b"keep")
        self.check(("missing.yuv", "0", "1", "new.yuv"),
                   BANNER + input_missing("missing.yuv"), 1)
        self.assertFalse(os.path.exists(self.path("new.yuv")))

    def test_output_that_cannot_be_opened(self):
        self.link_clip()
        os.mkdir(self.path("dir.yuv"))
        for name in ("nodir/out.yuv", "dir.yuv"):
            with self.subTest(output=name):
                self.check(("in.yuv", "0", "1", name),
                           BANNER + output_refused(name), 1)
        self.assertEqual(self.read("in.yuv"), self.clip_bytes)

    def test_output_that_is_the_input_is_refused_by_any_path(self):
        os.mkdir(self.path("sub"))
        self.link_clip("sub/in.yuv")
        aliases = ["sub/in.yuv", "sub/../sub/in.yuv", "./sub/in.yuv"]
        if OPTIONS.platform == "posix":
            os.symlink("sub/in.yuv", self.path("symlink.yuv"))
            os.link(self.path("sub/in.yuv"), self.path("hardlink.yuv"))
            aliases += ["symlink.yuv", "hardlink.yuv"]
        for alias in aliases:
            with self.subTest(output=alias):
                self.check(("sub/in.yuv", "0", "2", alias),
                           BANNER + output_refused(alias), 1)
                self.assertEqual(self.read("sub/in.yuv"), self.clip_bytes)

    @posix_only
    def test_locks_held_by_other_programs(self):
        self.link_clip()
        self.put("out.yuv", b"keep")
        # flock(1) holds the lock while the tool runs beside it.
        writer_on_input = ("flock", "--exclusive", "--nonblock", "--close",
                           self.path("in.yuv"))
        self.check(("in.yuv", "0", "1", "out.yuv"),
                   BANNER + input_missing("in.yuv"), 1,
                   wrap=writer_on_input)
        self.assertEqual(self.read("out.yuv"), b"keep")

        reader_on_output = ("flock", "--shared", "--nonblock", "--close",
                            self.path("out.yuv"))
        self.check(("in.yuv", "0", "1", "out.yuv"),
                   BANNER + output_refused("out.yuv"), 1,
                   wrap=reader_on_output)
        self.assertEqual(self.read("out.yuv"), b"keep")

        reader_on_input = ("flock", "--shared", "--nonblock", "--close",
                           self.path("in.yuv"))
        self.check(("in.yuv", "1", "2", "out.yuv"), copied(2), 0,
                   wrap=reader_on_input)
        self.assertEqual(self.read("out.yuv"), frames([1, 2]))

    def test_device_output_is_written_not_truncated(self):
        self.link_clip()
        null = "NUL" if OPTIONS.platform == "windows" else "/dev/null"
        self.check(("in.yuv", "0", "12", null), copied(12), 0)

    # -- faults of the machine -------------------------------------------

    @posix_only
    def test_full_disk_is_reported(self):
        self.link_clip()
        self.check(("in.yuv", "0", "3", "/dev/full"),
                   BANNER + progress(1) + write_failed("/dev/full") + count(0),
                   1)

    @posix_only
    def test_file_size_limit_is_reported(self):
        self.link_clip()
        limit = frame_size() * 3 // 2  # room for one frame and a half
        self.check(("in.yuv", "4", "5", "out.yuv"),
                   BANNER + progress(1) + write_failed("out.yuv") + count(1),
                   1, limits={resource.RLIMIT_FSIZE: limit})
        self.assertEqual(self.read("out.yuv")[:frame_size()], frames([4]))

    @posix_only
    def test_read_error_is_not_end_of_file(self):
        # Reading this process's own memory at address 0 fails with EIO.
        self.check(("/proc/self/mem", "0", "2", "out.yuv"),
                   BANNER + read_failed("/proc/self/mem") + count(0), 1)
        self.assertEqual(self.read("out.yuv"), b"")

    @posix_only
    def test_pipe_input(self):
        for start, number, stdout, status, expected in [
            (0, 12, copied(12), 0, range(12)),
            (-1, 2, copied(2), 0, [0, 1]),
            # Refused before the copy starts: the old output stays.
            (5, 2, BANNER + seek_failed("/dev/stdin") + count(0), 1, None),
        ]:
            with self.subTest(start=start):
                self.put("out.yuv", b"keep")
                feeder = subprocess.Popen(["cat", self.clip],
                                          stdout=subprocess.PIPE)
                try:
                    self.check(("/dev/stdin", str(start), str(number),
                                "out.yuv"), stdout, status,
                               stdin=feeder.stdout)
                finally:
                    feeder.stdout.close()
                    feeder.wait()
                self.assertEqual(self.read("out.yuv"), b"keep"
                                 if expected is None else frames(expected))

    @posix_only
    def test_no_memory_for_frame_buffers(self):
        if OPTIONS.sanitized:
            self.skipTest("the sanitizers reserve more address space than "
                          "any limit that would make this fault")
        self.link_clip()
        self.put("out.yuv", b"keep")
        # Room for the tool to start and for one frame buffer, not two.
        limit = self.smallest_address_space() + frame_size() * 3 // 2
        self.check(("in.yuv", "0", "1", "out.yuv"),
                   BANNER + NO_MEMORY + count(0), 1,
                   limits={resource.RLIMIT_AS: limit})
        self.assertEqual(self.read("out.yuv"), b"keep")

    def smallest_address_space(self):
        """The least RLIMIT_AS under which the tool still prints usage."""
        def starts(limit):
            done = subprocess.run(
                self.command(),
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS,
                                                      (limit, limit)),
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            return done.stdout == BANNER + USAGE
        low, high = 0, 256 << 20
        self.assertTrue(starts(high))
        while high - low > 64 << 10:
            middle = (low + high) // 2
            if starts(middle):
                high = middle
            else:
                low = middle
        return high + (256 << 10)

    # -- the world outside: consoles, other programs, pipes, signals -----

    def spawn(self, *args, wrap=(), stdout=subprocess.PIPE,
              stdin=subprocess.DEVNULL, preexec_fn=None, env=None):
        """Starts the tool in the test's directory and returns at once.

        The tool gets the signal dispositions of a foreground job, whatever
        this suite inherited (a background job's SIGINT is ignored), and a
        file size limit, so that a run which fails to stop on request
        cannot fill the disk.
        """
        def prepare():
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(number, signal.SIG_DFL)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4 << 30, 4 << 30))
            if preexec_fn:
                preexec_fn()
        return subprocess.Popen(self.command(*args, wrap=wrap), cwd=self.dir,
                                stdin=stdin, stdout=stdout,
                                stderr=subprocess.PIPE, preexec_fn=prepare,
                                env=env)

    def finish(self, run, timeout=300):
        """Waits for a spawned run; returns its status and what it printed
        that was not read yet."""
        out, err = run.communicate(timeout=timeout)
        self.assertEqual(err, b"", "standard error must stay empty")
        return run.returncode, out or b""

    def read_until(self, run, text, timeout=60):
        """Reads the run's standard output until `text` has appeared,
        while the run goes on."""
        seen = b""
        deadline = time.monotonic() + timeout
        while text not in seen:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([run.stdout], [], [], max(left, 0))
            self.assertTrue(ready, "waiting for %r, saw %r" % (text, seen))
            chunk = os.read(run.stdout.fileno(), 4096)
            self.assertNotEqual(chunk, b"", "ended before %r: %r"
                                % (text, seen))
            seen += chunk
        return seen

    def wait_until_reading(self, pid):
        """Waits until the process waits in read(2) for its next frame."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                with open("/proc/%d/syscall" % pid) as f:
                    if f.read().split()[0] == "0":
                        return
            except (OSError, IndexError):
                time.sleep(1)  # not to be seen here: a second will do
                return
            time.sleep(0.01)
        self.fail("the tool never waited for its input")

    @contextlib.contextmanager
    def held(self, name, mode, lock="none"):
        """Another program holds the file open, with a lock or none."""
        holder = subprocess.Popen(
            [sys.executable, "-c", HOLDER, self.path(name), mode, lock],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), b"held\n")
            yield
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)
            holder.stdout.close()

    def fifo(self, name):
        os.mkfifo(self.path(name))
        return self.path(name)

    @posix_only
    def test_output_never_receives_console_text(self):
        self.link_clip()
        refused = BANNER + output_refused("/dev/stdout")
        kinds = ["file", "file by name", "appended file", "pipe", "terminal",
                 "null device"]
        if os.geteuid() == 0 and shutil.which("setpriv"):
            # Run by a user who does not own the file, no lease can be had:
            # the check against standard output alone decides.
            kinds.append("file of another owner")
            os.chmod(self.dir, 0o777)
        for kind in kinds:
            with self.subTest(stdout=kind):
                self.put("console", b"old")
                os.chmod(self.path("console"), 0o666)
                output = "/dev/stdout"
                wrap = AS_NOBODY if kind == "file of another owner" else ()
                if kind == "pipe":
                    stdout = subprocess.PIPE
                elif kind == "terminal":
                    master, slave = pty.openpty()
                    self.addCleanup(os.close, master)
                    stdout, output = slave, os.ttyname(slave)
                elif kind == "null device":
                    stdout, output = subprocess.DEVNULL, "/dev/null"
                else:
                    stdout = open(self.path("console"),
                                  "ab" if kind == "appended file" else "wb")
                    if kind == "file by name":
                        output = "console"
                run = self.spawn("in.yuv", "0", "12", output, stdout=stdout,
                                 wrap=wrap)
                if kind == "terminal":
                    os.close(stdout)
                elif stdout not in (subprocess.PIPE, subprocess.DEVNULL):
                    stdout.close()
                code, out = self.finish(run)
                if kind == "null device":
                    self.assertEqual(code, 0)
                    continue
                self.assertEqual(code, 1)
                expected = BANNER + output_refused(output)
                if kind == "pipe":
                    self.assertEqual(out, refused)
                elif kind == "terminal":
                    text = os.read(master, 4096).replace(b"\r\n", b"\n")
                    self.assertEqual(text, expected)
                else:
                    old = b"old" if kind == "appended file" else b""
                    self.assertEqual(self.read("console"), old + expected)

    @posix_only
    def test_closed_standard_descriptors_are_not_reused(self):
        self.link_clip()
        for closing in ("<&-", ">&-", "<&- >&-", "<&- >&- 2>&-"):
            with self.subTest(closing=closing):
                shell = ("sh", "-c", 'exec "$@" %s' % closing, "sh")
                run = self.spawn("in.yuv", "0", "12", "out.yuv", wrap=shell)
                code, out = self.finish(run)
                self.assertEqual(code, 0)
                if ">&-" not in closing:
                    self.assertEqual(out, copied(12))
                self.assertEqual(self.read("out.yuv"), frames(range(12)))

    @posix_only
    def test_pipes_and_devices_take_no_lock(self):
        self.link_clip()
        # The first run holds /dev/null while it waits for more input.
        feed = self.fifo("feed")
        first = self.spawn(feed, "0", "5", "/dev/null")
        with open(feed, "wb") as writer:
            writer.write(frames([0]))
            writer.flush()
            # Progress is seen while the run goes on, not at its end.
            self.assertEqual(self.read_until(first, b"frame# 0:\r"),
                             BANNER + progress(1))
            self.check(("in.yuv", "0", "5", "/dev/null"), copied(5), 0)
        self.assertEqual(self.finish(first), (0, SHORT_READ + count(1)))

        # One run writes a FIFO that another reads, while a third program
        # holds an exclusive lock on it: a FIFO's locks mean nothing here.
        pipe = self.fifo("pipe")
        with self.held("pipe", "r+b", "flock-ex"):
            reader = self.spawn(pipe, "0", "5", "got.yuv")
            self.check(("in.yuv", "3", "5", pipe), copied(5), 0)
            self.assertEqual(self.finish(reader), (0, copied(5)))
        self.assertEqual(self.read("got.yuv"), frames(range(3, 8)))

    @posix_only
    def test_banner_is_seen_before_a_fifo_opens(self):
        feed = self.fifo("feed")
        with open(self.path("console"), "wb") as console:
            run = self.spawn(feed, "0", "1", "out.yuv", stdout=console)
        deadline = time.monotonic() + 60
        while self.read("console") != BANNER:
            self.assertLess(time.monotonic(), deadline, "no banner yet")
            time.sleep(0.05)
        open(feed, "wb").close()
        self.assertEqual(self.finish(run)[0], 0)
        self.assertEqual(self.read("console"), copied(0, short=True))

    def sharing_case(self, name, mode, lock, as_nobody, refused):
        """Runs a cut while another program holds `name`, and checks that
        the run is refused or goes ahead, and that no file was harmed."""
        self.put("out.yuv", b"keep")
        wrap = ()
        if as_nobody:
            # Not the files' owner: no lease can be had, locks decide.
            os.chmod(self.dir, 0o777)
            os.chmod(self.path("out.yuv"), 0o666)
            wrap = AS_NOBODY
        with self.held(name, mode, lock):
            if not refused:
                self.check(("in.yuv", "2", "3", "out.yuv"), copied(3), 0,
                           wrap=wrap)
                self.assertEqual(self.read("out.yuv"), frames([2, 3, 4]))
                return
            self.check(("in.yuv", "2", "3", "out.yuv"), BANNER + (
                input_missing("in.yuv") if name == "in.yuv"
                else output_refused("out.yuv")), 1, wrap=wrap)
        self.assertEqual(self.read("out.yuv"), b"keep")
        self.assertEqual(self.read("in.yuv"), self.clip_bytes)

    @posix_only
    def test_sharing_rules_hold_against_programs_that_take_no_lock(self):
        # The file's owner may ask whether anyone has it open.
        self.link_clip()
        for name, mode, refused in [
            ("in.yuv", "ab", True),    # a capture still writing it
            ("out.yuv", "rb", True),   # a player reading it
            ("out.yuv", "ab", True),
            ("in.yuv", "rb", False),   # other readers are welcome
        ]:
            with self.subTest(held=name, mode=mode):
                self.sharing_case(name, mode, "none", False, refused)

    @posix_only
    def test_each_kind_of_lock_keeps_the_rules_alone(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run the tool as a user "
                          "who owns neither file")
        self.link_clip()
        for name, mode, lock, refused in [
            ("in.yuv", "r+b", "lockf-ex", True),
            ("in.yuv", "rb", "flock-ex", True),
            ("out.yuv", "rb", "lockf-sh", True),
            ("out.yuv", "rb", "flock-sh", True),
            ("in.yuv", "rb", "lockf-sh", False),
            ("in.yuv", "rb", "flock-sh", False),
            # Where no lease can be had, the locks alone decide.
            ("in.yuv", "ab", "none", False),
        ]:
            with self.subTest(held=name, lock=lock):
                self.sharing_case(name, mode, lock, True, refused)

    @posix_only
    def test_same_file_through_an_overlay_mount(self):
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        for d in ("lower", "upper", "work", "merged"):
            os.mkdir(self.path(d))
        self.link_clip("lower/in.yuv")
        options = "lowerdir=%s,upperdir=%s,workdir=%s" % (
            self.path("lower"), self.path("upper"), self.path("work"))
        mount = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                                options, self.path("merged")],
                               stderr=subprocess.PIPE)
        if mount.returncode != 0:
            self.skipTest("cannot mount an overlay here: %s"
                          % mount.stderr.decode().strip())
        self.addCleanup(subprocess.run, ["umount", self.path("merged")])
        # Device numbers differ: only the check for other opens sees it.
        self.check(("merged/in.yuv", "0", "2", "lower/in.yuv"),
                   BANNER + output_refused("lower/in.yuv"), 1)
        self.assertEqual(self.read("lower/in.yuv"), self.clip_bytes)

    @posix_only
    def test_a_console_nobody_reads_does_not_stop_the_copy(self):
        self.link_clip()
        run = self.spawn("in.yuv", "0", "30", "out.yuv")
        self.assertEqual(run.stdout.readline(), BANNER)
        run.stdout.close()
        self.assertEqual(self.finish(run), (0, b""))
        self.assertEqual(self.read("out.yuv"), self.clip_bytes)

    @posix_only
    def test_a_request_to_stop_ends_the_cut_on_a_whole_frame(self):
        def ignore_hangup():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
        for sent, ignoring, ends_by in [
            ((signal.SIGINT,), None, signal.SIGINT),
            ((signal.SIGTERM,), None, signal.SIGTERM),
            ((signal.SIGHUP,), None, signal.SIGHUP),
            # A hangup that the caller ignores (nohup) stays ignored.
            ((signal.SIGHUP, signal.SIGTERM), ignore_hangup, signal.SIGTERM),
        ]:
            with self.subTest(sent=sent):
                run = self.spawn("/dev/zero", "0", "2147483647", "out.yuv",
                                 preexec_fn=ignoring)
                out = self.read_until(run, b"frame# 10:\r")
                for number in sent:
                    os.kill(run.pid, number)
                    time.sleep(0.2)
                code, rest = self.finish(run)
                written = os.path.getsize(self.path("out.yuv"))
                self.assertEqual(code, -ends_by)
                self.assertEqual(written % frame_size(), 0)
                self.assertEqual(out + rest, copied(written // frame_size()))

    @posix_only
    def test_a_request_to_stop_is_not_held_up_by_a_silent_pipe(self):
        feed = self.fifo("feed")
        run = self.spawn(feed, "0", "5", "out.yuv")
        with open(feed, "wb") as writer:
            writer.write(frames([0]))
            writer.flush()
            self.read_until(run, b"frame# 0:\r")
            self.wait_until_reading(run.pid)
            os.kill(run.pid, signal.SIGINT)
            self.assertEqual(self.finish(run, timeout=60),
                             (-signal.SIGINT, count(1)))
        self.assertEqual(self.read("out.yuv"), frames([0]))

    @posix_only
    def test_space_set_aside_for_an_empty_output_is_given_back(self):
        self.link_clip()
        self.put("out.yuv", b"")
        reserve = subprocess.run(["fallocate", "-n", "-l", "64M",
                                  self.path("out.yuv")],
                                 stderr=subprocess.PIPE)
        if reserve.returncode != 0:
            self.skipTest("cannot set space aside here: %s"
                          % reserve.stderr.decode().strip())
        self.check(("in.yuv", "0", "1", "out.yuv"), copied(1), 0)
        self.assertEqual(self.read("out.yuv"), frames([0]))
        self.assertLess(os.stat(self.path("out.yuv")).st_blocks * 512,
                        2 * frame_size() + (1 << 20))

    # -- faults injected where the machine cannot make them --------------

    def need_strace(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        if subprocess.run(["strace", "-o", os.devnull, "true"],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("ptrace is not allowed here")

    def traced(self, inject=(), trace=None, log=None, wrap=()):
        """The command that runs the tool under strace, with faults
        injected as strace's --inject options say."""
        options = ["-o", log or os.devnull]
        if trace:
            options += ["-e", "trace=" + trace]
        for fault in inject:
            options += ["-e", "inject=" + fault]
        return ("strace", *options, *wrap)

    def nth_call(self, args, syscall, is_it, also="", **kwargs):
        """Runs the tool once under strace and returns the number that
        strace's when= gives the first `syscall` call for which is_it(line,
        lines before) holds."""
        log = os.path.join(self.shared, "strace.log")
        subprocess.run(self.command(*args, wrap=self.traced(
            trace=syscall + also, log=log, **kwargs)), cwd=self.dir,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, env=NO_LEAK_CHECK)
        with open(log) as f:
            lines = f.read().splitlines()
        number = 0
        for index, line in enumerate(lines):
            if line.startswith(syscall + "("):
                number += 1
                if is_it(line, lines[:index]):
                    return number
        self.fail("no such %s call: %s" % (syscall, lines))

    def run_traced(self, args, stdout, status, inject, wrap=()):
        """Runs the tool with faults injected; checks output and status."""
        done = subprocess.run(
            self.command(*args, wrap=self.traced(inject=inject, wrap=wrap)),
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=NO_LEAK_CHECK, timeout=300)
        self.assertEqual(done.stderr, b"")
        self.assertEqual((done.stdout, done.returncode), (stdout, status))

    @posix_only
    def test_failing_close_of_the_output_is_reported_once(self):
        self.need_strace()
        self.link_clip()
        for output, frames_written, failed_before in [
            ("out.yuv", 3, False),
            ("/dev/full", 0, True),  # the write already failed
        ]:
            with self.subTest(output=output):
                args = ("in.yuv", "0", "3", output)

                def is_output_close(line, before):
                    opened = [re.search(r"= (\d+)$", b) for b in before
                              if '"%s"' % output in b]
                    return opened and line.startswith(
                        "close(%s)" % opened[-1].group(1))
                number = self.nth_call(args, "close", is_output_close,
                                       also=",openat")
                self.run_traced(
                    args, BANNER + progress(1 if failed_before else 3) +
                    write_failed(output) + count(frames_written), 1,
                    ["close:error=EIO:when=%d" % number])

    @posix_only
    def test_a_file_system_without_locks_still_serves(self):
        self.need_strace()
        self.link_clip()
        self.run_traced(("in.yuv", "4", "3", "out.yuv"), copied(3), 0,
                        ["flock:error=ENOLCK"])
        self.assertEqual(self.read("out.yuv"), frames([4, 5, 6]))

    @posix_only
    def test_same_file_is_refused_with_every_lock_out_of_the_way(self):
        self.need_strace()
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run the tool as a user "
                          "who owns no file, so that no lease can be had")
        os.chmod(self.dir, 0o777)
        self.link_clip()
        os.chmod(self.path("in.yuv"), 0o666)
        os.link(self.path("in.yuv"), self.path("hardlink.yuv"))
        for alias in ("in.yuv", "./in.yuv", "hardlink.yuv"):
            with self.subTest(output=alias):
                args = ("in.yuv", "0", "2", alias)
                no_flock = ["flock:error=ENOLCK"]
                number = self.nth_call(
                    args, "fcntl", lambda line, _: "F_OFD_SETLK" in line,
                    inject=no_flock, wrap=AS_NOBODY)
                self.run_traced(
                    args, BANNER + output_refused(alias), 1,
                    no_flock + ["fcntl:error=ENOLCK:when=%d" % number],
                    wrap=AS_NOBODY)
                self.assertEqual(self.read("in.yuv"), self.clip_bytes)

    @posix_only
    def test_an_open_that_breaks_the_lease_does_not_end_the_tool(self):
        # The lease on the output is held for a moment only; strace makes
        # that moment a second long, and another program opens the file in
        # it, which sends the tool the lease's break notice, SIGIO.
        self.need_strace()
        self.link_clip()
        self.put("out.yuv", b"")
        args = ("in.yuv", "0", "2", "out.yuv")
        number = self.nth_call(
            args, "fcntl", lambda line, _: "F_SETLEASE, F_WRLCK" in line)
        run = self.spawn(*args, wrap=self.traced(
            inject=["fcntl:delay_exit=1000000:when=%d" % number]),
            env=NO_LEAK_CHECK)
        inode = os.stat(self.path("out.yuv")).st_ino
        deadline = time.monotonic() + 60
        while not self.lease_held(inode):
            self.assertLess(time.monotonic(), deadline, "no lease seen")
            time.sleep(0.01)
        open(self.path("out.yuv"), "rb").close()  # waits for the lease
        self.assertEqual(self.finish(run), (0, copied(2)))
        self.assertEqual(self.read("out.yuv"), frames([0, 1]))

    @staticmethod
    def lease_held(inode):
        with open("/proc/locks") as locks:
            return any("LEASE" in line and
                       line.split()[5].endswith(":%d" % inode)
                       for line in locks)

    @posix_only
    def test_new_output_takes_the_callers_umask(self):
        self.link_clip()
        for mask, mode in [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664),
                           (0, 0o666)]:
            with self.subTest(umask=oct(mask)):
                if os.path.exists(self.path("out.yuv")):
                    os.remove(self.path("out.yuv"))
                run = self.spawn("in.yuv", "0", "1", "out.yuv",
                                 preexec_fn=lambda: os.umask(mask))
                self.assertEqual(self.finish(run), (0, copied(1)))
                self.assertEqual(
                    os.stat(self.path("out.yuv")).st_mode & 0o777, mode)

    # -- Windows share modes ---------------------------------------------

    @windows_only
    def test_files_held_for_writing_by_another_program(self):
        self.link_clip()
        self.put("out.yuv", b"keep")
        for name, args, stdout in [
            ("in.yuv", ("in.yuv", "0", "1", "out.yuv"),
             BANNER + input_missing("in.yuv")),
            ("out.yuv", ("in.yuv", "0", "1", "out.yuv"),
             BANNER + output_refused("out.yuv")),
        ]:
            with self.subTest(held=name):
                holder = subprocess.Popen(
                    [*OPTIONS.runner, OPTIONS.hold_open, name], cwd=self.dir,
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                try:
                    self.assertEqual(holder.stdout.readline().strip(),
                                     b"held")
                    self.check(args, stdout, 1)
                finally:
                    holder.stdin.close()
                    holder.wait(timeout=60)
                    holder.stdout.close()
                self.assertEqual(self.read("out.yuv"), b"keep")
                self.assertEqual(self.read("in.yuv"), self.clip_bytes)

    @windows_only
    def test_device_input_cannot_be_positioned(self):
        # The runtime leaves a seek on a device undefined; it is refused.
        self.check(("NUL", "5", "2", "out.yuv"),
                   BANNER + seek_failed("NUL") + count(0), 1)
        self.check(("NUL", "0", "2", "out.yuv"), copied(0, short=True), 0)

    @windows_only
    def test_two_instances_read_one_input_at_once(self):
        self.link_clip()
        runs = [subprocess.Popen(self.command("in.yuv", str(i), "20",
                                              "out%d.yuv" % i),
                                 cwd=self.dir, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE) for i in (0, 5)]
        for i, run in zip((0, 5), runs):
            out, err = run.communicate(timeout=300)
            self.assertEqual(out.replace(b"\r\n", b"\n"), copied(20))
            self.assertEqual(err, b"")
            self.assertEqual(run.returncode, 0)
            self.assertEqual(self.read("out%d.yuv" % i),
                             frames(range(i, i + 20)))

    # -- Windows names and devices ---------------------------------------

    def run_other(self, tool, *args):
        """Runs another build of the tool; returns stdout, status."""
        done = run_emulated([*OPTIONS.runner, tool, *args], cwd=self.dir,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(done.stderr, b"", "standard error must stay empty")
        return done.stdout.replace(b"\r\n", b"\n"), done.returncode

    @windows_only
    def test_every_name_reaches_its_own_file(self):
        self.link_clip()
        os.mkdir(self.path("sub"))
        # Each name, and the file that a best fit would take it for.
        names = [("ā.yuv", "a.yuv"), ("sub＼x.yuv", "sub/x.yuv"),
                 ("д.yuv", None), ("日本.yuv", None), ("😀.yuv", None),
                 ("é.yuv", None)]
        for name, look_alike in names:
            with self.subTest(name=name):
                if look_alike:
                    self.put(look_alike, b"precious")
                self.put(name, frames([10]))
                self.check((name, "0", "1", "got.yuv"), copied(1), 0)
                self.assertEqual(self.read("got.yuv"), frames([10]))
                self.check(("in.yuv", "5", "1", name), copied(1), 0)
                self.assertEqual(self.read(name), frames([5]))
                if look_alike:
                    self.assertEqual(self.read(look_alike), b"precious")
        # Messages name the file as it was typed, in UTF-8.
        self.check(("in.yuv", "0", "1", "nodir/ā.yuv"),
                   BANNER + output_refused("nodir/ā.yuv"), 1)

    @windows_only
    def test_no_name_is_mapped_to_another_file(self):
        # Where the manifest is not honoured, the command line comes in
        # the ANSI code page, which lacks all of these but é.
        self.link_clip()
        os.mkdir(self.path("sub"))
        tool = OPTIONS.tool_without_manifest
        for name, look_alike in [("ā.yuv", "a.yuv"),
                                 ("sub＼x.yuv", "sub/x.yuv"),
                                 ("日本.yuv", None), ("😀.yuv", None)]:
            with self.subTest(name=name):
                self.put(look_alike or "a.yuv", b"precious")
                before = sorted(os.listdir(self.dir))
                out, code = self.run_other(tool, "in.yuv", "0", "1", name)
                self.assertEqual(code, 1)
                self.assertTrue(out.startswith(BANNER + b'Output file "'))
                self.assertTrue(out.endswith(
                    b'" cannot be opened for writing\n'))
                self.assertEqual(sorted(os.listdir(self.dir)), before)
                self.assertEqual(self.read(look_alike or "a.yuv"),
                                 b"precious")
                out, code = self.run_other(tool, name, "0", "1", "got.yuv")
                self.assertEqual(code, 1)
                self.assertTrue(out.startswith(BANNER + b'Input file "'))
                self.assertFalse(os.path.exists(self.path("got.yuv")))
        # A name that the code page holds is taken as it is.
        self.assertEqual(self.run_other(tool, "in.yuv", "3", "2", "é.yuv"),
                         (copied(2), 0))
        self.assertEqual(self.read("é.yuv"), frames([3, 4]))

    @windows_only
    def test_device_names_never_swallow_a_cut(self):
        self.link_clip()
        os.mkdir(self.path("sub"))
        # Wine opens a serial port through a link in its prefix; this one
        # leads to a file, where a port opened would show what it got.
        prefix = os.environ.get("WINEPREFIX",
                                os.path.expanduser("~/.wine"))
        port = os.path.join(prefix, "dosdevices", "com9")
        self.put("port", b"")
        os.symlink(self.path("port"), port)
        self.addCleanup(os.remove, port)
        before = sorted(os.listdir(self.dir))
        for name in ("nul.yuv", "NUL.yuv", "sub\\nul.yuv", "nul .yuv",
                     "aux.yuv", "AUX", "COM1", "com1.yuv", "LPT1", "PRN",
                     "CON", "CONOUT$", "COM9", "com9.yuv", "sub\\Com9.txt"):
            with self.subTest(output=name):
                self.check(("in.yuv", "0", "12", name),
                           BANNER + output_refused(name), 1)
                self.assertEqual(sorted(os.listdir(self.dir)), before)
                self.assertEqual(self.read("port"), b"")
        # The null device named as such takes the frames and keeps none.
        self.check(("in.yuv", "0", "12", "sub\\NUL"), copied(12), 0)

    @windows_only
    def test_a_pipe_is_no_output(self):
        self.link_clip()
        pipe = "\\\\.\\pipe\\framerange-test-%d" % os.getpid()
        server = subprocess.Popen([*OPTIONS.runner, OPTIONS.hold_open,
                                   "--pipe", pipe], cwd=self.dir,
                                  stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(server.stdout.readline().strip(), b"held")
            self.check(("in.yuv", "0", "1", pipe),
                       BANNER + output_refused(pipe), 1)
        finally:
            server.stdin.close()
            server.wait(timeout=60)
            server.stdout.close()

    @windows_only
    def test_output_redirected_to_by_the_shell_is_refused(self):
        self.link_clip()
        # Each word its own argument, so that Wine quotes none of them.
        tool = "Z:" + OPTIONS.tool.replace("/", "\\")
        done = subprocess.run(
            [*OPTIONS.runner, "cmd", "/c", tool, "in.yuv", "0", "1",
             "console.txt", ">", "console.txt"],
            cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(self.read("console.txt").replace(b"\r\n", b"\n"),
                         BANNER + output_refused("console.txt"))

    @windows_only
    def test_ctrl_c_ends_the_cut_on_a_whole_frame(self):
        # Wine passes SIGINT on to the program as a Ctrl-C.
        with open(self.path("big.yuv"), "wb") as f:
            f.truncate(frame_size() * 1000)
        run = self.spawn("big.yuv", "0", "1000", "out.yuv")
        out = self.read_until(run, b"frame# 10:\r")
        os.kill(run.pid, signal.SIGINT)
        code, rest = self.finish(run)
        written = os.path.getsize(self.path("out.yuv"))
        # The low byte of STATUS_CONTROL_C_EXIT, as Wine gives it back.
        self.assertEqual(code, 0xC000013A & 0xFF)
        self.assertEqual(written % frame_size(), 0)
        self.assertEqual((out + rest).replace(b"\r\n", b"\n"),
                         copied(written // frame_size()))

    @windows_only
    def test_program_says_what_it_is_and_how_it_runs(self):
        with open(OPTIONS.tool, "rb") as f:
            program = f.read()
        for text in (b">UTF-8</activeCodePage>",
                     b">true</longPathAware>",
                     "ProductName".encode("utf-16-le"),
                     "framerange".encode("utf-16-le")):
            with self.subTest(text=text):
                self.assertIn(text, program)
        # Linked statically: the system's own DLLs are all it names.
        named = {name.lower() for name in re.findall(rb"[\w-]+\.dll",
                                                       program, re.I)}
        self.assertLessEqual(named, {b"kernel32.dll", b"msvcrt.dll",
                                     b"shell32.dll"})


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--runner", nargs="*", default=[])
    parser.add_argument("--platform", choices=("posix", "windows"),
                        default="posix")
    parser.add_argument("--width", type=int, default=make_clip.DEFAULT_WIDTH)
    parser.add_argument("--height", type=int,
                        default=make_clip.DEFAULT_HEIGHT)
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("--hold-open",
                        help="a Windows program that holds a file open for "
                        "writing, or serves a named pipe")
    parser.add_argument("--tool-without-manifest",
                        help="the Windows tool built without its manifest")
    OPTIONS, rest = parser.parse_known_args()
    # The tool runs in each test's own directory.
    OPTIONS.runner = [os.path.abspath(r) if os.path.exists(r) else r
                      for r in OPTIONS.runner if r]
    OPTIONS.tool = os.path.abspath(OPTIONS.tool)
    if OPTIONS.tool_without_manifest:
        OPTIONS.tool_without_manifest = os.path.abspath(
            OPTIONS.tool_without_manifest)
    if OPTIONS.runner:
        # An emulator's first start may set itself up and say so on
        # standard error; that belongs to no test.
        subprocess.run([*OPTIONS.runner, OPTIONS.tool],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
