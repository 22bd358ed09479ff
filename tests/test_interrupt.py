"""Ctrl-C during long native calls that run without the GIL: a child process sends itself SIGINT while
the call runs and reports how long the KeyboardInterrupt took to arrive."""

import os
import subprocess
import sys

import pytest

CHILD = r"""
import os, signal, sys, tempfile, threading, time
import numpy as np, pandas as pd
from VarloAlpha.Module import Varlo_analyse, Varlo_operators

signal.signal(signal.SIGINT, signal.default_int_handler)
rng = np.random.default_rng(0)
kind = sys.argv[1]
if kind == "rank":  # tiles of dates
    frame = pd.DataFrame(rng.standard_normal((16000, 5000)))
    call = lambda: Varlo_operators.op_rank(frame, {})
elif kind == "smooth":  # symbols' histories on two threads, a long window each
    frame = pd.DataFrame(rng.random((6000, 2000)))
    call = lambda: Varlo_operators.op_smooth(frame, {"smooth": 3000, "mode": "linear"})
else:  # the analysis' CSV writer
    frame = pd.DataFrame(rng.random((6000, 5000)), index=pd.date_range("2000-01-01", periods=6000),
                         columns=[f"S{i}" for i in range(5000)])
    path = os.path.join(tempfile.mkdtemp(), "table.csv")
    call = lambda: Varlo_analyse._write_csv(frame, path)
sent = []

def interrupt():
    time.sleep(0.3)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt, daemon=True).start()
try:
    call()
    print("finished")
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - sent[0])
"""


@pytest.mark.parametrize("kind, threads", [("rank", "1"), ("smooth", "2"), ("csv", "1")])
def test_ctrl_c_stops_a_long_native_call_within_a_second(kind, threads):
    env = {**os.environ, "VARLO_NUM_THREADS": threads}
    done = subprocess.run([sys.executable, "-c", CHILD, kind], capture_output=True, text=True, timeout=120,
                          env=env)
    assert done.returncode == 0, done.stderr
    word, *latency = done.stdout.split()
    assert word == "interrupted"
    assert float(latency[0]) < 1.0
