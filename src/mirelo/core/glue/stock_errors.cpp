// The failure of a price the engine refuses to trade at.
#include "glue/stock_errors.h"

#include "glue/messages.h"

#include <cstdlib>

namespace mirelo::glue {
namespace {

constexpr const char kFile[] = "mirelo/core/glue/stock_errors.cpp";

}  // namespace

[[noreturn]] void raise_invalid_trade_price(double price, PyObject* stock, int row,
                                            std::source_location caller) {
    static const py::TraceSite site{"mirelo.core.tradesim.validate_trade_price", kFile};
    py::traced(site, [&] {
        py::Ref empty = py::check(PyUnicode_FromString(""));
        py::Ref name = py::check(PyObject_Format(stock != nullptr ? stock : Py_None, empty.get()));
        char* text = PyOS_double_to_string(price, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) py::throw_pending();
        PyErr_Format(PyExc_ValueError, msg::kInvalidTradePrice, name.get(), row, text);
        PyMem_Free(text);
        py::throw_pending();
    }, caller);
    std::abort();  // traced rethrows: the body always raises
}

}  // namespace mirelo::glue
