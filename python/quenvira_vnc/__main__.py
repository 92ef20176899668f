"""python -m quenvira_vnc: the vnc-do command line."""

from .cli import run

run()
