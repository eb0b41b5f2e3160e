"""scripts/deps.sh against a stand-in package manager: what apt-get says goes
to the log, and the screen gets one line a step."""

import os
import pathlib
import subprocess
import tempfile
import unittest

DEPS = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "deps.sh"

# A package manager that talks as much as the real one does while unpacking.
APT = """#!/bin/sh
for i in $(seq 1 300); do echo "Unpacking package-$i ..."; done
echo "apt-get $*" >&2
[ "$1" = install ] && [ -n "$FAKE_APT_INSTALL_FAILS" ] && { echo "E: Unable to locate package"; exit 100; }
exit 0
"""


class DepsTest(unittest.TestCase):
    def run_deps(self, installed=False, install_fails=False):
        tmp = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        bin_dir = tmp / "bin"
        bin_dir.mkdir()
        stubs = {"apt-get": APT, "dpkg": f"#!/bin/sh\nexit {0 if installed else 1}\n", "id": "#!/bin/sh\necho 0\n"}
        for name, text in stubs.items():
            (bin_dir / name).write_text(text)
            (bin_dir / name).chmod(0o755)
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", DEPS_LOG=str(tmp / "logs" / "deps.log"))
        if install_fails:
            env["FAKE_APT_INSTALL_FAILS"] = "1"
        result = subprocess.run(["bash", str(DEPS)], env=env, capture_output=True, text=True, timeout=60)
        log = tmp / "logs" / "deps.log"
        return result, log.read_text() if log.exists() else None

    def test_an_install_is_one_line_a_step_with_the_output_in_the_log(self):
        result, log = self.run_deps()
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 3, result.stdout)
        self.assertIn("to install: cmake ninja-build", lines[0])
        self.assertIn("deps.log", lines[0], "the screen says where the output went")
        self.assertEqual(lines[1], "deps: updating the package lists ... ok")
        self.assertRegex(lines[2], r"^deps: installing \d+ packages \.\.\. ok$")
        self.assertEqual(result.stderr, "")
        self.assertEqual(log.count("Unpacking package-"), 600)
        self.assertIn("apt-get install -y -qq cmake", log)

    def test_nothing_missing_is_one_line_and_no_log(self):
        result, log = self.run_deps(installed=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^deps: all \d+ packages present\n$")
        self.assertIsNone(log)

    def test_a_failed_step_shows_the_end_of_the_log_and_fails(self):
        result, log = self.run_deps(install_fails=True)
        self.assertEqual(result.returncode, 100)
        self.assertIn("deps: installing", result.stdout)
        self.assertIn("failed (exit 100)", result.stdout)
        self.assertIn("E: Unable to locate package", result.stdout, "the cause is on the screen")
        self.assertLess(len(result.stdout.splitlines()), 30)
        self.assertIn("Unpacking package-1 ...", log)


if __name__ == "__main__":
    unittest.main()
