#!/usr/bin/env python3
"""The slow clients of peers.py ("peers.py slow"), under the name bench/proxy_bench.sh uses."""
import os
import sys

PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers.py")
os.execv(sys.executable, [sys.executable, PEERS, "slow", *sys.argv[1:]])
