"""The on-access pipeline benchmark: `python3 bench/onaccess` (or `python3 -m onaccess` from bench/)."""

import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
