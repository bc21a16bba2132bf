#!/usr/bin/env python3
# Lists the functions under src/ longer than 60 lines and the files longer than 500 (brace
# counting, comments and strings skipped); exits 1 when there is any. Run from the repository root.
import re,sys,glob
bad=0
for f in sorted(glob.glob('src/**/*.[ch]*',recursive=True)):
    lines=open(f).read().split('\n')
    if len(lines)>500: print(f"{f}: {len(lines)} lines"); bad+=1
    depth=0; decl=None; start=None; text=''
    for i,l in enumerate(lines):
        code=re.sub(r'//.*|"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'','',l)
        if depth==0 and start is None:
            if code[:1].strip() and not code.startswith(('}','#','/')):
                if decl is None: decl=i; text=''
            if decl is not None: text+=code
        for ch in code:
            if ch=='{':
                if depth==0 and decl is not None and ')' in text and not re.match(r'\s*(namespace|class|struct|enum|extern|template\s*<[^>]*>\s*(class|struct))\b',text) and '=' not in text.split('(')[0]:
                    start=decl
                depth+=1
            elif ch=='}':
                depth-=1
                if depth==0:
                    if start is not None and i-start+1>60:
                        print(f"{f}:{start+1}: {i-start+1} lines: {lines[start].strip()[:70]}"); bad+=1
                    start=None; decl=None
        if depth==0 and code.rstrip().endswith(';'): decl=None
sys.exit(1 if bad else 0)
