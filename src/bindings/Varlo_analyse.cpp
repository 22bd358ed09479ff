// Performance analysis of one backtest run: trade simulation, figures, text report, plots and files.
#include <pybind11/pybind11.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

#include "analyse.hpp"
#include "grids.hpp"
#include "csv_bridge.hpp"
#include "pandas_bridge.hpp"
#include "csv_table.hpp"
#include "parallel.hpp"
#include "report_set.hpp"
#include "signals.hpp"
#include "stratify.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_analyse";
constexpr const char* kAnalyseDoc =
    "\n    回测结果分析函数\n"
    "    :param result: 回测结果，包含 alpha position_alpha position volume_position\n"
    "    :param config: 需要 config['data_path'] config['trade'] config['output']\n"
    "    :param summary_name: 标记summary的name\n"
    "    :return: summary，一个包含几个评价指标的pd.Series\n    ";
constexpr const char* kNoRecovery = "最长修复期    尚无完成的修复期";
constexpr const char* kSummaryLabels[] = {"Annualized Return", "Information Ratio", "Calmar Ratio",
                                          "Information Coefficient", "Annualized Turnover Rate"};

std::string text(const py::handle& v) { return py::str(v).cast<std::string>(); }
std::string number(double v) { return text(py::float_(v)); }

// Series.str[start:stop]
py::object chars(const py::handle& s, const py::object& start, const py::object& stop) {
  return s.attr("str")[py::slice(start, stop, py::none())];
}

py::object read_table(const py::object& data_path, const std::string& name) {
  return br::read_pickles_gz({data_path / py::str(name)}).front();
}

std::vector<std::int64_t> int_values(const py::object& values) {
  auto a = py::cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>(
      br::np().attr("asarray")(values));
  return {a.data(), a.data() + a.size()};
}

// corrwith appends, as missing, the labels of either frame that the inner alignment dropped.
py::object with_dropped_labels(std::vector<double>& values, py::object labels, const py::handle& mine,
                               const py::handle& theirs) {
  py::object extra = mine.attr("union")(theirs).attr("difference")(labels);
  const std::size_t n = py::len(extra);
  if (n == 0) return labels;
  values.resize(values.size() + n, varlo::kNaN);
  return labels.attr("append")(extra);
}

struct Figures {
  varlo::Trades trades;
  varlo::Metrics metrics;
  varlo::SymbolFigures symbols;
  std::vector<double> daily_ic;  // already moved to the date on which its return is realised
  py::object ic_dates;
  std::vector<double> symbol_ic;
  py::object ic_symbols;
  varlo::Groups years;
  varlo::Yearly yearly;
  varlo::Groups ic_years;
  std::vector<double> yearly_ic;
  py::object year_labels;     // the grouping keys as pandas gives them (dtype and name)
  py::object ic_year_labels;
  double ic = varlo::kNaN;
};

varlo::Interest interest_of(const py::object& interest) {
  if (interest.equal(py::str("simple"))) return varlo::Interest::simple;
  if (interest.equal(py::str("compound"))) return varlo::Interest::compound;
  throw py::value_error("invalid interest: " + text(interest));
}

// groupby's result index: the distinct years, with the dtype and name of the grouping key.
py::object year_index(const std::vector<std::int64_t>& keys, const py::object& years) {
  py::array_t<std::int64_t> arr(static_cast<py::ssize_t>(keys.size()), keys.data());
  return br::pd().attr("Index")(arr.attr("astype")(years.attr("dtype")), "name"_a = years.attr("name"));
}

// The report's nine entries; entry 2 holds one line per summary figure.
std::vector<std::string> report_lines(const Figures& f, const py::object& dates, const py::object& summary,
                                      const py::object& yearly_results) {
  auto day = [&](std::size_t i) { return text(dates[py::int_(i)].attr("strftime")("%Y-%m-%d")); };
  const varlo::Metrics& m = f.metrics;
  const std::size_t last = py::len(dates) - 1;
  std::string figures;
  for (auto item : summary.attr("items")()) {
    auto kv = item.cast<py::tuple>();
    if (!figures.empty()) figures += "\n";
    figures += text(kv[0]) + "    " + number(kv[1].cast<double>());
  }
  std::string recovery = kNoRecovery;
  if (m.recovery) {
    recovery = "最长修复期    " + day(m.recovery->t1) + " - " + day(m.recovery->t2) + " 共" +
               std::to_string(m.recovery->days) + "天";
  }
  return {"\n回测时间区间    " + day(0) + " - " + day(last),
          figures,
          "总收益    " + number(m.total_return),
          "年化波动率    " + number(m.std),
          "最大回撤    " + number(m.mdd),
          "最大回撤期    " + day(m.mdd_t1) + " - " + day(m.mdd_t2) + " 共" + std::to_string(m.mdd_days) + "天",
          recovery,
          "\n分年效果: ",
          text(yearly_results)};
}

void plot(const Figures& f, const py::object& dates, const py::object& symbols, const py::object& returns) {
  py::module_ plt = py::module_::import("matplotlib.pyplot");
  auto series = [&](std::vector<double> v, const py::object& index) { return br::series_out(std::move(v), index); };
  const varlo::Metrics& m = f.metrics;

  py::tuple fig1 = plt.attr("subplots")(2, 1, "sharex"_a = true);
  py::object ax1 = fig1[1][py::int_(0)], ax2 = fig1[1][py::int_(1)];
  series(m.cumulative_return, dates).attr("to_frame")("Cumulative Return").attr("plot")(
      "ax"_a = ax1, "title"_a = "Cumulative Return");
  series(m.drawdown, dates).attr("__neg__")().attr("to_frame")("Drawdown").attr("plot")("ax"_a = ax1);
  ax1.attr("axhline")("y"_a = 0, "color"_a = "black", "linestyle"_a = "--", "linewidth"_a = 1);
  series(f.daily_ic, f.ic_dates).attr("cumsum")().attr("to_frame")("Cumulative IC").attr("plot")(
      "ax"_a = ax2, "title"_a = "Cumulative IC");

  py::tuple fig2 = plt.attr("subplots")(2, 1);
  py::object ax3 = fig2[1][py::int_(0)], ax4 = fig2[1][py::int_(1)];
  const py::object curves = returns.attr("dropna")("axis"_a = 1, "how"_a = "all").attr("cumsum")("axis"_a = 0);
  // A run without any return (no position ever) leaves no column to draw: its axes keep their title.
  if (py::len(curves.attr("columns")) == 0) {
    ax3.attr("set_title")("Yield Curve of Symbols");
  } else {
    curves.attr("plot")("ax"_a = ax3, "title"_a = "Yield Curve of Symbols");
  }
  series(f.symbols.total_return, symbols).attr("to_frame")("total_return").attr("plot")(
      "kind"_a = "bar", "ax"_a = ax4, "title"_a = "Yields of Symbols");
}

// Names of last-position files: any text, "_", a real date written as strftime("%Y%m%d"), ".txt".
bool position_file_name(const std::string& name) {
  constexpr std::size_t kTail = 13;  // "_YYYYMMDD.txt"
  if (name.size() < kTail || name.compare(name.size() - 4, 4, ".txt") != 0 || name[name.size() - kTail] != '_') {
    return false;
  }
  int digits[8];
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = name[name.size() - kTail + 1 + i];
    if (c < '0' || c > '9') return false;
    digits[i] = c - '0';
  }
  const int y = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
  const unsigned mo = static_cast<unsigned>(digits[4] * 10 + digits[5]);
  const unsigned d = static_cast<unsigned>(digits[6] * 10 + digits[7]);
  return y >= 1 && std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month{mo}, std::chrono::day{d}}.ok();
}

// The report set of a run, opened once the folder exists.
br::ReportSet& report_set(std::optional<br::ReportSet>& set, const py::object& path) {
  if (!set) {
    path.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    set.emplace(path);
  }
  return *set;
}

// Stages the last-position file; the position files of earlier runs go only once the set is in place.
void stage_last_position(const py::object& config, const py::object& path, const py::object& volume_position,
                         std::optional<br::ReportSet>& set) {
  py::module_ pd = br::pd();
  py::module_ np = br::np();
  py::object contracts =
      read_table(br::as_path(config["data_path"]), text(config["trade"]["trade_contract"]) + "_contract.pkl");
  py::object attributes = br::attribute_table(kModuleName, contracts.attr("columns"));
  py::object last_timestamp = volume_position.attr("index")[py::int_(-1)];
  py::object symbols = volume_position.attr("columns");
  py::object last_contract = contracts.attr("loc")[py::make_tuple(last_timestamp, symbols)];
  py::object held = last_contract.attr("index");
  py::object loc = attributes.attr("loc");
  py::object volume = volume_position.attr("loc")[last_timestamp].attr("fillna")(0);
  py::object suffix = chars(last_contract, py::int_(-4), py::none());

  py::dict columns;
  columns["date"] = pd.attr("Series")(last_timestamp, "index"_a = held);
  columns["symbol"] = chars(last_contract, py::none(), py::int_(-4));
  columns["contract"] = last_contract;
  columns["position"] = volume;
  columns["exchange"] = loc[py::make_tuple(held, "exchange")];
  columns["market_id"] = loc[py::make_tuple(held, "market_id")];
  columns["abs_position"] = volume.attr("abs")();
  columns["sign_position"] = np.attr("sign")(volume);
  py::object table = pd.attr("DataFrame")(columns);
  table["symbol"] = table["symbol"].attr("map")(attributes["symbol_name"]);
  table["contract"] = py::object(table["symbol"]) + suffix;
  // Zhengzhou codes carry three digits: SR2109 trades as SR109.
  py::object czc = table["market_id"].attr("eq")(14);
  py::object czc_contract = table.attr("loc")[py::make_tuple(czc, "contract")].attr("copy")();
  table.attr("loc")[py::make_tuple(czc, "contract")] =
      chars(czc_contract, py::none(), py::int_(-4)) + chars(czc_contract, py::int_(-3), py::none());
  table = table.attr("astype")(py::dict("position"_a = "int64", "abs_position"_a = "int64", "sign_position"_a = "int64"));

  const std::string name = br::fs_text(config["output"].attr("get")("last_position_name", "account")) + "_" +
                           text(last_timestamp.attr("strftime")("%Y%m%d")) + ".txt";
  report_set(set, path).stage(name, [&](const py::object& to) { table.attr("to_csv")(to, "index"_a = false); });
}

// The position files of earlier runs, whatever their first part; nothing else the set did not write (a
// user's notes_2024.txt, another run's summary_10.txt) is touched.
void remove_earlier_positions(const py::object& path, const py::list& spared) {
  for (py::handle old : path.attr("iterdir")()) {
    if (!position_file_name(br::fs_text(old.attr("name"))) || spared.contains(old) || old.attr("is_dir")().cast<bool>()) {
      continue;
    }
    old.attr("unlink")();
  }
}

py::object analyse(const py::object& result, const py::object& config, const py::object& summary_name) {
  py::module_ pd = br::pd();
  const py::object data_path = br::as_path(config["data_path"]);
  const py::object alpha = result["alpha"];
  const py::object position_alpha = result["position_alpha"];
  const py::object position = result["position"];
  const py::object volume_position = result["volume_position"];
  const py::object dates = position.attr("index");
  const py::object symbols = position.attr("columns");
  const py::object begin_date = dates[py::int_(0)];  // an empty run has no first date: IndexError
  (void)begin_date;
  const py::object trade = config["trade"];
  const std::string contract = text(trade["trade_contract"]);
  const std::string matching_type = text(trade["matching_type"]);
  const py::object interest = trade.attr("get")("interest", "simple");

  const br::FrameIn held = br::frame_in(position, "analyse");
  // Read in this order (a missing file is reported in it), inflated side by side.
  const auto prices = br::read_pickles_gz(
      {data_path / py::str(contract + "_nextreturnonsettle.pkl"), data_path / py::str(contract + "_settle.pkl"),
       data_path / py::str(contract + "_prevsettle.pkl"), data_path / py::str(contract + "_" + matching_type + ".pkl")});
  const py::object nextreturn = prices[0].attr("reindex")("index"_a = dates, "columns"_a = symbols);
  const br::FrameIn next = br::frame_in(nextreturn, "analyse");
  const br::FrameIn settle = br::frame_in_like(prices[1], dates, symbols, "analyse");
  const br::FrameIn prevsettle = br::frame_in_like(prices[2], dates, symbols, "analyse");
  const br::FrameIn matching = br::frame_in_like(prices[3], dates, symbols, "analyse");
  const double commission = br::number_of(trade.attr("get")("commission", 0), "commission");

  const varlo::Interest mode = interest_of(interest);
  const py::object output = config["output"];
  auto on = [&](const char* key) { return py::bool_(output.attr("get")(key, true)).cast<bool>(); };
  // With the output off only the summary is wanted: the per-symbol and per-year figures are not made.
  const bool full = on("output");

  Figures f;
  f.trades = br::without_gil([&] {
    return varlo::simulate_trades(held.view, {next.view, settle.view, prevsettle.view, matching.view}, commission,
                                  full);
  });

  py::tuple aligned = alpha.attr("align")(nextreturn, "join"_a = "inner");
  const br::FrameIn left = br::frame_in(aligned[0], "analyse");
  const br::FrameIn right = br::frame_in(aligned[1], "analyse");
  const std::vector<std::int64_t> dates_ns = br::ns_of(dates);
  br::without_gil([&] {
    f.metrics = varlo::performance(f.trades.daily_return, dates_ns, mode);
    f.daily_ic = varlo::corrwith_rows(left.view, right.view);
  });
  f.ic_dates = with_dropped_labels(f.daily_ic, left.index, alpha.attr("index"), nextreturn.attr("index"));
  if (!f.daily_ic.empty()) {
    f.daily_ic.pop_back();
    f.daily_ic.insert(f.daily_ic.begin(), varlo::kNaN);
  }
  f.ic = varlo::nanmean(f.daily_ic);

  const varlo::Metrics& m = f.metrics;
  py::dict figures;
  const double values[] = {m.ar, m.ir, m.cr, f.ic, f.trades.annualized_tr};
  for (std::size_t i = 0; i < 5; ++i) figures[kSummaryLabels[i]] = values[i];
  const py::object summary = pd.attr("Series")(figures, "name"_a = summary_name);
  if (!full) return summary;

  const py::object years = dates.attr("year");
  const std::vector<std::int64_t> year_of = int_values(years);
  br::without_gil([&] {
    f.symbol_ic = varlo::corrwith_columns(left.view, right.view);
    f.symbols = varlo::symbol_figures(f.trades.returns.view());
    f.years = varlo::group_by(year_of);
    f.yearly = varlo::yearly(f.trades.daily_return, f.trades.daily_tr, f.years, mode);
  });
  f.ic_symbols = with_dropped_labels(f.symbol_ic, left.columns, alpha.attr("columns"), nextreturn.attr("columns"));
  f.year_labels = years;
  f.ic_year_labels = f.ic_dates.attr("year");
  f.ic_years = varlo::group_by(int_values(f.ic_year_labels));
  f.yearly_ic = varlo::group_mean(f.daily_ic, f.ic_years);

  const py::object path = br::as_path(output["save_path"]);
  const std::string run_id = br::fs_text(path.attr("name").attr("split")("_")[py::int_(-1)]);
  const bool print = on("print"), draw = on("plot"), report = on("report");
  const bool page = py::bool_(output.attr("get")("html", false)).cast<bool>();

  py::object returns = py::none();
  if (draw || report || page) returns = br::frame_out(std::move(f.trades.returns), dates, symbols);
  std::vector<std::string> lines;
  if (print || report || page) {
    py::dict yearly;
    yearly["ar"] = br::series_out(std::move(f.yearly.ar), year_index(f.years.keys, f.year_labels));
    yearly["ir"] = br::series_out(std::move(f.yearly.ir), year_index(f.years.keys, f.year_labels));
    yearly["ic"] = br::series_out(std::vector<double>(f.yearly_ic), year_index(f.ic_years.keys, f.ic_year_labels));
    yearly["tr"] = br::series_out(std::move(f.yearly.tr), year_index(f.years.keys, f.year_labels));
    lines = report_lines(f, dates, summary, pd.attr("DataFrame")(yearly));
  }
  std::string body;
  for (const auto& line : lines) body += line + "\n";
  py::object daily_performance = py::none(), symbol_performance = py::none();
  if (report || page) {
    py::dict daily;
    daily["daily_return"] = br::series_out(std::vector<double>(f.trades.daily_return), dates);
    daily["daily_net_value"] = br::series_out(std::vector<double>(m.net_value), dates);
    daily["daily_ic"] = br::series_out(std::vector<double>(f.daily_ic), f.ic_dates);
    daily["daily_tr"] = br::series_out(std::vector<double>(f.trades.daily_tr), dates);
    daily_performance = pd.attr("DataFrame")(daily);
    py::dict per_symbol;
    per_symbol["symbol_return"] = br::series_out(std::vector<double>(f.symbols.total_return), symbols);
    per_symbol["symbol_ar"] = br::series_out(std::vector<double>(f.symbols.ar), symbols);
    per_symbol["symbol_ic"] = br::series_out(std::vector<double>(f.symbol_ic), f.ic_symbols);
    symbol_performance = pd.attr("DataFrame")(per_symbol);
  }
  if (print) {
    for (const auto& line : lines) py::print(line);
  }
  if (draw) plot(f, dates, symbols, returns);
  // Summary, tables and position file are replaced as one set: a failure anywhere before the renames
  // leaves the previous run's set exactly as it was, so its tables are never paired with this run's.
  std::optional<br::ReportSet> set;
  if (report) {
    report_set(set, path).stage("summary_" + run_id + ".txt", [&](const py::object& to) {
      to.attr("write_text")(body, "encoding"_a = "utf-8");
    });
    const std::pair<const char*, py::object> tables[] = {
        {"return_dataframe", returns},
        {"daily_performance", daily_performance},
        {"symbol_performance", symbol_performance},
        {"alpha", alpha},
        {"position_alpha", position_alpha},
        {"position", position},
        {"volume_position", volume_position},
        {"nextreturn", nextreturn}};
    for (const auto& [stem, table] : tables) {
      set->stage(std::string(stem) + "_" + run_id + ".csv", [&](const py::object& to) { br::write_csv(table, to); });
    }
  }
  // --- HTML page (output/html): built from the report's text and tables as they are written, so that
  // varlo-report on the directory later gives the same page; one more file of the run's set.
  if (page) {
    py::dict frames;
    frames["return_dataframe"] = returns;
    frames["daily_performance"] = daily_performance;
    frames["symbol_performance"] = symbol_performance;
    frames["alpha"] = alpha;
    frames["position"] = position;
    frames["nextreturn"] = nextreturn;
    const py::object text_of_page = py::module_::import("VarloAlpha.report_html")
                                        .attr("run_page_from_memory")(body, frames, config, summary_name, run_id);
    report_set(set, path).stage("report_" + run_id + ".html", [&](const py::object& to) {
      to.attr("write_text")(text_of_page, "encoding"_a = "utf-8");
    });
  }
  const bool positions = on("last_position");
  if (positions) stage_last_position(config, path, volume_position, set);
  if (set) {
    const py::list written = set->commit();
    if (positions) remove_earlier_positions(path, written);
  }
  return summary;
}

}  // namespace

// --- stratification: an alpha's daily layers compared from a run's report files ---------------------

namespace {

constexpr std::size_t kDrawnLayers = 1000;

constexpr const char* kStratificationDoc =
    "\n    分层回测\n"
    "    :param report_path: 回测报告目录(pathlib.Path)，读取其中的 alpha_<run id>.csv 与 nextreturn_<run id>.csv\n"
    "    :param s: 分层数(int)；True 或 False 表示 10 层\n"
    "    :param save_figures: 为True时两张图存为PNG(stratification_layers_<run id>.png, stratification_return_<run id>.png)后关闭\n    ";

// A report table as stratification uses it: the dates, and the values as a column-major matrix.
struct ReportTable {
  py::object index;
  py::list columns;                  // the symbols, as text
  std::optional<br::FrameIn> frame;  // when pandas read the file
  varlo::Matrix own;                 // when the plain form was parsed here
  varlo::MatView view() const { return frame ? frame->view : own.view(); }
};

std::optional<std::string> file_text(const std::string& name) {
  std::ifstream in(name, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamoff size = in.tellg();
  if (size < 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(text.data(), size)) return std::nullopt;
  return text;
}

struct ParsedFile {
  varlo::DateTable table;
  std::vector<std::string> labels;  // the header's fields after the index label
};

// The header's column labels; the plain form quotes nothing, so its fields are split at commas.
std::vector<std::string> header_labels(const std::string& body) {
  std::size_t begin = body.find_first_not_of("\r\n");
  if (begin == std::string::npos) return {};
  std::size_t end = body.find_first_of("\r\n", begin);
  if (end == std::string::npos) end = body.size();
  std::vector<std::string> fields;
  for (std::size_t at = begin;;) {
    const std::size_t comma = body.find(',', at);
    if (comma == std::string::npos || comma >= end) {
      fields.push_back(body.substr(at, end - at));
      break;
    }
    fields.push_back(body.substr(at, comma - at));
    at = comma + 1;
  }
  fields.erase(fields.begin());
  return fields;
}

// The plain form of one file, or nothing (unreadable, another form, out of memory: pandas decides). Only
// a stop for Ctrl-C passes.
std::optional<ParsedFile> parse_file(const std::string& name) {
  try {
    if (auto body = file_text(name)) {
      if (auto table = varlo::parse_date_table(*body)) {
        std::vector<std::string> labels = header_labels(*body);
        if (labels.size() == table->columns) return ParsedFile{std::move(*table), std::move(labels)};
      }
    }
  } catch (const varlo::Interrupted&) {
    throw;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// read_csv(path, index_col=0, parse_dates=True) of each path, in order. The form the analysis writes
// (dates, numbers, empty fields) is parsed here, the files side by side without the GIL; any other file,
// or one that cannot be opened, goes to pandas, so results and errors for those are pandas' own. A
// replaced pandas.read_csv is honoured for every file.
std::vector<ReportTable> read_report_tables(const std::vector<py::object>& paths) {
  py::module_ pd = br::pd();
  const py::object reader = pd.attr("read_csv");
  const std::size_t n = paths.size();
  std::vector<std::optional<ParsedFile>> parsed(n);
  if (reader.is(py::module_::import("pandas.io.parsers.readers").attr("read_csv"))) {
    std::vector<std::string> names;
    py::object fsencode = py::module_::import("os").attr("fsencode");  // bytes: names need not be UTF-8
    for (const auto& p : paths) names.push_back(py::bytes(fsencode(p)).cast<std::string>());
    br::without_gil([&] {
      varlo::parallel_for(n, n << 16, [&](std::size_t i0, std::size_t i1) {  // a thread per file, within the budget
        for (std::size_t i = i0; i < i1; ++i) {
          varlo::interruption_point();
          parsed[i] = parse_file(names[i]);
        }
      });
    });
  }
  std::vector<ReportTable> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    ReportTable& t = out[i];
    if (parsed[i]) {
      py::array_t<std::int64_t> days(static_cast<py::ssize_t>(parsed[i]->table.dates.size()), parsed[i]->table.dates.data());
      const std::string& label = parsed[i]->table.index_label;
      t.index = pd.attr("DatetimeIndex")(days.attr("view")("datetime64[D]").attr("astype")("datetime64[us]"),
                                         "name"_a = label.empty() ? py::object(py::none()) : py::object(py::str(label)));
      t.own = std::move(parsed[i]->table.values);
      for (const auto& label : parsed[i]->labels) t.columns.append(py::str(label));
      continue;
    }
    const py::object frame = reader(paths[i], "index_col"_a = 0, "parse_dates"_a = true);
    t.frame = br::frame_in(frame, "stratification");
    t.index = t.frame->index;
    for (py::handle label : t.frame->columns) t.columns.append(py::str(label));
  }
  return out;
}

// Matched by position, the two tables must carry the same dates and symbols in the same order: the
// first place where they differ is named.
void check_aligned(const ReportTable& alpha, const ReportTable& nextreturn, const py::str& alpha_name,
                   const py::str& nextreturn_name) {
  const auto label = [](const py::handle& v) {
    std::string s = text(v);
    constexpr std::string_view midnight = " 00:00:00";
    if (s.size() > midnight.size() && s.ends_with(midnight)) s.resize(s.size() - midnight.size());
    return py::str(s);
  };
  // Built as Python text: file names need not be UTF-8.
  const auto mismatch = [&](const std::string& what, const py::handle& mine, const py::handle& theirs) {
    const py::object message = py::str("stratification: ") + alpha_name + py::str(" and ") + nextreturn_name +
                               py::str(" do not line up: " + what + " is ") + label(mine) + py::str(" in ") +
                               alpha_name + py::str(" but ") + label(theirs) + py::str(" in ") + nextreturn_name;
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
  };
  const py::object same = alpha.index.attr("__eq__")(nextreturn.index);
  if (!py::bool_(br::np().attr("all")(same)).cast<bool>()) {
    const auto row = br::np().attr("argmin")(same).cast<std::size_t>();
    mismatch("row " + std::to_string(row + 1), alpha.index[py::int_(row)], nextreturn.index[py::int_(row)]);
  }
  for (std::size_t c = 0; c < alpha.columns.size(); ++c) {
    if (!alpha.columns[c].equal(nextreturn.columns[c])) {
      mismatch("column " + std::to_string(c + 1), alpha.columns[c], nextreturn.columns[c]);
    }
  }
}

void stratification(const py::object& report_path_arg, const py::object& s_arg, const py::object& save_figures) {
  py::object s_obj;
  if (Py_TYPE(s_arg.ptr()) == &PyLong_Type) {
    s_obj = s_arg;
  } else if (PyBool_Check(s_arg.ptr())) {
    s_obj = py::int_(10);
  } else {
    throw py::type_error("invalid stratification");
  }
  const py::object report_path = br::as_path(report_path_arg);
  const std::string run_id = br::fs_text(report_path.attr("name").attr("split")("_")[py::int_(-1)]);
  const py::object alpha_path = report_path / br::fs_str("alpha_" + run_id + ".csv");
  const py::object nextreturn_path = report_path / br::fs_str("nextreturn_" + run_id + ".csv");
  const std::vector<ReportTable> tables = read_report_tables({alpha_path, nextreturn_path});
  const ReportTable& alpha = tables[0];
  const ReportTable& nextreturn = tables[1];
  const py::object dds = alpha.index;
  const py::ssize_t len_dds = py::len(dds);
  // A count numpy cannot allocate fails as numpy's zeros would.
  if (s_obj < py::int_(0) || s_obj > py::int_(1 << 24)) {
    br::np().attr("zeros")(py::make_tuple(len_dds, s_obj));
    throw py::value_error("invalid stratification: too many layers");
  }
  const auto s = s_obj.cast<std::size_t>();

  // Matched by position: each alpha date takes the next-return row at the same place, symbol for symbol.
  const varlo::MatView a = alpha.view();
  const varlo::MatView x = nextreturn.view();
  if (x.cols != a.cols || x.rows != a.rows) {
    throw py::value_error("stratification: the alpha table is " + std::to_string(a.rows) + " x " +
                          std::to_string(a.cols) + " but the next-return table " + std::to_string(x.rows) +
                          " x " + std::to_string(x.cols));
  }
  check_aligned(alpha, nextreturn, alpha_path.attr("name"), nextreturn_path.attr("name"));
  // Past a thousand layers no figure can show each one, and a layer drawn costs milliseconds: layers that
  // hold no value on any date (a flat zero line, an empty bar) are left out of the figures.
  const bool only_filled = s > kDrawnLayers;
  varlo::Layers layers;
  varlo::Interrupt interrupt(br::signal_poll());
  try {
    py::gil_scoped_release nogil;
    layers = varlo::stratify(a, x, s, &interrupt, only_filled);
  } catch (const varlo::Interrupted&) {
    throw py::error_already_set();  // Ctrl-C's KeyboardInterrupt
  }
  if (layers.kept.size() < s) {
    py::module_::import("warnings").attr("warn")(
        py::str("stratification: " + std::to_string(s - layers.kept.size()) + " of the " + std::to_string(s) +
                " layers hold no value on any date (the tables have " + std::to_string(a.cols) +
                " symbols); the figures leave them out"),
        py::module_::import("VarloAlpha").attr("AlphaWarning"), "stacklevel"_a = 2);
  }

  py::module_ pd = br::pd();
  py::module_ plt = py::module_::import("matplotlib.pyplot");
  py::list kept_numbers;
  for (const std::size_t i : layers.kept) kept_numbers.append(i + 1);
  const py::object numbers =
      layers.kept.size() == s ? pd.attr("RangeIndex")(1, s + 1) : pd.attr("Index")(kept_numbers, "dtype"_a = "int64");
  const py::object s1 = pd.attr("DataFrame")(br::array_out(std::move(layers.mean_alpha)), "index"_a = numbers,
                                             "columns"_a = py::make_tuple("mean"));
  const py::object s2 = pd.attr("DataFrame")(br::array_out(std::move(layers.sum_return)), "index"_a = numbers,
                                             "columns"_a = py::make_tuple("sum"));
  py::tuple fig1 = plt.attr("subplots")(2, 1);
  s1.attr("plot")("kind"_a = "bar", "ax"_a = fig1[1][py::int_(0)], "title"_a = "alpha");
  s2.attr("plot")("kind"_a = "bar", "ax"_a = fig1[1][py::int_(1)], "title"_a = "nextreturn");
  py::tuple fig2 = plt.attr("subplots")(1, 1);
  if (s == 0) {
    // "t-b" takes layer 0, which does not exist: pandas' own KeyError.
    br::frame_out(varlo::Matrix(static_cast<std::size_t>(len_dds), 0), dds, numbers)[py::int_(0)];
  }
  py::list columns(numbers.attr("tolist")());
  columns.append("all");
  columns.append("t-b");
  const py::object s3 = br::frame_out(std::move(layers.cumulative), dds, pd.attr("Index")(columns, "dtype"_a = "object"));
  s3.attr("plot")("ax"_a = fig2[1], "title"_a = "Stratification Cumulative Return");
  // For calls nobody watches: the two figures as PNG files beside the report, then closed.
  if (py::bool_(save_figures).cast<bool>()) {
    const py::object save = py::module_::import("VarloAlpha.report_html").attr("save_figure");
    save(fig1[0], report_path / py::str("stratification_layers_" + run_id + ".png"));
    save(fig2[0], report_path / py::str("stratification_return_" + run_id + ".png"));
    plt.attr("close")(fig1[0]);
    plt.attr("close")(fig2[0]);
  }
}

}  // namespace

PYBIND11_MODULE(Varlo_analyse, m) {
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();

  br::def_with_signature(m, "analyse", py::cpp_function(&analyse), "result, config, summary_name=\"summary\"",
                         "result, config, summary_name", kAnalyseDoc);

  varlo::bindings::register_grid_analyse(m);
  m.def("_write_csv", [](const py::object& frame, const py::object& path) { br::write_csv(frame, path); }, "frame"_a,
        "path"_a, "frame.to_csv(path), byte for byte; float date tables are formatted natively.");

  // pyplot is bound on first use, so importing the module does not settle matplotlib's backend.
  m.def("__getattr__", [](const py::str& name) -> py::object {
    if (name.equal(py::str("plt"))) return py::module_::import("matplotlib.pyplot");
    throw py::attribute_error("module '" + std::string(kModuleName) + "' has no attribute '" + text(name) + "'");
  });

  br::def_with_signature(m, "stratification", py::cpp_function(&stratification), "report_path, s, save_figures=False",
                         "report_path, s, save_figures", kStratificationDoc);
}
