"""Golden tests of the model generator on small fixture models.

Run with ZEFGEN_UPDATE_GOLDEN=1 to rewrite the golden files after an
intended change to a template; the diff then shows what the change does.
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
ZEFGEN = os.environ.get("ZEFGEN", str(HERE.parents[1] / "generator" / "zefgen.py"))
UPDATE = os.environ.get("ZEFGEN_UPDATE_GOLDEN") == "1"


def run(model, out):
    return subprocess.run([sys.executable, ZEFGEN, str(HERE / "fixtures" / model), "--out", str(out),
                           "--root", str(HERE)], capture_output=True, text=True)


class GoldenTest(unittest.TestCase):
    def check(self, model, output):
        with tempfile.TemporaryDirectory() as tmp:
            result = run(model, tmp)
            self.assertEqual(result.returncode, 0, result.stderr)
            for suffix in (".h", ".cc"):
                produced = (pathlib.Path(tmp) / (output + suffix)).read_text()
                golden = HERE / "golden" / (pathlib.Path(output).name + suffix + ".golden")
                if UPDATE:
                    golden.write_text(produced)
                self.assertEqual(produced, golden.read_text(), f"{golden.name} differs from the generator's output")

    def test_rooted_entity(self):
        self.check("rooted.toml", "fixture/rooted")

    def test_derived_entity(self):
        self.check("derived.toml", "fixture/derived")

    def test_directory(self):
        self.check("directory.toml", "fixture/directory")

    def test_values(self):
        self.check("values.toml", "fixture/values")

    def test_unchanged_output_is_not_rewritten(self):
        with tempfile.TemporaryDirectory() as tmp:
            run("rooted.toml", tmp)
            header = pathlib.Path(tmp) / "fixture" / "rooted.h"
            os.utime(header, (1, 1))
            run("rooted.toml", tmp)
            self.assertEqual(header.stat().st_mtime, 1)


class ModelErrorTest(unittest.TestCase):
    def refused(self, model):
        with tempfile.TemporaryDirectory() as tmp:
            result = run(model, tmp)
            self.assertEqual(result.returncode, 1)
            self.assertFalse(any(pathlib.Path(tmp).rglob("*.h")), "no output for a refused model")
            return result.stderr

    def test_ids_must_run_on_in_declaration_order(self):
        self.assertIn("second: id 260, expected 259", self.refused("bad_ids.toml"))

    def test_collection_parameters_say_how_re_creation_checks_them(self):
        self.assertIn("parameter size needs check", self.refused("bad_check.toml"))

    def test_unknown_attribute_kind(self):
        self.assertIn("unknown kind sometimes", self.refused("bad_kind.toml"))

    def test_value_field_of_a_type_without_a_field_kind(self):
        self.assertIn("Wide.big: type unsigned long is not one of U1, U32, Zef::Seconds",
                      self.refused("bad_field_type.toml"))

    def test_update_parameter_must_match_its_observation_field(self):
        self.assertIn("Tally.doUpdate n: U32, but Sample.seen is U1", self.refused("bad_update.toml"))


if __name__ == "__main__":
    unittest.main()
