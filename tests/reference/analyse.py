"""analyse's plain pandas formulation: the oracle of the analysis tests and of bench/bench_analyse.py."""
import pandas as pd

YEAR = 250
SUMMARY_LABELS = ["Annualized Return", "Information Ratio", "Calmar Ratio", "Information Coefficient",
                  "Annualized Turnover Rate"]
TABLES = ["return_dataframe", "daily_performance", "symbol_performance", "alpha", "position_alpha", "position",
          "volume_position", "nextreturn"]
NO_RECOVERY = "最长修复期    尚无完成的修复期"


def reference(result, config, summary_name="summary"):
    data_path = config["data_path"]
    alpha, position = result["alpha"], result["position"]
    begin_date, end_date = position.index[0], position.index[-1]
    trade = config["trade"]
    contract, matching_type, settle_type = trade["trade_contract"], trade["matching_type"], "settle"
    interest = trade.get("interest", "simple")

    fillna_position = position.fillna(0)
    prev_position = fillna_position.shift(periods=1, fill_value=0)
    diff_position = fillna_position - prev_position
    daily_tr = diff_position.abs().sum(axis=1)
    annualized_tr = daily_tr.mean() * YEAR

    def read(name):
        table = pd.read_pickle(data_path / name, compression="gzip")
        return table.reindex(index=position.index, columns=position.columns)

    nextreturn = read(f"{contract}_nextreturnon{settle_type}.pkl")
    settle_price = read(f"{contract}_{settle_type}.pkl")
    prevsettle_price = read(f"{contract}_prev{settle_type}.pkl")
    matching_price = read(f"{contract}_{matching_type}.pkl")
    open_adjust = (settle_price - matching_price) / matching_price
    close_adjust = (matching_price - settle_price) / prevsettle_price
    prev, diff, pos = prev_position, diff_position, fillna_position
    reverses = (prev * diff < 0) & (prev * pos < 0)
    open_position = diff.where(prev * diff >= 0, 0) + pos.where(reverses, 0)
    close_position = -diff.where((prev * diff < 0) & (prev * pos >= 0), 0) + prev.where(reverses, 0)
    return_adjust = open_position * open_adjust + close_position * close_adjust
    return_dataframe = (position * nextreturn).shift(periods=1) + return_adjust
    return_dataframe = return_dataframe.sub(diff_position.abs().mul(trade.get("commission", 0)))
    daily_return = return_dataframe.sum(axis=1)

    if interest == "simple":
        total_return = daily_return.sum()
        ar = daily_return.mean() * YEAR
        cumulative_return = daily_return.cumsum()
        daily_net_value = cumulative_return + 1
        drawdown = daily_net_value.cummax() - daily_net_value
    elif interest == "compound":
        total_return = (1 + daily_return).prod() - 1
        ar = (total_return + 1) ** (YEAR / daily_return.count()) - 1
        daily_net_value = (1 + daily_return).cumprod()
        cumulative_return = daily_net_value - 1
        drawdown = 1 - daily_net_value / daily_net_value.cummax()
    else:
        raise ValueError(f"invalid interest: {interest}")
    std = daily_return.std() * YEAR ** 0.5
    ir = daily_return.mean() / daily_return.std() * YEAR ** 0.5
    mdd = drawdown.max()
    cr = ar / mdd
    mdd_t2 = drawdown.idxmax()
    mdd_t1 = drawdown.loc[:mdd_t2][drawdown.loc[:mdd_t2] == 0].index[-1]
    dd0_index = drawdown[drawdown == 0].index.to_series()
    dd_len = dd0_index - dd0_index.shift(1)
    daily_ic = alpha.corrwith(nextreturn, axis=1).shift(periods=1)
    ic = daily_ic.mean()
    symbol_return = return_dataframe.sum(axis=0)
    symbol_performance = pd.DataFrame({"symbol_return": symbol_return,
                                       "symbol_ar": return_dataframe.mean(axis=0) * YEAR,
                                       "symbol_ic": alpha.corrwith(nextreturn, axis=0)})
    daily_performance = pd.DataFrame({"daily_return": daily_return, "daily_net_value": daily_net_value,
                                      "daily_ic": daily_ic, "daily_tr": daily_tr})
    by_year = daily_return.groupby(daily_return.index.year)
    yearly = {"ar": by_year.sum(), "ir": by_year.agg(lambda x: x.mean() / x.std() * YEAR ** 0.5),
              "ic": daily_ic.groupby(daily_ic.index.year).mean(),
              "tr": daily_tr.groupby(daily_tr.index.year).sum()}
    if interest == "compound":
        yearly["ar"] = (1 + daily_return).groupby(daily_return.index.year).prod() - 1
    yearly_results = pd.DataFrame(yearly)
    summary = pd.Series(dict(zip(SUMMARY_LABELS, [ar, ir, cr, ic, annualized_tr])), name=summary_name)

    day = "%Y-%m-%d"
    if dd_len.count():
        ldd_t2 = dd_len.idxmax()
        recovery = (f"最长修复期    {dd0_index.shift(1)[ldd_t2]:{day}} - {ldd_t2:{day}} 共{dd_len.max().days}天")
    else:
        recovery = NO_RECOVERY
    lines = [f"\n回测时间区间    {begin_date.date()} - {end_date.date()}",
             "\n".join(f"{k}    {v}" for k, v in summary.items()),
             f"总收益    {total_return}", f"年化波动率    {std}", f"最大回撤    {mdd}",
             f"最大回撤期    {mdd_t1:{day}} - {mdd_t2:{day}} 共{(mdd_t2 - mdd_t1).days}天", recovery,
             "\n分年效果: ", str(yearly_results)]
    tables = dict(zip(TABLES, [return_dataframe, daily_performance, symbol_performance, alpha,
                               result["position_alpha"], position, result["volume_position"], nextreturn]))
    return summary, lines, tables
