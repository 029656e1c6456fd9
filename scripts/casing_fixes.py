#!/usr/bin/env python3
"""Apply the casing fixes clang-tidy exported, once per real file (headers are seen through the
symlinked layer roots, so one edit arrives under several paths). An edit is taken only when it
changes nothing but the case of a name, and a rename X -> Y is left out of a file that already
uses the name Y, so that no rename can make two names one.
Usage: casing_fixes.py REPO FIXES_DIR (the YAML files of clang-tidy --export-fixes)."""
import collections, glob, os, re, sys, yaml

repo = os.path.realpath(sys.argv[1])
edits = collections.defaultdict(set)
for f in glob.glob(os.path.join(sys.argv[2], '*.yaml')):
    d = yaml.load(open(f), Loader=yaml.BaseLoader)
    if not d:
        continue
    for diag in d.get('Diagnostics') or []:
        for r in diag['DiagnosticMessage'].get('Replacements') or []:
            p = os.path.realpath(r['FilePath'])
            if not p.startswith(repo + '/') or '/build/' in p[len(repo):]:
                continue
            edits[p].add((int(r['Offset']), int(r['Length']), r['ReplacementText']))

def same_name(a, b):
    return a.replace('_', '').lower() == b.replace('_', '').lower()

total = skipped = 0
for p, es in edits.items():
    data = open(p, 'rb').read()
    words = set(re.findall(rb'[A-Za-z_][A-Za-z0-9_]*', data))
    good = []
    for off, ln, txt in es:
        old = data[off:off + ln].decode('utf-8', 'replace')
        if not re.fullmatch(r'[A-Za-z_][A-Za-z0-9_]*', old) or not same_name(old, txt):
            skipped += 1
            continue
        good.append((off, ln, old, txt))
    clashing = {(o, t) for _, _, o, t in good if t.encode() in words}
    last = None
    for off, ln, old, txt in sorted(good, key=lambda e: -e[0]):
        if (old, txt) in clashing or (last is not None and off + ln > last):
            skipped += 1
            continue
        data = data[:off] + txt.encode() + data[off + ln:]
        last = off
        total += 1
    open(p, 'wb').write(data)
print(len(edits), 'files,', total, 'edits,', skipped, 'left out')
