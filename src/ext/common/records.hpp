// Statistics records of the ordering modules: frozen dataclasses whose class method
// `from_array` reads the library's information array.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>

#include "errors.hpp"

namespace ferrow {

namespace nb = nanobind;

struct RecordField {
    const char *name;
    bool is_float;  // annotated float and converted with float(); else int and int()
    int slot;       // index into the information array
};

struct RecordSpec {
    const char *name;           // class name
    const char *doc;            // class docstring
    const RecordField *fields;  // in declaration order
    size_t nfields;
    const char *array_annotation;  // annotation of from_array's parameter
    const char *array_param = "info";  // name of from_array's parameter
};

// Builds cls(**{field: int(info[slot]) or float(info[slot])}) for `record`.
inline nb::object record_from_array(const RecordSpec &record, nb::handle cls, nb::handle info) {
    // Indexing a SciPy sparse object runs SciPy's compiled code on its index arrays,
    // which trusts them; an information array is never sparse.
    static PyObject *issparse =
        nb::object(nb::module_::import_("scipy.sparse").attr("issparse")).release().ptr();
    PyObject *sparse = call_one(issparse, info.ptr());
    check_python(sparse != nullptr);
    int is_sparse = PyObject_IsTrue(sparse);
    Py_DECREF(sparse);
    if (is_sparse)
        raise(PyExc_TypeError, "%s.from_array expects the library's information array, not a sparse matrix",
              record.name);
    nb::dict kwargs;
    for (size_t k = 0; k < record.nfields; ++k) {
        const RecordField &f = record.fields[k];
        nb::object key = nb::int_(f.slot);
        nb::object item = nb::steal(PyObject_GetItem(info.ptr(), key.ptr()));
        check_python(item.is_valid());
        PyObject *v = f.is_float ? PyNumber_Float(item.ptr()) : PyNumber_Long(item.ptr());
        check_python(v != nullptr);
        kwargs[f.name] = nb::steal(v);
    }
    PyObject *result = PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr());
    check_python(result != nullptr);
    return nb::steal(result);
}

// Creates the frozen dataclass described by `record` in module `m` and binds it there.
inline nb::object add_record(nb::module_ &m, const RecordSpec &record) {
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::object module_name = m.attr("__name__");

    nb::list fields;
    for (size_t k = 0; k < record.nfields; ++k)
        fields.append(nb::make_tuple(record.fields[k].name,
                                     builtins.attr(record.fields[k].is_float ? "float" : "int")));

    const RecordSpec *sp = &record;
    std::string signature = std::string("def from_array(cls, ") + record.array_param + ": " +
                            record.array_annotation + ") -> " + record.name;
    std::string doc = std::string("Build a record from the library's information array `") +
                      record.array_param + "`.";
    nb::object from_array = nb::cpp_function(
        [sp](nb::handle cls, nb::handle info) { return record_from_array(*sp, cls, info); },
        nb::arg("cls"), nb::arg(record.array_param), nb::name("from_array"),
        nb::sig(signature.c_str()), doc.c_str());

    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = record.name;
    ns["__doc__"] = record.doc;
    ns["from_array"] = builtins.attr("classmethod")(from_array);

    nb::dict kw;
    kw["namespace"] = ns;
    kw["frozen"] = true;
    nb::object sys = nb::module_::import_("sys");
    if (nb::cast<int>(sys.attr("version_info").attr("minor")) >= 12)
        kw["module"] = module_name;
    nb::object cls = dataclasses.attr("make_dataclass")(record.name, fields, **kw);
    m.attr(record.name) = cls;
    return cls;
}

}  // namespace ferrow
