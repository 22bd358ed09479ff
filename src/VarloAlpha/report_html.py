"""Self-contained HTML report pages: one per run (``report_<id>.html``) and one per grid (``summarys_<id>.html``).

A run's page is built from what its report directory holds, the text report and the report tables; a run
with ``output/html`` on hands the same text and tables over in memory, as the CSV text they are written
as, so the page of a run and the page ``varlo-report`` builds later from its directory are the same.
Every figure is an inline PNG; nothing on a page refers to the network.
"""

from __future__ import annotations

import argparse
import base64
import html
import io
import json
import math
import re
import subprocess
import sys
import warnings
from functools import lru_cache
from pathlib import Path

import numpy as np
import pandas as pd

YEAR_DAYS = 250
IC_LAGS = (1, 2, 5, 10, 20)
# Only these tables feed the page; the others of a report directory are not read.
RUN_TABLES = ("return_dataframe", "daily_performance", "symbol_performance", "alpha", "position", "nextreturn")
DATE_TABLES = ("return_dataframe", "daily_performance", "alpha", "position", "nextreturn")
SUMMARY_LABELS = ("Annualized Return", "Information Ratio", "Calmar Ratio", "Information Coefficient",
                  "Annualized Turnover Rate")
# The text report's own lines, with what they mean in English.
REPORT_LINES = (("总收益", "Total return"), ("年化波动率", "Annualised volatility"), ("最大回撤", "Maximum drawdown"),
                ("最大回撤期", "Maximum-drawdown period"), ("最长修复期", "Longest recovery period"))
PERIOD_LABEL = "回测时间区间"
YEARLY_LABEL = "分年效果:"
CJK_FAMILIES = ("Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
                "Microsoft YaHei", "PingFang SC", "SimHei", "Droid Sans Fallback")
GRID_METRICS = (("ar", "Annualized Return"), ("ir", "Information Ratio"), ("cr", "Calmar Ratio"),
                ("ic", "Information Coefficient"))
META_ID = "varlo-run"


# --- fonts ---------------------------------------------------------------------------------------------

@lru_cache(maxsize=None)
def _families() -> tuple[str, ...]:
    """DejaVu Sans, then a font with Chinese glyphs when the machine has one (matplotlib falls back along
    the list glyph by glyph). A font installed after matplotlib cached its font list is found through
    fontconfig."""
    from matplotlib import font_manager as fm

    known = {f.name for f in fm.fontManager.ttflist}
    for family in CJK_FAMILIES:
        if family in known:
            return ("DejaVu Sans", family)
    try:
        listed = subprocess.run(["fc-list", ":lang=zh", "file"], capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        listed = ""
    for line in listed.splitlines():
        path = line.split(":")[0].strip()
        try:
            fm.fontManager.addfont(path)
            return ("DejaVu Sans", fm.get_font(path).family_name)
        except Exception:  # an unreadable font file: try the next one
            continue
    return ("DejaVu Sans",)


def _drawable(text: str, fallback: str) -> str:
    """`text` where the figures' fonts have its glyphs, otherwise `fallback` (never tofu boxes)."""
    if len(_families()) > 1 or all(ord(c) < 0x2E80 for c in text):
        return text
    return fallback


# --- figures -------------------------------------------------------------------------------------------

def _figure(width: float, height: float):
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=100, layout="constrained")


def _png(fig) -> str:
    """The figure as an <img> with a PNG data URI; no clock or version in the file, so pages repeat."""
    import matplotlib

    buf = io.BytesIO()
    with matplotlib.rc_context({"font.family": list(_families())}):
        fig.savefig(buf, format="png", dpi=100, metadata={"Software": None})
    data = base64.b64encode(buf.getvalue()).decode("ascii")
    return f'<img alt="" src="data:image/png;base64,{data}">'


def _rc():
    import matplotlib

    return matplotlib.rc_context({"font.family": list(_families()), "font.size": 9, "axes.titlesize": 10,
                                  "legend.fontsize": 8, "axes.grid": True, "grid.alpha": 0.3})


def _layer_colours(n: int) -> list:
    """Layer 1 to n along viridis (purple to yellow): the order reads from the colour, and neither black nor
    red, kept for "all" and "t-b", is among them."""
    from matplotlib import colormaps

    return [colormaps["viridis"](i / max(n - 1, 1) * 0.95) for i in range(n)]


# --- reading a run -------------------------------------------------------------------------------------

def _read_table(source, stem: str) -> pd.DataFrame:
    frame = pd.read_csv(source, index_col=0)
    if stem in DATE_TABLES:
        frame.index = pd.to_datetime(frame.index)
    frame.columns = frame.columns.astype(str)
    return frame.astype(float)


def parse_summary(text: str) -> dict:
    """The text report's parts: period, summary figures (exact), further lines, per-year table (as printed)."""
    lines = text.split("\n")
    out = {"period": None, "summary": {}, "extra": {}, "yearly_header": [], "yearly_rows": []}
    yearly_at = None
    for i, line in enumerate(lines):
        label, _, value = line.partition("    ")
        if label == PERIOD_LABEL:
            out["period"] = value.strip()
        elif label in SUMMARY_LABELS:
            out["summary"][label] = float(value)
        elif label in dict(REPORT_LINES):
            out["extra"][label] = value.strip()
        elif line.strip() == YEARLY_LABEL:
            yearly_at = i + 1
            break
    if yearly_at is not None:
        rows = [ln.split() for ln in lines[yearly_at:] if ln.strip()]
        if rows:
            header = rows[0]
            out["yearly_header"] = header
            out["yearly_rows"] = [r for r in rows[1:] if len(r) == len(header) + 1]
    return out


def _layers(alpha: pd.DataFrame, nextreturn: pd.DataFrame, s: int):
    """Each date's valid symbols split into `s` layers by ascending alpha (equal alphas keep the columns'
    order); per layer the mean alpha over dates, the total and the running sum of the next-day return."""
    a = alpha.to_numpy(float)
    x = nextreturn.reindex(index=alpha.index, columns=alpha.columns).to_numpy(float)
    alpha_s = np.full((len(a), s), np.nan)
    next_s = np.full((len(a), s), np.nan)
    for row in range(len(a)):
        ok = ~(np.isnan(a[row]) | np.isnan(x[row]))
        l = int(ok.sum())
        if l == 0:
            continue
        ra, rx = a[row][ok], x[row][ok]
        order = np.argsort(ra, kind="stable")
        for i in range(s):
            lo, hi = i * l // s, (i + 1) * l // s
            if hi > lo:
                alpha_s[row, i] = ra[order[lo:hi]].mean()
                next_s[row, i] = rx[order[lo:hi]].mean()
    layers = range(1, s + 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a layer empty on every date: its mean is NaN
        mean_alpha = pd.Series(np.nanmean(alpha_s, axis=0), index=layers)
    total = pd.Series(np.nansum(next_s, axis=0), index=layers)
    cumulative = pd.DataFrame(np.nancumsum(next_s, axis=0), index=alpha.index, columns=list(layers))
    return mean_alpha, total, cumulative


# --- the alpha's own diagnostics ----------------------------------------------------------------------

def rank_ic(a: pd.DataFrame, b: pd.DataFrame) -> pd.Series:
    """Per date, the Spearman correlation across symbols of `a` and `b` over the symbols both hold."""
    a, b = a.align(b, join="inner")
    both = a.notna() & b.notna()
    ra = a.where(both).rank(axis=1)
    rb = b.where(both).rank(axis=1)
    ra = ra.sub(ra.mean(axis=1), axis=0)
    rb = rb.sub(rb.mean(axis=1), axis=0)
    den = np.sqrt((ra * ra).sum(axis=1) * (rb * rb).sum(axis=1))
    ic = (ra * rb).sum(axis=1) / den.where(den > 0)
    return ic.where(both.sum(axis=1) >= 2)


def forward_return(nextreturn: pd.DataFrame, k: int) -> pd.DataFrame:
    """The compounded return over the next `k` days, stored on the date the alpha is known."""
    with np.errstate(divide="ignore", invalid="ignore"):  # a total loss compounds to -100 %
        logs = np.log1p(nextreturn)
        return np.expm1(logs.rolling(k, min_periods=k).sum().shift(-(k - 1)))


def ic_decay(alpha: pd.DataFrame, nextreturn: pd.DataFrame, lags=IC_LAGS) -> pd.Series:
    return pd.Series({k: rank_ic(alpha, forward_return(nextreturn, k)).mean() for k in lags}, name="rank IC")


def rank_autocorrelation(alpha: pd.DataFrame) -> float:
    return float(rank_ic(alpha, alpha.shift(1)).mean())


def implied_turnover(alpha: pd.DataFrame) -> float:
    """250 times the mean daily sum of |w_t - w_t-1|, w the centred cross-sectional rank scaled to gross 1."""
    r = alpha.rank(axis=1)
    c = r.sub(r.mean(axis=1), axis=0)
    w = c.div(c.abs().sum(axis=1).where(lambda g: g > 0), axis=0)
    held = w.notna().any(axis=1)
    change = (w.fillna(0) - w.shift(1).fillna(0)).abs().sum(axis=1)
    return float(change[held & held.shift(1, fill_value=False)].mean() * YEAR_DAYS)


def side_contributions(returns: pd.DataFrame, position: pd.DataFrame) -> pd.DataFrame:
    """Daily net return of the symbols held long and of those held short (the position held into the date,
    or the one opened on it where none was held)."""
    pos = position.reindex(index=returns.index, columns=returns.columns).fillna(0)
    side = np.sign(pos.shift(1, fill_value=0))
    side = side.where(side != 0, np.sign(pos))
    return pd.DataFrame({"long": returns.where(side > 0).sum(axis=1), "short": returns.where(side < 0).sum(axis=1)})


# --- page pieces ---------------------------------------------------------------------------------------

CSS = """
body{font-family:"DejaVu Sans","Segoe UI",Arial,"Noto Sans CJK SC","WenQuanYi Micro Hei","Microsoft YaHei",
"PingFang SC",sans-serif;margin:2em auto;max-width:1100px;padding:0 1em;color:#222;line-height:1.4}
h1{font-size:1.6em;margin-bottom:.2em}h2{font-size:1.2em;border-bottom:1px solid #ccc;margin-top:1.8em}
table{border-collapse:collapse;margin:.5em 0;font-size:.9em}th,td{border:1px solid #ddd;padding:3px 8px}
td.n{text-align:right;font-variant-numeric:tabular-nums}th{background:#f3f3f3}
th.sort{cursor:pointer}img{max-width:100%;display:block;margin:.5em 0}
pre{background:#f7f7f7;padding:.6em;font-size:.85em;overflow:auto;white-space:pre-wrap}
p.def{margin:.2em 0;font-size:.9em;color:#444}h3{font-size:1em;margin:.8em 0 .3em}
.conf{columns:3 18em;font-size:.85em}.conf div{break-inside:avoid;font-family:monospace}
@media print{h2{page-break-after:avoid}img{page-break-inside:avoid}}
"""

SORT_JS = """
document.querySelectorAll("table.sortable").forEach(function(t){
  t.querySelectorAll("th").forEach(function(th,i){th.className="sort";th.addEventListener("click",function(){
    var b=t.tBodies[0],rows=Array.prototype.slice.call(b.rows),up=th.dataset.up!=="1";th.dataset.up=up?"1":"0";
    rows.sort(function(x,y){var p=x.cells[i].dataset.v,q=y.cells[i].dataset.v;
      var r=(p!==undefined&&q!==undefined)?(parseFloat(p)-parseFloat(q)||0):x.cells[i].textContent.localeCompare(y.cells[i].textContent);
      return up?r:-r;});
    rows.forEach(function(r){b.appendChild(r);});});});});
"""


def _e(value) -> str:
    return html.escape(str(value))


def _num(v, digits: int = 4, fmt: str = "f") -> str:
    """A number for reading; the exact value goes into the cell's data-v."""
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return '<td class="n" data-v="NaN">nan</td>'
    return f'<td class="n" data-v="{float(v)!r}">{float(v):.{digits}{fmt}}</td>'


def _table(header, rows, cls="") -> str:
    head = f"<thead><tr>{''.join(f'<th>{_e(h)}</th>' for h in header)}</tr></thead>" if header else ""
    body = "".join("<tr>" + "".join(rows_i) + "</tr>" for rows_i in rows)
    attr = f' class="{cls}"' if cls else ""
    return f"<table{attr}>{head}<tbody>{body}</tbody></table>"


def _define(name: str, text: str) -> str:
    return f'<p class="def"><b>{_e(name)}</b>: {_e(text)}</p>'


def _page(title: str, body: list[str], meta=None, script: str = "") -> str:
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
             '<meta name="viewport" content="width=device-width, initial-scale=1">',
             f"<title>{_e(title)}</title><style>{CSS}</style></head><body>"]
    parts += body
    if meta is not None:
        blob = json.dumps(meta, ensure_ascii=False, default=str).replace("</", "<\\/")
        parts.append(f'<script type="application/json" id="{META_ID}">{blob}</script>')
    if script:
        parts.append(f"<script>{script}</script>")
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"


def _plain(value):
    """A configuration value as JSON can hold it (paths and other objects as their text)."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    return str(value)


def run_meta(config, summary_name) -> dict:
    """What a page shows beyond the report directory's files: label, universe, configuration, layers."""
    output = config.get("output", {}) if hasattr(config, "get") else {}
    s = output.get("stratification", False) if hasattr(output, "get") else False
    layers = None
    if type(s) is int or isinstance(s, bool):
        layers = 10 if isinstance(s, bool) else s
        if isinstance(s, bool) and not s:
            layers = None
    base = config.get("base", {}) if hasattr(config, "get") else {}
    return {"label": _plain(summary_name), "universe": _plain(base.get("universe") if hasattr(base, "get") else None),
            "configuration": _plain(dict(config)), "layers": layers}


# --- the run page --------------------------------------------------------------------------------------

def run_page(summary_text: str, tables: dict, meta: dict, run_id: str) -> str:
    """The page of one run. `tables` maps each of RUN_TABLES to its CSV (a path or a text buffer)."""
    t = {stem: _read_table(tables[stem], stem) for stem in RUN_TABLES}
    rep = parse_summary(summary_text)
    daily = t["daily_performance"]
    label = meta.get("label") or run_id
    body = [f"<h1>{_e(label)}</h1>"]

    info = [("Run id", run_id), ("Period", rep["period"] or "")]
    universe = meta.get("universe")
    info.append(("Universe", ", ".join(map(str, universe)) if isinstance(universe, list) else universe or "not recorded"))
    body.append(_table(None, [[f"<th>{_e(k)}</th>", f"<td>{_e(v)}</td>"] for k, v in info]))
    if meta.get("configuration") is not None:
        entries = []
        for key, value in meta["configuration"].items():
            inner = value.items() if isinstance(value, dict) else [(None, value)]
            for sub, v in inner:
                name = key if sub is None else f"{key}/{sub}"
                entries.append(f"<div><b>{_e(name)}</b> {_e(json.dumps(v, ensure_ascii=False))}</div>")
        body.append(f'<h3>Configuration</h3><div class="conf">{"".join(entries)}</div>')
    else:
        body.append("<p>Configuration: not recorded in the report directory.</p>")

    body.append("<h2>Summary</h2>")
    rows = [[f"<th>{_e(k)}</th>", _num(v, 6)] for k, v in rep["summary"].items()]
    body.append(_table(["Figure", "Value"], rows, "summary"))
    rows = [[f"<th>{_e(zh)} ({_e(en)})</th>", f"<td>{_e(rep['extra'].get(zh, ''))}</td>"] for zh, en in REPORT_LINES]
    body.append(_table(["Figure", "Value"], rows))

    body.append("<h2>Net value and drawdown</h2>")
    nv = daily["daily_net_value"]
    simple = np.allclose(nv.to_numpy(), 1 + daily["daily_return"].cumsum().to_numpy(), rtol=0, atol=1e-9, equal_nan=True)
    peak = nv.cummax()
    drawdown = (peak - nv) if simple else (1 - nv / peak)
    body.append(_define("Drawdown", "the fall of the net value from its running peak, "
                        + ("in units of the starting capital (simple interest)." if simple
                           else "as a fraction of the peak (compound interest).")))
    with _rc():
        fig = _figure(10, 5)
        ax1, ax2 = fig.subplots(2, 1, sharex=True, height_ratios=[2, 1])
        ax1.plot(nv.index, nv.to_numpy(), color="#1f77b4")
        ax1.axhline(1, color="black", linestyle="--", linewidth=0.8)
        ax1.set_title("Net value")
        ax2.fill_between(drawdown.index, -drawdown.to_numpy(), 0, color="#d62728", alpha=0.4)
        ax2.set_title("Drawdown")
        body.append(_png(fig))

    body.append("<h2>Per year</h2>")
    if rep["yearly_rows"]:
        header = ["year"] + rep["yearly_header"]
        rows = [[f"<td>{_e(r[0])}</td>"] + [f'<td class="n">{_e(v)}</td>' for v in r[1:]] for r in rep["yearly_rows"]]
        body.append(_table(header, rows, "yearly"))
    body.append(_define("ar, ir, ic, tr", "per calendar year: return, information ratio, mean daily IC and "
                        "summed turnover, as the text report prints them."))

    body.append("<h2>Per symbol</h2>")
    sym = t["symbol_performance"]
    rows = [[f"<td>{_e(s)}</td>"] + [_num(sym.at[s, c]) for c in sym.columns] for s in sym.index]
    body.append(_table(["symbol", *sym.columns], rows, "sortable"))
    body.append("<p class=\"def\">Click a column heading to sort.</p>")

    alpha, nextreturn = t["alpha"], t["nextreturn"]
    layers = meta.get("layers")
    if layers:
        body.append(f"<h2>Layers ({int(layers)})</h2>")
        body.append(_define("Layers", "each date's symbols split by ascending alpha into equal layers (1 the "
                            "lowest); mean alpha, total and cumulative next-day return of each layer."))
        mean_alpha, total, cumulative = _layers(alpha, nextreturn, int(layers))
        cumulative["all"] = cumulative.mean(axis=1)
        cumulative["t-b"] = cumulative[int(layers)] - cumulative[1]
        with _rc():
            fig = _figure(10, 3)
            a1, a2 = fig.subplots(1, 2)
            a1.bar([str(i) for i in mean_alpha.index], mean_alpha.to_numpy(), color="#1f77b4")
            a1.set_title("Mean alpha by layer")
            a2.bar([str(i) for i in total.index], total.to_numpy(), color="#2ca02c")
            a2.set_title("Total next-day return by layer")
            body.append(_png(fig))
            fig = _figure(10, 4.5)
            ax = fig.subplots()
            colours = _layer_colours(int(layers))
            for i, colour in zip(range(1, int(layers) + 1), colours):
                ax.plot(cumulative.index, cumulative[i].to_numpy(), color=colour, linewidth=1, label=str(i))
            ax.plot(cumulative.index, cumulative["all"].to_numpy(), color="black", linestyle="--", linewidth=1.5,
                    label="all")
            ax.plot(cumulative.index, cumulative["t-b"].to_numpy(), color="#d62728", linewidth=2, label="t-b")
            ax.set_title("Cumulative next-day return by layer")
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), ncol=1 if layers <= 12 else 2)
            body.append(_png(fig))

    body.append("<h2>Alpha diagnostics</h2>")
    decay = ic_decay(alpha, nextreturn)
    autocorr = rank_autocorrelation(alpha)
    turnover = implied_turnover(alpha)
    sides = side_contributions(t["return_dataframe"], t["position"])
    body.append(_define("Rank IC at lag k", "the mean over dates of the Spearman correlation across symbols "
                        "between the alpha and the compounded return of the next k days."))
    body.append(_define("Rank autocorrelation", "the mean over dates of the Spearman correlation across symbols "
                        "between the alpha of a date and of the date before."))
    body.append(_define("Implied turnover", "250 times the mean daily sum of |w(t) - w(t-1)|, w the alpha's "
                        "centred cross-sectional rank scaled to a gross weight of 1."))
    body.append(_define("Long / short contribution", "the net return of the symbols held long / short (the "
                        "position held into the date, or opened on it), summed over dates."))
    rows = [[f"<th>Rank IC, lag {k}</th>", _num(v)] for k, v in decay.items()]
    rows += [["<th>Rank autocorrelation</th>", _num(autocorr)], ["<th>Implied turnover</th>", _num(turnover)],
             ["<th>Long contribution</th>", _num(sides["long"].sum())],
             ["<th>Short contribution</th>", _num(sides["short"].sum())]]
    body.append(_table(["Diagnostic", "Value"], rows, "diagnostics"))
    with _rc():
        fig = _figure(10, 3.5)
        a1, a2 = fig.subplots(1, 2, width_ratios=[1, 2])
        a1.bar([str(k) for k in decay.index], decay.to_numpy(), color="#1f77b4")
        a1.axhline(0, color="black", linewidth=0.8)
        a1.set_xlabel("lag (days)")
        a1.set_title("Rank IC decay")
        cum = sides.cumsum()
        a2.plot(cum.index, cum["long"].to_numpy(), color="#2ca02c", label="long")
        a2.plot(cum.index, cum["short"].to_numpy(), color="#d62728", label="short")
        a2.plot(cum.index, (cum["long"] + cum["short"]).to_numpy(), color="black", linewidth=1, label="all")
        a2.set_title("Cumulative contribution by side")
        a2.legend(loc="upper left", bbox_to_anchor=(1.01, 1))
        body.append(_png(fig))
    return _page(f"{label} - VarloAlpha report", body, meta, SORT_JS)


def run_page_from_memory(summary_text: str, frames: dict, config, summary_name, run_id: str) -> str:
    """The page of a run that is still in memory: the tables pass through the CSV text they are written as."""
    tables = {stem: io.StringIO(frames[stem].to_csv()) for stem in RUN_TABLES}
    return run_page(summary_text, tables, run_meta(config, summary_name), run_id)


def _earlier_meta(path: Path):
    try:
        text = path.read_text(encoding="utf-8")
    except OSError:
        return None
    m = re.search(rf'<script type="application/json" id="{META_ID}">(.*?)</script>', text, re.S)
    return json.loads(m.group(1).replace("<\\/", "</")) if m else None


def page_from_directory(report_dir, label=None, layers=None) -> tuple[str, Path]:
    """The page of the run whose report files lie in `report_dir`, and where it belongs. What the files do
    not hold (label, universe, configuration, layers) comes from the page a run wrote there, if any."""
    report_dir = Path(report_dir)
    run_id = report_dir.name.split("_")[-1]
    target = report_dir / f"report_{run_id}.html"
    meta = _earlier_meta(target) or {"label": report_dir.name, "universe": None, "configuration": None, "layers": None}
    if label is not None:
        meta["label"] = label
    if layers is not None:
        meta["layers"] = layers or None
    summary = (report_dir / f"summary_{run_id}.txt").read_text(encoding="utf-8")
    tables = {stem: report_dir / f"{stem}_{run_id}.csv" for stem in RUN_TABLES}
    return run_page(summary, tables, meta, run_id), target


# --- the grid page -------------------------------------------------------------------------------------

def grid_page(csv_path, names, multi_run_id) -> str:
    """The page of a grid from its summary CSV: runs best first by information ratio, one heat map per metric."""
    import matplotlib
    import seaborn as sns

    table = pd.read_csv(csv_path, index_col=0)
    params = [c for c in table.columns if re.fullmatch(r"p\d+", c)]
    names = [str(n) for n in names][: len(params)]
    shown = {p: _drawable(n, p) for p, n in zip(params, names)}
    for p in params[len(names):]:
        shown[p] = p
    title = f"Grid {multi_run_id}"
    body = [f"<h1>{_e(title)}</h1>"]
    body.append(_table(["Parameter", "Column"], [[f"<td>{_e(shown[p])}</td>", f"<td>{_e(p)}</td>"] for p in params]))
    body.append("<h2>Runs, best information ratio first</h2>")
    ranked = table.sort_values("ir", ascending=False, kind="stable")
    header = ["id", *[shown[p] for p in params], "ar", "ir", "cr", "ic", "tr"]
    rows = [[f"<td>{_e(r['id'])}</td>"] + [_num(r[c], 6, "g") for c in params]
            + [_num(r[c], 4) for c in ("ar", "ir", "cr", "ic", "tr")]
            for _, r in ranked.iterrows()]
    body.append(_table(header, rows, "sortable"))
    body.append(_define("ar, ir, cr, ic, tr", "annualized return, information ratio, Calmar ratio, information "
                        "coefficient and annualized turnover of each run."))
    body.append("<h2>Heat maps</h2>")
    body.append(_define("Cells", f"the mean of the metric over the runs with those values; columns are "
                        f"{shown[params[0]] if params else 'p1'}, rows the other parameters; 'mean' is the margin."))
    for metric, name in GRID_METRICS:
        if not params:
            break
        rows_by = params[1:]
        if rows_by:
            pivot = table.pivot_table(values=metric, index=rows_by, columns=params[0], aggfunc="mean", margins=True,
                                      margins_name="mean")
        else:
            pivot = table.pivot_table(values=metric, columns=params[0], aggfunc="mean")
            pivot.index = [name]
        pivot.columns = [_label(c) for c in pivot.columns]
        pivot.index = [_label(i) for i in pivot.index]
        n_rows, n_cols = pivot.shape
        with _rc(), matplotlib.rc_context({"axes.grid": False}):
            fig = _figure(min(10, 2.5 + 0.9 * n_cols), min(10, 1.5 + 0.5 * n_rows))
            ax = fig.subplots()
            with warnings.catch_warnings():
                # seaborn's centred colour maps go through a matplotlib call that matplotlib plans to deprecate
                warnings.filterwarnings("ignore", "The set_bad function", PendingDeprecationWarning)
                sns.heatmap(pivot, cmap="RdYlGn_r", center=0, annot=True, fmt=".4g", ax=ax,
                            annot_kws={"fontsize": 8 if n_cols <= 8 else 6}, cbar_kws={"shrink": 0.8})
            ax.set_title(name)
            ax.set_xlabel(shown[params[0]])
            ax.set_ylabel(" / ".join(shown[p] for p in rows_by) if rows_by else "")
            body.append(_png(fig))
    return _page(title, body, None, SORT_JS)


def _label(v) -> str:
    if isinstance(v, tuple):
        return " / ".join(_label(x) for x in v)
    if isinstance(v, float) and v.is_integer():
        return str(int(v))
    return str(v)


# --- command line --------------------------------------------------------------------------------------

def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="varlo-report",
        description="Build the self-contained HTML page of a run from its report directory (the summary text "
                    "and the report tables a run wrote there) and write it there as report_<run id>.html. "
                    "Label, universe, configuration and layers come from a page a run wrote there before, "
                    "if any; otherwise the label is the directory name.")
    parser.add_argument("report_dir", metavar="REPORT_DIR", help="a run's report directory (output/save_path)")
    parser.add_argument("--label", help="the run's label on the page")
    parser.add_argument("--layers", type=int, help="add the layer analysis with this many layers (0: none)")
    parser.add_argument("-o", "--output", help="write the page here instead of REPORT_DIR/report_<run id>.html")
    args = parser.parse_args(argv)
    if args.layers is not None and args.layers < 0:
        parser.error("--layers must be at least 0")
    page, target = page_from_directory(args.report_dir, args.label, args.layers)
    target = Path(args.output) if args.output else target
    write_atomically(target, page)
    print(target)
    return 0


def write_atomically(target, text) -> Path:
    """`text`, or what the callable `text(path)` writes, under a temporary name beside `target`, renamed into
    place: a failed write leaves no partial file."""
    import os
    import uuid

    target = Path(target)
    temp = target.with_name(f".{target.name}.{uuid.uuid4().hex}.tmp")
    try:
        if callable(text):
            text(temp)
        else:
            temp.write_text(text, encoding="utf-8")
        os.replace(temp, target)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise
    return target


def save_figure(fig, target) -> Path:
    """A pyplot figure as a PNG file, written atomically."""
    return write_atomically(target, lambda to: fig.savefig(to, format="png"))


def write_grid_page(csv_path, names, multi_run_id) -> Path:
    """summarys_<id>.html beside the grid's summary CSV."""
    csv_path = Path(csv_path)
    return write_atomically(csv_path.with_suffix(".html"), grid_page(csv_path, names, multi_run_id))


if __name__ == "__main__":
    sys.exit(main())
