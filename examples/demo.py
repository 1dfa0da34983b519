"""The main job of `make demo`: runs every examples/*_demo.py in name order."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
order = sorted(here.glob("*_demo.py"), key=lambda p: (p.name != "time_demo.py", p.name))
for script in order:
    print(f"==== {script.stem} ====")
    runpy.run_path(str(script), run_name="__main__")
    print()
sys.stdout.flush()
