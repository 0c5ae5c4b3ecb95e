// The row streams of zarnik/columns.hpp against the 1-D kernel, column by
// column: every result bit for bit and the same floating-point conditions.
// tests/test_row_streams_portable.py builds it with __SSE2__ undefined, which
// selects the portable scalar stream that no x86-64 build of the extension
// runs (the vector streams are tested through the extension). Built as is, it
// checks the vector streams the same way. Prints the number of mismatches and
// exits non-zero when there is one.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "zarnik/columns.hpp"

using zarnik::columns::ElemType;
using zarnik::columns::Job;
using zarnik::rolling::Kernel;

namespace {

// Runs kernel k over N columns (one when N == 1) of x (and y for the pairs),
// column-major when `by_columns`, else row-major; returns the conditions.
unsigned run(Kernel k, const double* x, const double* y, std::size_t L, std::size_t N, std::size_t n, double* out,
             bool by_columns) {
    Job j{};
    j.kern = k;
    j.type = ElemType::f64;
    j.in[0] = reinterpret_cast<const char*>(x);
    j.in[1] = reinterpret_cast<const char*>(y);
    j.L = L;
    j.n = n;
    j.N = N;
    j.out = reinterpret_cast<char*>(out);
    const std::size_t m = L - n + 1;
    const std::ptrdiff_t d = 8;
    for (int s = 0; s < 2; ++s) {
        j.in_row[s] = by_columns ? d : d * std::ptrdiff_t(N);
        j.in_col[s] = by_columns ? d * std::ptrdiff_t(L) : d;
    }
    j.out_row = by_columns ? d : d * std::ptrdiff_t(N);
    j.out_col = by_columns ? d * std::ptrdiff_t(m) : d;
    j.last = 777;
    return zarnik::columns::run(j);
}

}  // namespace

int main() {
    std::mt19937_64 g(20261211);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    const Kernel kernels[] = {Kernel::sum, Kernel::ma, Kernel::var, Kernel::std_, Kernel::zscore,
                              Kernel::skew, Kernel::kurt, Kernel::wma, Kernel::covariance, Kernel::correlation};
    long mismatches = 0, cases = 0;
    for (Kernel k : kernels) {
        const bool pair = k == Kernel::covariance || k == Kernel::correlation;
        for (int trial = 0; trial < 60; ++trial) {
            const std::size_t L = 1 + g() % (trial % 4 == 3 ? 400 : 90), N = 8 + g() % 40, n = 1 + g() % L;
            const bool F = trial % 2 != 0;
            std::vector<double> x(L * N), y(L * N);
            auto at = [&](std::vector<double>& v, std::size_t r, std::size_t c) -> double& {
                return F ? v[c * L + r] : v[r * N + c];
            };
            for (std::size_t i = 0; i < L * N; ++i) {
                x[i] = 100 + normal(g);
                y[i] = unit(g) < 0.03 ? NAN : normal(g);
                if (unit(g) < 0.03) x[i] = NAN;
            }
            // the slow paths: ill-conditioned, large enough to overflow, constant, infinite
            for (std::size_t r = 0; r < L; ++r) {
                at(x, r, 1) = 1e12 + normal(g) * 1e-3;
                if (trial % 3 == 0) at(x, r, 2) *= 1e80;
                if (r < L / 2) at(x, r, 3) = 7.0;
                if (trial % 5 == 0 && unit(g) < 0.05) at(x, r, 4) = INFINITY;
            }
            const std::size_t m = L - n + 1;
            std::vector<double> out(m * N), one(m), cx(L), cy(L);
            const unsigned batch = run(k, x.data(), pair ? y.data() : nullptr, L, N, n, out.data(), F);
            unsigned single = 0;
            for (std::size_t c = 0; c < N; ++c) {
                for (std::size_t r = 0; r < L; ++r) {
                    cx[r] = at(x, r, c);
                    cy[r] = at(y, r, c);
                }
                single |= run(k, cx.data(), pair ? cy.data() : nullptr, L, 1, n, one.data(), true);
                for (std::size_t r = 0; r < m; ++r) {
                    const double b = F ? out[c * m + r] : out[r * N + c];
                    if (std::memcmp(&b, &one[r], sizeof b) != 0) {
                        if (++mismatches <= 5)
                            std::printf("kernel %d L %zu N %zu n %zu %s column %zu row %zu: %.17g, alone %.17g\n",
                                        int(k), L, N, n, F ? "F" : "C", c, r, b, one[r]);
                    }
                }
            }
            if (batch != single && ++mismatches <= 5)
                std::printf("kernel %d L %zu n %zu: conditions %u, alone %u\n", int(k), L, n, batch, single);
            ++cases;
        }
    }
    std::printf("%ld panels, %ld mismatches\n", cases, mismatches);
    return mismatches != 0;
}
