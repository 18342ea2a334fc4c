// Fuzzes the in-place parser dialect (the one the writer indexes with): event
// shape, no depth limit, and a parse stopped by the handler at any event
// reports kStopped after exactly the events seen so far.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"

using quillmere::fuzz::Parsed;
using quillmere::fuzz::parse_checked;
using quillmere::json::Dialect;
using quillmere::json::JsonErrorCode;
using quillmere::json::ParseResult;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Parsed<Dialect::kInPlace> full = parse_checked<Dialect::kInPlace>(text);
  FUZZ_CHECK(full.result.outcome != ParseResult::Outcome::kStopped);
  if (!full.result.ok()) {
    // Neither rule of the general dialect applies here.
    FUZZ_CHECK(full.result.error.code != JsonErrorCode::kRecursionLimitExceeded);
    FUZZ_CHECK(full.result.error.code != JsonErrorCode::kNumberOutOfRange);
  }
  if (!full.events.empty()) {
    const std::size_t stop_at = (size * 2654435761u) % full.events.size();
    const Parsed<Dialect::kInPlace> stopped = parse_checked<Dialect::kInPlace>(text, stop_at);
    FUZZ_CHECK(stopped.result.outcome == ParseResult::Outcome::kStopped);
    FUZZ_CHECK(stopped.events.size() == stop_at + 1);
    for (std::size_t i = 0; i <= stop_at; ++i) FUZZ_CHECK(stopped.events[i] == full.events[i]);
  }
  return 0;
}
