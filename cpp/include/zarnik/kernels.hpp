// The catalogue of rolling kernels: one row per kernel with everything its
// callers need (argument order, inputs, result type, the operators built on
// it). The Python module, the column batch and the evaluation engine all read
// this table; nothing else lists the kernels.
#pragma once

#include <cstddef>
#include <cstring>

namespace zarnik::rolling {

enum class Kernel {
    count, ts_rank, product, covariance, regression, zscore, skew, kurt, avedev, ts_argmax, ts_argmin,
    correlation, ma, ema, wma, std_, var, slope, sum, ts_max, ts_min
};

// Element type of a kernel's result, given its input's:
//   int64    always int64 (count)
//   float64  always float64 (statistics, positions, ranks)
//   input    the input's own type (min / max)
//   total    float input keeps its type; signed and bool give int64, unsigned
//            uint64 (numpy's sum / prod)
enum class Result { int64, float64, input, total };

struct KernelInfo {
    Kernel id;
    const char* name;
    int inputs;              // series taken: 1, or 2 for the pair kernels
    const char* params[3];   // parameter names in call order; 1 input: (series, window), 2: (window, a, b)
    Result result;
    const char* op;          // the upper-case operator building a node on the kernel
    const char* op_window;   // the operator's window parameter name
    bool swap;               // pair operator hands its two factors to the node reversed
    const char* aliases[2];  // other names of the operator
    const char* derived;     // an operator built from this one (not a node of its own), or nullptr
    const char* title;       // the operator's one-line Chinese description
    const char* op_factors[2] = {};  // pair operators: names of the two factor parameters (single: "factor")
};

inline constexpr KernelInfo kKernels[] = {
    {Kernel::count, "count", 1, {"x", "window"}, Result::int64, "COUNT", "window", false, {}, "EVERY",
     "滚动计算窗口内真值（非零值）的个数"},
    {Kernel::ts_rank, "ts_rank", 1, {"x", "window"}, Result::float64, "TS_RANK", "window", false, {}, nullptr,
     "时间序列上的滚动排名"},
    {Kernel::product, "product", 1, {"s", "window"}, Result::total, "PRODUCT", "window", false, {}, nullptr,
     "滚动乘积"},
    {Kernel::covariance, "covariance", 2, {"window", "a", "b"}, Result::float64, "COVARIANCE", "window", false,
     {"COV"}, nullptr, "滚动协方差", {"a", "b"}},
    {Kernel::regression, "regression", 2, {"window", "x", "y"}, Result::float64, "TS_REGRESSION", "window", true,
     {}, nullptr, "Y 对 X 的滚动回归（最小二乘斜率）", {"Y", "X"}},
    {Kernel::zscore, "zscore", 1, {"s", "window"}, Result::float64, "TS_ZSCORE", "window", false, {}, nullptr,
     "滚动 z 分数"},
    {Kernel::skew, "skew", 1, {"s", "n"}, Result::float64, "TS_SKEW", "window", false, {}, nullptr, "滚动偏度"},
    {Kernel::kurt, "kurt", 1, {"s", "n"}, Result::float64, "TS_KURT", "window", false, {}, nullptr, "滚动峰度"},
    {Kernel::avedev, "avedev", 1, {"s", "window"}, Result::float64, "AVEDEV", "window", false, {}, nullptr,
     "滚动平均绝对偏差"},
    {Kernel::ts_argmax, "ts_argmax", 1, {"x", "n"}, Result::float64, "TS_ARGMAX", "n", false, {}, nullptr,
     "滚动窗口内最大值的位置"},
    {Kernel::ts_argmin, "ts_argmin", 1, {"x", "n"}, Result::float64, "TS_ARGMIN", "n", false, {}, nullptr,
     "滚动窗口内最小值的位置"},
    {Kernel::correlation, "correlation", 2, {"window", "a", "b"}, Result::float64, "CORRELATION", "window", false,
     {"CORR"}, nullptr, "滚动皮尔逊相关系数", {"a", "b"}},
    {Kernel::ma, "ma", 1, {"x", "n"}, Result::float64, "MA", "window", false, {"SMA"}, nullptr, "简单移动平均"},
    {Kernel::ema, "ema", 1, {"x", "n"}, Result::float64, "EMA", "window", false, {}, nullptr,
     "指数移动平均（平滑系数为 2）"},
    {Kernel::wma, "wma", 1, {"x", "n"}, Result::float64, "WMA", "window", false, {"DECAY_LINEAR"}, nullptr,
     "加权移动平均"},
    {Kernel::std_, "std", 1, {"x", "n"}, Result::float64, "STD", "window", false, {"STDDEV"}, nullptr, "移动标准差"},
    {Kernel::var, "var", 1, {"x", "n"}, Result::float64, "VAR", "window", false, {}, nullptr, "移动方差"},
    {Kernel::slope, "slope", 1, {"y", "n"}, Result::float64, "SLOPE", "window", false, {}, nullptr,
     "线性拟合的滚动斜率"},
    {Kernel::sum, "sum", 1, {"x", "n"}, Result::total, "SUM", "window", false, {}, nullptr, "滚动求和"},
    {Kernel::ts_max, "ts_max", 1, {"x", "n"}, Result::input, "TS_MAX", "window", false, {"HHV"}, nullptr,
     "滚动最大值"},
    {Kernel::ts_min, "ts_min", 1, {"x", "n"}, Result::input, "TS_MIN", "window", false, {"LLV"}, nullptr,
     "滚动最小值"},
};
inline constexpr std::size_t kNumKernels = sizeof(kKernels) / sizeof(kKernels[0]);

inline const KernelInfo& info(Kernel k) {
    for (const KernelInfo& s : kKernels)
        if (s.id == k) return s;
    return kKernels[0];  // unreachable: every Kernel has a row
}

// The row named `name`, or nullptr.
inline const KernelInfo* find(const char* name) {
    for (const KernelInfo& s : kKernels)
        if (std::strcmp(s.name, name) == 0) return &s;
    return nullptr;
}

}  // namespace zarnik::rolling
