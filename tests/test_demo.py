import os
import subprocess
import sys


def test_demo_runs_a_whole_run(tmp_path):
    env = {"PATH": "", "MPLBACKEND": "Agg", **({"PYTHONPATH": os.environ["PYTHONPATH"]} if "PYTHONPATH" in os.environ else {})}
    res = subprocess.run([sys.executable, "-c", "from VarloAlpha.demo import main; main()"], cwd=tmp_path,
                         capture_output=True, text=True, env=env, timeout=600)
    assert res.returncode == 0, res.stderr[-2000:]
    assert "回测时间区间" in res.stdout and "分年效果" in res.stdout
    reports = tmp_path / "varlo_demo" / "reports" / "demo_report"
    names = {p.name for p in reports.iterdir()}
    assert {"summary_report.txt", "alpha_report.csv", "figure_1.png", "figure_2.png"} <= names
    assert any(n.startswith("account_") for n in names)
    assert res.stderr == ""
