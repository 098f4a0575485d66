#!/usr/bin/env python3
"""Checks the links of README.md and docs/*.md: every relative link names a
file of the repository, and every #anchor a heading of the file it points
into (GitHub's rule: lower case, punctuation dropped, blanks as hyphens).
Prints each broken link and exits 1 if any."""
import os, re, sys

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
files = ['README.md'] + sorted('docs/' + f for f in os.listdir(os.path.join(top, 'docs')) if f.endswith('.md'))

def slug(heading):
    s = heading.strip().lower()
    s = re.sub(r'[^\w\- ]', '', s)
    return s.replace(' ', '-')

def anchors(path):
    found, fence = set(), False
    for line in open(path, encoding='utf-8'):
        if line.startswith('```'):
            fence = not fence
        elif not fence and re.match(r'#{1,6} ', line):
            found.add(slug(line.lstrip('#')))
    return found

faults = []
for name in files:
    path = os.path.join(top, name)
    text, fence = [], False
    for line in open(path, encoding='utf-8'):
        if line.startswith('```'):
            fence = not fence
        elif not fence:
            text.append(line)
    for target in re.findall(r'\]\(([^)\s]+)\)', ''.join(text)):
        if re.match(r'[a-z]+:', target):
            continue
        file_part, _, anchor = target.partition('#')
        dest = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        if not os.path.exists(dest):
            faults.append(f'{name}: {target}: no such file')
        elif anchor and dest.endswith('.md') and anchor not in anchors(dest):
            faults.append(f'{name}: {target}: no such heading')
for fault in faults:
    print(fault)
if faults:
    sys.exit(1)
print(f'check-docs: every link of {len(files)} files resolves')
