"""Every include under runtime/ runs down the order runtime/LAYERS states:
a topic may include itself and the topics listed before it, never one after.
"""
import pathlib
import re
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUNTIME = ROOT / "runtime"
INCLUDE = re.compile(r'\s*#\s*include\s+"runtime/([a-z_]+)(?:/|\.h")')


def layers():
    order = []
    for line in (RUNTIME / "LAYERS").read_text().splitlines():
        if line and not line.startswith(("#", " ")):
            order.append(line.split()[0])
    return order


def violations(order):
    found = []
    for path in sorted(RUNTIME.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        rel = path.relative_to(RUNTIME)
        # runtime/<topic>.h gathers its topic; runtime/<topic>/... belongs to it.
        topic = rel.stem if len(rel.parts) == 1 else rel.parts[0]
        if topic not in order:
            found.append(f"{rel}: topic '{topic}' is not in runtime/LAYERS")
            continue
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = m.group(1)
            if target not in order:
                found.append(f"{rel}:{n}: includes unknown topic '{target}'")
            elif order.index(target) > order.index(topic):
                found.append(f"{rel}:{n}: {topic} includes {target}, which comes after it")
    return found


class LayersTest(unittest.TestCase):
    def test_the_order_names_every_topic_once(self):
        order = layers()
        self.assertEqual(len(order), len(set(order)), order)
        folders = sorted(p.name for p in RUNTIME.iterdir() if p.is_dir())
        self.assertEqual(sorted(order), folders)

    def test_no_include_runs_up_the_order(self):
        self.assertEqual(violations(layers()), [])

    def test_an_upward_include_is_found(self):
        # The check itself: with the order reversed, the tree's ordinary
        # includes all run upward.
        self.assertNotEqual(violations(list(reversed(layers()))), [])


if __name__ == "__main__":
    unittest.main()
