// ICAnalysis: per-date information coefficient (Spearman or Pearson) of the
// factor against forward returns, the IC decay table and the pooled IC per
// industry. Frames are converted once to dense matrices; correlations run in
// the C++ core (zarnik/correlation.hpp) with the GIL released.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "assayer/assayer.hpp"
#include "assayer/icq_util.hpp"
#include "common/aligned.hpp"
#include "common/axes.hpp"
#include "common/frames.hpp"
#include "common/native.hpp"
#include "common/periods.hpp"
#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/correlation.hpp"
#include "zarnik/layout.hpp"
#include "zarnik/returns.hpp"

namespace zarnik_py {

namespace {

using namespace assayer_detail;

// The two correlation wrappers handed out by _get_ic_func, registered as
// native (common/native.hpp): the analysis computes their results in the core.
constexpr int kPearson = 0, kSpearman = 1;
py::object* g_wrappers[2] = {nullptr, nullptr};

py::object make_wrapper(bool rank) {
    return py::cpp_function(
        [rank](py::object fs, py::object rs) -> py::object {
            py::module_ np = py::module_::import("numpy");
            py::object isnan = np.attr("isnan");
            py::object mask = ~(isnan(fs) | isnan(rs));
            if (py::int_(mask.attr("sum")()).cast<long long>() > 1) {
                py::object fn = py::module_::import("scipy.stats").attr(rank ? "spearmanr" : "pearsonr");
                return fn(fs[mask], rs[mask]);
            }
            return py::make_tuple(0, 0);
        },
        py::name("wrapper"), py::arg("fs"), py::arg("rs"),
        signed_doc("wrapper", "(fs, rs)",
                   "忽略缺失值的相关系数：完整样本对少于两个时返回 (0, 0)，否则返回 (相关系数, 双侧 p 值)。")
            .c_str());
}

using zarnik::corr::wrapper_value;

py::list return_fields_of(const py::object& columns) {
    py::object fn = module_attr("_get_return_fields", py::none());
    if (!fn.is_none()) return py::list(fn(columns));
    py::list out;
    for (py::handle c : columns)
        if (py::isinstance<py::str>(c) && c.cast<std::string>().rfind("P_", 0) == 0) out.append(c);
    return out;
}

// Two-sided p-values from the coefficients and pair counts, as scipy's
// pearsonr / spearmanr give them; counts below 2 give (NaN, NaN).
void fill_p_values(bool rank, double* r, const std::int64_t* n, double* p, std::size_t size) {
    py::module_ special = py::module_::import("scipy.special");
    py::array_t<double> a(static_cast<py::ssize_t>(size)), x(static_cast<py::ssize_t>(size));
    zarnik::corr::tail_arguments(rank, r, n, size, a.mutable_data(), x.mutable_data());
    py::array_t<double> tail = rank ? py::array_t<double>::ensure(special.attr("stdtr")(a, x))
                                    : py::array_t<double>::ensure(special.attr("betaincc")(a, a, x));
    zarnik::corr::finish_p_values(rank, r, n, size, tail.data(), p);
}

py::object ic_func_value(const py::object& fn, const std::vector<double>& x, const std::vector<double>& f) {
    py::array_t<double> xa = array_of(x);
    py::array_t<double> fa = array_of(f);
    return fn(xa, fa)[py::int_(0)];
}

// ---------------------------------------------------------------------------
// ICAnalysis members

const char* const kMaxDecayError = "max_decay: expect None or a non-negative integer, got {!r}";

void ic_init(py::object self, py::object rank_ic, py::object industry_classification, py::object max_decay) {
    py::module_ pd = py::module_::import("pandas");
    py::object ic = industry_classification;
    if (!ic.is_none() && !py::isinstance<py::str>(ic) && !py::isinstance<py::dict>(ic) &&
        !py::isinstance(ic, pd.attr("Series"))) {
        raise(PyExc_ValueError,
              format("Unsupported industry_classification type, expect one of None/str/pd.Series/dict, got type={}",
                     py::type::of(ic)));
    }
    if (py::isinstance<py::str>(ic)) {
        py::object valid = module_attr("VALID_INDUSTRY_SOURCE", py::make_tuple("citics_2019", "sws"));
        if (!valid.contains(ic)) {
            raise(PyExc_ValueError, format("industry_classification: expect one of {}, got {}", valid, ic));
        }
    }
    if (!max_decay.is_none()) require_count(max_decay, 0, kMaxDecayError);
    self.attr("rank_ic") = rank_ic;
    self.attr("ic_func") = module_attr("_get_ic_func")(rank_ic);
    self.attr("industry") = ic;
    self.attr("max_decay") = max_decay;
}

py::object ic_get_industry_data(py::object self, py::object factor_data) {
    py::module_ pd = py::module_::import("pandas");
    py::object industry = self.attr("industry");
    py::object index = factor_data.attr("index");
    if (py::isinstance<py::str>(industry)) {
        return module_attr("_load_industry_data")(
            py::arg("order_book_ids") = index.attr("get_level_values")("order_book_id").attr("unique")(),
            py::arg("dates") = index.attr("get_level_values")("datetime").attr("unique")(),
            py::arg("source") = industry);
    }
    py::object series;
    if (py::isinstance<py::dict>(industry)) {
        series = pd.attr("Series")(industry);
    } else if (py::isinstance(industry, pd.attr("Series"))) {
        series = industry.attr("copy")();
    } else {
        raise(PyExc_RuntimeError, format("Invalid industry type, expect str/dict/pd.Series, go {} ",
                                         py::type::of(industry)));
    }
    // one label per instrument, spread over the rows through the index codes
    py::object level = py::none(), codes = py::none();
    if (py::isinstance(index, pd.attr("MultiIndex"))) {
        py::list names(index.attr("names"));
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!names[i].is_none() && py::str(names[i]).equal(py::str("order_book_id"))) {
                level = index.attr("levels")[py::int_(i)];
                codes = py::module_::import("numpy").attr("asarray")(index.attr("codes")[py::int_(i)]);
            }
        }
    }
    if (level.is_none() || py::bool_(codes.attr("__lt__")(0).attr("any")())) {
        py::object obids = index.attr("get_level_values")("order_book_id");
        level = obids.attr("unique")();
        codes = level.attr("get_indexer")(obids);
    }
    py::object mapped = series.attr("reindex")(level).attr("fillna")("Unknown");
    py::object data = mapped.attr("to_numpy")(py::arg("dtype") = "O").attr("take")(codes);
    return pd.attr("Series")(py::arg("index") = index, py::arg("data") = data, py::arg("dtype") = "O");
}

py::tuple ic_calc_ic(py::object self, py::object factor, py::object ret_table, py::object ret_fields) {
    const bool rank = py::bool_(self.attr("rank_ic"));
    Matrix F = as_matrix(factor, "factor");
    const std::size_t T = static_cast<std::size_t>(F.shape(0)), N = static_cast<std::size_t>(F.shape(1));
    std::vector<Matrix> R;
    py::list fields(ret_fields);
    for (py::handle field : fields) {
        py::object arr;
        try {
            arr = ret_table[field];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_KeyError)) throw;
            raise(PyExc_ValueError, format("ret_table: no returns for field {!r}", field));
        }
        Matrix m = as_matrix(arr, "ret_table");
        if (static_cast<std::size_t>(m.shape(0)) != T || static_cast<std::size_t>(m.shape(1)) != N) {
            raise(PyExc_ValueError, format("ret_table[{!r}]: expected shape ({}, {}), got {}", field, T, N,
                                           py::array(m).attr("shape")));
        }
        R.push_back(m);
    }
    const std::size_t K = R.size();
    py::array_t<double> ic = new_array(T, K);
    py::array_t<double> pv = new_array(T, K);
    std::vector<std::int64_t> counts(zarnik::mul_size(T, K, "ic"), 0);
    {
        std::vector<const double*> rp;
        for (auto& m : R) rp.push_back(m.data());
        double* out = ic.mutable_data();
        py::gil_scoped_release release;
        zarnik::corr::SortedRows fs;
        std::vector<zarnik::corr::SortedRows> rs(K);
        std::vector<const zarnik::corr::SortedRows*> rsp;
        if (rank) {
            fs = zarnik::corr::sort_rows(F.data(), T, N);
            for (std::size_t k = 0; k < K; ++k) rs[k] = zarnik::corr::sort_rows(rp[k], T, N);
        }
        for (auto& s : rs) rsp.push_back(&s);
        if (K > 0) zarnik::corr::row_correlations(F.data(), fs, rp, rsp, T, N, 0, rank, false, out, counts.data());
    }
    fill_p_values(rank, ic.mutable_data(), counts.data(), pv.mutable_data(), T * K);
    return py::make_tuple(ic, pv);
}

py::object ic_calc_ic_decay(py::object self, py::object factor_data, py::object ic) {
    py::object max_decay = self.attr("max_decay");
    if (!py::bool_(max_decay)) return py::none();
    long long lags = require_count(max_decay, 0, kMaxDecayError);
    py::module_ pd = py::module_::import("pandas");
    py::object ic_func = self.attr("ic_func");
    py::list return_fields = return_fields_of(factor_data.attr("columns"));

    py::object lag0 = ic.attr("copy")();
    lag0.attr("__setitem__")("decay", 0);
    lag0 = lag0.attr("set_index")("decay", py::arg("append") = true);
    py::list parts;
    parts.append(lag0);
    if (lags > 1) {
        std::vector<py::object> cols{py::str("factor")};
        for (py::handle f : return_fields) cols.push_back(py::reinterpret_borrow<py::object>(f));
        DenseLong d = long_to_dense(factor_data, cols);
        const std::size_t T = d.T, N = d.N, K = return_fields.size();
        // A lag of T dates or more pairs no factor date with a return date and
        // adds no row: the table is the same with max_decay clamped to T.
        lags = std::min<long long>(lags, static_cast<long long>(T));
        const int kind = native_tag(ic_func);
        std::vector<std::int64_t> row_date, row_lag;
        std::vector<double> vals;
        if (kind >= 0 && K > 0) {
            const bool rank = kind == 1;
            std::vector<const double*> rp;
            for (std::size_t k = 0; k < K; ++k) rp.push_back(d.m[k + 1].data());
            zarnik::corr::DecayTable table;
            {
                py::gil_scoped_release release;
                table = zarnik::corr::decay_correlations(d.m[0].data(), rp, T, N, static_cast<std::size_t>(lags), rank);
            }
            row_date = std::move(table.row);
            row_lag = std::move(table.lag);
            vals.resize(table.r.size());
            for (std::size_t i = 0; i < vals.size(); ++i) vals[i] = wrapper_value(table.r[i], table.n[i], rank);
        } else if (K > 0) {
            // A user-supplied correlation function: called once per date and field.
            std::vector<double> f, x;
            std::vector<const double*> rp;
            for (std::size_t k = 0; k < K; ++k) rp.push_back(d.m[k + 1].data());
            for (long long lag = 1; lag < lags; ++lag) {
                for (std::size_t t = 0; t + static_cast<std::size_t>(lag) < T; ++t) {
                    const std::size_t tr = t + static_cast<std::size_t>(lag);
                    const auto idx = zarnik::layout::complete_columns(d.m[0].data(), t, rp, tr, N);
                    if (idx.empty()) continue;
                    row_date.push_back(static_cast<std::int64_t>(t));
                    row_lag.push_back(lag);
                    zarnik::layout::pick(d.m[0].data(), idx, t * N, f);
                    for (std::size_t k = 0; k < K; ++k) {
                        zarnik::layout::pick(rp[k], idx, tr * N, x);
                        vals.push_back(py::float_(ic_func_value(ic_func, x, f)).cast<double>());
                    }
                }
            }
        }
        const std::size_t rows = row_date.size();
        py::array_t<double> v = new_array(rows, K);
        std::copy(vals.begin(), vals.end(), v.mutable_data());
        py::object index = pd.attr("MultiIndex").attr("from_arrays")(
            py::make_tuple(d.dates.attr("take")(array_of(row_date)), array_of(row_lag)),
            py::arg("names") = py::make_tuple("datetime", "decay"));
        parts.append(dataframe(v, index, return_fields));
    }
    return pd.attr("concat")(parts).attr("sort_index")();
}

py::object ic_calc_industry(py::object self, py::object factor_data) {
    if (self.attr("industry").is_none()) return py::none();
    py::module_ pd = py::module_::import("pandas");
    py::module_ np = py::module_::import("numpy");
    require_dataframe(factor_data, "factor_data");
    py::object industry_data = self.attr("_get_industry_data")(factor_data);
    py::object ic_func = self.attr("ic_func");
    py::list return_fields = return_fields_of(factor_data.attr("columns"));
    py::object index = factor_data.attr("index");
    py::object key = industry_data;
    py::object key_name = py::none();
    if (py::isinstance(key, pd.attr("Series"))) {
        key_name = key.attr("name");
        py::object kidx = key.attr("index");
        if (!kidx.is(index) && !kidx.attr("equals")(index).cast<bool>()) {
            key = key.attr("reindex")(index);
        }
        key = key.attr("to_numpy")();
    }
    auto [codes, uniques] = factorize_sorted(key);
    const std::size_t rows = static_cast<std::size_t>(py::len(index));
    if (codes.size() != rows) {
        raise(PyExc_ValueError, "industry data: expected one label per row of the long table");
    }
    const std::size_t G = static_cast<std::size_t>(py::len(uniques)), K = return_fields.size();
    auto column = [&](const py::handle& c) {
        return aligned_c_double(factor_data[c].attr("to_numpy")(py::arg("dtype") = np.attr("float64"),
                                                              py::arg("na_value") = np.attr("nan")));
    };
    Matrix fac = column(py::str("factor"));
    std::vector<Matrix> rets;
    for (py::handle f : return_fields) rets.push_back(column(f));
    py::array_t<double> out = new_array(G, K);
    double* po = out.mutable_data();
    const int kind = native_tag(ic_func);
    if (kind >= 0) {
        std::vector<const double*> rp;
        for (auto& m : rets) rp.push_back(m.data());
        std::vector<std::int64_t> pairs(G * K);
        {
            py::gil_scoped_release release;
            zarnik::corr::cell_correlations(fac.data(), rp, rows, codes.data(), G, kind == 1, po, pairs.data());
        }
        for (std::size_t i = 0; i < G * K; ++i) po[i] = wrapper_value(po[i], pairs[i], kind == 1);
    } else {
        // a user-supplied correlation function: called once per group and field, rows in table order
        const auto members = zarnik::layout::members(codes.data(), rows, G);
        std::vector<double> x, f;
        for (std::size_t g = 0; g < G; ++g) {
            zarnik::layout::pick(fac.data(), members[g], 0, f);
            for (std::size_t k = 0; k < K; ++k) {
                zarnik::layout::pick(rets[k].data(), members[g], 0, x);
                po[g * K + k] = py::float_(ic_func_value(ic_func, x, f)).cast<double>();
            }
        }
    }
    py::object idx = pd.attr("Index")(uniques, py::arg("name") = key_name);
    return dataframe(out, idx, return_fields);
}

// The dense inputs of an analysis: the dates both frames cover, the returns'
// instruments, the factor on that grid (negated for a rank IC sorted
// ascending) and the forward returns of each holding period.
struct Prepared {
    py::object index;
    py::object columns;
    std::vector<HoldingPeriod> periods;  // ordered, unique
    Matrix factor;
    std::vector<Matrix> forward;
};

Prepared prepare(py::object self, py::object factor_data, py::object returns, py::object periods,
                 py::object ascending) {
    require_dataframe(factor_data, "factor_data");
    require_dataframe(returns, "returns");
    require_analysis_axes(factor_data, returns);
    const std::vector<HoldingPeriod> ps = parse_periods(periods);

    DenseFrame fr = to_dense(factor_data, "factor_data");
    DenseFrame rr = to_dense(returns, "returns");
    py::object index_ = fr.index.attr("intersection")(rr.index).attr("rename")("datetime");
    py::object columns = rr.columns;
    auto fpos = unique_positions(fr.index, index_, "factor_data");
    auto rpos = unique_positions(rr.index, index_, "returns");
    auto cpos = unique_positions(fr.columns, columns, "factor_data columns");
    const std::size_t T = static_cast<std::size_t>(py::len(index_));
    const std::size_t N = static_cast<std::size_t>(rr.cols());
    const std::size_t Tr = static_cast<std::size_t>(rr.rows());
    const std::size_t Nf = static_cast<std::size_t>(fr.cols());
    const bool negate = py::bool_(self.attr("rank_ic")) && py::bool_(ascending);

    const std::size_t K = ps.size();
    Matrix fa({static_cast<py::ssize_t>(T), static_cast<py::ssize_t>(N)});
    std::vector<Matrix> fwd;
    for (std::size_t k = 0; k < K; ++k) fwd.emplace_back(std::vector<py::ssize_t>{static_cast<py::ssize_t>(T), static_cast<py::ssize_t>(N)});
    {
        const double* R = rr.values.data();
        const double* Fv = fr.values.data();
        const std::int64_t* fp = fpos.data();
        const std::int64_t* rp = rpos.data();
        const std::int64_t* cp = cpos.data();
        double* pfa = fa.mutable_data();
        std::vector<double*> pf;
        for (auto& m : fwd) pf.push_back(m.mutable_data());
        py::gil_scoped_release release;
        // growth index per instrument, carried forward over an undefined product
        std::vector<double> G(zarnik::mul_size(Tr, N, "returns"));
        zarnik::returns::growth_index_carried(R, Tr, N, G.data());
        for (std::size_t k = 0; k < K; ++k)
            zarnik::returns::forward_returns(G.data(), Tr, N, rp, T, static_cast<std::size_t>(ps[k].value), pf[k]);
        zarnik::layout::gather(Fv, Nf, fp, T, cp, N, negate, pfa);
    }
    return Prepared{index_, columns, ps, fa, std::move(fwd)};
}

// The forward returns the analysis correlates the factor with: a dict from
// period label to a (dates x instruments) matrix on the dates both frames
// cover and the returns' columns. Callers that analyse many factors over the
// same dates and instruments compute these once.
py::dict ic_forward_returns(py::object self, py::object factor_data, py::object returns, py::object periods,
                            py::object ascending) {
    Prepared p = prepare(self, factor_data, returns, periods, ascending);
    py::dict out;
    for (std::size_t k = 0; k < p.periods.size(); ++k) out[py::str(p.periods[k].key)] = p.forward[k];
    return out;
}

// A returns matrix with the present values of each row sorted once: shared
// by every factor a screen ranks against the same forward returns.
struct RankedRows {
    Matrix values;
    zarnik::corr::RankedPanel panel;
};

std::shared_ptr<RankedRows> ic_rank_rows(py::object /*self*/, py::object matrix) {
    py::module_ np = py::module_::import("numpy");
    Matrix m = as_matrix(matrix, "matrix");
    auto out = std::make_shared<RankedRows>();
    out->values = aligned_c_double(np.attr("array")(m, py::arg("dtype") = np.attr("float64"), py::arg("copy") = true));
    const std::size_t T = static_cast<std::size_t>(out->values.shape(0)), N = static_cast<std::size_t>(out->values.shape(1));
    const double* v = out->values.data();
    {
        py::gil_scoped_release release;
        out->panel = zarnik::corr::rank_panel(v, T, N);
    }
    return out;
}

void require_shape(const Matrix& m, const RankedRows& r, const char* what) {
    if (m.shape(0) != r.values.shape(0) || m.shape(1) != r.values.shape(1)) {
        raise(PyExc_ValueError, format("{}: expected shape ({}, {}), got {}", what, r.values.shape(0),
                                       r.values.shape(1), py::array(m).attr("shape")));
    }
}

// The rank IC of one factor against ranked forward returns (what _calc_ic
// gives for a single field) and, when a decay is asked for, the decay rows
// (dates, lags, values: what _calc_ic_decay tables for lags >= 1) against
// `decay`, the forward returns missing wherever any period's is. The factor is
// sorted once for both. The decay is None when it is not asked for or the
// correlation function is not the built-in rank one.
py::tuple ic_rank_ic_ranked(py::object self, py::object factor, std::shared_ptr<RankedRows> forward,
                            std::shared_ptr<RankedRows> decay, bool p_values) {
    if (!py::bool_(self.attr("rank_ic"))) raise(PyExc_ValueError, "_rank_ic_ranked: expects a rank IC analysis");
    if (!forward) raise(PyExc_ValueError, "forward: expected ranked returns");
    Matrix F = as_matrix(factor, "factor");
    require_shape(F, *forward, "factor");
    if (decay) require_shape(F, *decay, "factor");
    const std::size_t T = static_cast<std::size_t>(F.shape(0)), N = static_cast<std::size_t>(F.shape(1));
    long long lags = 0;
    py::object max_decay = self.attr("max_decay");
    const bool with_decay = decay && py::bool_(max_decay) && native_tag(self.attr("ic_func")) == kSpearman;
    if (with_decay) {
        lags = std::min<long long>(require_count(max_decay, 0, kMaxDecayError), static_cast<long long>(T));
    }
    py::array_t<double> ic = new_array(T, 1);
    py::array_t<double> pv = p_values ? new_array(T, 1) : py::array_t<double>();
    std::vector<std::int64_t> counts(T, 0);
    zarnik::corr::DecayTable table;
    {
        const double* f = F.data();
        double* out = ic.mutable_data();
        py::gil_scoped_release release;
        // the factor ranked once, for the IC and every lag of the decay
        const zarnik::corr::RankedPanel fp = zarnik::corr::rank_panel(f, T, N, false);
        zarnik::corr::ranked_lag_correlations(f, fp, forward->values.data(), forward->panel, {0}, out, counts.data());
        if (lags > 1) {
            std::vector<std::size_t> ls;
            for (long long lag = 1; lag < lags; ++lag) ls.push_back(static_cast<std::size_t>(lag));
            const std::size_t L = ls.size();
            std::vector<double> r(T * L);
            std::vector<std::int64_t> n(T * L);
            zarnik::corr::ranked_lag_correlations(f, fp, decay->values.data(), decay->panel, ls, r.data(), n.data());
            table = zarnik::corr::decay_rows(r.data(), n.data(), T, ls, true);
        }
    }
    py::object p = py::none();
    if (p_values) {
        fill_p_values(true, ic.mutable_data(), counts.data(), pv.mutable_data(), T);
        p = pv;
    } else {
        zarnik::corr::finish_coefficients(true, ic.mutable_data(), counts.data(), T);
    }
    py::object dec = py::none();
    if (with_decay) dec = py::make_tuple(array_of(table.row), array_of(table.lag), array_of(table.r));
    return py::make_tuple(ic, p, dec);
}

// The decay curve of one period: the mean IC of each lag over the IC of
// every date (lag 0) and the decay rows (date positions, lags, values) of
// _rank_ic_ranked. Returns (lags, means) for the lags that have any row.
py::tuple ic_decay_curve(py::object /*self*/, py::object ic, py::object rows) {
    py::module_ np = py::module_::import("numpy");
    using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using Reals = py::array_t<double, py::array::c_style | py::array::forcecast>;
    Reals ic0 = Reals::ensure(np.attr("ravel")(ic));
    if (!ic0) raise(PyExc_TypeError, "ic: expected an array of numbers");
    if (!py::isinstance<py::tuple>(rows) || py::len(rows) != 3) {
        raise(PyExc_ValueError, format("rows: expected (date positions, lags, values), got {!r}", rows));
    }
    py::tuple parts(rows);
    Ints row = Ints::ensure(parts[0]), lag = Ints::ensure(parts[1]);
    Reals val = Reals::ensure(parts[2]);
    if (!row || !lag || !val || row.ndim() != 1 || lag.ndim() != 1 || val.ndim() != 1 ||
        row.shape(0) != lag.shape(0) || row.shape(0) != val.shape(0)) {
        raise(PyExc_ValueError, "rows: expected three one-dimensional arrays of one length");
    }
    const std::size_t T = static_cast<std::size_t>(ic0.size()), n = static_cast<std::size_t>(row.shape(0));
    zarnik::corr::LagMeans curve;
    {
        const double* pi = ic0.data();
        const std::int64_t* pr = row.data();
        const std::int64_t* pl = lag.data();
        const double* pv = val.data();
        py::gil_scoped_release release;
        curve = zarnik::corr::lag_means(pi, T, pr, pl, pv, n);
    }
    return py::make_tuple(array_of(curve.lag), array_of(curve.mean));
}

py::object ic_analysis(py::object self, py::object factor_data, py::object returns, py::object periods,
                       py::object ascending) {
    py::module_ pd = py::module_::import("pandas");
    Prepared p = prepare(self, factor_data, returns, periods, ascending);
    const std::vector<HoldingPeriod>& ps = p.periods;
    const std::size_t K = ps.size();
    py::object index_ = p.index, columns = p.columns;
    Matrix& fa = p.factor;
    std::vector<Matrix>& fwd = p.forward;
    py::dict ret_table, data;
    py::list ret_fields;
    data["factor"] = fa.attr("reshape")(-1);
    for (std::size_t k = 0; k < K; ++k) {
        ret_table[py::str(ps[k].key)] = fwd[k];
        ret_fields.append(py::str(ps[k].key));
        data[py::str(ps[k].key)] = fwd[k].attr("reshape")(-1);
    }
    py::object mi = pd.attr("MultiIndex").attr("from_product")(
        py::make_tuple(index_, columns), py::arg("names") = py::make_tuple("datetime", "order_book_id"));
    py::object df = pd.attr("DataFrame")(data, py::arg("index") = mi);

    py::tuple res = self.attr("_calc_ic")(fa, ret_table, ret_fields);
    py::object ic = dataframe(res[0], index_, ret_fields);
    py::object ic_p = dataframe(res[1], index_, ret_fields);
    py::object ic_decay = self.attr("_calc_ic_decay")(df, ic);
    py::object ind = self.attr("_calc_ic_industry_distribute")(df);
    if (!ind.is_none()) {
        py::module_::import("builtins").attr("object").attr("__setattr__")(ind, "industry", self.attr("industry"));
    }
    py::object out = result_class("ICAnalysisResult")(py::arg("ic") = ic, py::arg("ic_p_value") = ic_p,
                                                      py::arg("ic_decay") = ic_decay,
                                                      py::arg("ic_industry_distribute") = ind,
                                                      py::arg("name") = self.attr("step_name"));
    // per-date IC within each industry, kept on the result beside the pooled table
    package_module("analysis.statistics").attr("attach_ic_statistics")(out, self, df);
    return out;
}

}  // namespace

void register_ic(py::module_& m) {
    py::options o;  // every docstring below starts with its own text signature
    o.disable_function_signatures();
    for (int tag : {kPearson, kSpearman}) {
        g_wrappers[tag] = new py::object(make_wrapper(tag == kSpearman));
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

    py::object base = m.attr("FactorAnalyser");
    ClassBuilder(m, "ICAnalysis", py::make_tuple(base),
                 "IC 分析：逐日计算因子值与各持有期远期收益的截面相关系数（IC）及其 p 值，"
                 "可选 IC 衰减表与分行业 IC。\n\n"
                 ":param rank_ic: True 计算秩相关（Spearman），False 计算线性相关（Pearson）\n"
                 ":param industry_classification: None、行业分类来源（\"citics_2019\" 或 \"sws\"）、"
                 "dict 或 pandas.Series（order_book_id -> 行业名称）\n"
                 ":param max_decay: IC 衰减的滞后期数（含滞后 0），None 或 0 表示不计算")
        .init({"(self, rank_ic=True, industry_classification=None, max_decay=None)", "创建 IC 分析步骤；参数见类说明。"},
            &ic_init, py::arg("self"), py::arg("rank_ic") = true, py::arg("industry_classification") = py::none(),
            py::arg("max_decay") = py::none())
        .method("analysis", {"(self, factor_data, returns, periods, ascending=True)",
                "计算 IC、IC p 值、IC 衰减与分行业 IC。\n\n:param factor_data: 因子值（日期 x 股票）\n"
                ":param returns: 日收益率（日期 x 股票）\n:param periods: 持有期列表\n"
                ":param ascending: 因子排序方向\n:return: ICAnalysisResult"},
            &ic_analysis, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .method("_forward_returns", {"(self, factor_data, returns, periods, ascending=True)",
                "analysis 所用的各持有期远期收益：dict（持有期标签 -> 日期 x 股票矩阵），"
                "日期为两表共有的交易日，股票为 returns 的列。"},
            &ic_forward_returns, py::arg("self"), py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
            py::arg("ascending") = true)
        .method("_rank_rows", {"(self, matrix)",
                "按行排序一个远期收益矩阵（日期 x 股票）的非缺失值，供 _rank_ic_ranked 对多个因子重复使用。"},
            &ic_rank_rows, py::arg("self"), py::arg("matrix"))
        .method("_rank_ic_ranked", {"(self, factor, forward, decay=None, p_values=True)",
                "单个持有期的秩 IC 与 p 值（同 _calc_ic），forward 与 decay 为 _rank_rows 的结果；"
                "给出 decay 且设置了 max_decay 时另返回 IC 衰减的 (日期位置, 滞后, 值)，否则为 None。"
                "p_values=False 时不计算 p 值（返回 None），IC 不变。"},
            &ic_rank_ic_ranked, py::arg("self"), py::arg("factor"), py::arg("forward"), py::arg("decay") = py::none(),
            py::arg("p_values") = true)
        .method("_decay_curve", {"(self, ic, rows)",
                "IC 衰减曲线：ic 为各日期滞后 0 的 IC（按日期顺序），rows 为 _rank_ic_ranked 返回的 (日期位置, 滞后, 值)；"
                "返回 (滞后, 平均 IC) 两个数组，只含有记录的滞后，与按滞后分组的 IC 衰减表均值逐位相同。"},
            &ic_decay_curve, py::arg("self"), py::arg("ic"), py::arg("rows"))
        .method("_get_industry_data", {"(self, factor_data)", "长表每一行的行业名称（pandas.Series，索引同长表，缺失为 \"Unknown\"）。"},
            &ic_get_industry_data, py::arg("self"), py::arg("factor_data"))
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
