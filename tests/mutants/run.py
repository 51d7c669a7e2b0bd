#!/usr/bin/env python3
"""Applies each fault of faults.py to a checkout in turn: caught when its build/ fails to build
or any CTest test fails. Usage: run.py CHECKOUT OUT.json [ID...]; a file STOP beside this script
ends the run after the fault at hand, and a second run goes on from OUT.json."""
import json, os, subprocess, sys, time
here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from faults import FAULTS

repo, out, only = sys.argv[1], sys.argv[2], set(sys.argv[3:])
files = [f for f in subprocess.check_output(['git', '-C', repo, 'ls-files'], text=True).split()
         if f.endswith(('.cpp', '.h')) and not f.startswith(('tests/', 'bench/'))]
results = json.load(open(out)) if os.path.exists(out) else {}
text = lambda f: open(os.path.join(repo, f)).read()

def sh(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=repo, shell=True, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except subprocess.TimeoutExpired:
        return None

def quick_targets():
    # All but the Windows build of the tool (minutes a fault) and what needs it.
    def query(t):
        lines = subprocess.check_output(['ninja', '-C', 'build', '-t', 'query', t], cwd=repo, text=True).splitlines()
        cut = lines.index('  outputs:')
        return [l.strip() for l in lines[2:cut]], [l.strip() for l in lines[cut + 1:]]
    slow, queue = set(), ['tool-win64']
    while queue:
        t = queue.pop()
        if t not in slow and not t.endswith('/all') and t != 'all':
            slow.add(t)
            queue += query(t)[1]
    def expand(t):
        return [x for i in query(t)[0] for x in (expand(i) if i.endswith('/all') else [i]) if x not in slow]
    return ' '.join(expand('all'))

quick = quick_targets()
for fid, layer, what, old, new in FAULTS:
    if os.path.exists(os.path.join(here, 'STOP')):
        break
    if (only and fid not in only) or fid in results:
        continue
    hits = [f for f in files if old in text(f)]
    if sum(text(f).count(old) for f in hits) != 1:
        results[fid] = {'status': 'not-applicable', 'hits': hits}
        print(fid, 'NOT APPLICABLE', hits, flush=True)
        continue
    path = os.path.join(repo, hits[0])
    original = open(path).read()
    open(path, 'w').write(original.replace(old, new))
    t0, status, failed = time.time(), 'missed', []
    try:
        # The Wine, emulator and valgrind runs only for what the quick ones miss.
        for targets, sel in ((quick, '-LE "wine|i686|valgrind"'), ('', '-L "wine|i686|valgrind"')):
            b = sh('nice cmake --build build -j2 -- ' + targets, 1800)
            if b is None or b.returncode != 0:
                status = 'caught-build'
                break
            r = sh('nice ctest --test-dir build -j2 --stop-on-failure --timeout 300 ' + sel, 3000)
            if r is None or r.returncode != 0:
                status = 'caught-timeout' if r is None else 'caught'
                failed = [] if r is None else [
                    l.strip() for l in r.stdout.splitlines() if ' - ' in l and l.strip()[:1].isdigit()]
                break
    finally:
        open(path, 'w').write(original)
    results[fid] = {'status': status, 'failed': failed[:40], 'seconds': round(time.time() - t0)}
    print(fid, status, len(failed), round(time.time() - t0), 's', flush=True)
    json.dump(results, open(out, 'w'), indent=1)
sh('nice cmake --build build -j2', 1800)
json.dump(results, open(out, 'w'), indent=1)
print(f'{sum(r["status"].startswith("caught") for r in results.values())} caught of {len(results)}')
