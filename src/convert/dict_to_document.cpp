#include "convert/dict_to_document.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "common/stable_sort_few.h"
#include "json/json_writer.h"
#include "python/errors.h"
#include "python/ref.h"

namespace quillmere::convert {
namespace {

using python::PyRef;

constexpr const char* kRecursionContext = " while converting a document";

// The abstract base classes that decide whether other objects convert as
// arrays or objects; imported once per process.
struct AbcClasses {
  PyObject* sequence = nullptr;
  PyObject* mapping = nullptr;
};

bool load_abc_classes(AbcClasses& classes) {
  if (classes.sequence != nullptr) return true;
  PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return false;
  PyRef sequence = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  PyRef mapping = PyRef::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!sequence || !mapping) return false;
  classes.sequence = sequence.release();
  classes.mapping = mapping.release();
  return true;
}

AbcClasses abc_classes;

// Writes one Python value tree as canonical JSON. Containers are walked with
// an explicit stack of frames; each frame counts as one level against the
// interpreter's recursion limit. Object members are written in the order the
// mapping yields them (so the first failure is the one a straightforward walk
// meets) and put into key order when the object closes.
class DocumentWriter {
 public:
  explicit DocumentWriter(std::string& out) : out_(out) {}
  ~DocumentWriter() {
    while (!frames_.empty()) pop_frame();
  }

  // On failure returns false with error_ set, or with interrupted() and the
  // interruption pending; no other Python error stays pending.
  bool write(PyObject* payload) {
    bool ok = write_value(payload);
    while (ok && !frames_.empty()) ok = advance();
    if (ok) return true;
    // The error's text is read only after the levels are left again: reading
    // it runs Python code, which the recursion limit would refuse.
    while (!frames_.empty()) pop_frame();
    if (python_error_) {
      std::optional<std::string> text = python::take_error_text();
      interrupted_ = !text;
      if (text) error_ = std::move(*text);
    }
    return false;
  }

  const std::string& error() const { return error_; }
  bool interrupted() const { return interrupted_; }

 private:
  enum class FrameKind {
    kList,      // list or tuple, by index
    kSequence,  // another sequence, by PySequence_GetItem
    kIterator,  // a set, by iteration
    kDict,      // a dict, by PyDict_Next
    kPairs,     // a list of (key, value) tuples: other mappings and dataclasses
  };

  struct Frame {
    FrameKind kind;
    PyRef container;
    Py_ssize_t position = 0;
    std::size_t members_begin = 0;  // first of this object's entries in members_
    std::size_t content_start = 0;  // offset just after the opening bracket
    bool empty = true;
  };

  struct Member {
    PyRef key;  // keeps key_text alive
    std::string_view key_text;
    std::size_t start;  // offset of the member's quoted key
    std::size_t end;    // offset just after its value
  };

  // Takes the next item of the innermost container, or closes it.
  bool advance() {
    Frame& frame = frames_.back();
    PyObject* key = nullptr;
    PyRef value;
    if (!next_item(frame, key, value)) return false;
    if (!value) return close_frame();
    if (is_object(frame.kind)) {
      finish_member();
      if (!frame.empty) out_ += ',';
      frame.empty = false;
      if (!begin_member(key)) return false;
    } else {
      if (!frame.empty) out_ += ',';
      frame.empty = false;
    }
    return write_value(value.get());
  }

  static bool is_object(FrameKind kind) {
    return kind == FrameKind::kDict || kind == FrameKind::kPairs;
  }

  // Sets `value` to the next item (and `key` for objects, borrowed from a
  // reference the frame or `value`'s owner keeps), or leaves it null at the end.
  bool next_item(Frame& frame, PyObject*& key, PyRef& value) {
    PyObject* container = frame.container.get();
    switch (frame.kind) {
      case FrameKind::kList: {
        const bool is_list = PyList_Check(container);
        const Py_ssize_t size = is_list ? PyList_Size(container) : PyTuple_Size(container);
        if (frame.position >= size) return true;
        value = PyRef::borrow(is_list ? PyList_GetItem(container, frame.position)
                                      : PyTuple_GetItem(container, frame.position));
        ++frame.position;
        return true;
      }
      case FrameKind::kSequence: {
        const Py_ssize_t size = PySequence_Size(container);
        if (size < 0) return fail_with_python_error();
        if (frame.position >= size) return true;
        value = PyRef::steal(PySequence_GetItem(container, frame.position++));
        return value ? true : fail_with_python_error();
      }
      case FrameKind::kIterator:
        value = PyRef::steal(PyIter_Next(container));
        return value || !PyErr_Occurred() ? true : fail_with_python_error();
      case FrameKind::kDict: {
        PyObject* borrowed_value = nullptr;
        if (!PyDict_Next(container, &frame.position, &key, &borrowed_value)) return true;
        value = PyRef::borrow(borrowed_value);
        return true;
      }
      case FrameKind::kPairs: {
        if (frame.position >= PyList_Size(container)) return true;
        PyObject* pair = PyList_GetItem(container, frame.position++);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
          return fail(python::cast_error_text(pair, "tuple"));
        }
        key = PyTuple_GetItem(pair, 0);
        value = PyRef::borrow(PyTuple_GetItem(pair, 1));
        return true;
      }
    }
    return true;
  }

  bool begin_member(PyObject* key) {
    if (!PyUnicode_Check(key)) {
      return fail("unexpected type: " + python::cast_error_text(key, "str"));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) return fail_with_python_error();
    const std::string_view text(data, static_cast<std::size_t>(size));
    members_.push_back(Member{PyRef::borrow(key), text, out_.size(), 0});
    json::append_json_string(out_, text);
    out_ += ':';
    return true;
  }

  // Records where the current member of the innermost object ends.
  void finish_member() {
    if (members_.size() > frames_.back().members_begin) members_.back().end = out_.size();
  }

  bool write_value(PyObject* value) {
    if (value == Py_None) {
      out_ += "null";
    } else if (PyBool_Check(value)) {
      out_ += value == Py_True ? "true" : "false";
    } else if (PyLong_Check(value)) {
      return write_integer(value);
    } else if (PyList_Check(value) || PyTuple_Check(value)) {
      return push_frame(FrameKind::kList, PyRef::borrow(value));
    } else if (PyDict_Check(value)) {
      return push_frame(FrameKind::kDict, PyRef::borrow(value));
    } else if (PyUnicode_Check(value)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(value, &size);
      if (data == nullptr) return fail_with_python_error();
      json::append_json_string(out_, std::string_view(data, static_cast<std::size_t>(size)));
    } else if (PyBytes_Check(value)) {
      return fail("invalid type: byte array, expected any valid JSON value");
    } else if (PyByteArray_Check(value)) {
      return fail("unexpected type: " + python::cast_error_text(value, "bytes"));
    } else if (PyFloat_Check(value)) {
      const double number = PyFloat_AsDouble(value);
      if (std::isfinite(number)) {
        json::append_json_float(out_, number);
      } else {
        out_ += "null";  // JSON has no NaN or infinity
      }
    } else if (PyAnySet_Check(value)) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(value));
      if (!iterator) return fail_with_python_error();
      return push_frame(FrameKind::kIterator, std::move(iterator));
    } else {
      return write_other(value);
    }
    return true;
  }

  // Sequences and mappings by their abstract classes, dataclass instances,
  // and the refusal of everything else.
  bool write_other(PyObject* value) {
    if (!load_abc_classes(abc_classes)) return fail_with_python_error();
    const int is_sequence = PyObject_IsInstance(value, abc_classes.sequence);
    if (is_sequence < 0) return fail_with_python_error();
    if (is_sequence) return push_frame(FrameKind::kSequence, PyRef::borrow(value));
    const int is_mapping = PyObject_IsInstance(value, abc_classes.mapping);
    if (is_mapping < 0) return fail_with_python_error();
    if (is_mapping) {
      PyRef pairs = PyRef::steal(PyMapping_Items(value));
      if (!pairs) return fail_with_python_error();
      return push_frame(FrameKind::kPairs, std::move(pairs));
    }
    PyRef fields = PyRef::steal(PyObject_GetAttrString(value, "__dataclass_fields__"));
    if (!fields) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_with_python_error();
      PyErr_Clear();
      return fail("unsupported type " + python::type_name_of(value));
    }
    return write_dataclass(value, fields.get());
  }

  bool write_dataclass(PyObject* value, PyObject* fields) {
    if (!PyDict_Check(fields)) {
      return fail("unexpected type: " + python::cast_error_text(fields, "dict"));
    }
    PyRef pairs = PyRef::steal(PyList_New(0));
    if (!pairs) return fail_with_python_error();
    PyObject *name, *field;
    Py_ssize_t position = 0;
    while (PyDict_Next(fields, &position, &name, &field)) {
      if (!PyUnicode_Check(name)) {
        return fail("unexpected type: " + python::cast_error_text(name, "str"));
      }
      PyRef attribute = PyRef::steal(PyObject_GetAttr(value, name));
      if (!attribute) return fail_with_python_error();
      PyRef pair = PyRef::steal(PyTuple_Pack(2, name, attribute.get()));
      if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return fail_with_python_error();
    }
    return push_frame(FrameKind::kPairs, std::move(pairs));
  }

  bool write_integer(PyObject* value) {
    int overflow = 0;
    const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (signed_value == -1 && PyErr_Occurred()) return fail_with_python_error();
      json::append_json_integer(out_, static_cast<std::int64_t>(signed_value));
      return true;
    }
    if (overflow > 0) {
      const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
      if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        json::append_json_integer(out_, static_cast<std::uint64_t>(unsigned_value));
        return true;
      }
      PyErr_Clear();
    }
    return fail_out_of_range(value, overflow < 0);
  }

  // Integers within 128 bits are out of JSON's range; larger ones fail with
  // the interpreter's own overflow error.
  bool fail_out_of_range(PyObject* value, bool negative) {
    PyRef to_bytes = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
    PyRef arguments = PyRef::steal(Py_BuildValue("(Ois)", value, 16, "little"));
    PyRef keywords = PyRef::steal(Py_BuildValue("{s:O}", "signed", negative ? Py_True : Py_False));
    if (!to_bytes || !arguments || !keywords) return fail_with_python_error();
    PyRef fits = PyRef::steal(PyObject_Call(to_bytes.get(), arguments.get(), keywords.get()));
    if (!fits) return fail_with_python_error();
    return fail("JSON number out of range");
  }

  bool push_frame(FrameKind kind, PyRef container) {
    if (Py_EnterRecursiveCall(kRecursionContext) != 0) return fail_with_python_error();
    out_ += is_object(kind) ? '{' : '[';
    frames_.push_back(
        Frame{kind, std::move(container), 0, members_.size(), out_.size(), true});
    return true;
  }

  void pop_frame() {
    Py_LeaveRecursiveCall();
    members_.resize(frames_.back().members_begin);
    frames_.pop_back();
  }

  bool close_frame() {
    const bool object = is_object(frames_.back().kind);
    if (object) {
      finish_member();
      order_members();
    }
    out_ += object ? '}' : ']';
    pop_frame();
    return true;
  }

  // Puts the innermost object's members into ascending byte order of their
  // keys; of repeated keys the last one stays.
  void order_members() {
    const Frame& frame = frames_.back();
    const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(frame.members_begin);
    const auto by_key = [](const Member& a, const Member& b) { return a.key_text < b.key_text; };
    const bool strictly_ascending =
        std::adjacent_find(begin, members_.end(), [](const Member& a, const Member& b) {
          return !(a.key_text < b.key_text);
        }) == members_.end();
    if (strictly_ascending) return;
    quillmere::stable_sort_few(begin, members_.end(), by_key);
    const std::string written = out_.substr(frame.content_start);
    out_.resize(frame.content_start);
    for (auto member = begin; member != members_.end(); ++member) {
      const auto next = member + 1;
      if (next != members_.end() && next->key_text == member->key_text) continue;
      if (out_.size() != frame.content_start) out_ += ',';
      out_.append(written, member->start - frame.content_start, member->end - member->start);
    }
  }

  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  // Leaves the Python error pending until write() has unwound.
  bool fail_with_python_error() {
    python_error_ = true;
    return false;
  }

  std::string& out_;
  std::vector<Frame> frames_;
  std::vector<Member> members_;
  std::string error_;
  bool python_error_ = false;
  bool interrupted_ = false;
};

}  // namespace

bool dict_to_document(PyObject* payload, std::string& out, ConversionFailure& failure) {
  out.clear();
  try {
    DocumentWriter writer(out);
    if (writer.write(payload)) return true;
    failure = writer.interrupted()
                  ? ConversionFailure{ConversionFailure::Kind::kInterrupted, {}}
                  : ConversionFailure{ConversionFailure::Kind::kConversion, writer.error()};
  } catch (const std::bad_alloc&) {
    failure = ConversionFailure{ConversionFailure::Kind::kSerialization, "memory allocation failed"};
  }
  out.clear();
  return false;
}

}  // namespace quillmere::convert
