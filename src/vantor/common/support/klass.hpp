// Building a class as a class statement does: the metaclass called with the name, the bases
// and an ordered namespace holding __module__, __qualname__ and the members in definition order.
#pragma once

#include "ref.hpp"

#include <initializer_list>
#include <utility>

namespace vantor::support {

using ClassMember = std::pair<const char*, PyObject*>;  // name, borrowed value

Ref build_class(PyObject* module_name, const char* name, std::initializer_list<PyObject*> bases,
                std::initializer_list<ClassMember> members);

}  // namespace vantor::support
