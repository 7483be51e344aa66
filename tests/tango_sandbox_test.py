"""The README's Tango section, run as it stands against counter-tango-sandbox,
by a user who is not root: the sandbox from the installed programs, its
five lines one by one, the PyTango snippet, and a Taurus form of the
device. Runs in a network of its own (tests/in_private_network.sh), so that
the README's ports are free.

    tango_sandbox_test.py BUILD_DIR SOURCE_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD, SOURCE = sys.argv[1], sys.argv[2]
del sys.argv[1:3]
sys.path.insert(0, os.path.join(SOURCE, "tools", "tango_sandbox"))
import tango_control_system  # noqa: E402
from scpi_harness import eventually  # noqa: E402

NOBODY = 65534


def readme_blocks(kind):
    """The Tango section's code blocks of one kind, in order."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        text = f.read()
    section = text[text.index("## In a control system (Tango)"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(rf"```{kind}\n(.*?)```", section, re.S)


class Sandbox(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="sandbox-test-")
        os.chmod(self.root, 0o755)
        self.addCleanup(shutil.rmtree, self.root, True)
        # What the packages would put on the machine, where a user who is not root can run it.
        prefix = os.path.join(self.root, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True, timeout=120)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        os.chown(self.home, NOBODY, NOBODY)
        self.env = dict(os.environ, HOME=self.home, PATH=f"{prefix}/bin:/usr/bin:/bin", TMPDIR=self.home,
                        PYTHONPATH=f"{prefix}/lib/python3/dist-packages")
        self.env.pop("TANGO_HOST", None)
        self.processes = []

    def tearDown(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    p.kill()

    def as_nobody(self, argv, background=False, **kwargs):
        run = subprocess.Popen if background else subprocess.run
        extra = {} if background else {"capture_output": True, "text": True, "timeout": 60}
        p = run(argv, env=self.env, cwd=self.home, preexec_fn=lambda: (os.setgid(NOBODY), os.setuid(NOBODY)),
                **extra, **kwargs)
        if background:
            self.processes.append(p)
        return p

    def test_the_readmes_tango_section_runs_as_written(self):
        import tango
        sandbox_block, lines_block = readme_blocks("sh")[:2]
        sandbox_line = sandbox_block.strip()
        self.assertTrue(sandbox_line.startswith("counter-tango-sandbox"), sandbox_line)
        sandbox = self.as_nobody(["bash", "-c", sandbox_line], background=True, stdout=subprocess.PIPE, text=True)
        said = sandbox.stdout.readline().strip()  # when the database is up
        lines = [line.split("#")[0].strip() for line in lines_block.strip().splitlines()]
        self.assertEqual(said, lines[0], "it prints the README's export")
        self.env["TANGO_HOST"] = said.split("=", 1)[1]
        os.environ["TANGO_HOST"] = self.env["TANGO_HOST"]
        for line in lines[1:]:
            if line.endswith("&"):  # the device server, for as long as the test
                self.as_nobody(["bash", "-c", "exec " + line.rstrip("&")], background=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                continue
            done = self.as_nobody(["bash", "-c", line])
            self.assertEqual(done.returncode, 0, f"{line}: {done.stdout}{done.stderr}")
        device = tango.DeviceProxy("lab/counter/1")

        def on():
            try:
                return device.state() == tango.DevState.ON
            except tango.DevFailed:
                return False

        self.assertTrue(eventually(on), "the device comes ON")
        (snippet,) = readme_blocks("python")
        done = self.as_nobody(["/usr/bin/python3", "-c", snippet])
        self.assertEqual(done.returncode, 0, done.stderr)
        printed = done.stdout.splitlines()
        self.assertEqual(printed[0], "ATTR_INVALID")
        self.assertTrue(printed[1].startswith("RUNNING a run is on"), printed)
        # (A copy: the checkout may be one that only its owner may enter.)
        shutil.copy(os.path.join(SOURCE, "tests", "taurus_form_shot.py"), self.home)
        shot = self.as_nobody(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "/usr/bin/python3",
                               os.path.join(self.home, "taurus_form_shot.py"), "lab/counter/1",
                               os.path.join(self.home, "form.png")])
        self.assertEqual(shot.returncode, 0, shot.stderr[-2000:])
        with open(os.path.join(SOURCE, "README.md")) as f:
            self.assertIn("`taurus form lab/counter/1`", f.read())
        sandbox.terminate()
        self.assertEqual(sandbox.wait(30), 0, "Ctrl-C or SIGTERM stops it all, and cleanly")


def main():
    if os.geteuid() != 0:
        print("skipped: not root: the test runs in a network of its own, and as another user")
        sys.exit(77)
    why = tango_control_system.missing(everything=True)
    if why:
        print(f"skipped: {why}")
        sys.exit(77)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
