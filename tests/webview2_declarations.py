#!/usr/bin/env python3
"""Compares the hand-written WebView2 declarations with the checked tables.

Usage: webview2_declarations.py HEADER REFERENCE...

Each reference lists interfaces ("### Name", an "IID `{...}` · base `Base`"
line and a slot table) and handlers (rows "| Name | `{iid}` | params |", one
Invoke at slot 3 on IUnknown), and may give vtable sizes ("| Name | 68 |").
The header declares IIDs with TESSEL_WEBVIEW2_IID and interfaces as structs
whose methods carry their slot in a comment. Every difference is named: IID,
base, slot, method name, parameter types, vtable size, a missing interface.
Before the real comparison, a table of deliberately broken copies of the
header must each be caught, so a checker that stopped looking fails too.
Exit 0 when all agree, 1 on differences, 77 when a reference is absent.
"""

import re
import sys
from dataclasses import dataclass, field

SKIP = 77


@dataclass
class Interface:
    name: str
    iid: str | None = None
    base: str = "IUnknown"
    slots: dict = field(default_factory=dict)  # slot -> (method, [types])
    own: tuple | None = None  # (count, first slot, last slot) as the IID line says
    where: str = ""


def guid(text):
    return text.strip().strip("{}").lower()


def types_of(parameters):
    """The parameter types of a reference row: the backticked parts in order."""
    parameters = parameters.strip()
    if parameters in ("—", "-", ""):
        return []
    return [norm_type(t) for t in re.findall(r"`([^`]+)`", parameters)]


def norm_type(text):
    return re.sub(r"\s+", "", text.replace("const ", ""))


def parse_reference(path, problems):
    interfaces = {}
    sizes = {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    current = None
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        heading = re.match(r"^###\s+(\w+)\s*$", line)
        if heading:
            current = Interface(heading.group(1), where=where)
            continue
        if line.startswith("#"):
            current = None
            continue
        iid = re.match(r"^IID `\{([0-9a-fA-F-]+)\}` · base `(\w+)`", line)
        if iid and current is not None:
            current.iid = guid(iid.group(1))
            current.base = iid.group(2)
            own = re.search(r"own methods: (\d+) \(slots (\d+)–(\d+)\)", line)
            if own:
                current.own = tuple(int(g) for g in own.groups())
            if current.name in interfaces:
                problems.append(f"{where}: {current.name} listed twice")
            interfaces[current.name] = current
            continue
        row = line.strip()
        cells = [c.strip() for c in row.strip("|").split("|")] if row.startswith("|") else []
        if not cells:
            continue
        # A slot row of the current interface: | 61 | name | params | (the
        # params column is absent from the short "slots used" tables).
        if current is not None and current.iid and re.fullmatch(r"\d+", cells[0]) and len(cells) >= 2:
            slot = int(cells[0])
            method = cells[1]
            types = types_of(cells[2]) if len(cells) >= 3 else None
            known = current.slots.get(slot)
            if known is None:
                current.slots[slot] = (method, types)
            elif known[0] != method:
                problems.append(f"{where}: {current.name} slot {slot} is both {known[0]} and {method}")
            continue
        # A handler row: | Name | `{iid}` | params |
        if len(cells) >= 3 and re.fullmatch(r"`\{[0-9a-fA-F-]+\}`", cells[1]) and re.fullmatch(r"\w+", cells[0]):
            handler = Interface(cells[0], guid(cells[1].strip("`")), "IUnknown", where=where)
            handler.slots[3] = ("Invoke", types_of(cells[2]))
            if cells[0] in interfaces:
                problems.append(f"{where}: {cells[0]} listed twice")
            interfaces[cells[0]] = handler
            continue
        # A vtable size row: | Name | 68 |
        if len(cells) == 2 and re.fullmatch(r"\w+", cells[0]) and re.fullmatch(r"\d+", cells[1]):
            sizes[cells[0]] = (int(cells[1]), where)
    # A table with no IID line before it (IUnknown in the conventions) is no
    # interface of ours; an IID line without slots is a broken reference.
    for item in interfaces.values():
        if not item.slots:
            problems.append(f"{item.where}: {item.name} has no slot table")
        elif item.own and (item.own[0], item.own[1], item.own[2]) != (
                len(item.slots), min(item.slots), max(item.slots)):
            problems.append(f"{item.where}: {item.name} says {item.own[0]} methods at "
                            f"{item.own[1]}–{item.own[2]}, its table has {len(item.slots)} at "
                            f"{min(item.slots)}–{max(item.slots)}")
    return interfaces, sizes


def parse_header(text):
    iids = {}
    for match in re.finditer(r"TESSEL_WEBVIEW2_IID\(\s*(\w+)\s*,([^)]*)\)", text):
        name = match.group(1)
        if name == "name":  # the macro's own definition
            continue
        parts = [p.strip() for p in match.group(2).split(",")]
        if len(parts) != 11:
            iids[name] = f"<malformed: {match.group(2).strip()}>"
            continue
        values = [int(p, 16) for p in parts]
        iids[name] = "{:08x}-{:04x}-{:04x}-{:02x}{:02x}-{}".format(
            values[0], values[1], values[2], values[3], values[4],
            "".join(f"{b:02x}" for b in values[5:]))
    structs = {}
    for match in re.finditer(r"^struct (\w+) : public (\w+) \{\n(.*?)^\};", text, re.M | re.S):
        name, base, body = match.groups()
        methods = []
        for line in body.splitlines():
            method = re.match(
                r"\s*virtual \w+ STDMETHODCALLTYPE (\w+)\((.*)\) = 0;\s*(?://\s*(\d+))?\s*$", line)
            if not method:
                if line.strip():
                    methods.append((None, line.strip(), [], None))
                continue
            params = method.group(2).strip()
            types = []
            if params and params != "void":
                for param in params.split(","):
                    words = param.strip().rsplit(None, 1)
                    declared = words[0] if len(words) == 2 else param
                    types.append(norm_type(declared))
            comment = int(method.group(3)) if method.group(3) else None
            methods.append((method.group(1), line.strip(), types, comment))
        structs[name] = (base, methods)
    return iids, structs


def vtable(name, structs, seen=()):
    """Slot -> (method, types) of `name`, its bases' slots included, and problems."""
    if name == "IUnknown":
        return {0: ("QueryInterface", None), 1: ("AddRef", None), 2: ("Release", None)}, []
    if name not in structs:
        return None, [f"{name}: not declared"]
    if name in seen:
        return None, [f"{name}: derives from itself"]
    base, methods = structs[name]
    slots, problems = vtable(base, structs, seen + (name,))
    if slots is None:
        return None, problems + [f"{name}: its base {base} is not declared"]
    slots = dict(slots)
    for method, line, types, comment in methods:
        at = len(slots)
        if method is None:
            problems.append(f"{name}: not a method declaration: {line}")
            continue
        if comment is None:
            problems.append(f"{name}::{method}: no slot comment (it is slot {at})")
        elif comment != at:
            problems.append(f"{name}::{method}: commented as slot {comment}, but it is slot {at}")
        slots[at] = (method, types)
    return slots, problems


def compare(header_text, references):
    iids, structs = parse_header(header_text)
    problems = []
    listed = {}
    all_sizes = {}
    for path in references:
        interfaces, sizes = parse_reference(path, problems)
        for name, item in interfaces.items():
            if name in listed:
                problems.append(f"{item.where}: {name} is also listed in {listed[name].where}")
            listed[name] = item
        all_sizes.update(sizes)
    for name, item in listed.items():
        if name not in iids:
            problems.append(f"{name}: no IID declared (reference {{{item.iid}}})")
        elif iids[name] != item.iid:
            problems.append(f"{name}: IID {{{iids[name]}}}, reference {{{item.iid}}}")
        if name not in structs:
            problems.append(f"{name}: interface missing from the header")
            continue
        base = structs[name][0]
        if base != item.base:
            problems.append(f"{name}: derives from {base}, reference {item.base}")
        slots, found = vtable(name, structs)
        problems.extend(found)
        if slots is None:
            continue
        own_first = min(item.slots)
        for slot, (method, types) in sorted(item.slots.items()):
            got = slots.get(slot)
            if got is None:
                problems.append(f"{name}: slot {slot} ({method}) missing")
                continue
            if got[0] != method:
                problems.append(f"{name}: slot {slot} is {got[0]}, reference {method}")
            elif types is not None and got[1] != types:
                problems.append(f"{name}::{method} (slot {slot}): parameters {got[1]}, reference {types}")
        for slot in sorted(slots):
            if slot >= own_first and slot not in item.slots:
                problems.append(f"{name}: slot {slot} ({slots[slot][0]}) is not in the reference")
        if name in all_sizes and all_sizes[name][0] != len(slots):
            problems.append(f"{name}: vtable of {len(slots)} entries, reference {all_sizes[name][0]}")
    for name, (size, where) in all_sizes.items():
        if name not in listed:
            problems.append(f"{where}: a vtable size for {name}, which no table lists")
    for name in structs:
        if name not in listed:
            problems.append(f"{name}: declared, but no reference lists it")
    for name in iids:
        if name not in listed:
            problems.append(f"{name}: IID declared, but no reference lists it")
    return problems


# Broken copies of the header, each of which must be caught: (what, old, new, expected text).
MUTATIONS = [
    ("a wrong slot comment", "remove_DownloadStarting(EventRegistrationToken token) = 0;  // 76",
     "remove_DownloadStarting(EventRegistrationToken token) = 0;  // 75", "commented as slot 75"),
    ("a wrong IID", "ICoreWebView2_4, 0x20d02d59", "ICoreWebView2_4, 0x20d02d58", "ICoreWebView2_4: IID"),
    ("a base skipped", "struct ICoreWebView2_4 : public ICoreWebView2_3 {",
     "struct ICoreWebView2_4 : public ICoreWebView2 {", "ICoreWebView2_4: derives from"),
    ("two methods swapped",
     "  virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;  // 4\n"
     "  virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;  // 5\n",
     "  virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;  // 4\n"
     "  virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;  // 5\n",
     "slot 4 is put_Cancel"),
    ("a token passed by pointer", "remove_StateChanged(EventRegistrationToken token)",
     "remove_StateChanged(EventRegistrationToken* token)", "remove_StateChanged (slot 8): parameters"),
    ("an interface missing", "struct ICoreWebView2Settings3 : public ICoreWebView2Settings2 {",
     "struct ICoreWebView2Settings3Gone : public ICoreWebView2Settings2 {",
     "ICoreWebView2Settings3: interface missing"),
    ("an old interface's slot", "virtual HRESULT STDMETHODCALLTYPE Close() = 0;  // 24",
     "virtual HRESULT STDMETHODCALLTYPE Close() = 0;  // 23", "Close: commented as slot 23"),
]


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    header, references = argv[1], argv[2:]
    for path in references:
        try:
            open(path, encoding="utf-8").close()
        except OSError:
            print(f"SKIP: no reference {path}")
            return SKIP
    with open(header, encoding="utf-8") as f:
        text = f.read()

    failures = 0
    for what, old, new, expected in MUTATIONS:
        if old not in text:
            print(f"FAIL: the checker's own case '{what}' finds no '{old}' in the header")
            failures += 1
            continue
        found = compare(text.replace(old, new, 1), references)
        if not any(expected in p for p in found):
            print(f"FAIL: {what} went unnoticed (wanted '{expected}'; got {found[:3]})")
            failures += 1

    problems = compare(text, references)
    for problem in problems:
        print(f"FAIL: {problem}")
    failures += len(problems)
    if failures:
        print(f"{failures} difference(s) between {header} and the reference")
        return 1
    iids, structs = parse_header(text)
    print(f"OK: {len(structs)} interfaces and {len(iids)} IIDs agree with the reference")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
