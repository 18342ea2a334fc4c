#include "json/parser.h"

namespace quillmere::json {

std::string error_text(Dialect dialect, const JsonError& error, std::string_view input) {
  return dialect == Dialect::kGeneral ? line_column_text(error, input)
                                      : character_text(error, input);
}

}  // namespace quillmere::json
