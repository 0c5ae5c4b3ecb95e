// Python entry points of the rolling kernels: argument checks, dtype
// normalisation and dispatch to the C++ core, one column at a time.
#include "rolling/kernels.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "common/pyclass.hpp"
#include "zarnik/checked.hpp"
#include "zarnik/parallel.hpp"
#include "zarnik/rolling.hpp"

namespace zarnik_py {
namespace {

namespace zr = zarnik::rolling;

enum class Kern {
    count, ts_rank, product, zscore, skew, kurt, avedev, ts_argmax, ts_argmin, ma, ema, wma,
    std_, var, slope, sum, ts_min, ts_max, covariance, correlation, regression
};

struct Spec {
    Kern kern;
    const char* name;
    const char* p0;  // single-series: (series, window); two-series: (window, a, b)
    const char* p1;
    const char* p2;
};

const Spec kSpecs[] = {
    {Kern::count, "count", "x", "window", nullptr},
    {Kern::ts_rank, "ts_rank", "x", "window", nullptr},
    {Kern::product, "product", "s", "window", nullptr},
    {Kern::zscore, "zscore", "s", "window", nullptr},
    {Kern::skew, "skew", "s", "n", nullptr},
    {Kern::kurt, "kurt", "s", "n", nullptr},
    {Kern::avedev, "avedev", "s", "window", nullptr},
    {Kern::ts_argmax, "ts_argmax", "x", "n", nullptr},
    {Kern::ts_argmin, "ts_argmin", "x", "n", nullptr},
    {Kern::ma, "ma", "x", "n", nullptr},
    {Kern::ema, "ema", "x", "n", nullptr},
    {Kern::wma, "wma", "x", "n", nullptr},
    {Kern::std_, "std", "x", "n", nullptr},
    {Kern::var, "var", "x", "n", nullptr},
    {Kern::slope, "slope", "y", "n", nullptr},
    {Kern::sum, "sum", "x", "n", nullptr},
    {Kern::ts_min, "ts_min", "x", "n", nullptr},
    {Kern::ts_max, "ts_max", "x", "n", nullptr},
    {Kern::covariance, "covariance", "window", "a", "b"},
    {Kern::correlation, "correlation", "window", "a", "b"},
    {Kern::regression, "regression", "window", "x", "y"},
};
constexpr std::size_t kNumKernels = sizeof(kSpecs) / sizeof(kSpecs[0]);

// The kernel function objects, for identifying a kernel passed to
// _apply_columns.
PyObject* g_kernel_objects[kNumKernels] = {};

bool is_pair(Kern k) { return k == Kern::covariance || k == Kern::correlation || k == Kern::regression; }

const Spec& spec_of(Kern k) {
    for (const Spec& s : kSpecs)
        if (s.kern == k) return s;
    throw std::logic_error("unknown kernel");
}

// numpy, imported once (kept for the life of the interpreter).
const py::module_& np() {
    static const py::module_* mod = new py::module_(py::module_::import("numpy"));
    return *mod;
}

// ---------------------------------------------------------------------------
// argument checks (the same types and messages as zarnik.utils.rolling_window)
// ---------------------------------------------------------------------------
py::array as_array(py::handle x, int ndim) {
    py::array arr = py::isinstance<py::array>(x) ? py::reinterpret_borrow<py::array>(x)
                                                  : py::array(np().attr("asarray")(x));
    if (arr.ndim() != ndim) {
        if (ndim == 1) raise(PyExc_ValueError, format("expected a 1-D array, got {}-D", arr.ndim()));
        raise(PyExc_ValueError, format("expected a 2-D array, got {}-D", arr.ndim()));
    }
    return arr;
}

// Positions and counts are held in 32 bits inside the core.
constexpr py::ssize_t kMaxLength = 0xFFFFFFF0;

std::size_t check_window(py::handle window, py::ssize_t length) {
    if (length > kMaxLength)
        raise(PyExc_ValueError, format("series of more than {} values are not supported, got {}", kMaxLength, length));
    if (PyLong_CheckExact(window.ptr())) {  // the common case, without Python calls
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(window.ptr(), &overflow);
        if (!overflow && w >= 1 && w <= length) return std::size_t(w);
    }
    py::object tname = py::type::handle_of(window).attr("__name__");
    if (PyBool_Check(window.ptr()) || py::isinstance(window, np().attr("bool_")))
        raise(PyExc_TypeError, format("window must be an integer, got {}", tname));
    PyObject* idx = PyNumber_Index(window.ptr());
    if (idx == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, format("window must be an integer, got {}", tname));
    }
    py::object w = py::reinterpret_steal<py::object>(idx);
    py::int_ one(1), len(length);
    int low = PyObject_RichCompareBool(w.ptr(), one.ptr(), Py_LT);
    if (low < 0) throw py::error_already_set();
    if (low) raise(PyExc_ValueError, format("window must be at least 1, got {}", w));
    int high = PyObject_RichCompareBool(w.ptr(), len.ptr(), Py_GT);
    if (high < 0) throw py::error_already_set();
    if (high) raise(PyExc_ValueError, format("window {} is larger than the series length {}", w, length));
    return w.cast<std::size_t>();
}

// Brings an input to a dtype the core handles: booleans, fixed-size integers,
// float32 or float64, native byte order. float16 is computed as float32 (and
// reductions that keep the input type cast back); wider floats as float64.
struct Input {
    py::array arr;
    bool half = false;
};

bool native_order(const py::dtype& dt) {
    char bo = dt.byteorder();
    if (bo == '=' || bo == '|') return true;
    const std::uint16_t probe = 1;
    const bool little = *reinterpret_cast<const unsigned char*>(&probe) == 1;
    return (bo == '<') == little;
}

Input normalize(Kern k, py::array arr) {
    const char* name = spec_of(k).name;
    Input in;
    {
        py::dtype fast = arr.dtype();
        char kind = fast.kind();
        int size = int(fast.itemsize());
        if (native_order(fast) && (kind == 'b' || kind == 'i' || kind == 'u' || (kind == 'f' && (size == 4 || size == 8)))) {
            in.arr = arr;  // handled as is
            return in;
        }
    }
    py::object dt = arr.attr("dtype");
    char kind = dt.attr("kind").cast<std::string>()[0];
    if (k == Kern::count) {
        if (kind != 'b') arr = arr.attr("astype")(np().attr("bool_"));
    } else {
        if (kind == 'O') {
            try {
                arr = arr.attr("astype")(np().attr("float64"));
            } catch (py::error_already_set& e) {
                raise(PyExc_TypeError,
                      format("{}: expected numeric values, got an object array that cannot be "
                             "converted to float ({})",
                             name, py::str(e.value())));
            }
        } else if (kind == 'c') {
            raise(PyExc_TypeError, format("{}: expected real numbers, got {}", name, dt));
        } else if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
            raise(PyExc_TypeError, format("{}: expected a numeric array, got dtype {}", name, dt));
        }
        dt = arr.attr("dtype");
        if (kind == 'f') {
            int size = dt.attr("itemsize").cast<int>();
            if (size == 2) {
                in.half = true;
                arr = arr.attr("astype")(np().attr("float32"));
            } else if (size > 8) {
                arr = arr.attr("astype")(np().attr("float64"));
            }
        }
    }
    dt = arr.attr("dtype");
    if (!dt.attr("isnative").cast<bool>()) arr = arr.attr("astype")(dt.attr("newbyteorder")("="));
    in.arr = arr;
    return in;
}

// ---------------------------------------------------------------------------
// typed dispatch
// ---------------------------------------------------------------------------
enum class ElemType { b, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

ElemType elem_type(const py::array& arr) {
    py::dtype dt = arr.dtype();
    char kind = dt.kind();
    int size = int(dt.itemsize());
    if (kind == 'b') return ElemType::b;
    if (kind == 'i') return size == 1 ? ElemType::i8 : size == 2 ? ElemType::i16 : size == 4 ? ElemType::i32 : ElemType::i64;
    if (kind == 'u') return size == 1 ? ElemType::u8 : size == 2 ? ElemType::u16 : size == 4 ? ElemType::u32 : ElemType::u64;
    return size == 4 ? ElemType::f32 : ElemType::f64;
}

template <class F>
void visit(ElemType t, F&& f) {
    switch (t) {
        case ElemType::b: return f(static_cast<std::uint8_t*>(nullptr));
        case ElemType::i8: return f(static_cast<std::int8_t*>(nullptr));
        case ElemType::i16: return f(static_cast<std::int16_t*>(nullptr));
        case ElemType::i32: return f(static_cast<std::int32_t*>(nullptr));
        case ElemType::i64: return f(static_cast<std::int64_t*>(nullptr));
        case ElemType::u8: return f(static_cast<std::uint8_t*>(nullptr));
        case ElemType::u16: return f(static_cast<std::uint16_t*>(nullptr));
        case ElemType::u32: return f(static_cast<std::uint32_t*>(nullptr));
        case ElemType::u64: return f(static_cast<std::uint64_t*>(nullptr));
        case ElemType::f32: return f(static_cast<float*>(nullptr));
        case ElemType::f64: return f(static_cast<double*>(nullptr));
    }
}

// numpy's result dtype for the kernel on this input type.
py::dtype out_dtype(Kern k, ElemType t, const py::array& arr) {
    switch (k) {
        case Kern::count: return py::dtype::of<std::int64_t>();
        case Kern::sum:
        case Kern::product:
            if (t == ElemType::f32 || t == ElemType::f64) return arr.dtype();
            if (t == ElemType::u8 || t == ElemType::u16 || t == ElemType::u32 || t == ElemType::u64)
                return py::dtype::of<std::uint64_t>();
            return py::dtype::of<std::int64_t>();
        case Kern::ts_min:
        case Kern::ts_max: return arr.dtype();
        default: return py::dtype::of<double>();
    }
}

struct Job {
    Kern kern;
    ElemType type;
    const char* in[2];
    py::ssize_t in_row[2], in_col[2];  // byte strides along dates / instruments
    std::size_t L, n, N;
    char* out;
    py::ssize_t out_row, out_col;
    std::size_t out_size = 8;  // bytes per output element
    std::int64_t last = -1;    // position of the last date on a fixed scale (block grid, see first_block)
};

template <class T, class D>
void gather(const char* p, py::ssize_t stride, std::size_t L, D* dst) {
    for (std::size_t i = 0; i < L; ++i) {
        T v;
        std::memcpy(&v, p + py::ssize_t(i) * stride, sizeof(T));
        dst[i] = static_cast<D>(v);
    }
}

template <class O>
void scatter(const O* src, std::size_t m, char* p, py::ssize_t stride) {
    for (std::size_t i = 0; i < m; ++i) std::memcpy(p + py::ssize_t(i) * stride, &src[i], sizeof(O));
}

// A typed view of one series: the input itself when contiguous, else a copy.
template <class T>
struct Typed {
    std::vector<T> copy;
    const T* ptr;
    Typed(const char* p, py::ssize_t stride, std::size_t L) {
        if (stride == py::ssize_t(sizeof(T)) && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0) {
            ptr = reinterpret_cast<const T*>(p);
        } else {
            copy.resize(L);
            gather<T>(p, stride, L, copy.data());
            ptr = copy.data();
        }
    }
    const T* data() const { return ptr; }
};

// One series as contiguous float64: the input itself when it already is,
// else a converted copy in `buf`.
template <class T>
const double* as_doubles(const char* p, py::ssize_t stride, std::size_t L, std::vector<double>& buf) {
    if (std::is_same_v<T, double> && stride == py::ssize_t(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0)
        return reinterpret_cast<const double*>(p);
    buf.resize(L);
    gather<T>(p, stride, L, buf.data());
    return buf.data();
}

// Where a kernel writes its m results: straight into the output when its
// elements are contiguous and aligned, else into `buf` (scattered afterwards).
template <class O>
O* out_buffer(char* out, py::ssize_t stride, std::size_t m, std::vector<O>& buf) {
    if (stride == py::ssize_t(sizeof(O)) && reinterpret_cast<std::uintptr_t>(out) % alignof(O) == 0)
        return reinterpret_cast<O*>(out);
    buf.resize(m);
    return buf.data();
}

template <class T>
std::uint64_t to_wrap(T v) {
    if constexpr (std::is_signed_v<T>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    } else {
        return static_cast<std::uint64_t>(v);
    }
}

template <class T>
void run_column(const Job& job, std::size_t col) {
    const std::size_t L = job.L, n = job.n, m = L - n + 1;
    const char* a = job.in[0] + py::ssize_t(col) * job.in_col[0];
    char* out = job.out + py::ssize_t(col) * job.out_col;
    constexpr bool is_float = std::is_floating_point_v<T>;
    switch (job.kern) {
        case Kern::count: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<std::int64_t> rbuf;
            std::int64_t* r = out_buffer(out, job.out_row, m, rbuf);
            zr::count(x.data(), L, n, r);
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return;
        }
        case Kern::ts_rank:
        case Kern::ts_argmax:
        case Kern::ts_argmin: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<double> rbuf;
            double* r = out_buffer(out, job.out_row, m, rbuf);
            if (job.kern == Kern::ts_rank) zr::ts_rank(x.data(), L, n, r);
            if (job.kern == Kern::ts_argmax) zr::ts_argmax(x.data(), L, n, r);
            if (job.kern == Kern::ts_argmin) zr::ts_argmin(x.data(), L, n, r);
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return;
        }
        case Kern::ts_min:
        case Kern::ts_max: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<T> rbuf;
            T* r = out_buffer(out, job.out_row, m, rbuf);
            if (job.kern == Kern::ts_min) {
                zr::ts_min(x.data(), L, n, r, job.last);
            } else {
                zr::ts_max(x.data(), L, n, r, job.last);
            }
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return;
        }
        case Kern::sum:
        case Kern::product:
            if constexpr (!is_float) {
                std::vector<std::uint64_t> x(L), r(m);
                for (std::size_t i = 0; i < L; ++i) {
                    T v;
                    std::memcpy(&v, a + py::ssize_t(i) * job.in_row[0], sizeof(T));
                    x[i] = to_wrap(v);
                }
                if (job.kern == Kern::sum) {
                    zr::sum_wrap(x.data(), L, n, r.data());
                } else {
                    zr::product_wrap(x.data(), L, n, r.data());
                }
                return scatter(r.data(), m, out, job.out_row);
            } else {
                // computed in float64; float32 input gets its float32 result
                std::vector<double> xbuf, rbuf;
                const double* x = as_doubles<T>(a, job.in_row[0], L, xbuf);
                double* r = std::is_same_v<T, double> ? out_buffer(out, job.out_row, m, rbuf)
                                                      : (rbuf.resize(m), rbuf.data());
                if (job.kern == Kern::sum) {
                    zr::sum(x, L, n, r, job.last);
                } else {
                    zr::product(x, L, n, r, job.last);
                }
                if constexpr (std::is_same_v<T, float>) {
                    std::vector<float> rf(rbuf.begin(), rbuf.end());
                    return scatter(rf.data(), m, out, job.out_row);
                } else {
                    if (!rbuf.empty()) scatter(r, m, out, job.out_row);
                    return;
                }
            }
        default: break;
    }
    // float statistics: contiguous float64 input and output are used in place
    std::vector<double> xbuf, ybuf, rbuf;
    const double* x = as_doubles<T>(a, job.in_row[0], L, xbuf);
    double* r = out_buffer(out, job.out_row, m, rbuf);
    switch (job.kern) {
        case Kern::zscore: zr::zscore(x, L, n, r, job.last); break;
        case Kern::skew: zr::skew(x, L, n, r, job.last); break;
        case Kern::kurt: zr::kurt(x, L, n, r, job.last); break;
        case Kern::avedev: zr::avedev(x, L, n, r, job.last); break;
        case Kern::ma: zr::ma(x, L, n, r, job.last); break;
        case Kern::ema: zr::ema(x, L, n, r, job.last); break;
        case Kern::wma: zr::wma(x, L, n, r, job.last); break;
        case Kern::std_: zr::std_(x, L, n, r, job.last); break;
        case Kern::var: zr::var(x, L, n, r, job.last); break;
        case Kern::slope: zr::slope(x, L, n, r, job.last); break;
        case Kern::covariance:
        case Kern::correlation:
        case Kern::regression: {
            const char* b = job.in[1] + py::ssize_t(col) * job.in_col[1];
            const double* y = as_doubles<T>(b, job.in_row[1], L, ybuf);
            if (job.kern == Kern::covariance) zr::covariance(x, y, L, n, r, job.last);
            if (job.kern == Kern::correlation) zr::correlation(x, y, L, n, r, job.last);
            if (job.kern == Kern::regression) zr::regression(x, y, L, n, r, job.last);
            break;
        }
        default: throw std::logic_error("unhandled kernel");
    }
    if (!rbuf.empty()) scatter(r, m, out, job.out_row);
}

// Copies rows [0, rows) of `width` columns starting at byte offset `base`
// into `width` contiguous series (column c at dst + c * rows), reading whole
// cache lines of the row-major source at a time.
template <std::size_t Size>
void gather_tile(const char* base, py::ssize_t row, py::ssize_t col, std::size_t rows, std::size_t width,
                 char* dst) {
    for (std::size_t r = 0; r < rows; ++r) {
        const char* src = base + py::ssize_t(r) * row;
        for (std::size_t c = 0; c < width; ++c)
            std::memcpy(dst + (c * rows + r) * Size, src + py::ssize_t(c) * col, Size);
    }
}

template <std::size_t Size>
void scatter_tile(const char* src, std::size_t rows, std::size_t width, char* base, py::ssize_t row, py::ssize_t col) {
    for (std::size_t r = 0; r < rows; ++r) {
        char* dst = base + py::ssize_t(r) * row;
        for (std::size_t c = 0; c < width; ++c)
            std::memcpy(dst + py::ssize_t(c) * col, src + (c * rows + r) * Size, Size);
    }
}

template <class F>
void with_size(std::size_t size, F&& f) {
    switch (size) {
        case 1: return f(std::integral_constant<std::size_t, 1>{});
        case 2: return f(std::integral_constant<std::size_t, 2>{});
        case 4: return f(std::integral_constant<std::size_t, 4>{});
        default: return f(std::integral_constant<std::size_t, 8>{});
    }
}

// Columns are handled in tiles of 32: a tile is copied into contiguous series,
// each series runs through the 1-D kernel, and the results are copied back.
// Every column goes through exactly the code of a 1-D call.
template <class T>
void run_columns(const Job& job) {
    constexpr std::size_t tile = 32;
    const std::size_t L = job.L, m = L - job.n + 1, N = job.N;
    const std::size_t tiles = (N + tile - 1) / tile;
    const int series = job.in[1] ? 2 : 1;
    zarnik::parallel_for(
        tiles,
        [&](std::size_t tb, std::size_t te) {
            std::vector<T> ins[2];
            for (int s = 0; s < series; ++s) ins[s].resize(tile * L);
            std::vector<char> outs(zarnik::mul_size(tile, m, job.out_size, "output tile"));
            for (std::size_t t = tb; t < te; ++t) {
                const std::size_t c0 = t * tile, width = std::min(tile, N - c0);
                for (int s = 0; s < series; ++s)
                    gather_tile<sizeof(T)>(job.in[s] + py::ssize_t(c0) * job.in_col[s], job.in_row[s],
                                           job.in_col[s], L, width, reinterpret_cast<char*>(ins[s].data()));
                for (std::size_t c = 0; c < width; ++c) {
                    Job one = job;
                    one.N = 1;
                    for (int s = 0; s < series; ++s) {
                        one.in[s] = reinterpret_cast<const char*>(ins[s].data() + c * L);
                        one.in_row[s] = sizeof(T);
                        one.in_col[s] = 0;
                    }
                    one.out = outs.data() + c * m * job.out_size;
                    one.out_row = py::ssize_t(job.out_size);
                    one.out_col = 0;
                    run_column<T>(one, 0);
                }
                with_size(job.out_size, [&](auto size) {
                    scatter_tile<decltype(size)::value>(outs.data(), m, width, job.out + py::ssize_t(c0) * job.out_col,
                                                        job.out_row, job.out_col);
                });
            }
        },
        1);
}

void run_job(const Job& job) {
    visit(job.type, [&](auto tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        py::gil_scoped_release release;
        if (job.N == 1) {  // a single series: no thread pool set-up
            run_column<T>(job, 0);
        } else {
            run_columns<T>(job);
        }
    });
}

// Two-series kernels compute in float64 whatever the inputs are, so both
// series share one element type.
void unify_pair(Input& a, Input& b) {
    for (Input* in : {&a, &b}) {
        if (elem_type(in->arr) != ElemType::f64)
            in->arr = in->arr.attr("astype")(np().attr("float64"));
    }
}

py::object finish(Kern k, const Input& in, py::object result) {
    if (in.half && (k == Kern::sum || k == Kern::product || k == Kern::ts_min || k == Kern::ts_max))
        return result.attr("astype")(np().attr("float16"));
    return result;
}

// ---------------------------------------------------------------------------
// 1-D entry points
// ---------------------------------------------------------------------------
py::object call_single(Kern k, py::handle x, py::handle window) {
    py::array arr = as_array(x, 1);
    std::size_t n = check_window(window, arr.shape(0));
    Input in = normalize(k, arr);
    const std::size_t L = std::size_t(in.arr.shape(0)), m = L - n + 1;
    ElemType t = elem_type(in.arr);
    py::array out(out_dtype(k, t, in.arr), std::vector<py::ssize_t>{py::ssize_t(m)});
    Job job{k, t, {static_cast<const char*>(in.arr.data()), nullptr}, {in.arr.strides(0), 0}, {0, 0},
            L, n, 1, static_cast<char*>(out.mutable_data()), out.strides(0), 0};
    run_job(job);
    return finish(k, in, out);
}

py::object call_pair(Kern k, py::handle window, py::handle a, py::handle b) {
    const Spec& s = spec_of(k);
    py::array aa = as_array(a, 1), bb = as_array(b, 1);
    if (aa.shape(0) != bb.shape(0))
        raise(PyExc_ValueError, format("{} and {} must have the same length, got {} and {}", s.p1, s.p2,
                                       aa.shape(0), bb.shape(0)));
    std::size_t n = check_window(window, aa.shape(0));
    Input ia = normalize(k, aa), ib = normalize(k, bb);
    unify_pair(ia, ib);
    const std::size_t L = std::size_t(ia.arr.shape(0)), m = L - n + 1;
    py::array out(py::dtype::of<double>(), std::vector<py::ssize_t>{py::ssize_t(m)});
    Job job{k, ElemType::f64,
            {static_cast<const char*>(ia.arr.data()), static_cast<const char*>(ib.arr.data())},
            {ia.arr.strides(0), ib.arr.strides(0)}, {0, 0}, L, n, 1,
            static_cast<char*>(out.mutable_data()), out.strides(0), 0};
    run_job(job);
    return out;
}

// ---------------------------------------------------------------------------
// column batch: every column of 2-D (dates x instruments) arrays at once
// ---------------------------------------------------------------------------
Kern resolve_kernel(py::handle kernel) {
    for (std::size_t i = 0; i < kNumKernels; ++i) {
        if (kernel.ptr() == g_kernel_objects[i]) return kSpecs[i].kern;
        if (py::isinstance<py::str>(kernel) && kernel.cast<std::string>() == kSpecs[i].name) return kSpecs[i].kern;
    }
    raise(PyExc_TypeError,
          format("kernel must be a rolling kernel of zarnik.rolling or its name, got {!r}", kernel));
}

// `last`: the position of the arrays' last row on a fixed scale (for example
// its index in the trading calendar); the block grid of the kernels is laid on
// that scale, so a date's value does not depend on where the arrays start or
// end. None: positions counted back from the last row.
std::int64_t parse_last(const py::kwargs& kw) {
    std::int64_t last = -1;
    for (auto item : kw) {
        std::string key = py::str(item.first);
        if (key != "last") raise(PyExc_TypeError, format("_apply_columns() got an unexpected keyword argument {!r}", key));
        py::handle v = item.second;
        if (v.is_none()) continue;
        if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr()))
            raise(PyExc_TypeError, format("last must be an integer or None, got {}", py::type::handle_of(v).attr("__name__")));
        py::object idx = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
        if (!idx) throw py::error_already_set();
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
        if (overflow || value < -(1LL << 62) || value > (1LL << 62))
            raise(PyExc_ValueError, format("last must lie within +-2**62, got {}", idx));
        last = value;
    }
    return last;
}

py::object apply_columns(py::handle kernel, py::handle window, py::args arrays, py::kwargs kw) {
    const std::int64_t last = parse_last(kw);
    Kern k = resolve_kernel(kernel);
    const Spec& s = spec_of(k);
    const std::size_t want = is_pair(k) ? 2 : 1;
    if (arrays.size() != want)
        raise(PyExc_TypeError, format("{} takes {} array(s), got {}", s.name, want, arrays.size()));
    std::vector<py::array> raw;
    for (py::handle h : arrays) raw.push_back(as_array(h, 2));
    if (want == 2 && (raw[0].shape(0) != raw[1].shape(0) || raw[0].shape(1) != raw[1].shape(1)))
        raise(PyExc_ValueError,
              format("{} and {} must have the same shape, got {} and {}", s.p1, s.p2,
                     raw[0].attr("shape"), raw[1].attr("shape")));
    std::size_t n = check_window(window, raw[0].shape(0));
    std::vector<Input> ins;
    for (auto& r : raw) ins.push_back(normalize(k, r));
    if (want == 2) unify_pair(ins[0], ins[1]);
    const std::size_t L = std::size_t(ins[0].arr.shape(0)), N = std::size_t(ins[0].arr.shape(1)),
                      m = L - n + 1;
    ElemType t = elem_type(ins[0].arr);
    py::array out(out_dtype(k, t, ins[0].arr), std::vector<py::ssize_t>{py::ssize_t(m), py::ssize_t(N)});
    Job job{k, t, {static_cast<const char*>(ins[0].arr.data()), nullptr},
            {ins[0].arr.strides(0), 0}, {ins[0].arr.strides(1), 0}, L, n, N,
            static_cast<char*>(out.mutable_data()), out.strides(0), out.strides(1)};
    job.out_size = std::size_t(out.itemsize());
    job.last = last;
    if (want == 2) {
        job.in[1] = static_cast<const char*>(ins[1].arr.data());
        job.in_row[1] = ins[1].arr.strides(0);
        job.in_col[1] = ins[1].arr.strides(1);
    }
    run_job(job);
    return finish(k, ins[0], out);
}

}  // namespace

namespace {

// The kernels are plain built-in functions (no bound self), so that they show
// as <built-in function ma> inside expression keys. Each parses its two or
// three arguments, positional or by keyword, and runs the shared entry point.
PyMethodDef g_kernel_defs[kNumKernels] = {};
std::string g_kernel_docs[kNumKernels];

template <std::size_t I>
PyObject* kernel_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    const Spec& s = kSpecs[I];
    char* names[] = {const_cast<char*>(s.p0), const_cast<char*>(s.p1), const_cast<char*>(s.p2), nullptr};
    PyObject *a0 = nullptr, *a1 = nullptr, *a2 = nullptr;
    static const std::string fmt = std::string(is_pair(s.kern) ? "OOO:" : "OO:") + s.name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt.c_str(), names, &a0, &a1, &a2)) return nullptr;
    try {
        py::object r = is_pair(s.kern) ? call_pair(s.kern, a0, a1, a2) : call_single(s.kern, a0, a1);
        return r.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

template <std::size_t... I>
std::array<PyCFunction, sizeof...(I)> entries(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kernel_entry<I>))...};
}

}  // namespace

void def_rolling_kernel(py::module_& m, const char* name) {
    static const auto table = entries(std::make_index_sequence<kNumKernels>{});
    for (std::size_t i = 0; i < kNumKernels; ++i) {
        const Spec& s = kSpecs[i];
        if (std::strcmp(s.name, name) != 0) continue;
        // The docstring holds only the text signature, so __doc__ is None and
        // inspect.signature reports the parameter names.
        g_kernel_docs[i] = is_pair(s.kern) ? format("{}({}, {}, {})\n--\n\n", s.name, s.p0, s.p1, s.p2)
                                           : format("{}({}, {})\n--\n\n", s.name, s.p0, s.p1);
        g_kernel_defs[i] = PyMethodDef{s.name, table[i], METH_VARARGS | METH_KEYWORDS, g_kernel_docs[i].c_str()};
        py::object modname = m.attr("__name__");
        PyObject* fn = PyCFunction_NewEx(&g_kernel_defs[i], nullptr, modname.ptr());
        if (!fn) throw py::error_already_set();
        m.attr(s.name) = py::reinterpret_steal<py::object>(fn);
        g_kernel_objects[i] = fn;  // the module keeps it alive
        return;
    }
    throw std::logic_error(std::string("unknown rolling kernel ") + name);
}

void def_apply_columns(py::module_& m) {
    m.def("_apply_columns", &apply_columns, py::arg("kernel"), py::arg("window"),
          "_apply_columns(kernel, window, *arrays, last=None)\n--\n\n"
          "Runs a rolling kernel over every column of 2-D (dates x instruments) arrays.\n\n"
          "last: the position of the arrays' last row on a fixed scale (e.g. its index in the\n"
          "trading calendar); values then depend only on each window and its position, not on\n"
          "how many rows precede or follow it. None: positions counted from the last row.");
}

}  // namespace zarnik_py
