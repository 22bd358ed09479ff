import os
import subprocess
import sys
from pathlib import Path


def demo_command():
    """The installed console script when there is one (a fresh install), else its entry function."""
    script = Path(sys.executable).parent / "varlo-demo"
    if script.exists():
        return [str(script)]
    return [sys.executable, "-c", "import sys; from VarloAlpha.demo import main; main(sys.argv[1:])"]


def run_demo(args, cwd):
    env = {"PATH": "", "MPLBACKEND": "Agg", **({"PYTHONPATH": os.environ["PYTHONPATH"]} if "PYTHONPATH" in os.environ else {})}
    return subprocess.run(demo_command() + args, cwd=cwd, capture_output=True, text=True, env=env, timeout=600)


def test_demo_runs_a_whole_backtest(tmp_path):
    res = run_demo(["out", "--begin", "2016-01-01", "--end", "2016-06-30", "--layers", "5"], tmp_path)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.startswith("generating the sample market") and "\ndemo\n" in res.stdout
    assert "回测时间区间    2016-01-04 - 2016-06-30" in res.stdout and "\n\ndemo time: " in res.stdout
    reports = tmp_path / "out" / "reports" / "demo_report"
    assert f"report files:    {reports}" in res.stdout and "examples/momentum.py" in res.stdout
    names = {p.name for p in reports.iterdir()}
    assert {"summary_report.txt", "alpha_report.csv", "nextreturn_report.csv", "performance_report.png",
            "symbols_report.png", "stratification_layers_report.png", "stratification_return_report.png"} <= names
    assert any(n.startswith("account_2016") for n in names)
    assert res.stderr == ""  # no progress bar without a terminal


def test_demo_help(tmp_path):
    res = run_demo(["--help"], tmp_path)
    assert res.returncode == 0 and "--begin" in res.stdout and "outdir" in res.stdout
    assert not any(tmp_path.iterdir())
