import base64
import io
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import matplotlib.image
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from VarloAlpha import report_html as rh
from VarloAlpha.Module import Varlo_analyse as va
from VarloAlpha.Module import Varlo_module as vm

pytestmark = pytest.mark.filterwarnings("ignore:The set_bad function:PendingDeprecationWarning")

ROOT = Path(__file__).resolve().parent.parent
IMAGE = re.compile(r'<img alt="" src="data:image/png;base64,([A-Za-z0-9+/=]+)">')


def init(context):
    context.data_names = ["close"]


def daily(context):
    close = context.data["close"].loc[:context.timestamp, context.symbols]
    context.alpha = 1 - close.iloc[-1] / close.iloc[-11]


@pytest.fixture(scope="module")
def run(market_upper, tmp_path_factory):
    """A run with the page on: its summary, its report folder and the page."""
    save_path = tmp_path_factory.mktemp("html") / "reports" / "run_7"
    config = {"data_path": Path(market_upper), "summary_name": "sample run",
              "base": {"begin_date": "2017-01-01", "end_date": "2017-12-31", "universe": "commodity"},
              "trade": {"trade_contract": "dominant", "matching_type": "vwap", "capital": 10_000_000, "leverage": 1},
              "operators": {"longshort": {"longshort": 0.3, "mode": "keep_rank"}},
              "output": {"save_path": save_path, "print": False, "plot": False, "stratification": 5, "html": True}}
    shown = plt.show
    plt.show = lambda *a, **k: None
    try:
        summary = vm.backtest(config, init, daily)
    finally:
        plt.show = shown
    plt.close("all")
    return summary, save_path, (save_path / "report_7.html").read_text(encoding="utf-8")


def cells(page, table_class):
    table = re.search(rf'<table class="{table_class}">(.*?)</table>', page, re.S).group(1)
    return [re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row) for row in re.findall(r"<tr>(.*?)</tr>", table)]


def test_run_page_is_self_contained_and_agrees_with_the_run(run):
    summary, save_path, page = run
    assert "http" not in page.lower() and "src=\"file" not in page
    images = IMAGE.findall(page)
    assert len(images) == len(re.findall(r"<img", page)) == 4  # net value, two of the layers, diagnostics
    for data in images:
        assert matplotlib.image.imread(io.BytesIO(base64.b64decode(data)), format="png").size > 0
    on_page = dict(re.findall(r'<th>([^<]+)</th><td class="n" data-v="([^"]+)">', page.split('class="summary"')[1]
                              .split("</table>")[0]))
    assert pd.Series({k: float(v) for k, v in on_page.items()}).equals(summary.rename(None))
    text = (save_path / "summary_7.txt").read_text(encoding="utf-8")
    printed = [line.split() for line in text.split("分年效果: ")[1].splitlines() if line.strip()]
    assert cells(page, "yearly") == [["year", *printed[0]], *printed[1:]]
    # Sections in the page's order; the layer section only because stratification ran.
    heads = re.findall(r"<h2>(.*?)</h2>", page)
    assert heads == ["Summary", "Net value and drawdown", "Per year", "Per symbol", "Layers (5)", "Alpha diagnostics"]


def test_varlo_report_rebuilds_the_same_page(run, tmp_path):
    _, save_path, page = run
    assert rh.main([str(save_path), "-o", str(tmp_path / "again.html")]) == 0
    assert (tmp_path / "again.html").read_text(encoding="utf-8") == page
    script = Path(sys.executable).parent / "varlo-report"
    helped = subprocess.run([str(script), "--help"], capture_output=True, text=True, check=True).stdout
    assert "REPORT_DIR" in helped
    # A folder written without the page gets one too, labelled by the folder.
    bare = tmp_path / "old_7"
    shutil.copytree(save_path, bare)
    (bare / "report_7.html").unlink()
    rebuilt, target = rh.page_from_directory(bare)
    assert target == bare / "report_7.html" and "<h1>old_7</h1>" in rebuilt and "Layers" not in rebuilt


def test_stratification_can_save_its_figures(run):
    _, save_path, _ = run
    mine = plt.figure()
    va.stratification(save_path, 3, save_figures=True)
    assert {p.name for p in save_path.glob("stratification_*.png")} == {"stratification_layers_7.png",
                                                                          "stratification_return_7.png"}
    assert plt.get_fignums() == [mine.number]


def test_page_in_a_headless_browser(run, tmp_path):
    """No console error, every image loaded; the screenshot stays in build/ for a look."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is needed in CI")
        pytest.skip("chromium is not installed")
    _, save_path, page = run
    probe = ("<script>window.__e=[];addEventListener('error',function(e){__e.push(String(e.message||e.target.src))},"
             "true);var ce=console.error;console.error=function(){__e.push([].join.call(arguments,' '));"
             "ce.apply(console,arguments)};addEventListener('load',function(){var i=[].slice.call(document.images);"
             "var p=document.createElement('pre');p.id='probe';p.textContent=JSON.stringify({n:i.length,"
             "bad:i.filter(function(x){return!(x.complete&&x.naturalWidth>0)}).length,errors:__e});"
             "document.body.appendChild(p)});</script>")
    probed = tmp_path / "probed.html"
    probed.write_text(page.replace("<head>", "<head>" + probe, 1), encoding="utf-8")
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--virtual-time-budget=10000"]
    dom = subprocess.run([chromium, *flags, "--dump-dom", probed.as_uri()], capture_output=True, text=True,
                         timeout=180).stdout
    found = json.loads(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S).group(1).replace("&quot;", '"'))
    assert found == {"n": 4, "bad": 0, "errors": []}
    shot = ROOT / "build" / "report_page.png"
    shot.parent.mkdir(exist_ok=True)
    logged = subprocess.run([chromium, *flags, "--enable-logging=stderr", "--v=0", f"--screenshot={shot}",
                             "--window-size=1280,2000", (save_path / "report_7.html").as_uri()],
                            capture_output=True, text=True, timeout=180).stderr
    assert shot.stat().st_size > 0
    assert not [line for line in logged.splitlines() if "CONSOLE" in line]


def test_diagnostics_against_pandas():
    rng = np.random.default_rng(5)
    dates = pd.bdate_range("2020-01-01", periods=400)
    nextreturn = pd.DataFrame(rng.normal(0, 0.02, (400, 30)), index=dates, columns=[f"S{i}" for i in range(30)])
    nextreturn = nextreturn.mask(rng.random(nextreturn.shape) < 0.05)
    foresight = nextreturn.copy()
    noise = pd.DataFrame(rng.normal(size=nextreturn.shape), index=dates, columns=nextreturn.columns)
    for alpha in (foresight, noise):
        decay = rh.ic_decay(alpha, nextreturn)
        for k in rh.IC_LAGS:
            forward = (1 + nextreturn).rolling(k).apply(np.prod, raw=True).shift(1 - k) - 1
            assert decay[k] == pytest.approx(alpha.corrwith(forward, axis=1, method="spearman").mean(), abs=1e-12)
        assert rh.rank_autocorrelation(alpha) == pytest.approx(
            alpha.corrwith(alpha.shift(1), axis=1, method="spearman").mean(), abs=1e-12)
    assert rh.ic_decay(foresight, nextreturn)[1] == pytest.approx(1)
    assert abs(rh.ic_decay(noise, nextreturn)[1]) < 0.05
    r = noise.rank(axis=1).sub(noise.rank(axis=1).mean(axis=1), axis=0)
    w = r.div(r.abs().sum(axis=1), axis=0)
    assert rh.implied_turnover(noise) == pytest.approx(w.diff().abs().sum(axis=1).iloc[1:].mean() * 250)
    position = np.sign(noise).where(rng.random(noise.shape) < 0.8, 0)
    sides = rh.side_contributions(nextreturn, position)
    held = position.shift(1).fillna(position)
    held = held.where(held != 0, position)
    assert np.allclose(sides["long"], nextreturn.where(held > 0).sum(axis=1))
    assert np.allclose(sides["short"], nextreturn.where(held < 0).sum(axis=1))


class InProcess:
    def map(self, fn, items):
        return map(fn, items)


def test_grid_page_and_saved_heat_maps(monkeypatch, market_upper, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    (tmp_path / "grid_strategy_reports").mkdir()
    saved = []
    real_save = rh.save_figure

    def save(fig, target):
        fig.canvas.draw()
        boxes = [ax.get_tightbbox() for ax in fig.axes]
        saved.append((sorted({ax.get_xlabel() for ax in fig.axes if ax.get_title()}), boxes))
        return real_save(fig, target)

    monkeypatch.setattr(rh, "save_figure", save)
    config = {"data_path": Path(market_upper),
              "base": {"alpha_id": "grid_strategy", "begin_date": "2016-06-01", "end_date": "2016-07-29",
                       "universe": "all"},
              "trade": {"capital": 10_000_000, "leverage": 1, "trade_contract": "dominant", "matching_type": "vwap"},
              "operators": {"smooth": {"smooth": 2, "mode": "linear"}},
              "parameters": {"lookback": 20},
              "output": {"save_path": Path("unused"), "last_position": False, "html": True, "save_figures": True}}
    vm.multi_backtest(config, 4, {"lookback": [5, 10], "op_smooth": [1, 3]}, InProcess())
    folder = tmp_path / "grid_strategy_reports"
    assert (folder / "summarys_4.png").exists() and plt.get_fignums() == []
    (labels, boxes), = saved
    assert labels == ["lookback"]
    # Heat maps (with their titles and labels) and colour bars: none runs into another.
    assert not [(a, b) for i, a in enumerate(boxes) for b in boxes[i + 1:] if a.overlaps(b)]
    page = (folder / "summarys_4.html").read_text(encoding="utf-8")
    assert "http" not in page.lower() and len(IMAGE.findall(page)) == 4
    ranked = [float(row[4]) for row in re.findall(r"<tr><td>(run_[^<]+)</td>" + r'<td class="n" data-v="([^"]+)">[^<]*</td>' * 4,
                                                  page)]
    csv = pd.read_csv(folder / "summarys_4.csv", index_col=0)
    assert ranked == sorted(csv["ir"], reverse=True)
    assert "<th>lookback</th><th>op_smooth</th>" in page


def test_text_the_figure_fonts_lack_falls_back(monkeypatch):
    monkeypatch.setattr(rh, "_families", lambda: ("DejaVu Sans",))
    assert (rh._drawable("回看", "p1"), rh._drawable("lookback", "p1")) == ("p1", "lookback")
