#!/usr/bin/python3
"""The shipped i686 stub on the CPU emulator of ../shared/i686 (a model of
the Win32 functions it imports, not Windows).
    run.py TOOL_DIR CORVANE_SFX STUB TESTDATA scenario|jlha|case NAME
Exit status 0 for a clean run, else the findings are printed."""
import datetime, functools, os, pathlib, random, shutil, struct, subprocess, sys, tempfile, zoneinfo

TOOL, SFX, STUB, TESTDATA, KIND, NAME = sys.argv[1:7]
sys.path.insert(0, TOOL)
import machine, run_sfx, win32  # noqa: E402

# The tool's 120 s limit is wall-clock time, which a loaded machine nears.
machine.Machine.run = functools.partialmethod(machine.Machine.run, timeout_s=1200)

S, User, EXTRACT, CANCEL = win32.Script, run_sfx.Scenario, 1002, 1003
GO, GO_ON = [('type', 'C:\\out'), ('click', EXTRACT)], ('cancel extracting?', 'no')
scratch = tempfile.mkdtemp(prefix='corvane-i686-')
problems = []


def expect(what, got, want):
    if got != want:
        problems.append('%s: %r, expected %r' % (what, got, want))


def content(path):
    return run_sfx.read(path) if os.path.isfile(path) else None


def sfx(*inputs):
    exe = os.path.join(scratch, 'sfx.exe')
    subprocess.run([SFX, 'make', '--stub', STUB, '-o', exe, *inputs], check=True, stdout=subprocess.DEVNULL)
    return exe


def run(exe, sc, src=None):
    """One run on a fresh drive C:; returns C:\\out and the Win32 model."""
    root, path = run_sfx.scratch_drive(os.path.join(scratch, 'drive'))
    shutil.copy(exe, path)
    _, w, report = run_sfx.execute(path, root, sc)
    problems.extend(report + (run_sfx.compare(src, os.path.join(root, sc.out), w, sc.expect) if src else []))
    if sc.script.boxes:
        problems.append('message boxes that never came: %s' % sc.script.boxes)
    return os.path.join(root, 'out'), w


# ---- Hand-made archives of stored members, levels 0 and 1.

def member(name, data, level=0, date=0x5A21, time=0x6000, method=b'-lh0-'):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    body = method + struct.pack('<IIHHBBB', len(data), len(data), time, date, 0x20, level, len(name))
    body += name.encode('latin-1') + struct.pack('<H', crc) + (b'M\0\0' if level else b'')
    return bytes([len(body), sum(body) & 0xFF]) + body + data


def lzh(*members):
    archive = pathlib.Path(scratch, 'a.lzh')
    archive.write_bytes(b''.join(members) + b'\0')
    return sfx(str(archive))


def dos(month, day, hour, minute, two_seconds):  # in 2025
    return 45 << 9 | month << 5 | day, hour << 11 | minute << 5 | two_seconds


def case_dates():
    """A stamp that names no instant leaves the file the time it was written."""
    stamps = {'date-0': (0, 0), 'month-0': dos(0, 1, 12, 0, 0), 'month-13': dos(13, 1, 12, 0, 0),
              'day-0': dos(1, 0, 12, 0, 0), 'hour-24': dos(1, 1, 24, 0, 0), 'minute-60': dos(1, 1, 12, 60, 0),
              'second-60': dos(1, 1, 12, 0, 30), 'good': dos(1, 1, 12, 0, 0)}
    names = ['l%d-%s' % (level, k) for level in (0, 1) for k in stamps]
    out, w = run(lzh(*(member(n, n.encode(), int(n[1]), *stamps[n[3:]]) for n in names)), User(S(target=GO)))
    for n in names:
        host = os.path.join(out, n)
        expect(n, content(host), n.encode())
        expect('write time set on ' + n, w.times.get(host),  # 2025-01-01 12:00; the model's zone is UTC
               (1735732800 + win32.EPOCH_DIFF) * 10 ** 7 if n.endswith('good') else None)


def case_long_paths():
    """Just inside and outside 259 characters for a file, 247 for a new directory."""
    target = 'C:\\out\\' + 'd' * 60
    room = 259 - len(target) - 1
    path = lambda length, c, sep='\\': c * 100 + sep + c * (length - 101)
    out, w = run(lzh(member(path(room, 'f'), b'fits'), member(path(room + 1, 'l'), b'too long'),
                     member(path(room - 12, 'g') + '\\', b'', method=b'-lhd-'),
                     member(path(room - 11, 'm') + '\\', b'', method=b'-lhd-'), member('after.txt', b'after')),
                 User(S(target=[('type', target), ('click', EXTRACT)],
                        boxes=[GO_ON, ('Cannot create the directory.', 'ok'), GO_ON])))
    top = os.path.join(out, 'd' * 60)
    expect('the file that fits', content(os.path.join(top, path(room, 'f', '/'))), b'fits')
    expect('the directory that fits', os.path.isdir(os.path.join(top, path(room - 12, 'g', '/'))), True)
    for c in 'lm':  # what was created in front of the refused member stays
        front = os.path.join(top, c * 100)
        expect('left in front of the refused %s' % c, os.path.isdir(front) and os.listdir(front), [])
    expect('after.txt', content(os.path.join(top, 'after.txt')), b'after')


def case_proposal():
    """The proposal is the browsed folder with the program's name (t) behind
    it where the edit field gives that back whole: 259 characters."""
    for length in (257, 258):
        folder = 'C:\\' + 'p' * (length - 3)
        _, w = run(lzh(member('a.txt', b'a')), User(S(target=[('browse', folder), ('click', CANCEL)]), 1))
        expect('proposal after browsing to %d characters' % length, w.target_dialog.children[1001].text,
               folder + '\\t' if length == 257 else folder)


# ---- The tool's scenarios, and the jlha corpus.

def scenario(name):
    src = os.path.join(scratch, 'src')
    for rel, data in (('readme.txt', b'read me\r\n'), ('sub/deeper/hi.txt', b'hi\r\n'),
                      ('sub/random.bin', random.Random(5).randbytes(300000))):  # five progress steps
        pathlib.Path(src, rel).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(src, rel).write_bytes(data)
    run(sfx('--mtime', str(run_sfx.MTIME), *(os.path.join(src, n) for n in sorted(os.listdir(src)))),
        run_sfx.scenario(name), src)


def jlha(archive):
    """Levels 0 and 1 store Berlin local time; the model's zone is UTC."""
    with open(os.path.join(TESTDATA, 'manifest.tsv')) as f:
        entries = [c for c in (line.split('\t') for line in f) if c[0] == archive + '.lzh']
    if not entries:
        raise SystemExit('%s is not in %s/manifest.tsv' % (archive, TESTDATA))
    out, w = run(sfx(os.path.join(TESTDATA, archive + '.lzh')), User(S(target=GO)))
    got = {os.path.relpath(os.path.join(d, n), out) for d, dirs, files in os.walk(out) for n in dirs + files}
    want = {p[:i].rstrip('/') for _, _, _, _, p, *_ in entries for i in range(len(p) + 1) if p[i:i + 1] in '/'}
    expect('extracted tree', sorted(got), sorted(want - {''}))
    for _, level, kind, _, rel, source, mtime, attribute, *_ in entries:
        host = os.path.join(out, rel)
        if kind == 'dir' or not os.path.isfile(host):
            continue
        expect('contents of ' + rel, content(host) == run_sfx.read(os.path.join(TESTDATA, 'inputs', source)), True)
        t = datetime.datetime.fromtimestamp(int(mtime), zoneinfo.ZoneInfo('Europe/Berlin'))
        expect('write time of ' + rel, w.times.get(host),
               (int(mtime) + win32.EPOCH_DIFF + int(t.utcoffset().total_seconds()) * (level != '2')) * 10 ** 7)
        expect('attributes of ' + rel, w.attributes(host), int(attribute) & 0x27 or win32.FA_NORMAL)


try:
    {'scenario': scenario, 'jlha': jlha, 'case': lambda n: globals()['case_' + n.replace('-', '_')]()}[KIND](NAME)
finally:
    shutil.rmtree(scratch, ignore_errors=True)
for p in problems:
    print('FINDING: ' + p)
print('RESULT: %s' % ('problems' if problems else 'clean'))
sys.exit(1 if problems else 0)
