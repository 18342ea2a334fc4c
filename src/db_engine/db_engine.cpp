#include "db_engine/db_engine.h"

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/channel.h"
#include "common/worker_thread.h"
#include "db_engine/background_writer.h"
#include "db_engine/dict_to_document.h"
#include "db_engine/document_to_dict.h"
#include "db_engine/reads.h"
#include "db_engine/write_op.h"
#include "json/syntax_check.h"
#include "python/arguments.h"
#include "python/borrow_flag.h"
#include "python/errors.h"
#include "python/extract.h"
#include "python/gil.h"
#include "python/method_call.h"
#include "python/native_class.h"
#include "python/ref.h"
#include "store/database.h"

namespace quillmere::db_engine {
namespace {

using python::Method;
using python::PyRef;

constexpr const char* kCrashedText = "Background write worker has crashed!";
constexpr const char* kQueueClosedPrefix = "Write queue full or closed. ";

// The engine's native fields, released in declaration order.
struct EngineFields {
  std::shared_ptr<store::Database> db;
  std::optional<Sender<WriteOp>> sender;
  std::optional<WorkerThread> writer_thread;  // present until close_engine joins it
  std::shared_ptr<std::atomic<bool>> alive;

  EngineFields() = default;
  EngineFields(EngineFields&&) = default;
  ~EngineFields() {
    db.reset();
    sender.reset();  // disconnects the queue: a running writer drains it and ends
    writer_thread.reset();
    alive.reset();
  }
};

struct DBEngineObject {
  PyObject_HEAD
  python::BorrowFlag borrow;
  EngineFields fields;
};

using Bound1 = std::array<PyObject*, 1>;
using Bound2 = std::array<PyObject*, 2>;

template <std::size_t N, typename Body>
PyObject* shared_call(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return python::call_method<DBEngineObject, python::SharedBorrow>(
      method, self, args, nargs, kwnames,
      [&](DBEngineObject& engine, std::array<PyObject*, N>& bound) {
        return body(engine.fields, bound);
      });
}

PyObject* none() { Py_RETURN_NONE; }

PyObject* raise(std::string_view message) {
  python::raise_runtime_error(message);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Shared steps of the writes

bool check_alive(const EngineFields& fields) {
  if (fields.alive->load(std::memory_order_seq_cst)) return true;
  raise(kCrashedText);
  return false;
}

bool queue(EngineFields& fields, WriteOp op) {
  Status sent = fields.sender->send(std::move(op));
  if (sent.ok()) return true;
  raise(kQueueClosedPrefix + sent.message());
  return false;
}

// "{message}{id}.{error}": the per-document messages.
PyObject* raise_for_document(const char* message, std::string_view id, std::string_view error) {
  std::string text(message);
  text.append(id).append(".").append(error);
  return raise(text);
}

// The stored document of a dict payload, or false after raising with
// `conversion_message` or the serialisation message.
bool convert_dict(PyObject* payload, std::string_view id, const char* conversion_message,
                  std::string& document) {
  ConversionFailure failure;
  if (dict_to_document(payload, document, failure)) return true;
  raise_for_document(failure.kind == ConversionFailure::Kind::kConversion
                         ? conversion_message
                         : "Failed to encode bytes for ",
                     id, failure.text);
  return false;
}

// insert and upsert: one dict payload, queued as `kind`.
PyObject* write_dict(EngineFields& fields, Bound2& bound, WriteOp::Kind kind) {
  std::optional<std::string_view> id = python::extract_str(bound[0], "id");
  if (!id) return nullptr;
  PyObject* payload = python::extract_dict(bound[1], "payload");
  if (payload == nullptr || !check_alive(fields)) return nullptr;
  WriteOp op{kind, std::string(*id), {}};
  if (!convert_dict(payload, *id, "Error converting dict to Rust bytes for ", op.payload)) {
    return nullptr;
  }
  return queue(fields, std::move(op)) ? none() : nullptr;
}

// A record of a bulk insert: its id and its payload object (a dict or a str).
struct Record {
  std::string id;
  PyRef payload;
};

// Extracts every record before anything is queued; `payload_is_valid` checks
// (and on failure raises for) the second item of a record.
std::optional<std::vector<Record>> extract_records(PyObject* records,
                                                   bool (*payload_is_valid)(PyObject*)) {
  std::vector<Record> extracted;
  const bool ok = python::for_each_sequence_item(records, "records", [&](PyObject* item) {
    PyObject *id, *payload;
    if (!python::extract_pair(item, "records", &id, &payload)) return false;
    std::optional<std::string_view> id_text = python::extract_str(id, "records");
    if (!id_text || !payload_is_valid(payload)) return false;
    extracted.push_back(Record{std::string(*id_text), PyRef::borrow(payload)});
    return true;
  });
  if (!ok) return std::nullopt;
  return extracted;
}

bool is_dict_record(PyObject* payload) {
  return python::extract_dict(payload, "records") != nullptr;
}

bool is_str_record(PyObject* payload) {
  return python::extract_str(payload, "records").has_value();
}

// ---------------------------------------------------------------------------
// Shared steps of the reads

// Runs store work with the interpreter lock released; the shared borrow the
// caller holds keeps close_engine out meanwhile.
template <typename StoreWork>
auto without_gil(StoreWork&& work) {
  python::ReleasedGil released;
  return work();
}

// The document list of rows read by `work`, or null with the error set.
template <typename StoreWork>
PyObject* document_list(StoreWork&& work, MessageSet messages) {
  Result<std::vector<Row>> rows = without_gil(std::forward<StoreWork>(work));
  if (!rows.ok()) return raise(rows.error());
  return build_document_list(std::move(rows.value()), messages);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* close_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr Method<0> kMethod{"DBEngine.close_engine", {}};
  return python::call_method<DBEngineObject, python::ExclusiveBorrow>(
      kMethod, self, args, nargs, kwnames, [](DBEngineObject& engine, auto&) -> PyObject* {
        EngineFields& fields = engine.fields;
        // The writer applies everything queued before the Shutdown, then
        // ends; it never needs the interpreter lock, so waiting with it held
        // is safe.
        Status sent = fields.sender->send(WriteOp{WriteOp::Kind::kShutdown, {}, {}});
        if (!sent.ok()) return raise("Failed to send shutdown signal " + sent.message());
        if (!fields.writer_thread) return none();
        WorkerThread writer = std::move(*fields.writer_thread);
        fields.writer_thread.reset();
        if (std::optional<std::string> failure = writer.join()) {
          return raise("Background writer panicked during shut down: " + *failure);
        }
        return none();
      });
}

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Method<2> kMethod{"DBEngine.insert", {"id", "payload"}};
  return shared_call(kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound2& bound) {
    return write_dict(fields, bound, WriteOp::Kind::kInsert);
  });
}

PyObject* upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Method<2> kMethod{"DBEngine.upsert", {"id", "payload"}};
  return shared_call(kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound2& bound) {
    return write_dict(fields, bound, WriteOp::Kind::kUpsert);
  });
}

PyObject* insert_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Method<2> kMethod{"DBEngine.insert_json", {"id", "json_payload"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound2& bound) -> PyObject* {
        std::optional<std::string_view> id = python::extract_str(bound[0], "id");
        if (!id) return nullptr;
        std::optional<std::string_view> text = python::extract_str(bound[1], "json_payload");
        if (!text || !check_alive(fields)) return nullptr;
        if (Status valid = json::validate_json_text(*text); !valid.ok()) {
          return raise_for_document("Validation error at ", *id, valid.message());
        }
        WriteOp op{WriteOp::Kind::kInsert, std::string(*id), std::string(*text)};
        return queue(fields, std::move(op)) ? none() : nullptr;
      });
}

PyObject* delete_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.delete", {"id"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::string_view> id = python::extract_str(bound[0], "id");
        if (!id || !check_alive(fields)) return nullptr;
        return queue(fields, WriteOp{WriteOp::Kind::kDelete, std::string(*id), {}}) ? none()
                                                                                   : nullptr;
      });
}

PyObject* insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.insert_many", {"records"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<Record>> records = extract_records(bound[0], is_dict_record);
        if (!records || !check_alive(fields)) return nullptr;
        for (Record& record : *records) {
          WriteOp op{WriteOp::Kind::kInsert, std::move(record.id), {}};
          if (!convert_dict(record.payload.get(), op.id, "Failed to serialize dict for ",
                            op.payload) ||
              !queue(fields, std::move(op))) {
            return nullptr;
          }
        }
        return none();
      });
}

PyObject* insert_many_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.insert_many_json", {"records"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<Record>> records = extract_records(bound[0], is_str_record);
        if (!records || !check_alive(fields)) return nullptr;
        for (Record& record : *records) {
          // Extraction already checked that the payload is a str with UTF-8 text.
          Py_ssize_t size = 0;
          const char* data = PyUnicode_AsUTF8AndSize(record.payload.get(), &size);
          const std::string_view text(data, static_cast<std::size_t>(size));
          if (Status valid = json::validate_json_text(text); !valid.ok()) {
            return raise_for_document("Invalid json in payload for id ", record.id,
                                      valid.message());
          }
          if (!queue(fields,
                     WriteOp{WriteOp::Kind::kInsert, std::move(record.id), std::string(text)})) {
            return nullptr;
          }
        }
        return none();
      });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.get", {"id"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::string_view> id = python::extract_str(bound[0], "id");
        if (!id) return nullptr;
        Result<std::optional<std::string>> document =
            without_gil([&] { return read_document(*fields.db, *id); });
        if (!document.ok()) return raise(document.error());
        if (!document.value()) return none();
        return document_to_dict(*document.value(), MessageSet::kGet);
      });
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.get_many", {"ids"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<std::string>> ids =
            python::extract_str_sequence(bound[0], "ids");
        if (!ids) return nullptr;
        return document_list([&] { return read_documents(*fields.db, *ids); }, MessageSet::kGet);
      });
}

PyObject* scan_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Method<1> kMethod{"DBEngine.scan_prefix", {"prefix"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::string_view> prefix = python::extract_str(bound[0], "prefix");
        if (!prefix) return nullptr;
        return document_list([&] { return read_prefix(*fields.db, *prefix); },
                             MessageSet::kScan);
      });
}

PyObject* filter_by_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Method<2> kMethod{"DBEngine.filter_by_metadata", {"index_key", "index_value"}};
  return shared_call(
      kMethod, self, args, nargs, kwnames, [](EngineFields& fields, Bound2& bound) -> PyObject* {
        std::optional<std::string_view> key = python::extract_str(bound[0], "index_key");
        if (!key) return nullptr;
        std::optional<std::string_view> value = python::extract_str(bound[1], "index_value");
        if (!value) return nullptr;
        std::string entry;
        entry.reserve(key->size() + 1 + value->size());
        entry.append(*key).append(".").append(*value);
        return document_list([&] { return read_index_entry(*fields.db, entry); },
                             MessageSet::kScan);
      });
}

// ---------------------------------------------------------------------------
// Slots

PyObject* db_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParameters[] = {"path"};
  static const python::ParameterList parameters{"DBEngine.__new__", kParameters, 1};
  PyObject* bound[1];
  if (!python::bind_arguments(parameters, args, kwargs, bound)) return nullptr;
  std::optional<std::string_view> path = python::extract_str(bound[0], "path");
  if (!path) return nullptr;

  EngineFields fields;
  Result<std::shared_ptr<store::Database>> db = store::Database::open(std::string(*path));
  if (!db.ok()) return raise(db.error());
  fields.db = std::move(db.value());
  auto [sender, receiver] = make_channel<WriteOp>(WRITE_QUEUE_CAPACITY);
  fields.alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(fields.db, std::move(receiver), fields.alive);
  if (!writer.ok()) return raise(writer.error());
  fields.sender.emplace(std::move(sender));
  fields.writer_thread.emplace(std::move(writer.value()));

  PyObject* self = python::allocate_instance(type);
  if (self == nullptr) return nullptr;  // `fields` goes in declaration order
  auto* engine = reinterpret_cast<DBEngineObject*>(self);
  new (&engine->borrow) python::BorrowFlag();
  new (&engine->fields) EngineFields(std::move(fields));
  return self;
}

void db_engine_dealloc(PyObject* self) {
  auto* engine = reinterpret_cast<DBEngineObject*>(self);
  engine->fields.~EngineFields();
  engine->borrow.~BorrowFlag();
  python::free_instance(self);
}

// ---------------------------------------------------------------------------
// Type

#define FASTCALL_METHOD(name, function, signature)                                      \
  PyMethodDef {                                                                         \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),        \
        METH_FASTCALL | METH_KEYWORDS, name signature "\n--\n\n"                          \
  }

PyMethodDef methods[] = {
    FASTCALL_METHOD("close_engine", close_engine, "($self)"),
    FASTCALL_METHOD("insert", insert, "($self, id, payload)"),
    FASTCALL_METHOD("insert_json", insert_json, "($self, id, json_payload)"),
    FASTCALL_METHOD("insert_many", insert_many, "($self, records)"),
    FASTCALL_METHOD("insert_many_json", insert_many_json, "($self, records)"),
    FASTCALL_METHOD("get", get, "($self, id)"),
    FASTCALL_METHOD("get_many", get_many, "($self, ids)"),
    FASTCALL_METHOD("delete", delete_document, "($self, id)"),
    FASTCALL_METHOD("scan_prefix", scan_prefix, "($self, prefix)"),
    FASTCALL_METHOD("upsert", upsert, "($self, id, payload)"),
    FASTCALL_METHOD("filter_by_metadata", filter_by_metadata, "($self, index_key, index_value)"),
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_METHOD

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(db_engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_engine_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("DBEngine(path)\n--\n\n")},
    {0, nullptr},
};

// The prefix becomes __module__ (without one the interpreter warns at
// import); the class's __name__ is the bare "DBEngine".
PyType_Spec spec = {
    "quillmere.DBEngine",
    sizeof(DBEngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyTypeObject* cached_class = nullptr;

}  // namespace

PyTypeObject* db_engine_class() { return python::class_once(cached_class, spec); }

}  // namespace quillmere::db_engine
