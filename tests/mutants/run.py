#!/usr/bin/env python3
"""Applies each fault of faults.py to a checkout, rebuilds its build/,
runs its CTest suite, and records whether any test failed.
Usage: run.py CHECKOUT OUT.json [ID...]   (a file STOP beside this script
ends the run after the fault at hand; OUT.json keeps what was done, and a
second run goes on from there). A fault is caught when the build fails or
any test fails; the checkout's files are restored after each fault."""
import json, os, subprocess, sys, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from faults import FAULTS

repo, out = sys.argv[1], sys.argv[2]
only = set(sys.argv[3:])
files = [f for f in subprocess.check_output(['git', '-C', repo, 'ls-files'], text=True).split()
         if f.endswith(('.cpp', '.h')) and not f.startswith(('tests/', 'bench/'))]
results = json.load(open(out)) if os.path.exists(out) else {}

def sh(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=repo, shell=True, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except subprocess.TimeoutExpired:
        return None

for fid, layer, what, old, new in FAULTS:
    if os.path.exists(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'STOP')):
        break
    if (only and fid not in only) or fid in results:
        continue
    hits = [f for f in files if old in open(os.path.join(repo, f)).read()]
    total = sum(open(os.path.join(repo, f)).read().count(old) for f in hits)
    if total != 1:
        results[fid] = {'status': 'not-applicable', 'hits': hits}
        print(fid, 'NOT APPLICABLE', hits, flush=True)
        continue
    path = os.path.join(repo, hits[0])
    original = open(path).read()
    open(path, 'w').write(original.replace(old, new))
    t0 = time.time()
    try:
        b = sh('nice cmake --build build -j2', 1800)
        if b is None or b.returncode != 0:
            status, failed = 'caught-build', []
        else:
            # Quick tests first; the Wine, emulator and valgrind runs only
            # for a fault the quick ones miss.
            status, failed = 'missed', []
            for sel in ('-LE "wine|i686|valgrind"', '-L "wine|i686|valgrind"'):
                r = sh('nice ctest --test-dir build -j2 --stop-on-failure --timeout 300 ' + sel, 3000)
                if r is None:
                    status = 'caught-timeout'
                    break
                if r.returncode != 0:
                    failed = [l.strip() for l in r.stdout.splitlines() if ' - ' in l and l.strip()[:1].isdigit()]
                    status = 'caught'
                    break
    finally:
        open(path, 'w').write(original)
    results[fid] = {'status': status, 'failed': failed[:40], 'seconds': round(time.time() - t0)}
    print(fid, status, len(failed), round(time.time() - t0), 's', flush=True)
    json.dump(results, open(out, 'w'), indent=1)
sh('nice cmake --build build -j2', 1800)
json.dump(results, open(out, 'w'), indent=1)
c = sum(1 for r in results.values() if r['status'].startswith('caught'))
print(f'{c} caught of {len(results)}')
