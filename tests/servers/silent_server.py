#!/usr/bin/python3
"""TCP server on 127.0.0.1 that accepts connections and never sends a byte.

Usage: silent_server.py [--port N] [--mode MODE]
Same options as misbehaving_server.py, with silent as the default mode.
"""
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import misbehaving_server  # noqa: E402

if __name__ == "__main__":
    sys.exit(misbehaving_server.main("silent"))
