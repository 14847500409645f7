"""`python -m atomblock`: the command line (see atomblock._cli)."""

from atomblock._cli import main

if __name__ == "__main__":
    raise SystemExit(main())
