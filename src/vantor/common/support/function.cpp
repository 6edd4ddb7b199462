// The function type's slots: identity attributes, __dict__, the method descriptor and vectorcall.
// Behaviour follows the interpreter's own function objects wherever a user can observe it.
#include "function.hpp"

#include <structmember.h>

namespace vantor::support {

namespace {

int function_traverse(PyObject* op, visitproc visit, void* arg) {
    FunctionObject* f = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->names);
    Py_VISIT(f->owner);
    return 0;
}

int function_clear(PyObject* op) {
    FunctionObject* f = as_function(op);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->names);
    Py_CLEAR(f->owner);
    f->state = nullptr;
    return 0;
}

void function_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    function_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

VANTOR_HOT PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (f->fast != nullptr) {
        PyObject* result = boundary(f->sig->name, [&] { return f->fast(f, args, nargs, kwnames); });
        if (result != not_handled()) return result;
    }
    BoundArgs bound;
    if (!bind_arguments({f->sig, f->names, f->defaults}, args, nargs, kwnames, bound)) return nullptr;
    return boundary(f->sig->name, [&]() -> PyObject* {
        RecursionGuard guard(" while calling a Python object");
        return f->body(f, bound);
    });
}

// Bound like a Python function: the function itself from the class, a method from an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int set_text_attr(PyObject** field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* function_get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }

int function_set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* function_get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attr(&as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* function_get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

int function_set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

Ref build_annotations(const Signature& sig) {
    Ref dict = Ref::steal(PyDict_New());
    for (const Param& p : sig.params) {
        if (p.annotation == nullptr) continue;
        Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
        require(PyDict_SetItemString(dict.get(), p.name, text.get()));
    }
    if (sig.returns != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(sig.returns));
        require(PyDict_SetItemString(dict.get(), "return", text.get()));
    }
    return dict;
}

// The annotations dict (borrowed): made on first use from the static table, or, once an
// __annotate__ function was given (3.14 on), from what it returns for the VALUE format, as the
// interpreter does for a function whose annotations are evaluated lazily.
PyObject* annotations_of(FunctionObject* f) {
    if (f->annotations != nullptr) return f->annotations;
    if (f->annotate != nullptr && f->annotate != Py_None) {
        Ref annotate = Ref::new_ref(f->annotate);
        Ref value_format = Ref::steal(PyLong_FromLong(1));
        Ref dict = Ref::steal(PyObject_CallOneArg(annotate.get(), value_format.get()));
        if (!PyDict_Check(dict.get())) {
            PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(dict.get())->tp_name);
            throw_error();
        }
        // The call ran Python code, which may have set annotations of its own meanwhile.
        if (f->annotations == nullptr) f->annotations = dict.release();
        return f->annotations;
    }
    f->annotations = build_annotations(*f->sig).release();
    return f->annotations;
}

PyObject* function_get_annotations(PyObject* self, void*) {
    return boundary("__annotations__", [&] { return Py_NewRef(annotations_of(as_function(self))); });
}

int function_set_annotations(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    // As for Python functions, None and deletion leave an empty dict behind.
    if (value == nullptr || value == Py_None) {
        PyObject* empty = PyDict_New();
        if (empty == nullptr) return -1;
        Py_XSETREF(f->annotations, empty);
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_XSETREF(f->annotations, Py_NewRef(value));
    }
    // From 3.14 on, given annotations replace the function that would compute them.
    Py_CLEAR(f->annotate);
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// __annotate__ as the interpreter's functions have it from 3.14 on (functools.wraps copies it):
// None for ours, whose annotations are given as text; a callable that replaces them when set.
PyObject* function_get_annotate(PyObject* self, void*) {
    PyObject* annotate = as_function(self)->annotate;
    return Py_NewRef(annotate ? annotate : Py_None);
}

int function_set_annotate(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value == Py_None) {
        Py_XSETREF(f->annotate, Py_NewRef(value));
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, Py_NewRef(value));
    Py_CLEAR(f->annotations);
    return 0;
}
#endif

// inspect.Signature of the function, from its table, current defaults and annotations.
// A decorated wrapper (one with __wrapped__) has none, so that inspect follows __wrapped__
// exactly as it does for functools.wraps around a Python function.
PyObject* function_get_signature(PyObject* self, void*) {
    return boundary("__signature__", [&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        if (f->dict != nullptr) {
            PyObject* wrapped = PyDict_GetItemWithError(f->dict, Ref::steal(PyUnicode_FromString("__wrapped__")).get());
            if (wrapped != nullptr) {
                PyErr_SetString(PyExc_AttributeError, "__signature__");
                throw_error();
            }
            if (PyErr_Occurred()) throw_error();
        }
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref empty = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
        // The defaults and annotations of this moment, held: every inspect.Parameter call below is
        // Python code, which may rebind or change them.
        Ref annotations = Ref::new_ref(annotations_of(f));
        Ref defaults = Ref::new_ref(f->defaults);

        const Signature& sig = *f->sig;
        const Py_ssize_t npos = static_cast<Py_ssize_t>(sig.npos);
        const Py_ssize_t ndefaults_all = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        const Py_ssize_t ndefaults = std::min(ndefaults_all, npos);

        Ref params = Ref::steal(PyList_New(0));
        Py_ssize_t index = 0;
        for (const Param& p : sig.params) {
            const char* kind_name = p.kind == ParamKind::var_positional ? "VAR_POSITIONAL"
                                    : p.kind == ParamKind::var_keyword  ? "VAR_KEYWORD"
                                                                        : "POSITIONAL_OR_KEYWORD";
            Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name));
            Ref name = Ref::steal(PyUnicode_FromString(p.name));
            Ref annotation = Ref::new_ref(PyDict_GetItemWithError(annotations.get(), name.get()));
            if (!annotation && PyErr_Occurred()) throw_error();
            PyObject* dflt = empty.get();
            if (p.kind == ParamKind::positional_or_keyword && index >= npos - ndefaults)
                dflt = PyTuple_GET_ITEM(defaults.get(), ndefaults_all - (npos - index));
            Ref kwargs = Ref::steal(PyDict_New());
            require(PyDict_SetItemString(kwargs.get(), "default", dflt));
            require(PyDict_SetItemString(kwargs.get(), "annotation", annotation ? annotation.get() : empty.get()));
            Ref args = Ref::steal(PyTuple_Pack(2, name.get(), kind.get()));
            Ref param = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            require(PyList_Append(params.get(), param.get()));
            if (p.kind == ParamKind::positional_or_keyword) ++index;
        }
        Ref return_key = Ref::steal(PyUnicode_FromString("return"));
        Ref ret = Ref::new_ref(PyDict_GetItemWithError(annotations.get(), return_key.get()));
        if (!ret && PyErr_Occurred()) throw_error();
        Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
        Ref kwargs = Ref::steal(PyDict_New());
        require(PyDict_SetItemString(kwargs.get(), "return_annotation", ret ? ret.get() : empty.get()));
        return PyObject_Call(signature.get(), args.get(), kwargs.get());
    });
}

// Pickled by reference, as the interpreter pickles functions: by module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", function_get_annotate, function_set_annotate, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_function_type(PyObject* module, const char* qualified_name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_members, function_members},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    // Py_TPFLAGS_METHOD_DESCRIPTOR is honest because tp_descr_get binds exactly as a function does;
    // it lets `obj.method(...)` skip the bound-method object. Instances come only from
    // make_function: one made by calling the type would have no body to run.
    PyType_Spec type_spec = {
        qualified_name,
        static_cast<int>(sizeof(FunctionObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

Ref make_function(const FunctionFactory& factory, const FunctionDef& def, PyObject* defaults, PyObject* closure) {
    const Signature& sig = *def.sig;
    const Py_ssize_t npos = static_cast<Py_ssize_t>(sig.npos);
    Ref names = Ref::steal(PyTuple_New(npos));
    for (Py_ssize_t i = 0; i < npos; ++i)
        PyTuple_SET_ITEM(names.get(), i, require(PyUnicode_InternFromString(sig.params[i].name)));

    const char* dot = def.qualname;
    for (const char* p = def.qualname; *p; ++p)
        if (*p == '.') dot = p + 1;
    Ref name = Ref::steal(PyUnicode_FromString(dot));
    Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::new_ref(Py_None);

    FunctionObject* f = PyObject_GC_New(FunctionObject, factory.type);
    if (f == nullptr) throw_error();
    f->vectorcall = def.call ? def.call : function_vectorcall;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(factory.module_name ? factory.module_name : Py_None);
    f->doc = doc.release();
    f->defaults = Py_XNewRef(defaults);
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(factory.globals);
    f->closure = Py_XNewRef(closure);
    f->names = names.release();
    f->owner = Py_NewRef(factory.owner);
    f->weakreflist = nullptr;
    f->state = factory.state;
    f->sig = def.sig;
    f->body = def.body;
    f->fast = def.fast;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

FunctionFactory factory_of(FunctionObject* f) {
    PyObject* module_name = PyDict_GetItemWithError(f->globals, Ref::steal(PyUnicode_InternFromString("__name__")).get());
    if (module_name == nullptr && PyErr_Occurred()) throw_error();
    return {Py_TYPE(f), f->owner, f->state, f->globals, module_name};
}

}  // namespace vantor::support
