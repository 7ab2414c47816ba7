"""Runs a README Python example as written: the first ```python block after
a heading. Usage: run_readme_example.py README.md "## Python"

The example may start worker processes, which import this file again as
__mp_main__: only the main process runs it."""

import os
import re
import sys
import tempfile

if __name__ == "__main__":
    text = open(sys.argv[1], encoding="utf-8").read()
    heading = sys.argv[2] if len(sys.argv) > 2 else "## Python"
    section = text[text.index("\n" + heading + "\n"):]
    match = re.search(r"```python\n(.*?)```", section, re.S)
    if not match:
        sys.exit(f"no ```python block after the README's {heading!r} heading")
    os.chdir(tempfile.mkdtemp())  # the example may write files
    exec(compile(match.group(1), f"README.md ({heading} example)", "exec"),
         {"__name__": "__main__"})
