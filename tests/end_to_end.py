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
import functools
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
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
windows_only = only_on("windows", "needs Windows share modes")


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
            # An ignored signal stays ignored across exec, so a write past
            # RLIMIT_FSIZE fails with EFBIG instead of killing the tool.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            for which, value in (limits or {}).items():
                resource.setrlimit(which, (value, value))
        done = subprocess.run(self.command(*args, wrap=wrap), cwd=self.dir,
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
            (5, 2, BANNER + seek_failed("/dev/stdin") + count(0), 1, []),
        ]:
            with self.subTest(start=start):
                feeder = subprocess.Popen(["cat", self.clip],
                                          stdout=subprocess.PIPE)
                try:
                    self.check(("/dev/stdin", str(start), str(number),
                                "out.yuv"), stdout, status,
                               stdin=feeder.stdout)
                finally:
                    feeder.stdout.close()
                    feeder.wait()
                self.assertEqual(self.read("out.yuv"), frames(expected))

    @posix_only
    def test_no_memory_for_frame_buffers(self):
        if OPTIONS.sanitized:
            self.skipTest("the sanitizers reserve more address space than "
                          "any limit that would make this fault")
        self.link_clip()
        # Room for the tool to start and for one frame buffer, not two.
        limit = self.smallest_address_space() + frame_size() * 3 // 2
        self.check(("in.yuv", "0", "1", "out.yuv"), BANNER + NO_MEMORY, 1,
                   limits={resource.RLIMIT_AS: limit})

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
                        "writing")
    OPTIONS, rest = parser.parse_known_args()
    # The tool runs in each test's own directory.
    OPTIONS.runner = [os.path.abspath(r) if os.path.exists(r) else r
                      for r in OPTIONS.runner if r]
    OPTIONS.tool = os.path.abspath(OPTIONS.tool)
    if OPTIONS.runner:
        # An emulator's first start may set itself up and say so on
        # standard error; that belongs to no test.
        subprocess.run([*OPTIONS.runner, OPTIONS.tool],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
