#include "db_engine/db_engine.h"

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/channel.h"
#include "common/exit_waits.h"
#include "common/worker_thread.h"
#include "convert/document_to_dict.h"
#include "convert/engine_methods.h"
#include "convert/write_steps.h"
#include "db_engine/background_writer.h"
#include "engine/reads.h"
#include "engine/write_op.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/exit_hooks.h"
#include "python/extract.h"
#include "python/gil.h"
#include "python/method_call.h"
#include "python/native_class.h"
#include "python/process_owner.h"
#include "python/ref.h"
#include "store/database.h"

namespace quillmere::db_engine {
namespace {

using convert::MessageSet;
using engine::WriteOp;
using python::Method;
using python::PyRef;

constexpr const char* kQueueClosedPrefix = "Write queue full or closed. ";

// The engine's native fields, released in declaration order.
struct EngineFields {
  std::shared_ptr<store::Database> db;
  std::optional<Sender<WriteOp>> sender;
  std::optional<WorkerThread> writer_thread;  // present until close_engine joins it
  std::shared_ptr<std::atomic<bool>> alive;
  ExitWaits::Token exit_token = 0;  // this engine's entry in ExitWaits

  EngineFields() = default;
  EngineFields(EngineFields&&) = default;
  ~EngineFields() {
    db.reset();
    sender.reset();  // disconnects the queue: a running writer drains it and ends
    writer_thread.reset();
    alive.reset();
  }
};

// When the process waits for the writers, an open engine is shut down as
// close_engine would: a Shutdown behind everything queued, sent through a
// copy of the sender taken while the engine cannot be released, after which
// the queue takes nothing more.
ExitWaits::Prepare shutdown_at_exit(const EngineFields& fields) {
  return [&fields]() -> std::function<void()> {
    return [sender = *fields.sender]() {
      (void)sender.send_last(WriteOp{WriteOp::Kind::kShutdown, {}, {}}, convert::kShuttingDownText);
    };
  };
}

struct DBEngineObject {
  PyObject_HEAD
  python::ProcessOwner owner;
  python::BorrowFlag borrow;
  EngineFields fields;
};

using convert::Bound1;
using convert::Bound2;

template <std::size_t N, typename Body>
PyObject* shared_call(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return python::call_method<DBEngineObject, python::BorrowKind::kShared>(
      method, self, args, nargs, kwnames,
      [&](DBEngineObject& engine, std::array<PyObject*, N>& bound) {
        return body(engine.fields, bound);
      });
}

using python::none;

PyObject* raise(std::string_view message) { return python::raise_runtime_error(message); }

// ---------------------------------------------------------------------------
// Shared steps of the writes

bool check_alive(const EngineFields& fields) { return convert::check_alive(*fields.alive); }

bool queue(EngineFields& fields, WriteOp op) {
  return convert::send_write(*fields.sender, std::move(op), kQueueClosedPrefix);
}

// ---------------------------------------------------------------------------
// Methods

constexpr Method<0> kCloseEngine{"DBEngine.close_engine", {}};
constexpr Method<2> kInsert{"DBEngine.insert", {"id", "payload"}};
constexpr Method<2> kInsertJson{"DBEngine.insert_json", {"id", "json_payload"}};
constexpr Method<1> kInsertMany{"DBEngine.insert_many", {"records"}};
constexpr Method<1> kInsertManyJson{"DBEngine.insert_many_json", {"records"}};
constexpr Method<1> kGet{"DBEngine.get", {"id"}};
constexpr Method<1> kGetMany{"DBEngine.get_many", {"ids"}};
constexpr Method<1> kDelete{"DBEngine.delete", {"id"}};
constexpr Method<1> kScanPrefix{"DBEngine.scan_prefix", {"prefix"}};
constexpr Method<2> kUpsert{"DBEngine.upsert", {"id", "payload"}};
constexpr Method<2> kFilterByMetadata{"DBEngine.filter_by_metadata", {"index_key", "index_value"}};

// Joins the writer and forgets the engine at exit; the writer's crash, if any,
// as the panicked-writer error. The writer never needs the interpreter lock;
// it is let go meanwhile so that the program's other threads go on (one of
// them may hold what the writer waits for).
PyObject* join_writer(EngineFields& fields) {
  WorkerThread writer = std::move(*fields.writer_thread);
  fields.writer_thread.reset();
  std::optional<std::string> failure = python::without_gil([&] { return writer.join(); });
  ExitWaits::instance().remove(fields.exit_token);
  if (failure) return raise(convert::kPanickedPrefix + *failure);
  return none();
}

PyObject* close_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return python::call_method<DBEngineObject, python::BorrowKind::kExclusive>(
      kCloseEngine, self, args, nargs, kwnames, [](DBEngineObject& engine, auto&) -> PyObject* {
        EngineFields& fields = engine.fields;
        // The writer applies everything queued before the Shutdown, then ends.
        Status sent = python::without_gil([&] {
          return fields.sender->send_last(WriteOp{WriteOp::Kind::kShutdown, {}, {}},
                                          std::string(kDisconnectedText));
        });
        if (sent.ok()) return fields.writer_thread ? join_writer(fields) : none();
        // A writer that crashed has released the queue: its crash is the
        // news, not the refused send.
        if (fields.writer_thread) {
          PyObject* joined = join_writer(fields);
          if (joined == nullptr) return nullptr;
          Py_DECREF(joined);
        }
        // The process's wait for the writers closed the engine: everything
        // queued before it is committed.
        if (ExitWaits::instance().finishing()) return none();
        return raise("Failed to send shutdown signal " + sent.message());
      });
}

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(kInsert, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::write_dict(fields, bound, WriteOp::Kind::kInsert);
  });
}

PyObject* upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(kUpsert, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::write_dict(fields, bound, WriteOp::Kind::kUpsert);
  });
}

PyObject* insert_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return shared_call(kInsertJson, self, args, nargs, kwnames,
                     [](auto& fields, auto& bound) { return convert::write_json(fields, bound); });
}

PyObject* delete_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return shared_call(kDelete, self, args, nargs, kwnames,
                     [](auto& fields, auto& bound) { return convert::write_delete(fields, bound); });
}

PyObject* insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return shared_call(
      kInsertMany, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<convert::Record>> records =
            convert::extract_records(bound[0], convert::PayloadType::kDict);
        if (!records || !check_alive(fields)) return nullptr;
        for (convert::Record& record : *records) {
          WriteOp op{WriteOp::Kind::kInsert, std::move(record.id), {}};
          if (!convert::stored_document_of_dict(record.payload.get(), op.id,
                                                "Failed to serialize dict for ", op.payload) ||
              !convert::check_row_fits(*fields.db, op.id.size(), op.payload.size()) ||
              !queue(fields, std::move(op))) {
            return nullptr;
          }
        }
        return none();
      });
}

PyObject* insert_many_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return shared_call(
      kInsertManyJson, self, args, nargs, kwnames, [](EngineFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<convert::Record>> records =
            convert::extract_records(bound[0], convert::PayloadType::kStr);
        if (!records || !check_alive(fields)) return nullptr;
        for (convert::Record& record : *records) {
          const std::string_view text = convert::str_payload(record);
          if (!convert::check_json_payload(text, record.id, "Invalid json in payload for id ") ||
              !convert::check_row_fits(*fields.db, record.id.size(), text.size())) {
            return nullptr;
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
  return shared_call(kGet, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_one(fields, bound, {MessageSet::kGet});
  });
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(kGetMany, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_many(fields, bound, {MessageSet::kGet});
  });
}

PyObject* scan_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return shared_call(kScanPrefix, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_prefix(fields, bound, {MessageSet::kScan});
  });
}

PyObject* filter_by_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return shared_call(
      kFilterByMetadata, self, args, nargs, kwnames, [](EngineFields& fields, Bound2& bound) -> PyObject* {
        std::optional<std::string_view> key = python::extract_str(bound[0], "index_key");
        if (!key) return nullptr;
        std::optional<std::string_view> value = python::extract_str(bound[1], "index_value");
        if (!value) return nullptr;
        const std::string entry = engine::index_entry(*key, *value);
        return convert::read_document_list(
            [&] { return engine::read_index_entry(*fields.db, entry); }, {MessageSet::kScan});
      });
}

// ---------------------------------------------------------------------------
// Slots

PyObject* open_engine(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParameters[] = {"path"};
  static const python::ParameterList parameters{"DBEngine.__new__", kParameters, 1, 1};
  PyObject* bound[1];
  if (!python::bind_arguments(parameters, args, kwargs, bound)) return nullptr;
  std::optional<std::string_view> path = python::extract_str(bound[0], "path");
  if (!path || !python::wait_for_writers_before_child_exit()) return nullptr;

  EngineFields fields;
  Result<std::shared_ptr<store::Database>> db = store::Database::open(std::string(*path));
  if (!db.ok()) return raise(db.error());
  fields.db = std::move(db.value());
  auto [sender, receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
  fields.alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(fields.db, std::move(receiver), fields.alive);
  if (!writer.ok()) return raise(writer.error());
  fields.sender.emplace(std::move(sender));
  fields.writer_thread.emplace(std::move(writer.value()));

  PyObject* self = python::allocate_instance(type);
  if (self == nullptr) return nullptr;  // `fields` goes in declaration order
  auto* engine = reinterpret_cast<DBEngineObject*>(self);
  new (&engine->owner) python::ProcessOwner();
  new (&engine->borrow) python::BorrowFlag();
  new (&engine->fields) EngineFields(std::move(fields));
  try {
    auto threads = std::make_shared<ThreadGroup>();
    threads->add(*engine->fields.writer_thread);
    engine->fields.exit_token =
        ExitWaits::instance().add(shutdown_at_exit(engine->fields), std::move(threads));
  } catch (...) {
    Py_DECREF(self);  // the writer drains the empty queue and ends
    throw;
  }
  return self;
}

PyObject* db_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&] { return open_engine(type, args, kwargs); });
}

void db_engine_dealloc(PyObject* self) {
  auto* engine = reinterpret_cast<DBEngineObject*>(self);
  if (engine->owner.is_current()) {
    // From here on the exit waits only for the writer to drain the queue.
    ExitWaits::instance().release(engine->fields.exit_token);
    engine->fields.~EngineFields();
  }
  python::free_instance(self);
}

// ---------------------------------------------------------------------------
// Type

PyMethodDef* methods() {
  static python::MethodTable table{
      {kCloseEngine, close_engine},
      {kInsert, insert},
      {kInsertJson, insert_json},
      {kInsertMany, insert_many},
      {kInsertManyJson, insert_many_json},
      {kGet, get},
      {kGetMany, get_many},
      {kDelete, delete_document},
      {kScanPrefix, scan_prefix},
      {kUpsert, upsert},
      {kFilterByMetadata, filter_by_metadata},
  };
  return table.defs();
}

PyTypeObject* cached_class = nullptr;

}  // namespace

PyTypeObject* db_engine_class() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(db_engine_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(db_engine_dealloc)},
      {Py_tp_methods, methods()},
      {Py_tp_doc, const_cast<char*>("DBEngine(path)\n--\n\n")},
      {0, nullptr},
  };
  // The prefix becomes __module__ (without one the interpreter warns at
  // import); the class's __name__ is the bare "DBEngine".
  static PyType_Spec spec = {
      "quillmere.DBEngine",
      sizeof(DBEngineObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  return python::class_once(cached_class, spec);
}

}  // namespace quillmere::db_engine
