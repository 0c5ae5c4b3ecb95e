// ICAnalysis: per-date information coefficient (Spearman or Pearson) of the
// factor against forward returns, the IC decay table and the pooled IC per
// industry. Frames are converted once to dense matrices; the coefficients run
// in the C++ core (zarnik/ic.hpp) with the GIL released. Arguments, labels and
// result tables are read and built by zarnik/analysis/ic_tables.py.
#include <algorithm>
#include <memory>

#include "assayer/assayer.hpp"
#include "common/frames.hpp"
#include "common/native.hpp"
#include "common/periods.hpp"
#include "zarnik/ic.hpp"

namespace zarnik_py {

namespace {

// The two correlation wrappers handed out by _get_ic_func, registered as
// native (common/native.hpp): the analysis computes their results in the core.
constexpr int kPearson = native::pearson_ic, kSpearman = native::spearman_ic;
py::object* g_wrappers[2] = {nullptr, nullptr};

py::object tables(const char* name) { return package_module("analysis.ic_tables").attr(name); }

long long decay_lags(const py::handle& max_decay) { return saturated(tables("decay_lags")(max_decay)); }

std::size_t dim(const py::array& a, int i) { return static_cast<std::size_t>(a.shape(i)); }

void require_shape(const py::array& m, py::ssize_t rows, py::ssize_t cols, const py::object& what) {
    if (m.shape(0) != rows || m.shape(1) != cols) {
        raise(PyExc_ValueError, format("{}: expected shape ({}, {}), got {}", what, rows, cols, m.attr("shape")));
    }
}

// job() with the GIL released (it reads and writes only array buffers).
template <class Job>
auto nogil(Job&& job) {
    py::gil_scoped_release release;
    return job();
}

// Runs job(kind, fn) with the core's kind of the correlation function
// `ic_func` (its native tag; -1 for any other function, which fn(x, f) calls
// on the complete pairs, returns x and factor f) and the GIL released for a
// built-in one.
template <class Job>
void with_ic_func(const py::object& ic_func, Job&& job) {
    auto fn = [&](const std::vector<double>& x, const std::vector<double>& f) {
        py::array_t<double> xa = array_of(x), fa = array_of(f);
        return py::float_(ic_func(xa, fa)[py::int_(0)]).cast<double>();
    };
    const int kind = native_tag(ic_func);
    if (kind < 0) return job(kind, fn);
    py::gil_scoped_release release;
    job(kind, fn);
}

// The two-sided p-values (rows x cols) of the coefficients r over n pairs, as
// scipy's pearsonr / spearmanr give them; counts below 2 give (NaN, NaN).
py::array_t<double> p_values_of(bool rank, double* r, const std::int64_t* n, std::size_t rows, std::size_t cols) {
    const std::size_t size = rows * cols;
    py::array_t<double> a(static_cast<py::ssize_t>(size)), x(static_cast<py::ssize_t>(size)), p = new_array(rows, cols);
    zarnik::corr::tail_arguments(rank, r, n, size, a.mutable_data(), x.mutable_data());
    Matrix tail = aligned_c_double(tables("tail_probabilities")(rank, a, x));
    zarnik::corr::finish_p_values(rank, r, n, size, tail.data(), p.mutable_data());
    return p;
}

py::tuple ic_calc_ic(py::object self, py::object factor, py::object ret_table, py::object ret_fields) {
    const bool rank = truthy(self.attr("rank_ic"));
    Matrix F = as_matrix(factor, "factor");
    const std::size_t T = dim(F, 0), N = dim(F, 1);
    std::vector<Matrix> R;
    std::vector<const double*> rp;
    for (py::handle field : py::list(ret_fields)) {
        const Matrix& m = R.emplace_back(as_matrix(tables("field_returns")(ret_table, field), "ret_table"));
        require_shape(m, F.shape(0), F.shape(1), format_text("ret_table[{!r}]", field));
        rp.push_back(m.data());
    }
    py::array_t<double> ic = new_array(T, R.size());
    std::vector<std::int64_t> counts(zarnik::mul_size(T, R.size(), "ic"), 0);
    nogil([&] { zarnik::ic::date_correlations(F.data(), rp, T, N, rank, ic.mutable_data(), counts.data()); });
    return py::make_tuple(ic, p_values_of(rank, ic.mutable_data(), counts.data(), T, R.size()));
}

py::object ic_calc_ic_decay(py::object self, py::object factor_data, py::object ic) {
    py::object max_decay = self.attr("max_decay");
    if (!truthy(max_decay)) return py::none();
    const long long lags = decay_lags(max_decay);
    py::object ic_func = self.attr("ic_func");
    py::list fields = tables("return_fields")(factor_data.attr("columns"));
    py::object rows = py::none();
    if (lags > 1) {
        std::vector<py::object> cols{py::str("factor")};
        for (py::handle f : fields) cols.push_back(py::reinterpret_borrow<py::object>(f));
        DenseLong d = long_to_dense(factor_data, cols);
        std::vector<const double*> rp;
        for (std::size_t k = 1; k < d.m.size(); ++k) rp.push_back(d.m[k].data());
        // A lag of T dates or more pairs no factor date with a return date and
        // adds no row: the table is the same with max_decay clamped to T.
        const std::size_t L = std::min(static_cast<std::size_t>(lags), d.T);
        zarnik::corr::DecayTable t;
        with_ic_func(ic_func, [&](int kind, auto& fn) {
            t = zarnik::ic::decay_table(d.m[0].data(), rp, d.T, d.N, L, kind, fn);
        });
        rows = py::make_tuple(d.dates, array_of(t.row), array_of(t.lag), array_of(t.r));
    }
    return tables("decay_table")(ic, fields, rows);
}

py::object ic_calc_industry(py::object self, py::object factor_data) {
    py::object inputs = tables("industry_inputs")(self, factor_data);
    if (inputs.is_none()) return py::none();
    py::tuple in(inputs);  // (label of each row, the labels' name, correlation function, fields, factor, returns)
    auto [codes, uniques] = factorize_sorted(in[0]);
    const std::size_t rows = static_cast<std::size_t>(py::len(factor_data.attr("index")));
    if (codes.size() != rows) raise(PyExc_ValueError, "industry data: expected one label per row of the long table");
    Matrix fac = aligned_c_double(in[4]);
    std::vector<Matrix> rets;
    std::vector<const double*> rp;
    for (py::handle r : in[5]) rp.push_back(rets.emplace_back(aligned_c_double(r)).data());
    const std::size_t G = static_cast<std::size_t>(py::len(uniques));
    py::array_t<double> out = new_array(G, rp.size());
    double* po = out.mutable_data();
    with_ic_func(in[2], [&](int kind, auto& fn) {
        zarnik::ic::group_correlations(fac.data(), rp, rows, codes.data(), G, kind, fn, po);
    });
    return dataframe(out, pandas().attr("Index")(uniques, py::arg("name") = in[1]), in[3]);
}

// The dense inputs of an analysis on the grid ic_tables.analysis_grid reads:
// (dates, instruments, the factor there (negated for a rank IC sorted
// ascending), a dict of the forward returns of each holding period by key).
py::tuple prepare(py::object self, py::object factor_data, py::object returns, py::object periods,
                  py::object ascending) {
    // (dates, instruments, period keys, period lengths, factor rows, returns rows, factor columns, negate)
    py::tuple g = tables("analysis_grid")(self, factor_data, returns, periods, ascending);
    DenseFrame fr = to_dense(factor_data, "factor_data"), rr = to_dense(returns, "returns");
    const LongIndexArray lengths = int64_array(g[3]), fpos = int64_array(g[4]), rpos = int64_array(g[5]);
    const LongIndexArray cpos = int64_array(g[6]);
    const std::size_t T = static_cast<std::size_t>(py::len(g[0])), N = dim(rr.values, 1);
    const bool negate = g[7].cast<bool>();
    Matrix factor(std::vector<std::size_t>{T, N});
    py::dict forward;
    std::vector<double*> pf;
    for (py::handle key : g[2]) {
        Matrix m(std::vector<std::size_t>{T, N});
        forward[key] = m;
        pf.push_back(m.mutable_data());
    }
    nogil([&] {
        zarnik::ic::period_returns(rr.values.data(), dim(rr.values, 0), N, rpos.data(), T, lengths.data(), pf);
        zarnik::layout::gather(fr.values.data(), dim(fr.values, 1), fpos.data(), T, cpos.data(), N, negate,
                               factor.mutable_data());
    });
    return py::make_tuple(g[0], g[1], factor, forward);
}

// A returns matrix with the present values of each row sorted once: shared
// by every factor a screen ranks against the same forward returns.
struct RankedRows {
    Matrix values;
    zarnik::corr::RankedPanel panel;
};

std::shared_ptr<RankedRows> ic_rank_rows(py::object /*self*/, py::object matrix) {
    Matrix m = as_matrix(matrix, "matrix");
    auto out = std::make_shared<RankedRows>();
    out->values = aligned_c_double(numpy().attr("array")(m, py::arg("dtype") = "float64", py::arg("copy") = true));
    out->panel = nogil([&] { return zarnik::corr::rank_panel(out->values.data(), dim(m, 0), dim(m, 1)); });
    return out;
}

// The rank IC of one factor against ranked forward returns (what _calc_ic
// gives for a single field) and, when a decay is asked for, the decay rows
// (dates, lags, values: what _calc_ic_decay tables for lags >= 1) against
// `decay`, the forward returns missing wherever any period's is. The factor is
// sorted once for both. The decay is None when it is not asked for or the
// correlation function is not the built-in rank one.
// With `orders`, a fourth element: the factor's row orders (positions of each
// row's present values ascending, ties by position: T x N int32, the first
// count[t] of row t used) and counts (T int32), for a caller that sorts the
// same rows again (QuantileReturnAnalysis._group_returns).
py::tuple ic_rank_ic_ranked(py::object self, py::object factor, std::shared_ptr<RankedRows> forward,
                            std::shared_ptr<RankedRows> decay, bool p_values, bool orders) {
    if (!truthy(self.attr("rank_ic"))) raise(PyExc_ValueError, "_rank_ic_ranked: expects a rank IC analysis");
    if (!forward) raise(PyExc_ValueError, "forward: expected ranked returns");
    Matrix F = as_matrix(factor, "factor");
    for (const auto& r : {forward, decay})
        if (r) require_shape(F, r->values.shape(0), r->values.shape(1), py::str("factor"));
    const std::size_t T = dim(F, 0), N = dim(F, 1);
    py::object max_decay = self.attr("max_decay");
    const bool with_decay = decay && truthy(max_decay) && native_tag(self.attr("ic_func")) == kSpearman;
    const std::size_t lags = with_decay ? std::min(static_cast<std::size_t>(decay_lags(max_decay)), T) : 0;
    py::array_t<double> ic = new_array(T, 1);
    std::vector<std::int64_t> counts(T, 0);
    zarnik::corr::SortedRows sorted;
    const zarnik::corr::DecayTable table = nogil([&] {
        return zarnik::ic::ranked_ic(F.data(), T, N, forward->values.data(), forward->panel,
                                     decay ? decay->values.data() : nullptr, decay ? &decay->panel : nullptr, lags,
                                     ic.mutable_data(), counts.data(), orders ? &sorted : nullptr);
    });
    py::object p = py::none(), dec = py::none();
    if (p_values) p = p_values_of(true, ic.mutable_data(), counts.data(), T, 1);
    else zarnik::corr::finish_coefficients(true, ic.mutable_data(), counts.data(), T);
    if (with_decay) dec = py::make_tuple(array_of(table.row), array_of(table.lag), array_of(table.r));
    if (!orders) return py::make_tuple(ic, p, dec);
    py::array_t<std::int32_t> order = new_array<std::int32_t>(T, N);
    std::copy(sorted.order.begin(), sorted.order.end(), order.mutable_data());
    return py::make_tuple(ic, p, dec, py::make_tuple(order, array_of(sorted.count)));
}

// The decay curve of one period: the mean IC of each lag over the IC of
// every date (lag 0) and the decay rows (date positions, lags, values) of
// _rank_ic_ranked. Returns (lags, means) for the lags that have any row.
py::tuple ic_decay_curve(py::object /*self*/, py::object ic, py::object rows) {
    py::tuple in = tables("curve_inputs")(ic, rows);
    Matrix ic0 = aligned_c_double(in[0]), val = aligned_c_double(in[3]);
    LongIndexArray row = int64_array(in[1]), lag = int64_array(in[2]);
    const zarnik::corr::LagMeans curve = nogil([&] {
        return zarnik::corr::lag_means(ic0.data(), dim(ic0, 0), row.data(), lag.data(), val.data(), dim(row, 0));
    });
    return py::make_tuple(array_of(curve.lag), array_of(curve.mean));
}

}  // namespace

void register_ic(py::module_& m) {
    py::options o;  // every docstring below starts with its own text signature
    o.disable_function_signatures();
    for (int tag : {kPearson, kSpearman}) {
        g_wrappers[tag] = new py::object(signed_function("wrapper", {"(fs, rs)",
                "忽略缺失值的相关系数：完整样本对少于两个时返回 (0, 0)，否则返回 (相关系数, 双侧 p 值)。"},
            [tag](py::object fs, py::object rs) {
                return tables("complete_pairs_correlation")(fs, rs, tag == kSpearman);
            },
            py::arg("fs"), py::arg("rs")));
        register_native(*g_wrappers[tag], tag);
    }
    py::class_<RankedRows, std::shared_ptr<RankedRows>>(m, "_RankedRows",
        "按行排序过的远期收益矩阵（ICAnalysis._rank_rows 的结果）。")
        .def_property_readonly("shape", [](const RankedRows& r) { return py::make_tuple(r.values.shape(0), r.values.shape(1)); });
    def(m, "_get_ic_func", {"(rank_ic=False)",
            "返回忽略缺失值的相关系数函数 wrapper(fs, rs)。\n\n"
            ":param rank_ic: True 使用 Spearman 秩相关，False 使用 Pearson 相关\n"
            ":return: wrapper(fs, rs) -> (相关系数, p 值)，完整样本对少于两个时为 (0, 0)"},
        [](py::object rank_ic) -> py::object { return *g_wrappers[py::bool_(rank_ic) ? kSpearman : kPearson]; },
        py::arg("rank_ic") = false);

    ClassBuilder(m, "ICAnalysis", py::make_tuple(m.attr("FactorAnalyser")),
                 "IC 分析：逐日计算因子值与各持有期远期收益的截面相关系数（IC）及其 p 值，"
                 "可选 IC 衰减表与分行业 IC。\n\n"
                 ":param rank_ic: True 计算秩相关（Spearman），False 计算线性相关（Pearson）\n"
                 ":param industry_classification: None、行业分类来源（\"citics_2019\" 或 \"sws\"）、"
                 "dict 或 pandas.Series（order_book_id -> 行业名称）\n"
                 ":param max_decay: IC 衰减的滞后期数（含滞后 0），None 或 0 表示不计算")
        .init({"(self, rank_ic=True, industry_classification=None, max_decay=None)", "创建 IC 分析步骤；参数见类说明。"},
            [](py::object self, py::object rank_ic, py::object industry, py::object max_decay) {
                tables("init_step")(self, rank_ic, industry, max_decay);
            }, py::arg("self"), py::arg("rank_ic") = true, py::arg("industry_classification") = py::none(),
            py::arg("max_decay") = py::none())
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "计算 IC、IC p 值、IC 衰减与分行业 IC。\n\n:param factor_data: 因子值（日期 x 股票）\n"
                ":param returns: 日收益率（日期 x 股票）\n:param periods: 持有期列表\n"
                ":param ascending: 因子排序方向\n:return: ICAnalysisResult"},
            [](py::object self, py::object factor_data, py::object returns, py::object periods, py::object ascending) {
                return tables("analysis_result")(self, *prepare(self, factor_data, returns, periods, ascending));
            }, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .method("_forward_returns", {"(self, factor_data, returns, periods, ascending=True)",
                "analysis 所用的各持有期远期收益：dict（持有期标签 -> 日期 x 股票矩阵），"
                "日期为两表共有的交易日，股票为 returns 的列。"},
            [](py::object self, py::object factor_data, py::object returns, py::object periods,
               py::object ascending) -> py::object { return prepare(self, factor_data, returns, periods, ascending)[3];
            }, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .method("_rank_rows", {"(self, matrix)",
                "按行排序一个远期收益矩阵（日期 x 股票）的非缺失值，供 _rank_ic_ranked 对多个因子重复使用。"},
            &ic_rank_rows, py::arg("self"), py::arg("matrix"))
        .method("_rank_ic_ranked", {"(self, factor, forward, decay=None, p_values=True, orders=False)",
                "单个持有期的秩 IC 与 p 值（同 _calc_ic），forward 与 decay 为 _rank_rows 的结果；"
                "给出 decay 且设置了 max_decay 时另返回 IC 衰减的 (日期位置, 滞后, 值)，否则为 None。"
                "p_values=False 时不计算 p 值（返回 None），IC 不变。orders=True 时另返回因子各行的升序排列 "
                "(位置矩阵, 各行个数)，可传给 QuantileReturnAnalysis._group_returns 的 order。"},
            &ic_rank_ic_ranked, py::arg("self"), py::arg("factor"), py::arg("forward"), py::arg("decay") = py::none(),
            py::arg("p_values") = true, py::arg("orders") = false)
        .method("_decay_curve", {"(self, ic, rows)",
                "IC 衰减曲线：ic 为各日期滞后 0 的 IC（按日期顺序），rows 为 _rank_ic_ranked 返回的 (日期位置, 滞后, 值)；"
                "返回 (滞后, 平均 IC) 两个数组，只含有记录的滞后，与按滞后分组的 IC 衰减表均值逐位相同。"},
            &ic_decay_curve, py::arg("self"), py::arg("ic"), py::arg("rows"))
        .method("_get_industry_data", {"(self, factor_data)", "长表每一行的行业名称（pandas.Series，索引同长表，缺失为 \"Unknown\"）。"},
            [](py::object self, py::object factor_data) { return tables("industry_labels")(self, factor_data); },
            py::arg("self"), py::arg("factor_data"))
        .method("_calc_ic", {"(self, factor, ret_table, ret_fields)",
                "逐日 IC 与 p 值：factor 为日期 x 股票矩阵，ret_table[field] 为同形状的远期收益；"
                "返回 (ic, p 值) 两个日期 x 持有期矩阵。"},
            &ic_calc_ic, py::arg("self"), py::arg("factor"), py::arg("ret_table"), py::arg("ret_fields"))
        .method("_calc_ic_decay", {"(self, factor_data, ic)",
                "IC 衰减表：因子与滞后 0 .. max_decay - 1 个交易日的远期收益的逐日 IC，"
                "索引为 (datetime, decay)；未设置 max_decay 时返回 None。"},
            &ic_calc_ic_decay, py::arg("self"), py::arg("factor_data"), py::arg("ic"))
        .method("_calc_ic_industry_distribute", {"(self, factor_data)", "各行业的合并样本 IC（行业 x 持有期）；未设置行业分类时返回 None。"},
            &ic_calc_industry, py::arg("self"), py::arg("factor_data"))
        .build();
}

}  // namespace zarnik_py
