#include "core/records/local_date.h"

#include <memory>
#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/unistr.h>

namespace redomark {
namespace {

// The proleptic Gregorian calendar, as the ISO dates of the JSON reports use,
// so that both show the same day for any year; made once per thread, since a
// format is costly to make and not safe to share.
icu::DateFormat* formatFor(TimeDetail detail) {
  const auto make = [](icu::DateFormat::EStyle timeStyle) {
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, timeStyle));
    if (format) {
      if (auto* calendar = dynamic_cast<const icu::GregorianCalendar*>(format->getCalendar())) {
        std::unique_ptr<icu::GregorianCalendar> proleptic(calendar->clone());
        UErrorCode status = U_ZERO_ERROR;
        proleptic->setGregorianChange(-8.64e15, status);
        if (U_SUCCESS(status)) format->adoptCalendar(proleptic.release());
      }
    }
    return format;
  };
  thread_local const std::unique_ptr<icu::DateFormat> minutes = make(icu::DateFormat::kShort);
  thread_local const std::unique_ptr<icu::DateFormat> seconds = make(icu::DateFormat::kMedium);
  return detail == TimeDetail::minutes ? minutes.get() : seconds.get();
}

}  // namespace

std::string localDateTime(double seconds, TimeDetail detail) {
  icu::DateFormat* format = formatFor(detail);
  if (!format) return {};
  icu::UnicodeString text;
  format->format(seconds * 1000.0, text);
  std::string utf8;
  return text.toUTF8String(utf8);
}

}  // namespace redomark
