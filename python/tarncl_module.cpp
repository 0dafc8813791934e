// The Python module tarncl: every described class, member and enumeration under its own name,
// driven by the type library and called through late-bound dispatch.
//
// Conventions: str in and out; optional parameters may be given by keyword; a member that
// writes by-reference parameters returns its result followed by the final value of each of
// them that the caller passed (None will do), a single value alone; every failure is a
// tarncl.TarnError.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <deque>
#include <new>
#include <utility>

#include "tarn/dynarray/dynamic_array_io.h"
#include "tarn/tarncl.h"
#include "tarn/typelib/dispatch.h"

namespace py = pybind11;

namespace tarn::python {
namespace {

using typelib::BaseType;
using typelib::ClassInfo;
using typelib::Kind;
using typelib::Member;

// A Python object's hold on a library object; released by `with` or when Python drops it.
// The module's classes are plain CPython types of this one layout rather than pybind11
// classes: a call that returns an object (every brRead) then costs one allocation, where
// pybind11 looks the C++ type up by name and registers every instance it makes.
struct Handle {
  PyObject_HEAD Ref<Object> ref;
};

PyTypeObject* objectType = nullptr;  // tarncl._Object, the base of every class
// The Python type of each described class, in the type library's order.
std::vector<PyTypeObject*> pythonTypes;
py::object tarnErrorType;
// The subclasses of TarnError for the failures a script handles on purpose.
py::object lockedErrorType, missingItemErrorType, missingFileErrorType, logonErrorType,
    connectionLostErrorType, badArgumentErrorType;

void handleDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Handle*>(self)->ref.~Ref<Object>();
  type->tp_free(self);
  Py_DECREF(type);  // an instance of a heap type holds a reference to it
}

// The Handle of one of the module's own objects, or nothing for any other object. Instances of
// the classes themselves are known by their deallocator at once; those of a Python subclass by
// its bases.
Handle* handleOf(PyObject* o) noexcept {
  const bool ours = Py_TYPE(o)->tp_dealloc == handleDealloc ||
                    (objectType != nullptr && PyObject_TypeCheck(o, objectType));
  return ours ? reinterpret_cast<Handle*>(o) : nullptr;
}

const Ref<Object>& live(const Handle& h) {
  if (!h.ref) throw TarnError::platform(err::kObjectNotSet);
  return h.ref;
}

std::size_t classIndex(const ClassInfo* cls) {
  return static_cast<std::size_t>(cls - typelib::library().classes.data());
}

// A new Python object of the given class holding o.
py::object instanceOf(PyTypeObject* type, Ref<Object> o) {
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) throw py::error_already_set();
  new (&reinterpret_cast<Handle*>(made)->ref) Ref<Object>(std::move(o));
  return py::reinterpret_steal<py::object>(made);
}

py::object toPython(const Variant& v);

py::object wrap(Ref<Object> o) {
  if (!o) return py::none();
  const ClassInfo* cls = typelib::classOf(*o);
  if (cls == nullptr) throw TarnError::platform(err::kTypeMismatch);
  return instanceOf(pythonTypes[classIndex(cls)], std::move(o));
}

// Straight between UTF-16 and Python's own representation: no UTF-8 in between. Text without
// surrogates (nearly all) is taken as 2-byte code points in one step.
py::str toStr(const String& s) {
  PyObject* o = nullptr;
  if (std::none_of(s.begin(), s.end(), [](char16_t c) { return c >= 0xD800 && c < 0xE000; })) {
    o = PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, s.data(),
                                  static_cast<Py_ssize_t>(s.size()));
  } else {
    int littleEndian = -1;
    o = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(s.data()),
                              static_cast<Py_ssize_t>(s.size() * 2), nullptr, &littleEndian);
  }
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

String fromStr(py::handle o) {
  PyObject* p = o.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
  const void* data = PyUnicode_DATA(p);
  String out;
  switch (PyUnicode_KIND(p)) {
    case PyUnicode_1BYTE_KIND: {
      const auto* c = static_cast<const Py_UCS1*>(data);
      out.assign(c, c + n);
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      const auto* c = static_cast<const Py_UCS2*>(data);
      out.assign(c, c + n);
      break;
    }
    default: {
      const auto* c = static_cast<const Py_UCS4*>(data);
      out.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 u = c[i];
        if (u < 0x10000) {
          out.push_back(static_cast<char16_t>(u));
        } else {
          out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
          out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
        }
      }
    }
  }
  return out;
}

py::object toPython(const Variant& v) {
  switch (v.type()) {
    case Variant::Type::Empty:
    case Variant::Type::Null:
      return py::none();
    case Variant::Type::Bool:
      return py::bool_(v.toBool());
    case Variant::Type::Int16:
    case Variant::Type::Int32:
      return py::int_(v.toInt32());
    case Variant::Type::Double:
      return py::float_(v.toDouble());
    case Variant::Type::String:
      return toStr(v.toString());
    case Variant::Type::Object:
      return wrap(v.toObject());
    case Variant::Type::Array: {
      py::list out;
      for (const Variant& e : v.array().elements()) out.append(toPython(e));
      return out;
    }
    case Variant::Type::Error:
      if (v.isMissing()) return py::none();
      return py::int_(v.errorCode());
  }
  return py::none();
}

Variant toVariant(py::handle o) {
  PyObject* p = o.ptr();
  if (p == Py_None) return Variant();
  if (PyBool_Check(p)) return Variant(p == Py_True);
  if (PyLong_Check(p)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow != 0) return Variant(PyLong_AsDouble(p));
    return Variant(v);
  }
  if (PyFloat_Check(p)) return Variant(PyFloat_AS_DOUBLE(p));
  if (PyUnicode_Check(p)) return Variant(fromStr(o));
  if (const Handle* h = handleOf(p)) return Variant(h->ref);
  if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
    py::sequence seq = o.cast<py::sequence>();
    VariantArray a(0, static_cast<std::int32_t>(seq.size()));
    for (std::size_t i = 0; i < seq.size(); ++i) a.elements()[i] = toVariant(seq[i]);
    return Variant(std::move(a));
  }
  throw TarnError::platform(err::kTypeMismatch);
}

String joinLevel(py::handle o, int level);

bool isSequence(PyObject* p) {
  return PyList_Check(p) || PyTuple_Check(p);
}

// One argument for parameter p (nothing past the described ones): where the member takes a
// dynamic array, a str or nested lists stand for a new array of that text; where it takes the
// text of one (brOpenDynamicArray), nested lists stand for their joined text.
Variant toArgument(const Member& m, std::size_t i, py::handle o) {
  PyObject* v = o.ptr();
  if (i < m.params.size() && (PyUnicode_Check(v) || isSequence(v))) {
    const typelib::Type& t = m.params[i].type;
    if (t.base == BaseType::Object && t.className == "clsTarnDynamicArray") {
      auto a = clsTarnDynamicArray::create();
      a->brCString(joinLevel(o, 0));
      return Variant(Ref<Object>(std::move(a)));
    }
    if (isSequence(v) && m.name == "brOpenDynamicArray") return Variant(joinLevel(o, 0));
  }
  return toVariant(o);
}

// Positional and keyword arguments (vectorcall layout) in parameter order; gaps before the
// last given one are passed as missing.
std::vector<Variant> arguments(const Member& m, PyObject* const* args, std::size_t n,
                               PyObject* kwnames) {
  std::vector<Variant> out;
  out.reserve(std::max(m.params.size(), n));
  for (std::size_t i = 0; i < n; ++i) out.push_back(toArgument(m, i, args[i]));
  if (kwnames == nullptr) return out;
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  for (std::size_t k = 0; k < count; ++k) {
    const auto name = py::handle(PyTuple_GET_ITEM(kwnames, k)).cast<std::string>();
    std::size_t i = 0;
    while (i < m.params.size() && !typelib::sameName(m.params[i].name, name)) ++i;
    if (i == m.params.size()) {
      throw py::type_error(m.name + "() has no parameter named '" + name + "'");
    }
    if (i < n) throw py::type_error(m.name + "() got '" + name + "' twice");
    if (out.size() <= i) out.resize(i + 1, Variant::missing());
    out[i] = toArgument(m, i, args[n + k]);
  }
  return out;
}

// The Python object given for parameter i, or nothing.
PyObject* givenFor(const Member& m, std::size_t i, PyObject* const* args, std::size_t n,
                   PyObject* kwnames) {
  if (i < n) return args[i];
  if (kwnames == nullptr) return nullptr;
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  for (std::size_t k = 0; k < count; ++k) {
    const auto name = py::handle(PyTuple_GET_ITEM(kwnames, k)).cast<std::string>();
    if (typelib::sameName(m.params[i].name, name)) return args[n + k];
  }
  return nullptr;
}

py::object callMember(const Handle& self, const Member& m, PyObject* const* args, std::size_t n,
                      PyObject* kwnames) {
  std::vector<Variant> a = arguments(m, args, n, kwnames);
  Variant result = typelib::invoke(live(self), m.id, Kind::Method, a);
  bool anyWritten = false;
  for (std::size_t i = 0; i < a.size() && i < m.params.size(); ++i) {
    if (!m.params[i].written || a[i].isMissing()) continue;
    anyWritten = true;
    // A list passed for an array the member writes is updated in place, as the caller's
    // variable is in the other languages of the family.
    PyObject* given = givenFor(m, i, args, n, kwnames);
    if (given != nullptr && PyList_Check(given) && a[i].type() == Variant::Type::Array) {
      py::list fresh = toPython(a[i]);
      if (PyList_SetSlice(given, 0, PyList_GET_SIZE(given), fresh.ptr()) != 0) {
        throw py::error_already_set();
      }
    }
  }
  if (!anyWritten) return toPython(result);
  py::list values;
  if (m.result.base != BaseType::Void) values.append(toPython(result));
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    if (m.params[i].written && i < a.size() && !a[i].isMissing()) values.append(toPython(a[i]));
  }
  if (values.size() == 1) return values[0];
  return py::tuple(values);
}

// The Python class for a failure: by its number first, then by the SQL state of the ODBC call
// that failed, as the same condition can arrive either way.
const py::object& errorTypeFor(const TarnError& e) {
  const std::int32_t n = e.number();
  const String& state = e.sqlState();
  if (n == err::kLocked) return lockedErrorType;
  if (n == err::kItemMissing) return missingItemErrorType;
  if (n == libraryError(1032) || n == libraryError(1033)) return missingFileErrorType;
  if (n == err::kConnectRefused || state == u"28000") return logonErrorType;
  // 08S01: the link failed mid-call; 08003: the connection is no longer open.
  if (state == u"08S01" || state == u"08003" || state == u"08007") return connectionLostErrorType;
  if (n == err::kInvalidCall || n == err::kTypeMismatch || n == err::kBadParameters ||
      n == typelib::kArgNotOptional || n == typelib::kWrongArgCount) {
    return badArgumentErrorType;
  }
  return tarnErrorType;
}

void raiseTarnError(const TarnError& e) {
  // One line for a person: the C++ text already holds every fact the error carries.
  std::string line = e.what();
  std::replace(line.begin(), line.end(), '\n', ' ');
  const py::object& type = errorTypeFor(e);
  py::object error = type(py::str(line));
  error.attr("number") = e.number();
  error.attr("source") = toStr(e.source());
  error.attr("description") = toStr(e.description());
  error.attr("sql_state") = toStr(e.sqlState());
  error.attr("native_error") = e.nativeError();
  error.attr("diagnostic") = toStr(e.diagnostic());
  PyErr_SetObject(type.ptr(), error.ptr());
}

// Runs f and turns what it throws into the pending Python error; nullptr then.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const TarnError& e) {
    raiseTarnError(e);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// Members as descriptors of our own rather than pybind11 functions: a method is called with
// the instance as its first argument through vectorcall, without a bound method in between,
// and a property reads and writes through the dispatcher directly. This keeps a call's cost
// near that of a plain Python method call.
struct MemberFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  const Member* member;
  const ClassInfo* cls;
};

struct MemberProperty {
  PyObject_HEAD const Member* get;
  const Member* put;  // a let or set; nothing for a read-only property
  const ClassInfo* cls;
};

// The contract comments of the public headers, by class and member ("" for the class itself).
struct Docstring {
  const char* cls;
  const char* member;
  const char* text;
};
constexpr Docstring kDocstrings[] = {
#include "docstrings.inc"
};

const char* contractOf(std::string_view cls, std::string_view member) {
  for (const Docstring& d : kDocstrings) {
    if (cls == d.cls && member == d.member) return d.text;
  }
  return "";
}

// How a described type reads in Python.
std::string pythonType(const typelib::Type& t) {
  switch (t.base) {
    case BaseType::Void:
      return "None";
    case BaseType::Bool:
      return "bool";
    case BaseType::Int16:
    case BaseType::Int32:
      return "int";
    case BaseType::String:
      return "str";
    case BaseType::Variant:
      return "Any";
    case BaseType::VariantArray:
      return "list[Any]";
    case BaseType::Object:
      return t.className.empty() ? "object" : t.className;
  }
  return "Any";
}

// The one-line call form that opens a member's docstring: brRead(sItemName, sColumn=None, ...)
// -> clsTarnDynamicArray, with the by-reference parameters the member writes marked "out".
std::string callForm(const Member& m) {
  std::string out = m.name + "(";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    const typelib::Param& p = m.params[i];
    if (i > 0) out += ", ";
    if (p.written) out += "out ";
    out += p.name + ": " + pythonType(p.type);
    if (p.optional) out += " = None";
  }
  out += ") -> " + pythonType(m.result);
  bool written = false;
  for (const auto& p : m.params) written |= p.written;
  if (written) {
    out +=
        "\n\nThe \"out\" parameters take any value (None will do); the call then returns its "
        "result followed by the final value of each of them given, a single value alone. A "
        "list given for an array is also updated in place.";
  }
  return out;
}

PyObject* memberFunctionDoc(PyObject* self, void*) {
  const auto* f = reinterpret_cast<MemberFunction*>(self);
  return guarded([&]() -> PyObject* {
    std::string doc = callForm(*f->member);
    const std::string contract = contractOf(f->cls->name, f->member->name);
    if (!contract.empty()) doc += "\n\n" + contract;
    return py::str(doc).release().ptr();
  });
}

PyObject* memberFunctionName(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<MemberFunction*>(self)->member->name.c_str());
}

PyObject* memberFunctionQualname(PyObject* self, void*) {
  const auto* f = reinterpret_cast<MemberFunction*>(self);
  return PyUnicode_FromString((f->cls->name + "." + f->member->name).c_str());
}

// inspect.signature: self, then the described parameters by name, optional ones with None.
PyObject* memberFunctionSignature(PyObject* self, void*) {
  const auto* f = reinterpret_cast<MemberFunction*>(self);
  return guarded([&]() -> PyObject* {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list params;
    params.append(parameter("self", parameter.attr("POSITIONAL_ONLY")));
    for (const auto& p : f->member->params) {
      py::dict kw;
      kw["annotation"] = py::str(p.written ? "Any" : pythonType(p.type));
      if (p.optional) kw["default"] = py::none();
      params.append(parameter(p.name, kind, **kw));
    }
    return inspect
        .attr("Signature")(params, py::arg("return_annotation") = pythonType(f->member->result))
        .release()
        .ptr();
  });
}

PyObject* memberPropertyDoc(PyObject* self, void*) {
  const auto* p = reinterpret_cast<MemberProperty*>(self);
  return guarded([&]() -> PyObject* {
    const Member& any = p->get ? *p->get : *p->put;
    std::string doc = any.name + ": " +
                      pythonType(p->get ? p->get->result : p->put->params.front().type) +
                      (p->put == nullptr ? " (read-only property)" : " (property)");
    const std::string contract = contractOf(p->cls->name, any.name);
    if (!contract.empty()) doc += "\n\n" + contract;
    return py::str(doc).release().ptr();
  });
}

PyObject* memberFunctionCall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
  const Member& m = *reinterpret_cast<MemberFunction*>(callable)->member;
  const auto n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  return guarded([&]() -> PyObject* {
    const Handle* self = n == 0 ? nullptr : handleOf(args[0]);
    if (self == nullptr) throw py::type_error(m.name + "() needs a tarncl object");
    return callMember(*self, m, args + 1, n - 1, kwnames).release().ptr();
  });
}

PyObject* memberFunctionBind(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* memberPropertyGet(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  const auto* p = reinterpret_cast<MemberProperty*>(self);
  return guarded([&]() -> PyObject* {
    if (p->get == nullptr) throw py::attribute_error(p->put->name + " can only be assigned");
    const Handle* h = handleOf(obj);
    if (h == nullptr) throw py::type_error(p->get->name + " needs a tarncl object");
    return toPython(typelib::invoke(live(*h), p->get->id, Kind::PropertyGet)).release().ptr();
  });
}

int memberPropertySet(PyObject* self, PyObject* obj, PyObject* value) {
  const auto* p = reinterpret_cast<MemberProperty*>(self);
  PyObject* done = guarded([&]() -> PyObject* {
    if (p->put == nullptr || value == nullptr) {
      throw py::attribute_error((p->get ? p->get : p->put)->name + " cannot be assigned");
    }
    const Handle* h = handleOf(obj);
    if (h == nullptr) throw py::type_error(p->put->name + " needs a tarncl object");
    std::vector<Variant> a{toVariant(value)};
    (void)typelib::invoke(live(*h), p->put->id, p->put->kind, a);
    return Py_None;
  });
  return done == nullptr ? -1 : 0;
}

py::object memberFunctionType;
py::object memberPropertyType;

void makeDescriptorTypes() {
  static PyMemberDef functionMembers[] = {
      {"__vectorcalloffset__", T_PYSSIZET, offsetof(MemberFunction, vectorcall), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr}};
  static PyGetSetDef functionGetSet[] = {
      {"__doc__", memberFunctionDoc, nullptr, nullptr, nullptr},
      {"__name__", memberFunctionName, nullptr, nullptr, nullptr},
      {"__qualname__", memberFunctionQualname, nullptr, nullptr, nullptr},
      {"__signature__", memberFunctionSignature, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
  static PyType_Slot functionSlots[] = {
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(memberFunctionBind)},
      {Py_tp_members, functionMembers},
      {Py_tp_getset, functionGetSet},
      {0, nullptr}};
  static PyType_Spec functionSpec = {
      "tarncl.member", sizeof(MemberFunction), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
      functionSlots};
  static PyGetSetDef propertyGetSet[] = {{"__doc__", memberPropertyDoc, nullptr, nullptr, nullptr},
                                         {nullptr, nullptr, nullptr, nullptr, nullptr}};
  static PyType_Slot propertySlots[] = {
      {Py_tp_descr_get, reinterpret_cast<void*>(memberPropertyGet)},
      {Py_tp_descr_set, reinterpret_cast<void*>(memberPropertySet)},
      {Py_tp_getset, propertyGetSet},
      {0, nullptr}};
  static PyType_Spec propertySpec = {"tarncl.property", sizeof(MemberProperty), 0,
                                     Py_TPFLAGS_DEFAULT, propertySlots};
  memberFunctionType = py::reinterpret_steal<py::object>(PyType_FromSpec(&functionSpec));
  memberPropertyType = py::reinterpret_steal<py::object>(PyType_FromSpec(&propertySpec));
  if (!memberFunctionType || !memberPropertyType) throw py::error_already_set();
}

py::object newMemberFunction(const ClassInfo& cls, const Member& m) {
  auto* f = PyObject_New(MemberFunction, reinterpret_cast<PyTypeObject*>(memberFunctionType.ptr()));
  if (f == nullptr) throw py::error_already_set();
  f->vectorcall = reinterpret_cast<vectorcallfunc>(memberFunctionCall);
  f->member = &m;
  f->cls = &cls;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

py::object newMemberProperty(const ClassInfo& cls, const Member* get, const Member* put) {
  auto* p = PyObject_New(MemberProperty, reinterpret_cast<PyTypeObject*>(memberPropertyType.ptr()));
  if (p == nullptr) throw py::error_already_set();
  p->get = get;
  p->put = put;
  p->cls = &cls;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(p));
}

// The dynamic array as nested lists: attributes, then values, then sub-values; a level with
// one element is its text.
py::object splitLevel(StringView text, int level) {
  static constexpr char16_t marks[] = {kAM, kVM, kSVM};
  if (level == 3 || (level > 0 && text.find(marks[level]) == StringView::npos)) {
    return toStr(String(text));
  }
  py::list out;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(marks[level], start);
    out.append(splitLevel(text.substr(start, end - start), level + 1));
    if (end == StringView::npos) break;
    start = end + 1;
  }
  return out;
}

String joinLevel(py::handle o, int level) {
  static constexpr char16_t marks[] = {kAM, kVM, kSVM};
  if (py::isinstance<py::str>(o)) return fromStr(o);
  if (level == 3 || !(py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o))) {
    return toVariant(o).toString();
  }
  String out;
  bool first = true;
  for (py::handle e : o.cast<py::sequence>()) {
    if (!first) out.push_back(marks[level]);
    first = false;
    out += joinLevel(e, level + 1);
  }
  return out;
}

// Attributes in an array: none when empty, else one more than its attribute marks.
std::size_t attributeCount(const String& text) {
  if (text.empty()) return 0;
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), kAM));
}

const String& arrayText(PyObject* self) {
  return static_cast<clsTarnDynamicArray&>(*live(*handleOf(self))).brCString();
}

// What every class has: a with block lets the object go on leaving, so that a file or
// connection closes on the server unless something else still holds it.
PyObject* enterBlock(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}
PyObject* exitBlock(PyObject* self, PyObject*) {
  handleOf(self)->ref.reset();
  Py_RETURN_FALSE;
}

// A dynamic array is also a sequence of its attributes, counted from 1 as in the family.
Py_ssize_t arrayLength(PyObject* self) {
  Py_ssize_t count = -1;
  (void)guarded([&]() -> PyObject* {
    count = static_cast<Py_ssize_t>(attributeCount(arrayText(self)));
    return Py_None;
  });
  return count;
}

PyObject* arrayItem(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    const String& text = arrayText(self);
    const auto count = static_cast<Py_ssize_t>(attributeCount(text));
    const Py_ssize_t at = n < 0 ? count + 1 + n : n;
    if (at < 1 || at > count) {
      throw py::index_error("attribute " + std::to_string(n) + " of " + std::to_string(count) +
                            " (attributes count from 1)");
    }
    auto& a = static_cast<clsTarnDynamicArray&>(*live(*handleOf(self)));
    return toStr(a.brExtractStr(static_cast<std::int32_t>(at))).release().ptr();
  });
}

PyObject* arrayIter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    py::list out;
    const String& text = arrayText(self);
    for (std::size_t start = 0; !text.empty();) {
      const std::size_t end = text.find(kAM, start);
      out.append(toStr(text.substr(start, end - start)));
      if (end == String::npos) break;
      start = end + 1;
    }
    return PyObject_GetIter(out.ptr());
  });
}

PyObject* arrayStr(PyObject* self) {
  return guarded([&]() -> PyObject* { return py::str(printable(arrayText(self))).release().ptr(); });
}

PyObject* arrayToList(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return splitLevel(arrayText(self), 0).release().ptr(); });
}

// A walk over a select list: each id brReadnext gives, from the one the list is on.
struct ListWalk {
  PyObject_HEAD Ref<Object> list;
  SelectListIterator at;
  bool started;
};
PyTypeObject* listWalkType = nullptr;

void listWalkDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* w = reinterpret_cast<ListWalk*>(self);
  w->at.~SelectListIterator();
  w->list.~Ref<Object>();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* listWalkNext(PyObject* self) {
  auto* w = reinterpret_cast<ListWalk*>(self);
  return guarded([&]() -> PyObject* {
    if (w->started && !(w->at == SelectListIterator::End{})) ++w->at;
    w->started = true;
    if (w->at == SelectListIterator::End{}) return nullptr;  // the end, with no error set
    return toStr(*w->at).release().ptr();
  });
}

PyObject* selectListIter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Ref<Object>& list = live(*handleOf(self));
    PyObject* made = listWalkType->tp_alloc(listWalkType, 0);
    if (made == nullptr) return nullptr;
    auto* w = reinterpret_cast<ListWalk*>(made);
    new (&w->list) Ref<Object>(list);
    new (&w->at) SelectListIterator();
    w->started = false;
    py::object owned = py::reinterpret_steal<py::object>(made);  // freed if the first read fails
    w->at = SelectListIterator(static_cast<clsTarnSelectList&>(*list));
    return owned.release().ptr();
  });
}

// A new object of a class Python code may create: clsTarnDynamicArray(value=None) from its text
// or nested lists, the others without arguments.
PyObject* newInstance(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    // The described class is the type itself or, for a Python subclass, its nearest base.
    PyTypeObject* described = type;
    while (std::find(pythonTypes.begin(), pythonTypes.end(), described) == pythonTypes.end()) {
      described = described->tp_base;
    }
    const ClassInfo& cls = typelib::library().classes[static_cast<std::size_t>(
        std::find(pythonTypes.begin(), pythonTypes.end(), described) - pythonTypes.begin())];
    const bool isArray = cls.name == "clsTarnDynamicArray";
    PyObject* init = Py_None;
    static const char* valueOnly[] = {"value", nullptr};
    static const char* none[] = {nullptr};
    const std::string format = (isArray ? "|O:" : ":") + cls.name;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(),
                                     const_cast<char**>(isArray ? valueOnly : none), &init)) {
      return nullptr;
    }
    Ref<Object> made = typelib::createObject(typelib::library().name + "." + cls.name);
    if (init != Py_None) refCast<clsTarnDynamicArray>(made)->brCString(joinLevel(init, 0));
    return instanceOf(type, std::move(made)).release().ptr();
  });
}

PyTypeObject* newType(const char* name, const std::string& doc, std::vector<PyType_Slot> slots,
                      unsigned long flags, std::size_t size, PyTypeObject* base) {
  if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
  slots.push_back({0, nullptr});
  PyType_Spec spec{name, static_cast<int>(size), 0, static_cast<unsigned>(flags), slots.data()};
  PyObject* type = base == nullptr
                       ? PyType_FromSpec(&spec)
                       : PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base));
  if (type == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

// The base of every class (tarncl._Object) and the select lists' walk.
void defineBase(py::module_& m) {
  static PyMethodDef blockMethods[] = {
      {"__enter__", enterBlock, METH_NOARGS, nullptr},
      {"__exit__", exitBlock, METH_VARARGS, nullptr},
      {nullptr, nullptr, 0, nullptr}};
  objectType = newType("tarncl._Object", "",
                       {{Py_tp_dealloc, reinterpret_cast<void*>(handleDealloc)},
                        {Py_tp_methods, blockMethods}},
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                           Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       sizeof(Handle), nullptr);
  m.attr("_Object") = py::handle(reinterpret_cast<PyObject*>(objectType));
  listWalkType = newType("tarncl._ListWalk", "",
                         {{Py_tp_dealloc, reinterpret_cast<void*>(listWalkDealloc)},
                          {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                          {Py_tp_iternext, reinterpret_cast<void*>(listWalkNext)}},
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         sizeof(ListWalk), nullptr);
}

void defineClass(py::module_& m, const ClassInfo& cls) {
  static std::deque<std::string> names;  // a type keeps pointing at its spec's name
  names.push_back("tarncl." + cls.name);
  std::string doc = contractOf(cls.name, "");
  std::vector<PyType_Slot> slots{{Py_tp_dealloc, reinterpret_cast<void*>(handleDealloc)}};
  if (cls.creatable) slots.push_back({Py_tp_new, reinterpret_cast<void*>(newInstance)});
  if (cls.name == "clsTarnDynamicArray") {
    doc +=
        "\n\nIn Python an array is also a sequence of its attributes: len(a) counts them, a[n] is "
        "the text of attribute n counted from 1 as in the rest of the family (a[-1] the last), "
        "and iteration yields each attribute's text. An empty array has no attributes.";
    static PyMethodDef arrayMethods[] = {
        {"tolist", arrayToList, METH_NOARGS,
         "The array as nested lists: attributes, then values, then sub-values; a level with one "
         "element is its text."},
        {nullptr, nullptr, 0, nullptr}};
    slots.insert(slots.end(), {{Py_mp_length, reinterpret_cast<void*>(arrayLength)},
                               {Py_mp_subscript, reinterpret_cast<void*>(arrayItem)},
                               {Py_tp_iter, reinterpret_cast<void*>(arrayIter)},
                               {Py_tp_str, reinterpret_cast<void*>(arrayStr)},
                               {Py_tp_methods, arrayMethods}});
  }
  if (cls.name == "clsTarnSelectList") {
    slots.push_back({Py_tp_iter, reinterpret_cast<void*>(selectListIter)});
  }
  PyTypeObject* type = newType(
      names.back().c_str(), doc, std::move(slots),
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
          (cls.creatable ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION),
      sizeof(Handle), objectType);
  pythonTypes.push_back(type);
  py::object pyClass = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
  m.attr(cls.name.c_str()) = pyClass;
  // Members with the same name are one Python attribute: a property when every kind is a
  // get, let or set without further parameters, otherwise a method.
  for (std::size_t i = 0; i < cls.members.size(); ++i) {
    const Member& mem = cls.members[i];
    bool seen = false;
    for (std::size_t j = 0; j < i; ++j) seen |= cls.members[j].id == mem.id;
    if (seen) continue;
    const Member* get = cls.find(mem.id, Kind::PropertyGet);
    const Member* let = cls.find(mem.id, Kind::PropertyLet);
    const Member* set = cls.find(mem.id, Kind::PropertySet);
    const bool property = mem.kind != Kind::Method && (get == nullptr || get->params.empty());
    if (property) {
      pyClass.attr(mem.name.c_str()) = newMemberProperty(cls, get, let ? let : set);
    } else {
      pyClass.attr(mem.name.c_str()) = newMemberFunction(cls, mem);
    }
  }
}

}  // namespace
}  // namespace tarn::python

PYBIND11_MODULE(_tarncl, m) {
  using namespace tarn;
  using namespace tarn::python;
  m.doc() = "Object access to a Tarn multivalue database server";
  m.attr("__version__") = TARNCL_VERSION;

  auto errorClass = [&m](const char* name, PyObject* base, const char* doc) {
    auto type = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc((std::string("tarncl.") + name).c_str(), doc, base, nullptr));
    if (!type) throw py::error_already_set();
    m.attr(name) = type;
    return type;
  };
  tarnErrorType = errorClass(
      "TarnError", PyExc_Exception,
      "Every failure of the library. str(e) is one line with all that is known; the parts are "
      "number (the contract's error number), source (library, class, operation and its "
      "arguments), description, sql_state, native_error and diagnostic (the driver manager's or "
      "server's own text; \"\" and 0 when the failure did not come from an ODBC call).");
  PyObject* base = tarnErrorType.ptr();
  lockedErrorType = errorClass("LockedError", base, "The item or file is locked by another port.");
  missingItemErrorType = errorClass("MissingItemError", base, "No item has that id.");
  missingFileErrorType = errorClass("MissingFileError", base, "No file has that name.");
  logonErrorType =
      errorClass("LogonError", base, "The server refused the logon (user, password, account).");
  connectionLostErrorType =
      errorClass("ConnectionLostError", base, "The connection to the server is gone.");
  badArgumentErrorType = errorClass(
      "BadArgumentError", base,
      "An argument the member cannot take: its type, its count, or a mark where none may be.");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const TarnError& e) {
      raiseTarnError(e);
    }
  });
  makeDescriptorTypes();

  defineBase(m);
  for (const ClassInfo& cls : typelib::library().classes) defineClass(m, cls);

  // Enumerations: each as an IntEnum and its members as module constants, as scripts use them.
  py::object intEnum = py::module_::import("enum").attr("IntEnum");
  for (const auto& e : typelib::library().enums) {
    py::list members;
    for (const auto& v : e.values) {
      members.append(py::make_tuple(v.name, v.value));
      m.attr(v.name.c_str()) = v.value;
    }
    m.attr(e.name.c_str()) = intEnum(e.name, members, py::arg("module") = "tarncl");
  }
  // The marks, under the short names Python code uses.
  m.attr("AM") = toStr(String(1, kAM));
  m.attr("VM") = toStr(String(1, kVM));
  m.attr("SM") = toStr(String(1, kSVM));

  // Unqualified names reach the predeclared application objects.
  m.def("__getattr__", [](const std::string& name) -> py::object {
    for (const auto& cls : typelib::library().classes) {
      if (!cls.appObject) continue;
      for (const auto& mem : cls.members) {
        if (mem.name == name) return wrap(typelib::appObject(cls.name)).attr(name.c_str());
      }
    }
    throw py::attribute_error("module 'tarncl' has no attribute '" + name + "'");
  });
  // Those names, for dir(tarncl) and completion.
  m.def("_appobject_names", [] {
    py::list names;
    for (const auto& cls : typelib::library().classes) {
      if (!cls.appObject) continue;
      for (const auto& mem : cls.members) {
        if (!names.contains(mem.name)) names.append(mem.name);
      }
    }
    return names;
  });
  // The description as plain data, for the stub's generator: per class its name, whether
  // Python code may create it, whether it is an application object, and per member its name,
  // kind, result type and parameters (name, type, optional, written).
  m.def("_describe", [] {
    py::list classes;
    for (const auto& cls : typelib::library().classes) {
      py::list members;
      for (const auto& mem : cls.members) {
        py::list params;
        for (const auto& p : mem.params) {
          params.append(py::make_tuple(p.name, pythonType(p.type), p.optional, p.written));
        }
        members.append(
            py::make_tuple(mem.name, static_cast<int>(mem.kind), pythonType(mem.result), params));
      }
      classes.append(py::make_tuple(cls.name, cls.creatable, cls.appObject, members));
    }
    return classes;
  });
}
