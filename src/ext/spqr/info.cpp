// SPQRInfo: the statistics SuiteSparseQR leaves in a CHOLMOD common block, as an
// immutable compiled record that presents itself to Python as a frozen dataclass.
#include <algorithm>
#include <array>
#include <new>

#include "spqr/factor.hpp"

namespace ferrow::spqr {

namespace {

enum class Kind { integer, text, real };

struct FieldSpec {
    const char *name;
    Kind kind;
};

constexpr size_t NFIELDS = 16;

// In declaration order.
const FieldSpec field_specs[NFIELDS] = {
    {"nnzR_upper_bound", Kind::integer}, {"nnzH_upper_bound", Kind::integer},
    {"nf", Kind::integer},               {"rank_A_estimate", Kind::integer},
    {"n1cols", Kind::integer},           {"n1rows", Kind::integer},
    {"ordering", Kind::text},            {"memory", Kind::integer},
    {"flops_upper_bound", Kind::integer}, {"tol", Kind::real},
    {"norm_E_fro", Kind::real},          {"analyze_time", Kind::real},
    {"factorize_time", Kind::real},      {"solve_time", Kind::real},
    {"total_time", Kind::real},          {"flops", Kind::integer},
};

enum Field : size_t {
    nnzR_upper_bound, nnzH_upper_bound, nf, rank_A_estimate, n1cols, n1rows, ordering, memory,
    flops_upper_bound, tol, norm_E_fro, analyze_time, factorize_time, solve_time, total_time,
    flops,
};

// Layout checksum written into pickles, and the ones accepted when reading them.
constexpr long long pickle_checksum = 0x4fe1628;
constexpr long long accepted_checksums[] = {0x4fe1628, 0x7e9e7b5, 0xd5b19e3};

// Field indices in alphabetical (code-point) order of the names: the pickled state.
std::array<size_t, NFIELDS> state_order() {
    std::array<size_t, NFIELDS> order;
    for (size_t k = 0; k < NFIELDS; ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [](size_t a, size_t b) {
        return std::strcmp(field_specs[a].name, field_specs[b].name) < 0;
    });
    return order;
}
const std::array<size_t, NFIELDS> alphabetical = state_order();

struct Info {
    nb::object f[NFIELDS];
    Info() {
        for (nb::object &x : f) x = nb::none();
    }
};

const char *annotation(Kind k) {
    switch (k) {
        case Kind::integer: return "int | None";
        case Kind::text: return "str | None";
        default: return "float | None";
    }
}

// The coercion rule of a field; None always passes unchanged.
nb::object coerce(Kind kind, nb::handle v) {
    if (v.is_none())
        return nb::none();
    PyObject *p = v.ptr();
    switch (kind) {
        case Kind::integer:
            if (PyLong_CheckExact(p))
                return nb::borrow(v);
            if (PyNumber_Check(p)) {
                PyObject *r = PyNumber_Long(p);
                check_python(r != nullptr);
                return nb::steal(r);
            }
            raise_expected("int", v);
        case Kind::text:
            if (PyUnicode_CheckExact(p))
                return nb::borrow(v);
            raise_expected("str", v);
        case Kind::real:
            if (PyFloat_CheckExact(p))
                return nb::borrow(v);
            if (PyLong_CheckExact(p)) {
                double d = PyLong_AsDouble(p);  // OverflowError for an int beyond a double
                if (d == -1.0 && PyErr_Occurred())
                    throw nb::python_error();
                return nb::steal(PyFloat_FromDouble(d));
            }
            if (PyNumber_Check(p)) {
                PyObject *r = PyNumber_Float(p);
                check_python(r != nullptr);
                return nb::steal(r);
            }
            raise_expected("float", v);
    }
    return nb::none();
}

// The record of `self`. An instance made without its constructor (SPQRInfo.__new__, or a
// subclass whose __init__ does not call it) is a record whose fields are all None.
Info &info_of(nb::handle self) {
    if (!nb::isinstance<Info>(self))
        raise(PyExc_TypeError, "expected an SPQRInfo, got %.200s", type_name(self.ptr()).c_str());
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<Info>(self)) Info();
        nb::inst_mark_ready(self);
    }
    return *nb::inst_ptr<Info>(self);
}

nb::tuple field_tuple(const Info &s, const size_t *order) {
    PyObject *t = PyTuple_New(NFIELDS);
    check_python(t != nullptr);
    nb::tuple result = nb::steal<nb::tuple>(t);
    for (size_t k = 0; k < NFIELDS; ++k) {
        size_t j = order ? order[k] : k;
        tuple_set(t, k, nb::object(s.f[j]).release().ptr());
    }
    return result;
}

nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

// a == b: NotImplemented for another class (a subclass included), else the fields
// compared in declaration order with `!=`.
nb::object info_eq(nb::handle a, nb::handle b) {
    if ((PyObject *)Py_TYPE(b.ptr()) != (PyObject *)Py_TYPE(a.ptr()))
        return not_implemented();
    Info &x = info_of(a), &y = info_of(b);
    for (size_t k = 0; k < NFIELDS; ++k) {
        PyObject *r = PyObject_RichCompare(x.f[k].ptr(), y.f[k].ptr(), Py_NE);
        check_python(r != nullptr);
        bool differ = truth(nb::steal(r));
        if (differ)
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object info_ne(nb::handle a, nb::handle b) {
    nb::object eq = info_eq(a, b);
    if (eq.ptr() == Py_NotImplemented)
        return eq;
    return nb::bool_(!truth(eq));
}

nb::str info_repr(nb::handle self) {
    Info &s = info_of(self);
    nb::handle cls = (PyObject *)Py_TYPE(self.ptr());
    nb::object name;
    if (nb::hasattr(cls, "__qualname__") && truth(cls.attr("__qualname__")))
        name = cls.attr("__qualname__");
    else
        name = cls.attr("__name__");
    std::string text = nb::cast<std::string>(nb::str(name));
    for (size_t k = 0; k < NFIELDS; ++k) {
        text += k == 0 ? "(" : ", ";
        text += field_specs[k].name;
        text += "=";
        text += nb::cast<std::string>(nb::repr(s.f[k]));
    }
    text += ")";
    return nb::str(text.c_str(), text.size());
}

// Applies a pickled state (the sixteen values in alphabetical order of the names), each
// through its coercion rule; nothing changes unless every value passes.
void info_setstate(nb::handle self, nb::handle state) {
    Info &s = info_of(self);
    if (!PyTuple_Check(state.ptr()))
        raise_expected("tuple", state);
    Py_ssize_t n = tuple_size(state.ptr());
    if (n != (Py_ssize_t)NFIELDS)
        raise(PyExc_ValueError, "SPQRInfo state must hold %zu values, got %zd", NFIELDS, n);
    nb::object values[NFIELDS];
    for (size_t k = 0; k < NFIELDS; ++k) {
        size_t j = alphabetical[k];
        values[j] = coerce(field_specs[j].kind, tuple_item(state.ptr(), k));
    }
    for (size_t j = 0; j < NFIELDS; ++j)
        s.f[j] = std::move(values[j]);
}

Held restore_function;  // module-level reconstruction function named by pickles

nb::object info_reduce(nb::handle self) {
    Info &s = info_of(self);
    nb::tuple state = field_tuple(s, alphabetical.data());
    bool all_none = true;
    for (size_t k = 0; k < NFIELDS; ++k)
        all_none = all_none && s.f[k].is_none();
    nb::handle cls = (PyObject *)Py_TYPE(self.ptr());
    if (all_none)
        return nb::make_tuple(restore_function.get(), nb::make_tuple(cls, pickle_checksum, state));
    return nb::make_tuple(restore_function.get(), nb::make_tuple(cls, pickle_checksum, nb::none()),
                          state);
}

// A new instance of `cls` (SPQRInfo or a subclass) without running its constructor.
nb::object new_info(nb::handle cls) {
    if (!PyType_Check(cls.ptr()) ||
        !PyType_IsSubtype((PyTypeObject *)cls.ptr(), (PyTypeObject *)obj.SPQRInfo.ptr()))
        raise(PyExc_TypeError, "%.200s is not a subtype of SPQRInfo",
              nb::repr(cls).c_str());
    nb::object o = nb::inst_alloc(cls);
    new (nb::inst_ptr<Info>(o)) Info();
    nb::inst_mark_ready(o);
    return o;
}

nb::object info_restore(nb::handle cls, nb::handle checksum_obj, nb::handle state) {
    PyObject *num = PyNumber_Index(checksum_obj.ptr());
    check_python(num != nullptr);
    nb::object checksum = nb::steal(num);
    bool known = false;
    for (long long c : accepted_checksums)
        known = known || checksum.equal(nb::int_(c));
    if (!known) {
        std::string names;
        for (size_t k = 0; k < NFIELDS; ++k) {
            if (k) names += ", ";
            names += field_specs[alphabetical[k]].name;
        }
        std::string text = "Incompatible checksums (0x" +
                           nb::cast<std::string>(nb::str("{:x}").attr("format")(checksum)) +
                           " vs (0x4fe1628, 0x7e9e7b5, 0xd5b19e3) = (" + names + "))";
        nb::object pickle_error = nb::module_::import_("pickle").attr("PickleError");
        raise_object(pickle_error, text);
    }
    nb::object o = new_info(cls);
    if (!state.is_none())
        info_setstate(o, state);
    return o;
}

PyObject *restore_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError,
                     "_unpickle_SPQRInfo() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    try {
        return info_restore(args[0], args[1], args[2]).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef restore_def = {
    "_unpickle_SPQRInfo", (PyCFunction)(void (*)(void))restore_entry, METH_FASTCALL,
    "_unpickle_SPQRInfo(cls, checksum, state)\n--\n\n"
    "Rebuild a pickled SPQRInfo: (class, layout checksum, state or None)."};

// Fills the sixteen fields from a common block; nothing changes unless every value converts.
void fill_from_common(Info &s, const cholmod_common *cm) {
    if (cm == nullptr) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    auto integer = [](int64_t v) { return nb::steal(PyLong_FromLongLong((long long)v)); };
    auto truncated = [](double d) {
        PyObject *r = PyLong_FromDouble(d);  // truncates toward zero; NaN and inf raise
        check_python(r != nullptr);
        return nb::steal(r);
    };
    nb::object v[NFIELDS];
    v[nnzR_upper_bound] = integer(cm->SPQR_istat[0]);
    v[nnzH_upper_bound] = integer(cm->SPQR_istat[1]);
    v[nf] = integer(cm->SPQR_istat[2]);
    v[rank_A_estimate] = integer(cm->SPQR_istat[4]);
    v[n1cols] = integer(cm->SPQR_istat[5]);
    v[n1rows] = integer(cm->SPQR_istat[6]);
    int code = (int32_t)cm->SPQR_istat[7];
    std::string unknown = "unknown " + std::to_string(code);
    const char *name = ordering_name(code);
    v[ordering] = nb::str(name ? name : unknown.c_str());
    v[memory] = nb::steal(PyLong_FromSize_t(cm->memory_usage));
    v[flops_upper_bound] = truncated(cm->SPQR_flopcount_bound);
    v[tol] = nb::float_(cm->SPQR_tol_used);
    v[norm_E_fro] = nb::float_(cm->SPQR_norm_E_fro);
    v[analyze_time] = nb::float_(cm->SPQR_analyze_time);
    v[factorize_time] = nb::float_(cm->SPQR_factorize_time);
    v[solve_time] = nb::float_(cm->SPQR_solve_time);
    v[total_time] = nb::float_((cm->SPQR_analyze_time + cm->SPQR_factorize_time) +
                               cm->SPQR_solve_time);
    v[flops] = truncated(cm->SPQR_flopcount);
    for (size_t k = 0; k < NFIELDS; ++k)
        s.f[k] = std::move(v[k]);
}

// Testing aid: the record that a common block holding these statistics gives.
nb::object info_from_values(nb::dict values) {
    CholmodCommon common(false);
    require_started(common);
    cholmod_common &cc = *common.get();
    for (auto [key, value] : values) {
        std::string k = nb::cast<std::string>(nb::str(key));
        if (k == "SPQR_istat") {
            nb::sequence seq = nb::borrow<nb::sequence>(value);
            size_t n = nb::len(seq);
            size_t slots = sizeof cc.SPQR_istat / sizeof cc.SPQR_istat[0];
            if (n > slots)
                raise(PyExc_ValueError, "SPQR_istat has %zu slots, got %zu values", slots, n);
            for (size_t j = 0; j < n; ++j)
                cc.SPQR_istat[j] = to_index(seq[j], "SPQR_istat");
        } else if (k == "memory_usage") {
            cc.memory_usage = (size_t)to_index(value, "memory_usage");
        } else {
            double d = to_double(value);
            if (k == "SPQR_flopcount") cc.SPQR_flopcount = d;
            else if (k == "SPQR_flopcount_bound") cc.SPQR_flopcount_bound = d;
            else if (k == "SPQR_tol_used") cc.SPQR_tol_used = d;
            else if (k == "SPQR_norm_E_fro") cc.SPQR_norm_E_fro = d;
            else if (k == "SPQR_analyze_time") cc.SPQR_analyze_time = d;
            else if (k == "SPQR_factorize_time") cc.SPQR_factorize_time = d;
            else if (k == "SPQR_solve_time") cc.SPQR_solve_time = d;
            else raise(PyExc_KeyError, "%s is not a statistic of the common block", k.c_str());
        }
    }
    return info_from_common(&cc);
}

const char *info_doc = R"(A dataclass to hold SPQR info statistics.

The statistics that SuiteSparseQR leaves in a factor's CHOLMOD common block after
its last call (symbolic analysis, numeric factorisation, solve or multiplication
by Q). Read ``SPQRFactor.info`` to get a new record; it does not follow later
changes of the factor. Every field may also be None (the default of each).

Attributes
----------
nnzR_upper_bound : int
    Upper bound on the number of nonzeros of R.
nnzH_upper_bound : int
    Upper bound on the number of nonzeros of the Householder vectors H.
nf : int
    Number of frontal matrices.
rank_A_estimate : int
    Estimated rank of A.
n1cols : int
    Number of singleton columns.
n1rows : int
    Number of singleton rows.
ordering : str
    Name of the ordering method used (the one SuiteSparseQR actually chose, so a
    factor built with "default" may report another name).
memory : int
    Memory usage in bytes (the peak of the common block).
flops_upper_bound : int
    Upper bound on the flop count (excluding the backsolve).
tol : float
    Column-norm tolerance used.
norm_E_fro : float
    Norm of the dropped diagonal of R.
analyze_time : float
    Seconds spent in the symbolic analysis.
factorize_time : float
    Seconds spent in the numeric factorisation.
solve_time : float
    Seconds spent in the backsolve.
total_time : float
    Total seconds: ``analyze_time + factorize_time + solve_time``.
flops : int
    Flops actually performed (factorisation and solve).
)";

}  // namespace

nb::object info_from_common(const cholmod_common *cm) {
    nb::object info = obj.SPQRInfo();
    fill_from_common(info_of(info), cm);
    return info;
}

void register_info(nb::module_ &m) {
    nb::class_<Info> cls(m, "SPQRInfo", info_doc);
    obj.SPQRInfo.set(cls);

    cls.def(
        "__init__",
        [](Info *self, nb::handle a0, nb::handle a1, nb::handle a2, nb::handle a3, nb::handle a4,
           nb::handle a5, nb::handle a6, nb::handle a7, nb::handle a8, nb::handle a9,
           nb::handle a10, nb::handle a11, nb::handle a12, nb::handle a13, nb::handle a14,
           nb::handle a15) {
            nb::handle given[NFIELDS] = {a0, a1, a2,  a3,  a4,  a5,  a6,  a7,
                                         a8, a9, a10, a11, a12, a13, a14, a15};
            nb::object values[NFIELDS];
            for (size_t k = 0; k < NFIELDS; ++k)
                values[k] = coerce(field_specs[k].kind, given[k]);
            Info *s = new (self) Info();
            for (size_t k = 0; k < NFIELDS; ++k)
                s->f[k] = std::move(values[k]);
        },
        nb::sig("def __init__(self, nnzR_upper_bound: int | None = None, nnzH_upper_bound: "
                "int | None = None, nf: int | None = None, rank_A_estimate: int | None = None, "
                "n1cols: int | None = None, n1rows: int | None = None, ordering: str | None = "
                "None, memory: int | None = None, flops_upper_bound: int | None = None, tol: "
                "float | None = None, norm_E_fro: float | None = None, analyze_time: float | "
                "None = None, factorize_time: float | None = None, solve_time: float | None = "
                "None, total_time: float | None = None, flops: int | None = None) -> None"),
        nb::arg("nnzR_upper_bound") = nb::none(), nb::arg("nnzH_upper_bound") = nb::none(),
        nb::arg("nf") = nb::none(), nb::arg("rank_A_estimate") = nb::none(),
        nb::arg("n1cols") = nb::none(), nb::arg("n1rows") = nb::none(),
        nb::arg("ordering") = nb::none(), nb::arg("memory") = nb::none(),
        nb::arg("flops_upper_bound") = nb::none(), nb::arg("tol") = nb::none(),
        nb::arg("norm_E_fro") = nb::none(), nb::arg("analyze_time") = nb::none(),
        nb::arg("factorize_time") = nb::none(), nb::arg("solve_time") = nb::none(),
        nb::arg("total_time") = nb::none(), nb::arg("flops") = nb::none(),
        "Build a record; each value passes the coercion rule of its field.");

    for (size_t k = 0; k < NFIELDS; ++k)
        cls.def_prop_ro(field_specs[k].name, [k](nb::handle self) { return info_of(self).f[k]; });

    cls.def("__repr__", &info_repr);
    cls.def("__eq__", &info_eq, nb::arg("other").none());
    cls.def("__ne__", &info_ne, nb::arg("other").none());
    for (const char *op : {"__lt__", "__le__", "__gt__", "__ge__"})
        cls.def(op, [](nb::handle, nb::handle) { return not_implemented(); },
                nb::arg("other").none());
    cls.def("__hash__", [](nb::handle self) {
        Py_hash_t h = PyObject_Hash(field_tuple(info_of(self), nullptr).ptr());
        check_python(h != -1 || !PyErr_Occurred());
        return (int64_t)h;
    });
    cls.def("__reduce__", &info_reduce);
    cls.def("__setstate__", &info_setstate, nb::arg("state").none());

    // The dataclass presentation: what dataclasses.fields(), asdict(), replace() and
    // pattern matching read. It is made by dataclasses.make_dataclass, the public API, as
    // a frozen dataclass of the same fields, whose description (its fields, parameters and
    // match arguments) this class then carries. The rest cannot go through that API: the
    // dataclass decorator would give the class Python methods (__init__, __setattr__,
    // __eq__, __hash__, __repr__) in place of the compiled ones, and a compiled record
    // with immutable slots is what the statistics need.
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::list specs;
    nb::dict annotations;
    for (size_t k = 0; k < NFIELDS; ++k) {
        nb::dict kw;
        kw["default"] = nb::none();
        nb::object f = dataclasses.attr("field")(**kw);
        specs.append(nb::make_tuple(field_specs[k].name, annotation(field_specs[k].kind), f));
        annotations[field_specs[k].name] = annotation(field_specs[k].kind);
    }
    nb::dict make_kw;
    make_kw["frozen"] = true;
    nb::object model = dataclasses.attr("make_dataclass")("SPQRInfo", specs, **make_kw);
    for (const char *name : {"__dataclass_params__", "__dataclass_fields__", "__match_args__"})
        cls.attr(name) = model.attr(name);
    cls.attr("__annotations__") = annotations;

    // A builtin function (not a nanobind one), so that pickles refer to it by name.
    nb::object restore = nb::steal(PyCFunction_NewEx(&restore_def, m.ptr(), m.attr("__name__").ptr()));
    check_python(restore.is_valid());
    m.attr("_unpickle_SPQRInfo") = restore;
    restore_function.set(restore);
    m.def("_info_from_common_values", &info_from_values, nb::arg("values"),
          "Testing aid: the SPQRInfo that a common block holding these statistics gives.\n\n"
          "`values` maps names of the common block's statistics (SPQR_istat, memory_usage,\n"
          "SPQR_flopcount, SPQR_flopcount_bound, SPQR_tol_used, SPQR_norm_E_fro,\n"
          "SPQR_analyze_time, SPQR_factorize_time, SPQR_solve_time) to values.");
}

}  // namespace ferrow::spqr
