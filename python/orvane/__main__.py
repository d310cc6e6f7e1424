"""python3 -m orvane inspect|verify FILE, export FILE COLLECTION DIR, convert SRC DST: tools for database files."""

from ._cli import main

raise SystemExit(main())
