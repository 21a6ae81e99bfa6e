// Module-level functions whose documentation is an ordinary, writable string.
//
// A nanobind function renders its __doc__ from its signature and refuses assignment.
// Modules that assemble docstrings from templates when they load wrap their public
// functions in this small callable: calls are forwarded to the nanobind function by
// vectorcall (no argument tuple is built), `__doc__` is a plain attribute that the
// module assigns after assembling it, `__text_signature__` gives inspect.signature()
// and help() the parameter list, and pickling goes by qualified name like any function.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

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
    PyObject *text_signature;  // "(A, x=None, ...)"
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

// A non-data descriptor, as builtin functions are to inspect and pydoc; it never binds.
inline PyObject *descr_get(PyObject *self, PyObject *, PyObject *) { return Py_NewRef(self); }

inline PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name);
}

// Pickled by reference: module and qualified name, like a def function.
inline PyObject *reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->qualname);
}

inline PyTypeObject *type() {
    static PyTypeObject *tp = nullptr;
    if (tp != nullptr)
        return tp;
    static PyGetSetDef getset[] = {
        {"__doc__", get_doc, set_doc, nullptr, nullptr},
        {"__name__", get_name, nullptr, nullptr, nullptr},
        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
        {"__module__", get_module, nullptr, nullptr, nullptr},
        {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", FERROW_T_PYSSIZET, offsetof(Object, vectorcall),
         FERROW_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)dealloc},     {Py_tp_traverse, (void *)traverse},
        {Py_tp_clear, (void *)clear},         {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_descr_get, (void *)descr_get}, {Py_tp_repr, (void *)repr},
        {Py_tp_getset, getset},               {Py_tp_methods, methods},
        {Py_tp_members, members},             {0, nullptr}};
    static PyType_Spec type_spec = {
        "ferrow.function", (int)sizeof(Object), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots};
    PyObject *t = PyType_FromSpec(&type_spec);
    check_python(t != nullptr);
    tp = reinterpret_cast<PyTypeObject *>(t);  // kept for the life of the process
    return tp;
}

}  // namespace documented_function

// Binds `name` in `m` as a function that calls `impl` (a nanobind function taking the
// same arguments). Its __doc__ is None until the module assigns one.
inline nb::object add_documented_function(nb::module_ &m, const char *name, nb::handle impl,
                                          const char *text_signature) {
    using namespace documented_function;
    Object *f = PyObject_GC_New(Object, type());
    check_python(f != nullptr);
    f->vectorcall = call;
    f->impl = nb::borrow(impl).release().ptr();
    f->doc = nullptr;
    f->name = PyUnicode_FromString(name);
    f->qualname = Py_NewRef(f->name);
    f->module = nb::object(m.attr("__name__")).release().ptr();
    f->text_signature = PyUnicode_FromString(text_signature);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    check_python(f->name != nullptr && f->text_signature != nullptr);
    m.attr(name) = result;
    return result;
}

}  // namespace ferrow
