"""python3 -m orvane inspect|verify FILE: read-only tools for database files."""

from ._cli import main

raise SystemExit(main())
