// Market data of the analysis module: the one place where its steps call the
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
//   own `ttl_cache(10800)` around the loaders registered in pipeline.cpp.
// * A new market-data field is one more function in this file; the step calls
//   that function and never the client directly.
#pragma once

#include <pybind11/pybind11.h>

namespace zarnik_py::market {

namespace py = pybind11;

// The client package itself (zarnik.analysis.assayer.ostrel points to it).
py::module_ client();

// ostrel.decorators.ttl_cache: the decorator factory, called as ttl_cache(seconds).
py::object ttl_cache();

// The raw industry records of one query of the client's connection:
// ostrel.client.get_client().execute(query), `client` read as an attribute of
// the package first (so it can be substituted), else imported.
py::object industry_records(const char* query);

// Post-adjusted daily close prices of `order_book_ids` from `start` to `end`
// (get_price(..., fields="close", adjust_type="post", expect_df=True)); None
// when the client has none.
py::object close_prices(const py::object& order_book_ids, const py::object& start, const py::object& end);

// The trading date `n` trading days after `date`, and the one before `date`.
py::object next_trading_date(const py::object& date, const py::object& n);
py::object previous_trading_date(const py::object& date);

// The client's style exposure table, indexed by (order_book_id, date), one
// column per style factor: every factor (called with the three positional
// arguments), or the selection `factors` (called with keywords). Anything but
// a DataFrame raises TypeError.
py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end);
py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end,
                          const py::object& factors);

// The instrument record of `order_book_id` (None when unknown).
py::object instrument(const py::object& order_book_id);

// Prices of one index from `start` to `end` at `frequency`: get_price(id,
// start_date=, end_date=, frequency=, fields=[field], expect_df=True).
py::object index_prices(const py::object& order_book_id, const py::object& start, const py::object& end,
                        const py::object& frequency, const char* field);

}  // namespace zarnik_py::market
