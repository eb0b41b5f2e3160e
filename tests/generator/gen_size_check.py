"""The generator stays thin: at most 7 lines of C++ for each line of model,
counted by generator/count_lines.py on the build's generated directory.

CTest runs this as generator_size with ZEFGEN_GEN_DIR set to that directory.
"""

import os
import pathlib
import sys
import tempfile
import tomllib
import unittest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "generator"))

import count_lines  # noqa: E402

MAX_RATIO = 7


class CountTest(unittest.TestCase):
    def test_comments_and_blank_lines_do_not_count(self):
        text = "\n".join([
            "// a comment",
            "#pragma once",
            "",
            "/* one line */",
            "/* a block",
            "   int inside;",
            "*/ int after;",
            "int x;  // trailing",
            "   /** doc */ int y;",
        ])
        self.assertEqual(count_lines.code_lines(text), 4)

    def test_model_lines_leave_out_comments_tests_and_build(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = pathlib.Path(tmp)
            for sub in ("model", "tests", "build"):
                (root / sub).mkdir()
                (root / sub / "m.toml").write_text('# heading\noutput = "x"\n\n[[entity]]\nname = "A"\n')
            (root / "top.toml").write_text('a = 1\n')
            self.assertEqual(count_lines.model_lines(root), 3)


class RatioTest(unittest.TestCase):
    def setUp(self):
        gen = os.environ.get("ZEFGEN_GEN_DIR")
        self.assertTrue(gen, "ZEFGEN_GEN_DIR names the build's generated directory")
        self.gen = pathlib.Path(gen)

    def test_every_model_has_been_generated(self):
        # A partial build would make the ratio look better than it is.
        for model in ROOT.glob("*/*.toml"):
            if model.parent.name in ("tests", "build"):
                continue
            output = tomllib.loads(model.read_text()).get("output")
            if not output:
                continue
            for suffix in (".h", ".cc"):
                self.assertTrue((self.gen / (output + suffix)).is_file(), f"{model.name}: no {output}{suffix}")

    def test_at_most_seven_generated_lines_a_model_line(self):
        m, g, ratio = count_lines.figures(ROOT, self.gen)
        self.assertLessEqual(ratio, MAX_RATIO, f"{g} generated lines for {m} model lines")


if __name__ == "__main__":
    unittest.main()
