// The Python module tarncl: every described class, member and enumeration under its own name,
// driven by the type library and called through late-bound dispatch.
//
// Conventions: str in and out; optional parameters may be given by keyword; a member that
// writes by-reference parameters returns its result followed by the final value of each of
// them that the caller passed (None will do), a single value alone; every failure is a
// tarncl.TarnError.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
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
struct Handle {
  Ref<Object> ref;
};
// One C++ type per Python class, so that each described class is a class of its own in Python.
template <std::size_t I>
struct ClassHandle : Handle {};

constexpr std::size_t kMaxClasses = 16;
using Wrapper = py::object (*)(Ref<Object>);
std::array<Wrapper, kMaxClasses> wrappers{};
py::object tarnErrorType;

const Ref<Object>& live(const Handle& h) {
  if (!h.ref) throw TarnError::platform(err::kObjectNotSet);
  return h.ref;
}

std::size_t classIndex(const ClassInfo* cls) {
  return static_cast<std::size_t>(cls - typelib::library().classes.data());
}

py::object toPython(const Variant& v);

py::object wrap(Ref<Object> o) {
  if (!o) return py::none();
  const ClassInfo* cls = typelib::classOf(*o);
  if (cls == nullptr) throw TarnError::platform(err::kTypeMismatch);
  return wrappers[classIndex(cls)](std::move(o));
}

// Straight between UTF-16 and Python's own representation: no UTF-8 in between.
py::str toStr(const String& s) {
  int littleEndian = -1;
  PyObject* o =
      PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(s.data()),
                            static_cast<Py_ssize_t>(s.size() * 2), nullptr, &littleEndian);
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
  if (py::isinstance<Handle>(o)) return Variant(o.cast<Handle&>().ref);
  if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
    py::sequence seq = o.cast<py::sequence>();
    VariantArray a(0, static_cast<std::int32_t>(seq.size()));
    for (std::size_t i = 0; i < seq.size(); ++i) a.elements()[i] = toVariant(seq[i]);
    return Variant(std::move(a));
  }
  throw TarnError::platform(err::kTypeMismatch);
}

// Positional and keyword arguments in parameter order; gaps before the last given one are
// passed as missing.
std::vector<Variant> arguments(const Member& m, const py::args& args, const py::kwargs& kwargs) {
  std::vector<Variant> out;
  out.reserve(std::max(m.params.size(), args.size()));
  for (py::handle a : args) out.push_back(toVariant(a));
  if (kwargs.empty()) return out;
  for (auto [key, value] : kwargs) {
    const auto name = key.cast<std::string>();
    std::size_t i = 0;
    while (i < m.params.size() && !typelib::sameName(m.params[i].name, name)) ++i;
    if (i == m.params.size()) {
      throw py::type_error(m.name + "() has no parameter named '" + name + "'");
    }
    if (i < args.size()) throw py::type_error(m.name + "() got '" + name + "' twice");
    if (out.size() <= i) out.resize(i + 1, Variant::missing());
    out[i] = toVariant(value);
  }
  return out;
}

py::object callMember(const Handle& self, const Member& m, Kind kind, const py::args& args,
                      const py::kwargs& kwargs) {
  std::vector<Variant> a = arguments(m, args, kwargs);
  Variant result = typelib::invoke(live(self), m.id, kind, a);
  bool anyWritten = false;
  for (std::size_t i = 0; i < a.size(); ++i) anyWritten |= m.params[i].written && !a[i].isMissing();
  if (!anyWritten) return toPython(result);
  py::list values;
  if (m.result.base != BaseType::Void) values.append(toPython(result));
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    if (m.params[i].written && i < a.size() && !a[i].isMissing()) values.append(toPython(a[i]));
  }
  if (values.size() == 1) return values[0];
  return py::tuple(values);
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

template <std::size_t I>
void defineClass(py::module_& m, const ClassInfo& cls) {
  using H = ClassHandle<I>;
  py::class_<H, Handle> pyClass(m, cls.name.c_str());
  wrappers[I] = [](Ref<Object> o) { return py::cast(H{{std::move(o)}}); };
  if (cls.creatable) {
    const std::string progId = typelib::library().name + "." + cls.name;
    if (cls.name == "clsTarnDynamicArray") {
      // A new array, optionally from its text or from nested lists.
      pyClass.def(py::init([progId](py::object init) {
                    H h{{typelib::createObject(progId)}};
                    if (!init.is_none()) {
                      refCast<clsTarnDynamicArray>(h.ref)->brCString(joinLevel(init, 0));
                    }
                    return h;
                  }),
                  py::arg("value") = py::none());
    } else {
      pyClass.def(py::init([progId] { return H{{typelib::createObject(progId)}}; }));
    }
  }
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
    if (!property) {
      pyClass.def(mem.name.c_str(), [&mem](const Handle& self, py::args args, py::kwargs kw) {
        return callMember(self, mem, Kind::Method, args, kw);
      });
      continue;
    }
    py::cpp_function getter;
    if (get != nullptr) {
      getter = py::cpp_function([get](const Handle& self) {
        return toPython(typelib::invoke(live(self), get->id, Kind::PropertyGet));
      });
    }
    py::cpp_function setter;
    if (const Member* put = let ? let : set) {
      setter = py::cpp_function([put](const Handle& self, py::object value) {
        std::vector<Variant> a{toVariant(value)};
        (void)typelib::invoke(live(self), put->id, put->kind, a);
      });
    }
    pyClass.def_property(mem.name.c_str(), getter, setter);
  }
  if (cls.name == "clsTarnSelectList") {
    pyClass.def(
        "__iter__",
        [](const Handle& self) {
          auto& list = static_cast<clsTarnSelectList&>(*live(self));
          return py::make_iterator(begin(list), end(list));
        },
        py::keep_alive<0, 1>());
  }
  if (cls.name == "clsTarnDynamicArray") {
    pyClass.def("__str__", [](const Handle& self) {
      return py::str(printable(static_cast<clsTarnDynamicArray&>(*live(self)).brCString()));
    });
    pyClass.def("tolist", [](const Handle& self) {
      return splitLevel(static_cast<clsTarnDynamicArray&>(*live(self)).brCString(), 0);
    });
  }
}

template <std::size_t... I>
void defineClasses(py::module_& m, std::index_sequence<I...>) {
  const auto& classes = typelib::library().classes;
  ((I < classes.size() ? defineClass<I>(m, classes[I]) : void()), ...);
}

}  // namespace
}  // namespace tarn::python

PYBIND11_MODULE(tarncl, m) {
  using namespace tarn;
  using namespace tarn::python;
  m.doc() = "Object access to a Tarn multivalue database server";
  if (typelib::library().classes.size() > kMaxClasses) {
    throw std::runtime_error("tarncl: more classes than the module was built for");
  }

  tarnErrorType = py::reinterpret_steal<py::object>(
      PyErr_NewException("tarncl.TarnError", PyExc_Exception, nullptr));
  m.attr("TarnError") = tarnErrorType;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const TarnError& e) {
      py::object error = tarnErrorType(toStr(e.description()));
      error.attr("number") = e.number();
      error.attr("source") = toStr(e.source());
      error.attr("description") = toStr(e.description());
      PyErr_SetObject(tarnErrorType.ptr(), error.ptr());
    }
  });

  py::class_<Handle>(m, "_Object")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Handle& self, py::args) {
        // Leaving a with block lets the object go: a file or connection closes on the server
        // unless something else still holds it.
        self.ref.reset();
        return false;
      });
  defineClasses(m, std::make_index_sequence<kMaxClasses>());

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
}
