#include "convert/document_to_dict.h"

#include <algorithm>
#include <numeric>
#include <optional>

#include "common/stable_sort_few.h"
#include "convert/key_cache.h"
#include "json/parser.h"
#include "python/errors.h"
#include "python/paused_gc.h"
#include "python/ref.h"

namespace quillmere::convert {
namespace {

using python::PyRef;

constexpr const char* kNotADictionary = "Database entry is not a valid JSON/Dictionary";

const char* parse_error_prefix(MessageSet messages) {
  return messages == MessageSet::kGet ? "Json parsing error " : "Json Parse Error ";
}

const char* object_error_prefix(MessageSet messages) {
  return messages == MessageSet::kGet ? "Error while pythonizing " : "Pythonize Error ";
}

// Parser handler that builds Python objects as values complete. Finished
// values wait on a stack until their container closes; object keys wait on a
// parallel stack with their UTF-8 text, by which the members are ordered.
class ObjectBuilder {
 public:
  ~ObjectBuilder() {
    for (PyObject* value : values_) Py_DECREF(value);
    for (const Key& key : keys_) Py_DECREF(key.object);
  }

  // The finished top-level value (a new reference), once the parse succeeded.
  PyRef take_result() {
    PyRef result = PyRef::steal(values_.back());
    values_.pop_back();
    return result;
  }

  bool null() { return push(PyRef::borrow(Py_None)); }
  bool boolean(bool value) { return push(PyRef::borrow(value ? Py_True : Py_False)); }
  bool uint(std::uint64_t value) { return push(PyRef::steal(PyLong_FromUnsignedLongLong(value))); }
  bool sint(std::int64_t value) { return push(PyRef::steal(PyLong_FromLongLong(value))); }
  bool real(double value) { return push(PyRef::steal(PyFloat_FromDouble(value))); }
  bool string(std::string_view text) { return push(make_str(text)); }

  bool key(std::string_view text) {
    PyRef object = PyRef::steal(key_cache().key(text));
    if (!object) return false;
    keys_.push_back(Key{object.release(), key_text_.size(), text.size()});
    key_text_ += text;
    return true;
  }

  bool begin_array() {
    frames_.push_back(Frame{values_.size(), keys_.size(), key_text_.size()});
    return true;
  }
  bool begin_object() { return begin_array(); }

  bool end_array() {
    const Frame frame = frames_.back();
    frames_.pop_back();
    const std::size_t count = values_.size() - frame.values_begin;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return false;
    for (std::size_t i = 0; i < count; ++i) {
      // PyList_SetItem takes over the reference the stack held.
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), values_[frame.values_begin + i]);
    }
    values_.resize(frame.values_begin);
    return push(std::move(list));
  }

  bool end_object() {
    const Frame frame = frames_.back();
    frames_.pop_back();
    PyRef dict = PyRef::steal(PyDict_New());
    bool ok = dict && insert_members(dict.get(), frame);
    for (std::size_t i = frame.values_begin; i < values_.size(); ++i) Py_DECREF(values_[i]);
    for (std::size_t i = frame.keys_begin; i < keys_.size(); ++i) Py_DECREF(keys_[i].object);
    values_.resize(frame.values_begin);
    keys_.resize(frame.keys_begin);
    key_text_.resize(frame.key_text_begin);
    return ok && push(std::move(dict));
  }

 private:
  struct Key {
    PyObject* object;
    std::size_t text_offset;
    std::size_t text_size;
  };

  struct Frame {
    std::size_t values_begin;
    std::size_t keys_begin;
    std::size_t key_text_begin;
  };

  static PyRef make_str(std::string_view text) {
    // The parser hands over valid UTF-8 only.
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  }

  bool push(PyRef value) {
    if (!value) return false;
    values_.push_back(value.release());
    return true;
  }

  std::string_view key_text(const Key& key) const {
    return std::string_view(key_text_).substr(key.text_offset, key.text_size);
  }

  // Inserts the members in ascending byte order of their keys; of repeated
  // keys the one given last wins, as it is inserted last.
  bool insert_members(PyObject* dict, const Frame& frame) {
    const std::size_t count = keys_.size() - frame.keys_begin;
    order_.resize(count);
    std::iota(order_.begin(), order_.end(), frame.keys_begin);
    const auto by_key = [this](std::size_t a, std::size_t b) {
      return key_text(keys_[a]) < key_text(keys_[b]);
    };
    if (!std::is_sorted(order_.begin(), order_.end(), by_key)) {
      quillmere::stable_sort_few(order_.begin(), order_.end(), by_key);
    }
    for (std::size_t index : order_) {
      PyObject* value = values_[frame.values_begin + (index - frame.keys_begin)];
      if (PyDict_SetItem(dict, keys_[index].object, value) < 0) return false;
    }
    return true;
  }

  std::vector<PyObject*> values_;  // owned references
  std::vector<Key> keys_;          // owned references
  std::string key_text_;
  std::vector<Frame> frames_;
  std::vector<std::size_t> order_;
};

// Parses `document` in the reading's dialect into `builder`.
json::ParseResult parse(std::string_view document, json::Dialect dialect, ObjectBuilder& builder) {
  if (dialect == json::Dialect::kGeneral) {
    return json::parse_json<json::Dialect::kGeneral>(document, builder, json::kMaxOpenContainers);
  }
  return json::parse_json<json::Dialect::kInPlace>(document, builder, json::kMaxOpenContainers);
}

}  // namespace

PyObject* document_to_dict(std::string_view document, Reading reading) {
  const MessageSet messages = reading.messages;
  python::PausedGc paused_gc;
  PyRef value;
  {
    ObjectBuilder builder;
    const json::ParseResult parsed = parse(document, reading.dialect, builder);
    if (parsed.outcome == json::ParseResult::Outcome::kSyntaxError) {
      python::raise_runtime_error(parse_error_prefix(messages) +
                                  json::error_text(reading.dialect, parsed.error, document));
      return nullptr;
    }
    if (parsed.outcome == json::ParseResult::Outcome::kStopped) {
      if (std::optional<std::string> error = python::take_error_text()) {
        python::raise_runtime_error(object_error_prefix(messages) + *error);
      }
      return nullptr;
    }
    value = builder.take_result();
  }
  if (!PyDict_Check(value.get())) {
    python::raise_runtime_error(kNotADictionary);
    return nullptr;
  }
  return value.release();
}

PyObject* build_document_list(std::vector<engine::Row>&& rows, Reading reading) {
  python::PausedGc paused_gc;
  std::vector<engine::Row> owned = std::move(rows);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(owned.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < owned.size(); ++i) {
    engine::Row row = std::move(owned[i]);  // its bytes go as soon as it is converted
    PyRef id = PyRef::steal(
        PyUnicode_DecodeUTF8(row.id.data(), static_cast<Py_ssize_t>(row.id.size()), nullptr));
    if (!id) return nullptr;
    PyRef value = row.document ? PyRef::steal(document_to_dict(*row.document, reading))
                               : PyRef::borrow(Py_None);
    if (!value) return nullptr;
    PyObject* pair = PyTuple_Pack(2, id.get(), value.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace quillmere::convert
