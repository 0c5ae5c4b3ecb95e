// Market data: the one place where the extension modules call the
// market-data client package `ostrel`.
//
// * Every function looks `ostrel` up when it is called (the module object in
//   sys.modules) and calls the attribute it finds there, so replacing
//   `ostrel.get_price`, `ostrel.get_style_factor_exposure`, `ostrel.client`, ...
//   substitutes the data for every step at once, without reloading anything.
// * Arguments are passed on as the steps hold them (time stamps of the factor
//   index, dates, user values); errors raised by the client reach the caller
//   unchanged. Only the shape of a reply the steps depend on is checked here.
// * Nothing is cached here. The two industry tables are cached by the client's
//   own `ttl_cache(10800)` around the loaders registered in assayer/pipeline.cpp.
// * Replies that need reshaping (pivots, forward fills, version filters) are
//   handed to the pure-pandas module zarnik.analysis.market_tables, which
//   never calls the client itself.
// * A new market-data field is one more function in this file; a step calls
//   that function and never the client directly.
#pragma once

#include <pybind11/pybind11.h>

#include "common/modules.hpp"
#include "common/pyclass.hpp"

namespace zarnik_py::market {

namespace py = pybind11;

// The client package itself (the modules' `ostrel` attribute points to it).
inline py::module_ client() { return py::module_::import("ostrel"); }

// ostrel.decorators.ttl_cache: the decorator factory, called as ttl_cache(seconds).
inline py::object ttl_cache() { return py::module_::import("ostrel.decorators").attr("ttl_cache"); }

// The raw industry records of one query of the client's connection:
// ostrel.client.get_client().execute(query), `client` read as an attribute of
// the package first (so it can be substituted), else imported.
inline py::object industry_records(const char* query) {
    py::module_ ostrel = client();
    py::object client_mod = py::hasattr(ostrel, "client") ? py::object(ostrel.attr("client"))
                                                          : py::object(py::module_::import("ostrel.client"));
    return client_mod.attr("get_client")().attr("execute")(query);
}

// A reshaping function of zarnik.analysis.market_tables.
inline py::object tables(const char* name) { return package_module("analysis.market_tables").attr(name); }

// Every industry assignment of the CITICS 2019 or (`sws`) the Shenwan
// classification, the industry name in column `field`, sorted by instrument
// and start date.
inline py::object industry_history(bool sws, const py::object& field) {
    py::object records = industry_records(sws ? "__internal__shenwan_industry" : "__internal__zx2019_industry");
    return tables("industry_history")(records, sws, field);
}

// The industry code table of an industry history (change dates x instruments).
inline py::object industry_codes(const py::object& history, const py::object& field) {
    return tables("industry_codes")(history, field);
}

// The industry name of each (date, instrument) of an industry history.
inline py::object industry_on_dates(const py::object& history, const py::object& field,
                                    const py::object& order_book_ids, const py::object& dates) {
    return tables("industry_on_dates")(history, field, order_book_ids, dates);
}

// Post-adjusted daily close prices of `order_book_ids` from `start` to `end`
// (get_price(..., fields="close", adjust_type="post", expect_df=True)) as a
// dates x instruments table, both axes ascending; None when the client has none.
inline py::object close_table(const py::object& order_book_ids, const py::object& start, const py::object& end) {
    py::object prices = client().attr("get_price")(py::arg("order_book_ids") = order_book_ids,
                                                   py::arg("start_date") = start, py::arg("end_date") = end,
                                                   py::arg("fields") = "close", py::arg("adjust_type") = "post",
                                                   py::arg("expect_df") = true);
    return prices.is_none() ? prices : tables("close_table")(prices);
}

// The trading date `n` trading days after `date`, and the one before `date`.
inline py::object next_trading_date(const py::object& date, const py::object& n) {
    return client().attr("get_next_trading_date")(date, n);
}
inline py::object previous_trading_date(const py::object& date) {
    return client().attr("get_previous_trading_date")(date);
}

// The client's style exposure table, indexed by (order_book_id, date), one
// column per style factor: every factor (called with the three positional
// arguments), or the selection `factors` (called with keywords). Anything but
// a DataFrame raises TypeError.
inline py::object checked_exposure(py::object table) {
    if (!py::isinstance(table, py::module_::import("pandas").attr("DataFrame"))) {
        raise(PyExc_TypeError,
              format("get_style_factor_exposure: expected a DataFrame, got {}", py::type::of(table)));
    }
    return table;
}
inline py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end) {
    return checked_exposure(client().attr("get_style_factor_exposure")(order_book_ids, start, end));
}
inline py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end,
                                 const py::object& factors) {
    return checked_exposure(client().attr("get_style_factor_exposure")(
        py::arg("order_book_ids") = order_book_ids, py::arg("start_date") = start, py::arg("end_date") = end,
        py::arg("factors") = factors));
}

// The instrument record of `order_book_id` (None when unknown).
inline py::object instrument(const py::object& order_book_id) { return client().attr("instruments")(order_book_id); }

// Prices of one index from `start` to `end` at `frequency`: get_price(id,
// start_date=, end_date=, frequency=, fields=[field], expect_df=True).
inline py::object index_prices(const py::object& order_book_id, const py::object& start, const py::object& end,
                               const py::object& frequency, const char* field) {
    py::list fields(py::make_tuple(field));
    return client().attr("get_price")(order_book_id, py::arg("start_date") = start, py::arg("end_date") = end,
                                      py::arg("frequency") = frequency, py::arg("fields") = fields,
                                      py::arg("expect_df") = true);
}

// The daily change of the `field` prices of index_prices() carried onto `index`, named `name`.
inline py::object benchmark_returns(const py::object& prices, const char* field, const py::object& index,
                                    const py::object& name) {
    return tables("benchmark_returns")(prices, field, index, name);
}

}  // namespace zarnik_py::market
