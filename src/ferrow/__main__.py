"""Command line of ferrow: ``python -m ferrow demo``."""

from __future__ import annotations

import argparse
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(prog="ferrow", description="SuiteSparse orderings, BTF and sparse QR.")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("demo", help="run the built-in demo on problems it builds itself")
    args = parser.parse_args(argv)
    if args.command == "demo":
        from ferrow.demos import run_all

        run_all(sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
