#!/usr/bin/python3
"""The manual pages say what the programs say: every program the tools
component installs has a section 1 page that names each option its -h text
prints, and velk(3) lists every call of the public header.

Usage: man_pages_check.py CMAKE BUILD_DIR MAN_DIR HEADER
"""
import os
import re
import subprocess
import sys
import tempfile

# An option as a usage text writes it: -x or --long-name, not the dash
# inside a word, a number range or a path ("two-channel", "0-67", "by-id").
OPTION = r'(?<![\w./-])(--[A-Za-z0-9][\w-]*|-[A-Za-z0-9])(?![\w-])'


def roff_text(path):
    """The page's source with the escapes that hide an option's text removed."""
    with open(path, encoding='utf-8') as f:
        text = f.read()
    text = re.sub(r'\\f(\[[^]]*\]|\(..|.)', '', text)
    text = text.replace('\\-', '-').replace('\\(en', '-').replace('\\&', '').replace('\\e', '\\')
    return text


def options_of(program):
    run = subprocess.run([program, '-h'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, timeout=30)
    return run.returncode, sorted(set(re.findall(OPTION, run.stdout.decode('utf-8', 'replace'))))


def main():
    cmake, build, man_dir, header = sys.argv[1:5]
    problems = []
    with tempfile.TemporaryDirectory(prefix='velk-man-') as prefix:
        subprocess.run([cmake, '--install', build, '--component', 'tools', '--prefix', prefix],
                       check=True, stdout=subprocess.DEVNULL)
        bindir = os.path.join(prefix, 'bin')
        programs = sorted(os.listdir(bindir)) if os.path.isdir(bindir) else []
        if not programs:
            problems.append('the tools component installs no program')
        for name in programs:
            page = os.path.join(man_dir, name + '.1')
            if not os.path.exists(page):
                problems.append(f'{name}: no manual page {page}')
                continue
            if not os.path.exists(os.path.join(prefix, 'share', 'man', 'man1', name + '.1.gz')):
                problems.append(f'{name}: its manual page is not installed with it')
            rc, options = options_of(os.path.join(bindir, name))
            if rc != 0:
                problems.append(f'{name} -h: exit status {rc}')
            text = roff_text(page)
            for opt in options:
                if not re.search(r'(?<![\w./-])' + re.escape(opt) + r'(?![\w-])', text):
                    problems.append(f'{name}: {opt} is in the -h text but not in {os.path.basename(page)}')

    with open(header, encoding='utf-8') as f:
        calls = re.findall(r'^VELK_API[ \t]+[^(\n]*?\b(\w+)[ \t]*\(', f.read(), re.M)
    overview = roff_text(os.path.join(man_dir, 'velk.3'))
    if not calls:
        problems.append('no calls found in ' + header)
    for call in calls:
        if not re.search(r'\b' + call + r'\(', overview):
            problems.append(f'velk.3: {call} is not listed')

    for p in problems:
        print(p)
    print(f'{len(programs)} programs, {len(calls)} calls checked; {len(problems)} problems')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
