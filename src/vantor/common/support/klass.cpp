// The class builder: __prepare__, the namespace in definition order, then the metaclass call.
#include "klass.hpp"

namespace vantor::support {

Ref build_class(PyObject* module_name, const char* name, std::initializer_list<PyObject*> bases,
                std::initializer_list<ClassMember> members) {
    Ref bases_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (PyObject* base : bases) PyTuple_SET_ITEM(bases_tuple.get(), i++, Py_NewRef(base));

    // The most derived metaclass is left to type.__new__; a class statement starts from the
    // first base's type, and so do we.
    PyObject* meta = bases.size() ? reinterpret_cast<PyObject*>(Py_TYPE(*bases.begin()))
                                  : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref class_name = Ref::steal(PyUnicode_FromString(name));
    Ref ns;
    {
        Ref prepare = Ref::steal_or_null(PyObject_GetAttrString(meta, "__prepare__"));
        if (prepare) {
            ns = Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), class_name.get(), bases_tuple.get(), nullptr));
        } else {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            ns = Ref::steal(PyDict_New());
        }
    }
    require(PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_InternFromString("__module__")).get(), module_name));
    require(PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_InternFromString("__qualname__")).get(), class_name.get()));
    for (const ClassMember& m : members)
        require(PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_InternFromString(m.first)).get(), m.second));
    return Ref::steal(PyObject_CallFunctionObjArgs(meta, class_name.get(), bases_tuple.get(), ns.get(), nullptr));
}

}  // namespace vantor::support
