#!/usr/bin/env python3
"""Checks the list of the engine's functions that can wait against its calls.

  check_asyncify.py ENGINE.wat ENGINE.js LIST OUT [--write]

ENGINE.wat is the engine's WebAssembly as text (wasm-dis), linked as the site
links it but with no function instrumented, its function names kept;
ENGINE.js its JavaScript. LIST (app/web/asyncify_only.txt) names, one a line,
every function that can be on the stack while the engine waits for the
browser; lines starting with # are comments. Asyncify instruments those
functions only (-sASYNCIFY_ONLY): a function that can wait but is left out
would break the engine where it waits through it, one that cannot wait only
costs size. So the list must be exactly the functions that can wait. If it
is, OUT gets the names as the linker takes them (one a line, no comments);
if not, this says which names to add and which to drop, and fails. With
--write it writes LIST anew instead of failing.

A function can wait when it calls, directly or through a function pointer,
an import that waits (an EM_ASYNC_JS function, or one of Emscripten's own
waiting imports such as emscripten_sleep), or a function that can wait. The
targets of a call through a pointer are worked out from the code:
- invoke_* (a call that an exception may leave) with a constant callee: that
  function;
- a virtual call, the callee loaded at offset K of an object's vtable: the
  functions of the call's type at offset K of any vtable (any address in
  the data that the code uses);
- a callee held in a local: whatever was put into it in that function, or,
  for a parameter, passed to it by its callers;
- any other: every function of the call's type whose address is taken
  (stored in the data, or used in the code as a value).
"""
import collections
import re
import sys

TOKEN = re.compile(r'\(|\)|"(?:[^"\\]|\\.)*"|[^\s()"]+')
# Emscripten's imports that wait, besides the EM_ASYNC_JS ones (__asyncjs__*).
WAITING_IMPORTS = {
    'emscripten_sleep', 'emscripten_wget', 'emscripten_wget_data', 'emscripten_idb_load',
    'emscripten_idb_store', 'emscripten_idb_delete', 'emscripten_idb_exists',
    'emscripten_idb_load_blob', 'emscripten_idb_store_blob', 'SDL_Delay',
    'emscripten_scan_registers', 'emscripten_lazy_load_code', 'emscripten_fiber_swap',
    'fd_sync', '_emval_await', '_dlopen_js',
}
VALUE_TYPES = {'i': 'i32', 'j': 'i64', 'f': 'f32', 'd': 'f64'}
# Where a constant in the code is a value that may be a function's address.
VALUE_USES = {'i32.store', 'call', 'call_indirect', 'local.set', 'local.tee', 'global.set', 'select',
              'return'}


def parse(text):
    stack = [[]]
    for token in TOKEN.findall(text):
        if token == '(':
            stack.append([])
        elif token == ')':
            node = stack.pop()
            stack[-1].append(node)
        else:
            stack[-1].append(token)
    return stack[0][0]


def unescape_name(name):
    raw = re.sub(rb'\\([0-9a-fA-F]{2})', lambda m: bytes([int(m.group(1), 16)]), name.encode())
    return raw.decode('utf-8', 'replace')


def string_bytes(token):
    out = bytearray()
    body = token[1:-1]
    i = 0
    while i < len(body):
        if body[i] == '\\':
            pair = body[i + 1:i + 3]
            if re.fullmatch(r'[0-9a-fA-F]{2}', pair):
                out.append(int(pair, 16))
                i += 3
                continue
            out.append({'n': 10, 't': 9, 'r': 13, '"': 34, "'": 39, '\\': 92}[body[i + 1]])
            i += 2
            continue
        out += body[i].encode()
        i += 1
    return bytes(out)


def lists(node):
    return [x for x in node if isinstance(x, list)]


def signature(node):
    params, results = [], []
    for x in lists(node):
        if x[0] == 'param':
            params += [t for t in x[1:] if not t.startswith('$')]
        elif x[0] == 'result':
            results += x[1:]
    return tuple(params), tuple(results)


def field_offset(node):
    return next((int(x[7:]) for x in node if isinstance(x, str) and x.startswith('offset=')), 0)


def walk(node, visit, parent=None):
    visit(node, parent)
    for x in lists(node):
        walk(x, visit, node)


class Module:
    def __init__(self, wat, glue):
        match = re.search(r'(?:asmLibraryArg|wasmImports)\s*=\s*\{([^}]*)\}', glue)
        if not match:
            sys.exit('check_asyncify: no import object in the engine\'s JavaScript')
        js_of_field = dict(re.findall(r'"?([\w$]+)"?\s*:\s*([\w$]+)', match.group(1)))
        self.types, self.sig, self.funcs, self.table, self.memory = {}, {}, {}, {}, []
        self.waiting, self.invoke_type, self.params = set(), {}, {}
        for form in lists(parse(wat))[0:]:
            kind = form[0]
            if kind == 'type':
                self.types[form[1]] = signature(lists(form)[0])
            elif kind == 'import' and lists(form) and lists(form)[0][0] == 'func':
                func = lists(form)[0]
                name, js = func[1], js_of_field.get(form[2].strip('"'), form[2].strip('"'))
                self.sig[name] = signature(func)
                if js.startswith('__asyncjs__') or js.lstrip('_') in WAITING_IMPORTS:
                    self.waiting.add(name)
                invoke = re.fullmatch(r'invoke_([vijfd]+)', js)
                if invoke:
                    letters = invoke.group(1)
                    self.invoke_type[name] = (tuple(VALUE_TYPES[c] for c in letters[1:]),
                                              () if letters[0] == 'v' else (VALUE_TYPES[letters[0]],))
            elif kind == 'func':
                name = form[1]
                self.sig[name] = signature(form)
                self.funcs[name] = form
                self.params[name] = [x[1] for x in lists(form) if x[0] == 'param']
            elif kind == 'data':
                base = [int(x[1]) for x in lists(form) if x[0] == 'i32.const'][0]
                self.memory.append((base, b''.join(string_bytes(x) for x in form if isinstance(x, str)
                                                    and x.startswith('"'))))
            elif kind == 'elem':
                base = [int(x[1]) for x in lists(form) if x[0] == 'i32.const'][0]
                refs = [x for x in form if isinstance(x, str) and x.startswith('$')]
                for k, ref in enumerate(refs):
                    self.table[base + k] = ref

    def word(self, address):
        for base, data in self.memory:
            if base <= address and address + 4 <= base + len(data):
                return int.from_bytes(data[address - base:address - base + 4], 'little')
        return None


def waiting_functions(m):
    # Constants the code uses as values, and those it calls through invoke_*.
    value_consts, all_consts, calls = collections.Counter(), set(), collections.defaultdict(list)
    stored = collections.defaultdict(set)  # field offset -> constants stored there
    for name, body in m.funcs.items():
        def visit(node, parent, name=name):
            if node[0] == 'i32.const':
                value = int(node[1]) & 0xFFFFFFFF
                all_consts.add(value)
                if parent is not None and parent[0] in VALUE_USES:
                    is_callee = (parent[0] == 'call' and parent[1] in m.invoke_type
                                 and lists(parent) and lists(parent)[0] is node)
                    stored_at = parent[0] == 'i32.store' and lists(parent)[0] is node
                    if parent[0] == 'i32.store' and not stored_at:
                        stored[field_offset(parent)].add(value)
                    elif not is_callee and not stored_at:
                        value_consts[value] += 1
            elif node[0] == 'call':
                calls[node[1]].append((name, lists(node)))
        walk(body, visit)
    data_words = set()
    for base, data in m.memory:
        for k in range((-base) % 4, len(data) - 3, 4):
            data_words.add(int.from_bytes(data[k:k + 4], 'little'))
    low = min(base for base, _ in m.memory) if m.memory else 0
    high = max(base + len(data) for base, data in m.memory) if m.memory else 0
    data_addresses = sorted(c for c in all_consts if low <= c < high and c % 4 == 0)
    taken = collections.defaultdict(set)
    for index, func in m.table.items():
        if index in data_words or value_consts[index]:
            taken[m.sig[func]].add(func)

    in_table_funcs = set(m.table.values())

    def in_table(index, want):
        func = m.table.get(index)
        return {func} if func and m.sig[func] == want else set()

    def callees(expr, want, func, seen):
        """The functions that the callee expression expr in func can be."""
        op = expr[0]
        if op == 'i32.const':
            return in_table(int(expr[1]), want)
        if op == 'i32.load':
            # A virtual call (the callee at offset K of the vtable that the
            # object points to), or a function pointer at offset K of a
            # structure: what is at offset K of the vtables and structures in
            # the data, or what the code stores at offset K.
            offset, inner = field_offset(expr), lists(expr)
            if len(inner) == 1:
                found = set()
                for index in stored[offset] if inner[0][0] != 'i32.load' else ():
                    found |= in_table(index, want)
                for address in data_addresses:
                    index = m.word(address + offset)
                    if index is not None:
                        found |= in_table(index, want)
                return found
        if op == 'local.get' and (func, expr[1]) not in seen:
            seen = seen | {(func, expr[1])}
            local, found, sources = expr[1], set(), []
            walk(m.funcs[func], lambda node, parent: sources.append(lists(node)[0])
                 if node[0] in ('local.set', 'local.tee') and node[1] == local else None)
            params = m.params[func]
            if local in params:
                if func in in_table_funcs:  # called through pointers too: with any value
                    return set(taken[want])
                position = params.index(local)
                sources += [(caller, args[position]) for caller, args in calls[func] if position < len(args)]
            for source in sources:
                where, value = source if isinstance(source, tuple) else (func, source)
                found |= callees(value, want, where, seen)
            return found
        return set(taken[want])

    edges = collections.defaultdict(set)
    for name, body in m.funcs.items():
        def visit(node, parent, name=name):
            if node[0] == 'call':
                edges[name].add(node[1])
                if node[1] in m.invoke_type and lists(node):
                    edges[name] |= callees(lists(node)[0], m.invoke_type[node[1]], name, frozenset())
            elif node[0] == 'call_indirect':
                type_ref = next(x for x in lists(node) if x[0] == 'type')[1]
                operands = [x for x in lists(node) if x[0] != 'type']
                edges[name] |= callees(operands[-1], m.types[type_ref], name, frozenset())
        walk(body, visit)

    callers = collections.defaultdict(set)
    for caller, targets in edges.items():
        for target in targets:
            callers[target].add(caller)
    found, todo = set(), list(m.waiting)
    while todo:
        for caller in callers[todo.pop()]:
            if caller not in found:
                found.add(caller)
                todo.append(caller)
    return {unescape_name(name[1:]) for name in found}


def main(argv):
    write = '--write' in argv
    args = [a for a in argv if a != '--write']
    if len(args) != 4:
        sys.exit(__doc__)
    wat_path, js_path, list_path, out_path = args
    with open(wat_path, encoding='utf-8') as f:
        wat = f.read()
    with open(js_path, encoding='utf-8') as f:
        glue = f.read()
    waits = waiting_functions(Module(wat, glue))
    with open(list_path, encoding='utf-8') as f:
        lines = f.read().splitlines()
    header = [line for line in lines if line.startswith('#')]
    listed = {line for line in lines if line.strip() and not line.startswith('#')}
    missing, extra = sorted(waits - listed), sorted(listed - waits)
    if write:
        with open(list_path, 'w', encoding='utf-8') as f:
            f.write(''.join(line + '\n' for line in header + sorted(waits)))
        return 0
    if missing or extra:
        for name in missing:
            print(f'{list_path}: can wait, not listed: {name}', file=sys.stderr)
        for name in extra:
            print(f'{list_path}: listed, cannot wait: {name}', file=sys.stderr)
        print(f'{list_path}: {len(missing)} to add, {len(extra)} to drop; '
              f'check_asyncify.py ... --write writes it anew', file=sys.stderr)
        return 1
    with open(out_path, 'w', encoding='utf-8') as f:
        f.write(''.join(name + '\n' for name in sorted(waits)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
