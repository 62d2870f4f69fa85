import os
import sys

# The tests' own helpers (an independent encoder of the wire format, the device simulator)
# live in tools/; they never share code with the module under test.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
