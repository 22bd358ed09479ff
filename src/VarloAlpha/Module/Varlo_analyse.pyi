"""Performance analysis of backtest runs."""

from collections.abc import Hashable, Mapping
from pathlib import Path as Path
from typing import Any

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

def analyse(result: Mapping[str, pd.DataFrame], config: Mapping[str, Any], summary_name: Hashable = "summary") -> pd.Series:
    """
    回测结果分析函数
    :param result: 回测结果，包含 alpha position_alpha position volume_position
    :param config: 需要 config['data_path'] config['trade'] config['output']
    :param summary_name: 标记summary的name
    :return: summary，一个包含几个评价指标的pd.Series
    """

def stratification(report_path: Path, s: int | bool, save_figures: bool = False) -> None:
    """
    分层回测
    :param report_path: 回测报告目录(pathlib.Path)，读取其中的 alpha_<run id>.csv 与 nextreturn_<run id>.csv
    :param s: 分层数(int)；True 或 False 表示 10 层
    :param save_figures: 为True时两张图存为PNG(stratification_layers_<run id>.png, stratification_return_<run id>.png)后关闭
    """

def multi_analyse(results: pd.DataFrame, save_path: Path | str) -> None:
    """网格回测结果分析: 结果表写入save_path并打印, 按ar ir cr ic排序, 画四张参数热力图"""
