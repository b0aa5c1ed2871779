"""`python -m woxbloomfilter_tools`: the woxbloom command line."""

from woxbloomfilter_tools.cli import run

run()
