#!/usr/bin/env python3
"""The check of the layers (check_layers.py) on trees of its own: each
include that points up or sideways fails by name, the rest pass, and
CONTRIBUTING.md's picture and folder table are held to the layers."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402

PICTURE = """\
```
the tests      tests/, bench/, fuzz/
front ends     app/qt, app/windows, app/web, app/cli
  and tools    tools/emulate, tools/make-image
the update     app/
               protocol/  emulator/
               hid/       (hid/linux, hid/windows)
               hex/, messages/, trust/
```
"""


def contributing(picture=PICTURE, leave_out_row=None):
    rows = ''.join(f'| `{folder}/` | what |\n' for folder in check_layers.LAYER_OF if folder != leave_out_row)
    return f'# Working\n\n## What is here\n\n{rows}\n## How the code is arranged\n\n{picture}\n## Next\n'


class Tree:
    def __init__(self, files, contributing_text=None):
        self.top = tempfile.mkdtemp(prefix='tovrix-layers-')
        files = {'CONTRIBUTING.md': contributing_text or contributing(), **files}
        for path, text in files.items():
            os.makedirs(os.path.join(self.top, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(self.top, path), 'w', encoding='utf-8') as f:
                f.write(text)

    def faults(self):
        return check_layers.include_faults(self.top) + check_layers.contributing_faults(self.top)

    def close(self):
        shutil.rmtree(self.top)


# (what, file, its text, the fault expected or None)
INCLUDES = [
    ('down a layer', 'app/update.cpp', '#include "protocol/protocol.h"\n', None),
    ('down several', 'app/web/site_main.cpp', '#include "emulator/images.h"\n#include "hex/hex.h"\n', None),
    ('its own folder', 'hid/linux/a.cpp', '#include "hid/linux/b.h"\n', None),
    ('no folder: its own', 'tests/ui/qt/a.cpp', '#include "window_run.h"\n', None),
    ('a backend to its procedures', 'hid/linux/a.cpp', '#include "hid/ApiDeclarations.h"\n', None),
    ('the choice of a backend', 'hid/platform_linux.cpp', '#include "hid/linux/linux_hid.h"\n', None),
    ('a test to a tool', 'tests/web/emulate_entry.cpp', '#include "tools/emulate/emulate.h"\n', None),
    ('a front end to a backend', 'app/cli/a.cpp', '#include "hid/windows/system_library.h"\n', None),
    ('a generated header', 'app/version.h.in', '#include "messages/messages.h"\n', None),
    ('the page to a tool', 'app/web/site_main.cpp', '#include "tools/emulate/emulate.h"\n',
     'app/web/site_main.cpp:1: includes "tools/emulate/emulate.h": tools/emulate/ is beside app/web/'),
    ('a tool to a test', 'tools/emulate/a.cpp', '\n#include "tests/support/x.h"\n',
     'tools/emulate/a.cpp:2: includes "tests/support/x.h": tests/ is above tools/emulate/'),
    ('the update to a front end', 'app/update.cpp', '#include "app/qt/window.h"\n',
     'app/update.cpp:1: includes "app/qt/window.h": app/qt/ is above app/'),
    ('the protocol to the emulator', 'protocol/protocol.cpp', '#  include "emulator/unit.h"\n',
     'protocol/protocol.cpp:1: includes "emulator/unit.h": emulator/ is beside protocol/'),
    ('a backend to another', 'hid/linux/a.cpp', '#include "hid/windows/b.h"\n',
     'hid/linux/a.cpp:1: includes "hid/windows/b.h": hid/windows/ is beside hid/linux/'),
    ('the bottom to the update', 'hex/a.h', '#include "app/update.h"\n',
     'hex/a.h:1: includes "app/update.h": app/ is above hex/'),
    ('a folder of no layer', 'lib/a.cpp', '#include "hex/a.h"\n',
     'lib/a.cpp: its folder has no layer (tests/layers/check_layers.py)'),
    ('an include from no folder', 'app/a.cpp', '#include "lib/a.h"\n',
     'app/a.cpp:1: includes "lib/a.h", from no folder of the layers'),
]


class IncludeTest(unittest.TestCase):
    def test_includes(self):
        for what, path, text, fault in INCLUDES:
            with self.subTest(what):
                tree = Tree({path: text})
                try:
                    self.assertEqual(tree.faults(), [fault] if fault else [])
                finally:
                    tree.close()

    def test_build_trees_and_modules_are_not_read(self):
        tree = Tree({'build/werror/CMakeCache.txt': '', 'build/werror/a.cpp': '#include "app/qt/a.h"\n',
                     'obj-x86_64-linux-gnu/CMakeCache.txt': '', 'obj-x86_64-linux-gnu/x/a.cpp': '',
                     'tests/web/node_modules/m/a.c': '#include "app/a.h"\n'})
        try:
            self.assertEqual(tree.faults(), [])
        finally:
            tree.close()


class ContributingTest(unittest.TestCase):
    def faults(self, text):
        tree = Tree({}, text)
        try:
            return tree.faults()
        finally:
            tree.close()

    def test_picture_and_rows(self):
        cases = [
            ('as the layers', contributing(), []),
            ('a folder left out', contributing(PICTURE.replace(' tools/make-image', '')),
             ['CONTRIBUTING.md: the picture of the layers leaves out tools/make-image/']),
            ('two layers on a line', contributing(PICTURE.replace('app/cli', 'app/cli app/')),
             ['CONTRIBUTING.md: the picture draws folders of several layers on one line: '
              'front ends     app/qt, app/windows, app/web, app/cli app/']),
            ('out of order', contributing(PICTURE.replace('               hex/, messages/, trust/\n', '')
                                          .replace('the tests ', 'hex/, messages/, trust/\nthe tests ')),
             ['CONTRIBUTING.md: the picture draws a layer out of order: the tests      tests/, bench/, fuzz/']),
            ('a folder not in the layers', contributing(PICTURE.replace('app/cli', 'app/cli, app/mac')),
             ['CONTRIBUTING.md: the picture draws app/mac, not in the layers']),
            ('a row left out', contributing(leave_out_row='emulator'),
             ['CONTRIBUTING.md: "What is here" has no row for emulator/']),
        ]
        for what, text, faults in cases:
            with self.subTest(what):
                self.assertEqual(self.faults(text), faults)


if __name__ == '__main__':
    unittest.main()
