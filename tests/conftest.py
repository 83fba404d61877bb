import os
import sys

# Shared helpers (tests/helpers.py) and the formula families (bench/families.py).
HERE = os.path.dirname(__file__)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "bench"))
