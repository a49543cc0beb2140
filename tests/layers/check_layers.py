#!/usr/bin/env python3
"""Checks that every #include points down the layers of the code.

  check_layers.py SOURCE_DIR

The layers are the table below, top first. A C or C++ file in a folder may
include files of its own folder and of the layers below its folder's, and
nothing else: no folder above, and no other folder of its own layer (the
front ends and the tools do not use each other). A folder is the longest
one of the table that holds the file; one not in the table is an error, so
that a new folder is given its place. An #include "NAME" without a folder
is the including file's own folder.

It also holds CONTRIBUTING.md to the table: each line of the picture under
"How the code is arranged" names folders of one layer, the lines going
down the layers (a layer may take two lines), every folder of the table
drawn; and every folder of the table has its row in "What is here". Exit
status 0 when all holds, 1 with each fault on its own line otherwise.
"""
import os
import re
import sys

# Top first. Each layer: its folders.
LAYERS = [
    ['tests', 'bench', 'fuzz'],
    ['app/qt', 'app/windows', 'app/web', 'app/cli', 'tools/emulate', 'tools/make-image'],
    ['app'],
    ['protocol', 'emulator'],
    ['hid', 'hid/linux', 'hid/windows'],
    ['hex', 'messages', 'trust'],
]
# Within a layer, only these: the HID procedures and their backends are one
# layer (the backends implement hid/ApiDeclarations.h; hid/platform_*.cpp
# chooses one of them).
PEERS = {('hid', 'hid/linux'), ('hid', 'hid/windows'), ('hid/linux', 'hid'), ('hid/windows', 'hid')}

LAYER_OF = {folder: index for index, folders in enumerate(LAYERS) for folder in folders}
SOURCES = ('.c', '.cc', '.cpp', '.h', '.hpp', '.mm', '.h.in', '.cpp.in')
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.MULTILINE)
# A folder in the picture: a path with a slash (app/, hid/linux).
FOLDER_TOKEN = re.compile(r'(?<![\w./-])[a-z][a-z-]*(?:/[a-z][a-z-]*)*/?')


def folder_of(path):
    """The table's folder that holds path (relative, with /), or None."""
    parts = path.split('/')[:-1]
    while parts:
        name = '/'.join(parts)
        if name in LAYER_OF:
            return name
        parts.pop()
    return None


def may_include(source, target):
    return source == target or LAYER_OF[target] > LAYER_OF[source] or (source, target) in PEERS


def source_files(top):
    for root, dirs, files in os.walk(top):
        # Hidden folders, npm's modules, and build trees (CMake's, and the
        # package build's in debian/ and obj-*) hold no source of ours.
        dirs[:] = sorted(d for d in dirs if not d.startswith('.') and d != 'node_modules'
                         and not os.path.exists(os.path.join(root, d, 'CMakeCache.txt'))
                         and not (root == top and d in ('build', 'debian')))
        for name in sorted(files):
            if name.endswith(SOURCES):
                yield os.path.relpath(os.path.join(root, name), top).replace(os.sep, '/')


def include_faults(top):
    faults = []
    for path in source_files(top):
        source = folder_of(path)
        if source is None:
            faults.append(f'{path}: its folder has no layer (tests/layers/check_layers.py)')
            continue
        with open(os.path.join(top, path), encoding='utf-8', errors='replace') as f:
            text = f.read()
        for match in INCLUDE.finditer(text):
            name = match.group(1)
            line = text.count('\n', 0, match.start()) + 1
            target = folder_of(name) if '/' in name else source
            if target is None:
                faults.append(f'{path}:{line}: includes "{name}", from no folder of the layers')
            elif not may_include(source, target):
                where = 'above' if LAYER_OF[target] < LAYER_OF[source] else 'beside'
                faults.append(f'{path}:{line}: includes "{name}": {target}/ is {where} {source}/')
    return faults


def section(text, heading):
    start = text.find(f'\n## {heading}\n')
    if start < 0:
        return None
    end = text.find('\n## ', start + 1)
    return text[start:end if end >= 0 else len(text)]


def contributing_faults(top):
    path = os.path.join(top, 'CONTRIBUTING.md')
    with open(path, encoding='utf-8') as f:
        text = f.read()
    faults = []
    arranged = section(text, 'How the code is arranged')
    picture = re.search(r'```\n(.*?)```', arranged or '', re.DOTALL)
    if not picture:
        return ['CONTRIBUTING.md: no picture of the layers under "How the code is arranged"']
    drawn, last = set(), -1
    for line in picture.group(1).splitlines():
        folders = [token.rstrip('/') for token in FOLDER_TOKEN.findall(line) if '/' in token]
        if not folders:
            continue
        unknown = [folder for folder in folders if folder not in LAYER_OF]
        layers = {LAYER_OF[folder] for folder in folders if folder in LAYER_OF}
        if unknown:
            faults.append(f'CONTRIBUTING.md: the picture draws {", ".join(unknown)}, not in the layers')
        if len(layers) > 1:
            faults.append(f'CONTRIBUTING.md: the picture draws folders of several layers on one line: {line.strip()}')
        elif layers and min(layers) < last:
            faults.append(f'CONTRIBUTING.md: the picture draws a layer out of order: {line.strip()}')
        if len(layers) == 1:
            last = min(layers)
        drawn.update(folders)
    for folder in LAYER_OF:
        if folder not in drawn:
            faults.append(f'CONTRIBUTING.md: the picture of the layers leaves out {folder}/')
    rows = set(re.findall(r'^\| `([^`]+?)/?` \|', section(text, 'What is here') or '', re.MULTILINE))
    for folder in LAYER_OF:
        if folder not in rows:
            faults.append(f'CONTRIBUTING.md: "What is here" has no row for {folder}/')
    return faults


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    faults = include_faults(argv[0]) + contributing_faults(argv[0])
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
