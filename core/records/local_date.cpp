#include "core/records/local_date.h"

#include <memory>
#include <string>

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/ustring.h>

namespace redomark {
namespace {

struct CloseFormat {
  void operator()(UDateFormat* format) const { udat_close(format); }
};
using DateFormat = std::unique_ptr<UDateFormat, CloseFormat>;

// The proleptic Gregorian calendar, as the ISO dates of the JSON reports use,
// so that both show the same day for any year; made once per thread, since a
// format is costly to make and not safe to share. ICU's C API, the one every
// ICU build exports: the user's default locale and time zone.
UDateFormat* formatFor(TimeDetail detail) {
  const auto make = [](UDateFormatStyle timeStyle) {
    UErrorCode status = U_ZERO_ERROR;
    DateFormat format(udat_open(timeStyle, UDAT_MEDIUM, nullptr, nullptr, -1, nullptr, -1, &status));
    if (U_FAILURE(status)) return DateFormat();
    UCalendar* proleptic = ucal_clone(udat_getCalendar(format.get()), &status);
    if (U_SUCCESS(status)) {
      // Refused (U_UNSUPPORTED_ERROR) by a calendar that is not Gregorian, which stays as it is.
      ucal_setGregorianChange(proleptic, -8.64e15, &status);
      if (U_SUCCESS(status)) udat_setCalendar(format.get(), proleptic);
    }
    if (proleptic) ucal_close(proleptic);
    return format;
  };
  // Only the one asked for: a command that shows one kind pays for one.
  if (detail == TimeDetail::minutes) {
    thread_local const DateFormat minutes = make(UDAT_SHORT);
    return minutes.get();
  }
  thread_local const DateFormat seconds = make(UDAT_MEDIUM);
  return seconds.get();
}

}  // namespace

std::string localDateTime(double seconds, TimeDetail detail) {
  UDateFormat* format = formatFor(detail);
  if (!format) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::u16string text(64, u'\0');
  int32_t units = udat_format(format, seconds * 1000.0, text.data(), static_cast<int32_t>(text.size()), nullptr, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    text.assign(static_cast<size_t>(units), u'\0');
    status = U_ZERO_ERROR;
    units = udat_format(format, seconds * 1000.0, text.data(), units, nullptr, &status);
  }
  if (U_FAILURE(status)) return {};
  std::string utf8(static_cast<size_t>(units) * 3, '\0');
  int32_t bytes = 0;
  u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &bytes, text.data(), units, 0xFFFD, nullptr,
                     &status);
  if (U_FAILURE(status)) return {};
  utf8.resize(static_cast<size_t>(bytes));
  return utf8;
}

}  // namespace redomark
