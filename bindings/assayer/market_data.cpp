// The analysis module's calls into the market-data client (see market_data.hpp).
#include "assayer/market_data.hpp"

#include "common/pyclass.hpp"

namespace zarnik_py::market {

py::module_ client() { return py::module_::import("ostrel"); }

py::object ttl_cache() { return py::module_::import("ostrel.decorators").attr("ttl_cache"); }

py::object industry_records(const char* query) {
    py::module_ ostrel = client();
    py::object client_mod = py::hasattr(ostrel, "client") ? py::object(ostrel.attr("client"))
                                                          : py::object(py::module_::import("ostrel.client"));
    return client_mod.attr("get_client")().attr("execute")(query);
}

py::object close_prices(const py::object& order_book_ids, const py::object& start, const py::object& end) {
    return client().attr("get_price")(py::arg("order_book_ids") = order_book_ids, py::arg("start_date") = start,
                                      py::arg("end_date") = end, py::arg("fields") = "close",
                                      py::arg("adjust_type") = "post", py::arg("expect_df") = true);
}

py::object next_trading_date(const py::object& date, const py::object& n) {
    return client().attr("get_next_trading_date")(date, n);
}

py::object previous_trading_date(const py::object& date) {
    return client().attr("get_previous_trading_date")(date);
}

namespace {
py::object checked_exposure(py::object table) {
    if (!py::isinstance(table, py::module_::import("pandas").attr("DataFrame"))) {
        raise(PyExc_TypeError,
              format("get_style_factor_exposure: expected a DataFrame, got {}", py::type::of(table)));
    }
    return table;
}
}  // namespace

py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end) {
    return checked_exposure(client().attr("get_style_factor_exposure")(order_book_ids, start, end));
}

py::object style_exposure(const py::object& order_book_ids, const py::object& start, const py::object& end,
                          const py::object& factors) {
    return checked_exposure(client().attr("get_style_factor_exposure")(
        py::arg("order_book_ids") = order_book_ids, py::arg("start_date") = start, py::arg("end_date") = end,
        py::arg("factors") = factors));
}

py::object instrument(const py::object& order_book_id) { return client().attr("instruments")(order_book_id); }

py::object index_prices(const py::object& order_book_id, const py::object& start, const py::object& end,
                        const py::object& frequency, const char* field) {
    py::list fields;
    fields.append(py::str(field));
    return client().attr("get_price")(order_book_id, py::arg("start_date") = start, py::arg("end_date") = end,
                                      py::arg("frequency") = frequency, py::arg("fields") = fields,
                                      py::arg("expect_df") = true);
}

}  // namespace zarnik_py::market
