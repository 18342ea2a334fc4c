#include "json/number_text.h"

#include <charconv>
#include <cstdint>
#include <system_error>

#include "json/text_scan.h"

namespace quillmere::json::internal {

namespace {

// Roughly log10 of the magnitude of a non-zero number text: the decimal
// exponent just above its leading significant digit. Only its sign is used,
// to tell overflow (beyond 1e308) from underflow (below 1e-323); the exponent
// saturates, since a text may hold any number of digits.
std::int64_t decimal_magnitude(const char* p, const char* last) {
  constexpr std::int64_t kSaturation = std::int64_t{1} << 50;
  if (*p == '-') ++p;
  std::int64_t integer_digits = 0;
  std::int64_t fraction_zeros = 0;
  bool significant = false;
  for (; p != last && is_digit(*p); ++p) {
    significant = significant || *p != '0';
    if (significant && integer_digits < kSaturation) ++integer_digits;
  }
  if (p != last && *p == '.') {
    for (++p; p != last && is_digit(*p); ++p) {
      if (significant) continue;
      if (*p == '0') {
        if (fraction_zeros < kSaturation) ++fraction_zeros;
      } else {
        significant = true;
      }
    }
  }
  std::int64_t exponent = 0;
  if (p != last) {
    ++p;  // 'e' or 'E'
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p != last; ++p) {
      if (exponent < kSaturation) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return (integer_digits > 0 ? integer_digits : -fraction_zeros) + exponent;
}

}  // namespace

bool number_text_to_double(const char* first, const char* last, double& out) {
  std::from_chars_result result = std::from_chars(first, last, out);
  if (result.ec == std::errc()) return true;
  // result_out_of_range leaves `out` untouched and means either side.
  if (decimal_magnitude(first, last) > 0) return false;
  out = *first == '-' ? -0.0 : 0.0;
  return true;
}

bool number_text_is_zero(const char* first, const char* last) {
  for (const char* p = first; p != last && *p != 'e' && *p != 'E'; ++p) {
    if (*p >= '1' && *p <= '9') return false;
  }
  return true;
}

}  // namespace quillmere::json::internal
