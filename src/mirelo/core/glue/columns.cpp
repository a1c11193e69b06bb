// map_columns: position columns related to price columns by stock name.
#include "glue/columns.h"
#include "glue/messages.h"
#include "pyutil/messages.h"

#include "pyutil/args.h"

#include <climits>
#include <string>
#include <string_view>
#include <unordered_map>

namespace mirelo::glue {
namespace {

constexpr const char kFile[] = "mirelo/core/glue/columns.cpp";

// The bytes of `name.encode("UTF-8")`.  An exact str is encoded directly (the
// same bytes, the same error for unencodable text); anything else goes
// through its own encode method, which must return bytes.
std::string encoded_name(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (utf8 == nullptr) py::throw_pending();
        return std::string(utf8, static_cast<size_t>(size));
    }
    py::Ref encoded = py::check(PyObject_CallMethod(name, "encode", "s", "UTF-8"));
    if (!PyBytes_Check(encoded.get())) {
        py::raise_format(PyExc_TypeError, msg::kExpectedBytes, Py_TYPE(encoded.get())->tp_name);
    }
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
}

int column_position(Py_ssize_t i) {
    if (i > INT_MAX) py::raise(PyExc_OverflowError, msg::kIntOverflow);
    return static_cast<int>(i);
}

// Calls `visit(position, name)` for every element: lists and tuples by index,
// anything else through the iterator protocol.
template <typename Visit>
void for_each_name(PyObject* columns, Visit&& visit) {
    if (PyList_Check(columns) || PyTuple_Check(columns)) {
        // A list may change while encode() runs user code: re-read its size.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(columns); ++i) {
            py::Ref name = py::Ref::borrow(PySequence_Fast_GET_ITEM(columns, i));
            visit(i, name.get());
        }
        return;
    }
    py::Ref it = py::check(PyObject_GetIter(columns));
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::Ref::steal(PyIter_Next(it.get()));
        if (!name) {
            py::check_no_error();
            return;
        }
        visit(i, name.get());
    }
}

// The same over the elements of an object array, read in place (each held
// while it is visited: encode() may run user code that replaces it).
template <typename Visit>
void for_each_name(const Names& names, Visit&& visit) {
    for (Py_ssize_t i = 0; i < names.extent(0); ++i) {
        py::Ref name = py::Ref::borrow(names(i));
        visit(i, name.get());
    }
}

// The number of names, when known before the walk (0 otherwise).
Py_ssize_t names_hint(PyObject* columns) {
    return PyList_Check(columns) || PyTuple_Check(columns) ? PySequence_Fast_GET_SIZE(columns) : 0;
}
Py_ssize_t names_hint(const Names& names) { return names.extent(0); }

// Runs `body` under the traceback entry of map_columns; a failure is rethrown
// at the caller's line.
template <typename F>
auto as_map_columns(F&& body, std::source_location caller) {
    static const py::TraceSite site{"mirelo.core.tradesim.map_columns", kFile};
    return py::traced(site, body, caller);
}

template <typename Columns>
void add_names(NameIndex& index, const Columns& price_columns) {
    index.reserve(static_cast<std::size_t>(names_hint(price_columns)));
    for_each_name(price_columns, [&](Py_ssize_t i, PyObject* name) { index[encoded_name(name)] = column_position(i); });
}

// Calls `found(position, price column)` for every position column whose
// name is a price column's.
template <typename Columns, typename Found>
void add_mapping(const NameIndex& price_names, const Columns& pos_columns, Found&& found) {
    for_each_name(pos_columns, [&](Py_ssize_t i, PyObject* name) {
        auto match = price_names.find(encoded_name(name));
        if (match != price_names.end()) found(column_position(i), match->second);
    });
}

template <typename Columns>
NameIndex index_names_of(const Columns& price_columns, std::source_location caller) {
    return as_map_columns([&] {
        NameIndex index;
        add_names(index, price_columns);
        return index;
    }, caller);
}

template <typename Columns>
std::vector<int> map_names_of(const NameIndex& price_names, const Columns& pos_columns, std::source_location caller) {
    return as_map_columns([&] {
        std::vector<int> columns;
        add_mapping(price_names, pos_columns, [&](int position, int column) {
            columns.resize(static_cast<std::size_t>(position), -1);  // the positions come in order
            columns.push_back(column);
        });
        return columns;
    }, caller);
}

}  // namespace

NameIndex index_names(PyObject* price_columns, std::source_location caller) {
    return index_names_of(price_columns, caller);
}
NameIndex index_names(const Names& price_columns, std::source_location caller) {
    return index_names_of(price_columns, caller);
}
std::vector<int> map_names(const NameIndex& price_names, PyObject* pos_columns, std::source_location caller) {
    return map_names_of(price_names, pos_columns, caller);
}
std::vector<int> map_names(const NameIndex& price_names, const Names& pos_columns, std::source_location caller) {
    return map_names_of(price_names, pos_columns, caller);
}

std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns, std::source_location caller) {
    return as_map_columns([&] {
        NameIndex index;
        add_names(index, price_columns);
        std::map<int, int> result;
        add_mapping(index, pos_columns, [&](int position, int column) { result[position] = column; });
        return result;
    }, caller);
}

std::vector<int> flat_columns(const std::map<int, int>& col_map) {
    std::vector<int> columns;
    if (!col_map.empty() && col_map.rbegin()->first >= 0) {
        columns.assign(static_cast<std::size_t>(col_map.rbegin()->first) + 1, -1);
    }
    for (const auto& [sid, col] : col_map) {
        if (sid >= 0) columns[static_cast<std::size_t>(sid)] = col;
    }
    return columns;
}

}  // namespace mirelo::glue
