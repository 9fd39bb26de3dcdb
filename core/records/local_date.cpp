#include "core/records/local_date.h"

#include <memory>
#include <unicode/datefmt.h>
#include <unicode/unistr.h>

namespace redomark {

std::string localDateTime(double seconds, TimeDetail detail) {
  const icu::DateFormat::EStyle timeStyle =
      detail == TimeDetail::minutes ? icu::DateFormat::kShort : icu::DateFormat::kMedium;
  const std::unique_ptr<icu::DateFormat> format(
      icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, timeStyle));
  if (!format) return {};
  icu::UnicodeString text;
  format->format(seconds * 1000.0, text);
  std::string utf8;
  return text.toUTF8String(utf8);
}

}  // namespace redomark
