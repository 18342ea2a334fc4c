#include "db_engine_web_server/db_engine_web_server.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/calendar.h"
#include "common/channel.h"
#include "common/exit_waits.h"
#include "common/file_path.h"
#include "common/worker_thread.h"
#include "convert/dict_to_document.h"
#include "convert/document_to_dict.h"
#include "convert/engine_methods.h"
#include "convert/write_steps.h"
#include "db_engine_web_server/audit_log.h"
#include "db_engine_web_server/backup_scheduler.h"
#include "db_engine_web_server/counters.h"
#include "db_engine_web_server/database_writer.h"
#include "db_engine_web_server/wal_format.h"
#include "db_engine_web_server/wal_recovery.h"
#include "db_engine_web_server/wal_writer.h"
#include "engine/reads.h"
#include "engine/row_limit.h"
#include "engine/write_op.h"
#include "json/syntax_check.h"
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

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;
using python::Method;

constexpr const char* kQueueClosedPrefix = "Write queue full or closed. ";
constexpr std::size_t LOG_CHANNEL_CAPACITY = 10000;

// The engine's native fields, released in declaration order.
struct ServerFields {
  std::shared_ptr<store::Database> db;
  std::optional<Sender<WriteOp>> sender;
  std::optional<LengthProbe<WriteOp>> apply_probe;  // measures the apply channel
  std::optional<WorkerThread> wal_thread;           // present until close_engine joins it
  std::optional<WorkerThread> writer_thread;        // present until close_engine joins it
  std::shared_ptr<Counters> counters;
  std::optional<Sender<LogOp>> log_sender;  // with enable_logging
  std::optional<WorkerThread> log_thread;   // with enable_logging, until close_engine joins it
  // The three threads above and the backup executors, for close_engine and
  // the exit to await.
  std::shared_ptr<ThreadGroup> all_threads;
  bool enable_logging = false;
  ExitWaits::Token exit_token = 0;  // this engine's entry in ExitWaits

  ServerFields() = default;
  ServerFields(ServerFields&&) = default;
  ~ServerFields() {
    db.reset();
    sender.reset();  // disconnects the write queue unless a backup scheduler holds it
    apply_probe.reset();
    wal_thread.reset();
    writer_thread.reset();
    counters.reset();
    log_sender.reset();  // the log thread drains its channel and ends
    log_thread.reset();
    all_threads.reset();
  }

  // The handles of the threads still running, in the order they are stopped.
  std::vector<WorkerThread> threads() const {
    std::vector<WorkerThread> started;
    for (const std::optional<WorkerThread>* thread : {&wal_thread, &writer_thread, &log_thread}) {
      if (*thread) started.push_back(**thread);
    }
    return started;
  }
};

struct ServerObject {
  PyObject_HEAD
  python::ProcessOwner owner;
  python::BorrowFlag borrow;
  ServerFields fields;
};

// Stops the threads in order: the Shutdown passes the WAL writer to the
// database writer behind everything queued (the write queue takes nothing
// after it, refusing with `refusal`), and both are awaited; then the log
// thread is asked to stop, once every write it could log was queued, and
// awaited. Every failure is ignored: a thread that already ended has nothing
// left to do. `threads` are the handles of ServerFields::threads(). The
// threads never need the interpreter lock.
void stop_threads(const Sender<WriteOp>& sender, const Sender<LogOp>* log_sender,
                  const std::vector<WorkerThread>& threads, std::string refusal) {
  (void)sender.send_last(WriteOp{WriteOp::Kind::kShutdown, {}, {}}, std::move(refusal));
  const std::size_t writers = std::min<std::size_t>(threads.size(), 2);
  for (std::size_t i = 0; i < writers; ++i) (void)threads[i].join();
  if (log_sender != nullptr) (void)log_sender->send(LogOp::shutdown());
  for (std::size_t i = writers; i < threads.size(); ++i) (void)threads[i].join();
}

// When the process waits for the writers, an open engine is closed as
// close_engine would, through copies of the senders taken while the engine
// cannot be released. The thread handles are copied now, since close_engine
// may take them out of the object on another thread meanwhile. A released
// engine needs no shutdown: its queues drain and disconnect (a backup
// scheduler lets go of its sender when the wait begins).
ExitWaits::Prepare shutdown_at_exit(const ServerFields& fields) {
  return [&fields, threads = fields.threads()]() -> std::function<void()> {
    return [sender = *fields.sender, log_sender = fields.log_sender, threads] {
      stop_threads(sender, log_sender ? &*log_sender : nullptr, threads, convert::kShuttingDownText);
    };
  };
}

template <std::size_t N, typename Body>
PyObject* shared_call(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return python::call_method<ServerObject, python::BorrowKind::kShared>(
      method, self, args, nargs, kwnames,
      [&](ServerObject& engine, std::array<PyObject*, N>& bound) {
        return body(engine.fields, bound);
      });
}

using convert::Bound1;
using convert::Bound2;

// ---------------------------------------------------------------------------
// Shared steps of the writes

bool check_alive(const ServerFields& fields) { return convert::check_alive(fields.counters->alive); }

// The audit log's action for a data operation.
std::string_view action_of(WriteOp::Kind kind) {
  switch (kind) {
    case WriteOp::Kind::kInsert:
      return kInsertAction;
    case WriteOp::Kind::kUpsert:
      return kUpsertAction;
    default:
      return kDeleteAction;
  }
}

// Offers a record to the audit log without waiting; a full or closed log
// channel drops it, and the write it records goes ahead all the same.
void offer_to_log(const ServerFields& fields, LogOp record) {
  if (fields.log_sender) (void)fields.log_sender->try_send(record);
}

// Queues; a queued data operation is offered to the audit log.
bool queue(ServerFields& fields, WriteOp op) {
  const bool logged = fields.enable_logging && op.is_data();
  std::string id = logged ? op.id : std::string();
  const WriteOp::Kind kind = op.kind;
  if (!convert::send_write(*fields.sender, std::move(op), kQueueClosedPrefix)) return false;
  if (logged) offer_to_log(fields, LogOp::entry(action_of(kind), std::move(id)));
  return true;
}

// ---------------------------------------------------------------------------
// Methods

constexpr Method<0> kEnter{"DBEngineWebServer.__enter__", {}};
constexpr Method<3> kExit{"DBEngineWebServer.__exit__", {"_exc_type", "_exc_value", "_traceback"}};
constexpr Method<0> kCloseEngine{"DBEngineWebServer.close_engine", {}};
constexpr Method<1> kTriggerBackup{"DBEngineWebServer.trigger_backup", {"target_path"}};
constexpr Method<2> kInsert{"DBEngineWebServer.insert", {"id", "payload"}};
constexpr Method<2> kInsertJson{"DBEngineWebServer.insert_json", {"id", "json_payload"}};
constexpr Method<1> kInsertMany{"DBEngineWebServer.insert_many", {"records"}};
constexpr Method<1> kInsertManyJson{"DBEngineWebServer.insert_many_json", {"records"}};
constexpr Method<1> kGet{"DBEngineWebServer.get", {"id"}};
constexpr Method<1> kGetMany{"DBEngineWebServer.get_many", {"ids"}};
constexpr Method<1> kDelete{"DBEngineWebServer.delete", {"id"}};
constexpr Method<1> kScanPrefix{"DBEngineWebServer.scan_prefix", {"prefix"}};
constexpr Method<2> kUpsert{"DBEngineWebServer.upsert", {"id", "payload"}};
constexpr Method<4> kFilterByMetadata{"DBEngineWebServer.filter_by_metadata",
                                      {"index_key", "index_value", "limit", "offset"}};

// Sends the Shutdown, waits for the WAL writer and the database writer, then
// stops and waits for the log thread, and then for the backups requested
// before the Shutdown. The first failure of the threads, when this call
// stopped them; a second call finds nothing to do.
std::optional<std::string> close(ServerFields& fields) {
  std::vector<WorkerThread> threads = fields.threads();
  fields.wal_thread.reset();
  fields.writer_thread.reset();
  fields.log_thread.reset();
  // The waits let go of the interpreter lock: a backup may take long, and
  // one of the program's other threads may hold what a writer waits for
  // (the exclusive borrow keeps them off this object).
  python::without_gil([&] {
    stop_threads(*fields.sender, fields.log_sender ? &*fields.log_sender : nullptr, threads,
                 std::string(kDisconnectedText));
    fields.all_threads->join_all();
  });
  ExitWaits::instance().remove(fields.exit_token);
  if (threads.empty()) return std::nullopt;
  return fields.counters->failure();
}

// close_engine and __exit__: `closed` once the threads ended well.
PyObject* close_and_report(ServerFields& fields, PyObject* closed) {
  if (std::optional<std::string> failure = close(fields)) {
    return python::raise_runtime_error(convert::kPanickedPrefix + *failure);
  }
  return Py_NewRef(closed);
}

PyObject* close_engine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return python::call_method<ServerObject, python::BorrowKind::kExclusive>(
      kCloseEngine, self, args, nargs, kwnames, [](ServerObject& engine, auto&) -> PyObject* {
        return close_and_report(engine.fields, Py_None);
      });
}

PyObject* enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!reinterpret_cast<ServerObject*>(self)->owner.check()) return nullptr;
  const python::ParameterList parameters{kEnter.qualified_name, nullptr, 0, 0};
  if (!python::bind_arguments(parameters, args, nargs, kwnames, nullptr)) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return python::call_method<ServerObject, python::BorrowKind::kExclusive>(
      kExit, self, args, nargs, kwnames, [](ServerObject& engine, auto&) -> PyObject* {
        return close_and_report(engine.fields, Py_False);
      });
}

PyObject* trigger_backup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return shared_call(
      kTriggerBackup, self, args, nargs, kwnames, [](ServerFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::string_view> target = python::extract_str(bound[0], "target_path");
        if (!target || !check_alive(fields)) return nullptr;
        // Fixed now: the backup is made later, after the process may have
        // changed its directory. The reports name it as given.
        Result<std::string> absolute = absolute_path(std::string(*target));
        if (!absolute.ok()) return python::raise_runtime_error(absolute.error());
        return queue(fields, WriteOp::backup({std::move(absolute.value()), std::string(*target)}))
                   ? python::none()
                   : nullptr;
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

// ---------------------------------------------------------------------------
// Bulk inserts: refused records come back in a failure list instead of
// raising; the operations are sent without the interpreter lock.

// A refused record: its id, the caller's payload object and the message.
struct Refused {
  std::string id;
  python::PyRef payload;
  std::string message;
};

// The failure list, or None when nothing was refused.
PyObject* failure_list(const std::vector<Refused>& refused) {
  if (refused.empty()) return python::none();
  python::PyRef list = python::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(refused.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < refused.size(); ++i) {
    const Refused& record = refused[i];
    PyObject* entry = Py_BuildValue("(s#Os#)", record.id.data(),
                                    static_cast<Py_ssize_t>(record.id.size()),
                                    record.payload.get(), record.message.data(),
                                    static_cast<Py_ssize_t>(record.message.size()));
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

// The operations to queue, their ids and the records refused, in record order.
struct BulkWrite {
  std::vector<WriteOp> ops;
  std::vector<std::string> accepted_ids;
  std::vector<Refused> refused;

  void accept(WriteOp op) {
    accepted_ids.push_back(op.id);
    ops.push_back(std::move(op));
  }
};

// Sends the accepted operations in order; how many were queued. The first
// that cannot be queued ends the sending (earlier operations stay queued)
// with what convert::send_write raises: "{closed_prefix}{channel text}", or
// a signal handler's exception.
std::size_t send_accepted(const Sender<WriteOp>& sender, BulkWrite& bulk,
                          std::string_view closed_prefix) {
  std::size_t queued = 0;
  while (queued < bulk.ops.size() &&
         convert::send_write(sender, std::move(bulk.ops[queued]), closed_prefix)) {
    ++queued;
  }
  return queued;
}

// Offers the ids of a bulk insert's queued records to the audit log as one
// batch, without waiting.
void auto_log_batch(const ServerFields& fields, std::vector<std::string> ids) {
  if (!fields.enable_logging || ids.empty()) return;
  offer_to_log(fields, LogOp::batch(kInsertAction, std::move(ids)));
}

// Once every accepted operation is queued, the audit log is offered their
// ids. A send refused by a closed queue raises and offers nothing; one
// stopped by a signal handler offers the ids of the records queued before
// it, which are written.
PyObject* finish_bulk(ServerFields& fields, BulkWrite& bulk, std::string_view closed_prefix) {
  const std::size_t queued = send_accepted(*fields.sender, bulk, closed_prefix);
  if (queued == bulk.ops.size()) {
    auto_log_batch(fields, std::move(bulk.accepted_ids));
    return failure_list(bulk.refused);
  }
  if (fields.sender->closed_text().empty()) {
    bulk.accepted_ids.resize(queued);
    auto_log_batch(fields, std::move(bulk.accepted_ids));
  }
  return nullptr;
}

PyObject* insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(
      kInsertMany, self, args, nargs, kwnames, [](ServerFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<convert::Record>> records =
            convert::extract_records(bound[0], convert::PayloadType::kDict);
        if (!records || !check_alive(fields)) return nullptr;
        BulkWrite bulk;
        bulk.ops.reserve(records->size());
        const std::uint64_t limit = fields.db->length_limit();
        for (convert::Record& record : *records) {
          WriteOp op{WriteOp::Kind::kInsert, std::move(record.id), {}};
          convert::ConversionFailure failure;
          std::string message;
          if (!convert::dict_to_document(record.payload.get(), op.payload, failure)) {
            // The call raises: none of the records is queued, so the caller
            // knows that none was taken.
            if (failure.kind == convert::ConversionFailure::Kind::kInterrupted) return nullptr;
            message = (failure.kind == convert::ConversionFailure::Kind::kConversion
                           ? "Python dict parsing error "
                           : "Serialization error ") +
                      failure.text;
          } else if (Status fits = engine::check_row_limit(op.id.size(), op.payload.size(), limit);
                     !fits.ok()) {
            message = fits.message();
          } else {
            bulk.accept(std::move(op));
            continue;
          }
          bulk.refused.push_back(
              Refused{std::move(op.id), std::move(record.payload), std::move(message)});
        }
        return finish_bulk(fields, bulk, "Write queue is full or closed. ");
      });
}

PyObject* insert_many_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return shared_call(
      kInsertManyJson, self, args, nargs, kwnames,
      [](ServerFields& fields, Bound1& bound) -> PyObject* {
        std::optional<std::vector<convert::Record>> records =
            convert::extract_records(bound[0], convert::PayloadType::kStr);
        if (!records || !check_alive(fields)) return nullptr;
        // The texts are read in place while the records keep their str
        // objects alive; a str's UTF-8 form does not change.
        std::vector<std::string_view> texts;
        texts.reserve(records->size());
        for (const convert::Record& record : *records) texts.push_back(convert::str_payload(record));
        BulkWrite bulk;
        bulk.ops.reserve(records->size());
        std::vector<std::size_t> refused_records;
        const std::uint64_t limit = fields.db->length_limit();
        python::without_gil([&] {
          for (std::size_t i = 0; i < texts.size(); ++i) {
            const std::string& id = (*records)[i].id;
            std::string message;
            if (Status valid = json::validate_json_text(texts[i]); !valid.ok()) {
              message = "Invalid JSON structure " + valid.message();
            } else if (Status fits = engine::check_row_limit(id.size(), texts[i].size(), limit);
                       !fits.ok()) {
              message = fits.message();  // checked before the text is copied
            } else {
              bulk.accept(WriteOp{WriteOp::Kind::kInsert, id, std::string(texts[i])});
              continue;
            }
            bulk.refused.push_back(Refused{id, {}, std::move(message)});
            refused_records.push_back(i);
          }
        });
        for (std::size_t i = 0; i < refused_records.size(); ++i) {
          bulk.refused[i].payload = std::move((*records)[refused_records[i]].payload);
        }
        return finish_bulk(fields, bulk, "Write queue is full or closed ");
      });
}

// ---------------------------------------------------------------------------
// Reads: the in-place dialect for the document reads, the general one for
// the paged metadata query.

constexpr convert::Reading kGetReading{convert::MessageSet::kGet, json::Dialect::kInPlace};
constexpr convert::Reading kScanReading{convert::MessageSet::kScan, json::Dialect::kInPlace};

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(kGet, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_one(fields, bound, kGetReading);
  });
}

PyObject* get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shared_call(kGetMany, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_many(fields, bound, kGetReading);
  });
}

PyObject* scan_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return shared_call(kScanPrefix, self, args, nargs, kwnames, [](auto& fields, auto& bound) {
    return convert::read_prefix(fields, bound, kScanReading);
  });
}

PyObject* filter_by_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  using Bound4 = std::array<PyObject*, 4>;
  return shared_call(
      kFilterByMetadata, self, args, nargs, kwnames, [](ServerFields& fields, Bound4& bound) -> PyObject* {
        std::optional<std::string_view> key = python::extract_str(bound[0], "index_key");
        if (!key) return nullptr;
        std::optional<std::string_view> value = python::extract_str(bound[1], "index_value");
        if (!value) return nullptr;
        std::optional<std::uint64_t> limit;
        std::optional<std::uint64_t> offset;
        if (!python::extract_optional_size(bound[2], "limit", limit) ||
            !python::extract_optional_size(bound[3], "offset", offset)) {
          return nullptr;
        }
        const std::string entry = engine::index_entry(*key, *value);
        std::shared_ptr<store::Database> db = fields.db;
        return convert::read_document_list(
            [&] { return engine::read_index_page(*db, entry, offset.value_or(0), limit); },
            {convert::MessageSet::kScan});
      });
}

// The operations still on their way to the database: in the write queue, in
// the apply channel, and in the batch being applied. Three readings without
// a lock, so not a snapshot.
PyObject* queue_size(PyObject* self, void*) {
  auto* engine = reinterpret_cast<ServerObject*>(self);
  if (!engine->owner.check()) return nullptr;
  python::Borrow borrow(engine->borrow, python::BorrowKind::kShared);
  if (!borrow.ok()) return nullptr;
  const ServerFields& fields = engine->fields;
  const std::uint64_t size = fields.sender->len() + fields.apply_probe->len() +
                             fields.counters->in_flight.load(std::memory_order_seq_cst);
  return PyLong_FromUnsignedLongLong(size);
}

// ---------------------------------------------------------------------------
// Slots

// A backup schedule, checked before the audit log is opened.
struct BackupSchedule {
  engine::BackupTarget backup_dir;  // absolute, and as given
  TimeOfDay backup_time;
};

// Opens the store, replays the WAL file, opens the WAL file, checks the
// backup schedule, opens the audit log, and starts the threads, in that
// order; any failure is raised after everything opened is released. Every
// file is named after the absolute path the store fixed when it opened, and
// the WAL file and the audit log are used through the descriptors opened
// here only.
PyObject* open_engine(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParameters[] = {"path", "backup_time", "backup_dir",
                                                "enable_logging"};
  static const python::ParameterList parameters{"DBEngineWebServer.__new__", kParameters, 4, 1};
  PyObject* bound[4];
  if (!python::bind_arguments(parameters, args, kwargs, bound)) return nullptr;
  std::optional<std::string_view> path = python::extract_str(bound[0], "path");
  if (!path) return nullptr;
  std::optional<std::string_view> backup_time;
  std::optional<std::string_view> backup_dir;
  if (!python::extract_optional_str(bound[1], "backup_time", backup_time) ||
      !python::extract_optional_str(bound[2], "backup_dir", backup_dir)) {
    return nullptr;
  }
  std::optional<bool> enable_logging = python::extract_bool(bound[3], "enable_logging", false);
  if (!enable_logging || !python::wait_for_writers_before_child_exit()) return nullptr;

  ServerFields fields;
  Result<std::shared_ptr<store::Database>> db = store::Database::open(std::string(*path));
  if (!db.ok()) return python::raise_runtime_error(db.error());
  const std::string store_path = db.value()->path();
  const std::string wal_path = store_path + ".wal";
  Result<std::shared_ptr<FileDescriptor>> replayed = recover_wal_on_startup(*db.value(), wal_path);
  if (!replayed.ok()) return python::raise_runtime_error(replayed.error());
  fields.db = std::move(db.value());
  // The WAL writer goes on in the file replayed, or in one made now; a file
  // that cannot be made fails its thread, not the constructor.
  Result<std::shared_ptr<FileDescriptor>> wal_file =
      replayed.value() ? std::move(replayed) : open_wal_file(wal_path, /*create=*/true);
  // A construction refused here leaves no audit log.
  std::optional<BackupSchedule> schedule;
  if (backup_time && backup_dir) {
    Result<TimeOfDay> parsed = parse_backup_time(*backup_time);
    if (!parsed.ok()) {
      return python::raise_runtime_error("Invalid backup time provided. Use format HH:MM " +
                                         parsed.error());
    }
    Result<std::string> directory = absolute_path(std::string(*backup_dir));
    if (!directory.ok()) return python::raise_runtime_error(directory.error());
    schedule.emplace(
        BackupSchedule{{std::move(directory.value()), std::string(*backup_dir)}, parsed.value()});
  }
  std::optional<Result<std::shared_ptr<FileDescriptor>>> log_file;
  if (*enable_logging) log_file.emplace(open_audit_log(store_path + ".jsonl"));
  OwnFiles own = own_files(wal_file.ok() ? wal_file.value().get() : nullptr,
                           log_file && log_file->ok() ? log_file->value().get() : nullptr);
  std::shared_ptr<const FileDescriptor> wal_shared = wal_file.ok() ? wal_file.value() : nullptr;
  auto [apply_sender, apply_receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
  fields.apply_probe.emplace(apply_sender.probe());
  auto [sender, receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
  fields.sender.emplace(std::move(sender));
  fields.counters = std::make_shared<Counters>();
  fields.enable_logging = *enable_logging;

  Result<WorkerThread> wal_thread = start_wal_writer(std::move(receiver), std::move(apply_sender),
                                                     std::move(wal_file), fields.counters);
  if (!wal_thread.ok()) return python::raise_runtime_error(wal_thread.error());
  fields.wal_thread.emplace(std::move(wal_thread.value()));
  fields.all_threads = std::make_shared<ThreadGroup>();
  Result<WorkerThread> writer_thread =
      start_database_writer(std::move(apply_receiver), fields.db, std::move(wal_shared),
                            std::move(own), fields.counters, fields.all_threads);
  if (!writer_thread.ok()) return python::raise_runtime_error(writer_thread.error());
  fields.writer_thread.emplace(std::move(writer_thread.value()));

  if (schedule) {
    Status scheduled = start_backup_scheduler(*fields.sender, std::move(schedule->backup_dir),
                                              schedule->backup_time);
    if (!scheduled.ok()) return python::raise_runtime_error(scheduled.message());
  }
  if (fields.enable_logging) {
    auto [log_sender, log_receiver] = make_channel<LogOp>(LOG_CHANNEL_CAPACITY);
    Result<WorkerThread> log_thread =
        start_log_thread(std::move(log_receiver), std::move(*log_file), fields.counters);
    if (!log_thread.ok()) return python::raise_runtime_error(log_thread.error());
    fields.log_sender.emplace(std::move(log_sender));
    fields.log_thread.emplace(std::move(log_thread.value()));
  }

  PyObject* self = python::allocate_instance(type);
  if (self == nullptr) return nullptr;  // `fields` goes in declaration order
  auto* engine = reinterpret_cast<ServerObject*>(self);
  new (&engine->owner) python::ProcessOwner();
  new (&engine->borrow) python::BorrowFlag();
  new (&engine->fields) ServerFields(std::move(fields));
  ServerFields& kept = engine->fields;
  try {
    for (const WorkerThread& thread : kept.threads()) kept.all_threads->add(thread);
    kept.exit_token = ExitWaits::instance().add(shutdown_at_exit(kept), kept.all_threads);
  } catch (...) {
    Py_DECREF(self);  // released as without close_engine: the threads drain and end
    throw;
  }
  return self;
}

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return python::guarded([&] { return open_engine(type, args, kwargs); });
}

void server_dealloc(PyObject* self) {
  auto* engine = reinterpret_cast<ServerObject*>(self);
  if (engine->owner.is_current()) {
    // From here on the exit waits for the threads to drain the queues.
    ExitWaits::instance().release(engine->fields.exit_token);
    engine->fields.~ServerFields();
  }
  python::free_instance(self);
}

// ---------------------------------------------------------------------------
// Type

PyMethodDef* methods() {
  static python::MethodTable table{
      {kEnter, enter},
      {kExit, exit},
      {kCloseEngine, close_engine},
      {kTriggerBackup, trigger_backup},
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

PyGetSetDef getset[] = {
    {"queue_size", queue_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* cached_class = nullptr;

}  // namespace

PyTypeObject* db_engine_web_server_class() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(server_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
      {Py_tp_methods, methods()},
      {Py_tp_getset, getset},
      {Py_tp_doc,
       const_cast<char*>("DBEngineWebServer(path, backup_time=None, backup_dir=None, "
                         "enable_logging=False)\n--\n\n")},
      {0, nullptr},
  };
  // The prefix becomes __module__ (without one the interpreter warns at
  // import); the class's __name__ is the bare "DBEngineWebServer".
  static PyType_Spec spec = {
      "quillmere.DBEngineWebServer",
      sizeof(ServerObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  return python::class_once(cached_class, spec);
}

}  // namespace quillmere::db_engine_web_server
