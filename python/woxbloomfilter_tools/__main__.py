"""`python -m woxbloomfilter_tools`: the woxbloom command line."""

from woxbloomfilter_tools._cli import run

run()
