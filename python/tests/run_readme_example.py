"""Runs the README's Python example as written: the first ```python block
after the "## Python" heading. Usage: run_readme_example.py README.md"""

import os
import re
import sys
import tempfile

text = open(sys.argv[1], encoding="utf-8").read()
section = text[text.index("\n## Python"):]
match = re.search(r"```python\n(.*?)```", section, re.S)
if not match:
    sys.exit("no ```python block in the README's Python section")
os.chdir(tempfile.mkdtemp())  # the example may write files
exec(compile(match.group(1), "README.md (Python example)", "exec"), {"__name__": "__main__"})
