// Functions and methods whose documentation is an ordinary, writable string and whose
// signature inspect.signature() and help() can read.
//
// A nanobind function renders its __doc__ from its signature (the signature line comes
// first) and refuses assignment, and inspect.signature() cannot read it. Every module
// therefore shows its functions and the methods of its classes through this small
// callable (expose_signatures, run by FERROW_MODULE once the module body is done):
// calls are forwarded to the nanobind function by vectorcall (no argument tuple is
// built), `__doc__` is a plain attribute holding the documented text alone,
// `__signature__` is read from the nanobind function's typed signature (nb::sig) by
// ferrow._introspect when asked for, and pickling goes by qualified name like any
// function. The method flavour binds to an instance like a def function (and is a
// method descriptor, so `obj.method(...)` builds no bound method).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>

#include "errors.hpp"
#include "pyobj.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define FERROW_T_PYSSIZET T_PYSSIZET
#define FERROW_READONLY READONLY
#else
#define FERROW_T_PYSSIZET Py_T_PYSSIZET
#define FERROW_READONLY Py_READONLY
#endif

namespace ferrow {

namespace nb = nanobind;

namespace documented_function {

struct Object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *impl;            // the nanobind function that does the work
    PyObject *doc;             // NULL reads as None
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *text_signature;  // "(A, x=None, ...)", or NULL
};

inline Object *as_function(PyObject *self) { return reinterpret_cast<Object *>(self); }

inline PyObject *call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return PyObject_Vectorcall(as_function(self)->impl, args, nargsf, kwnames);
}

inline int traverse(PyObject *self, visitproc visit, void *arg) {
    Object *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->impl);
    Py_VISIT(f->doc);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->text_signature);
    return 0;
}

inline int clear(PyObject *self) {
    Object *f = as_function(self);
    Py_CLEAR(f->impl);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->text_signature);
    return 0;
}

inline void dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

inline PyObject *or_none(PyObject *v) { return Py_NewRef(v ? v : Py_None); }

inline PyObject *get_doc(PyObject *self, void *) { return or_none(as_function(self)->doc); }
inline int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XINCREF(value);
    PyObject *old = as_function(self)->doc;
    as_function(self)->doc = value;
    Py_XDECREF(old);
    return 0;
}
inline PyObject *get_name(PyObject *self, void *) { return or_none(as_function(self)->name); }
inline PyObject *get_qualname(PyObject *self, void *) {
    return or_none(as_function(self)->qualname);
}
inline PyObject *get_module(PyObject *self, void *) { return or_none(as_function(self)->module); }
inline PyObject *get_text_signature(PyObject *self, void *) {
    return or_none(as_function(self)->text_signature);
}

// The parameters and their types, as inspect.Signature, from the nanobind function.
inline PyObject *get_signature(PyObject *self, void *) {
    try {
        nb::object introspect = nb::module_::import_("ferrow._introspect");
        return introspect.attr("signature")(nb::handle(as_function(self)->impl))
            .release()
            .ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// A non-data descriptor, as builtin functions are to inspect and pydoc; it never binds.
inline PyObject *descr_get(PyObject *self, PyObject *, PyObject *) { return Py_NewRef(self); }

// Methods bind to an instance as def functions do.
inline PyObject *method_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
#ifdef Py_LIMITED_API
    static PyObject *method_type = nullptr;  // types.MethodType, kept for the process
    if (method_type == nullptr) {
        PyObject *types = PyImport_ImportModule("types");
        if (types == nullptr)
            return nullptr;
        method_type = PyObject_GetAttrString(types, "MethodType");
        Py_DECREF(types);
        if (method_type == nullptr)
            return nullptr;
    }
    PyObject *args[2] = {self, obj};
    return PyObject_Vectorcall(method_type, args, 2, nullptr);
#else
    return PyMethod_New(self, obj);
#endif
}

inline PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->qualname);
}

// Pickled by reference: module and qualified name, like a def function.
inline PyObject *reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

// The function type (method = false) or the method type (method = true).
inline PyTypeObject *type(bool method = false) {
    static PyTypeObject *types[2] = {nullptr, nullptr};
    PyTypeObject *&tp = types[method ? 1 : 0];
    if (tp != nullptr)
        return tp;
    static PyGetSetDef getset[] = {
        {"__doc__", get_doc, set_doc, nullptr, nullptr},
        {"__name__", get_name, nullptr, nullptr, nullptr},
        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
        {"__module__", get_module, nullptr, nullptr, nullptr},
        {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
        {"__signature__", get_signature, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", FERROW_T_PYSSIZET, offsetof(Object, vectorcall),
         FERROW_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)dealloc},
        {Py_tp_traverse, (void *)traverse},
        {Py_tp_clear, (void *)clear},
        {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_descr_get, method ? (void *)method_descr_get : (void *)descr_get},
        {Py_tp_repr, (void *)repr},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_members, members},
        {0, nullptr}};
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
    if (method)
        flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
    PyType_Spec type_spec = {method ? "ferrow.method" : "ferrow.function", (int)sizeof(Object), 0,
                             flags, slots};
    PyObject *t = PyType_FromSpec(&type_spec);
    check_python(t != nullptr);
    tp = reinterpret_cast<PyTypeObject *>(t);  // kept for the life of the process
    return tp;
}

// A new function (or method) forwarding to `impl`; every reference is new.
inline nb::object make(bool method, nb::handle impl, nb::handle doc, nb::handle name,
                       nb::handle qualname, nb::handle module, const char *text_signature) {
    Object *f = PyObject_GC_New(Object, type(method));
    check_python(f != nullptr);
    f->vectorcall = call;
    f->impl = nb::borrow(impl).release().ptr();
    f->doc = doc.is_valid() && !doc.is_none() ? nb::borrow(doc).release().ptr() : nullptr;
    f->name = nb::borrow(name).release().ptr();
    f->qualname = nb::borrow(qualname).release().ptr();
    f->module = nb::borrow(module).release().ptr();
    f->text_signature = text_signature ? PyUnicode_FromString(text_signature) : nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    check_python(text_signature == nullptr || f->text_signature != nullptr);
    return result;
}

// Whether `obj` is a nanobind function (flavour "nb_func") or method ("nb_method") with
// a single overload: only those are shown through this type.
inline bool is_nanobind(nb::handle obj, const char *flavour) {
    if (type_name(obj.ptr()) != std::string("nanobind.") + flavour)
        return false;
    return nb::len(nb::object(obj.attr("__nb_signature__"))) == 1;
}

// The documented text of a nanobind function alone (None when it has none).
inline nb::object nanobind_doc(nb::handle impl) {
    return nb::borrow(impl.attr("__nb_signature__")[0][1]);
}

}  // namespace documented_function

// Binds `name` in `m` as a function that calls `impl` (a nanobind function taking the
// same arguments). Its __doc__ is None until the module assigns one.
inline nb::object add_documented_function(nb::module_ &m, const char *name, nb::handle impl,
                                          const char *text_signature) {
    nb::str py_name(name);
    nb::object result = documented_function::make(false, impl, nb::none(), py_name, py_name,
                                                  m.attr("__name__"), text_signature);
    m.attr(name) = result;
    return result;
}

// Shows every nanobind function of `m`, and the __init__, ordinary methods and class
// methods of every class defined in `m`, through the function and method types above,
// with the documented text alone as __doc__. Special methods other than __init__ keep
// nanobind's form (their slots stay as they are). Run once, after the module body.
inline void expose_signatures(nb::module_ &m) {
    using namespace documented_function;
    nb::object module_name = m.attr("__name__");
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    nb::list names = nb::list(nb::steal(PyDict_Keys(PyModule_GetDict(m.ptr()))));
    for (nb::handle name : names) {
        nb::object value = m.attr(name);
        if (is_nanobind(value, "nb_func") && value.attr("__module__").equal(module_name)) {
            m.attr(name) = make(false, value, nanobind_doc(value), name, name, module_name,
                                nullptr);
            continue;
        }
        if (!PyType_Check(value.ptr()) || !value.attr("__module__").equal(module_name))
            continue;
        std::string prefix = std::string(nb::str(value.attr("__qualname__")).c_str()) + ".";
        nb::object members = nb::list(value.attr("__dict__").attr("keys")());
        for (nb::handle member : members) {
            std::string member_name = nb::str(member).c_str();
            bool special = member_name.size() > 4 && member_name.rfind("__", 0) == 0;
            if (special && member_name != "__init__")
                continue;
            nb::str qualname((prefix + member_name).c_str());
            nb::object item = value.attr("__dict__")[member];
            if (is_nanobind(item, "nb_method")) {
                nb::setattr(value, member, make(true, item, nanobind_doc(item), member,
                                                qualname, module_name, nullptr));
            } else if (nb::isinstance(item, classmethod)) {
                nb::object f = item.attr("__func__");
                if (is_nanobind(f, "nb_func"))
                    nb::setattr(value, member,
                                classmethod(make(true, f, nanobind_doc(f), member, qualname,
                                                 module_name, nullptr)));
            }
        }
    }
}

}  // namespace ferrow
