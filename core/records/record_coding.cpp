#include "core/records/record_coding.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/records/json_writer.h"
#include "core/records/record_kinds.h"

namespace redomark {
namespace {

// Internet date-time in UTC, whole seconds (any fraction is dropped).
std::string isoDate(double secondsSinceEpoch) {
  using namespace std::chrono;
  const auto seconds = static_cast<int64_t>(std::floor(secondsSinceEpoch));
  const sys_seconds instant{std::chrono::seconds{seconds}};
  const auto day = floor<days>(instant);
  const year_month_day date{day};
  const hh_mm_ss time{instant - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                int(time.seconds().count()));
  return text;
}

enum class DateForm { secondsNumber, isoText };

// Members in ascending key order, as both pretty codings require.
void writeCheckpoint(JsonWriter& out, const Checkpoint& c, DateForm dates) {
  out.beginObject();
  out.key("changedWhileSaving");
  out.beginArray();
  for (const auto& path : c.changedWhileSaving) out.string(path);
  out.endArray();
  out.key("createdAt");
  if (dates == DateForm::secondsNumber)
    out.number(c.createdAt);
  else
    out.string(isoDate(c.createdAt));
  out.key("fileCount");
  out.integer(c.fileCount);
  out.key("id");
  out.string(c.id);
  out.key("kind");
  out.string(kindText(c.kind));
  if (c.name) {
    out.key("name");
    out.string(*c.name);
  }
  out.key("notClonedCount");
  out.integer(c.notClonedCount);
  out.key("sourcePath");
  out.string(c.sourcePath);
  out.key("totalBytes");
  out.integer(c.totalBytes);
  out.endObject();
}

void writeChange(JsonWriter& out, const Change& c) {
  out.beginObject();
  if (c.currentSize) {
    out.key("currentSize");
    out.integer(*c.currentSize);
  }
  out.key("isDirectory");
  out.boolean(c.isDirectory);
  out.key("kind");
  out.string(kindText(c.kind));
  out.key("path");
  out.string(c.path);
  if (c.savedSize) {
    out.key("savedSize");
    out.integer(*c.savedSize);
  }
  out.endObject();
}

}  // namespace

std::string encodeStoreRecord(const Checkpoint& checkpoint) {
  JsonWriter out(JsonWriter::Layout::pretty);
  writeCheckpoint(out, checkpoint, DateForm::secondsNumber);
  return out.take();
}

std::string encodeManifest(const std::vector<ManifestEntry>& entries) {
  // Room for every path plus its punctuation and two long numbers, so the
  // buffer grows at most rarely (escaped "/" can still exceed the estimate).
  size_t estimate = 2;
  for (const auto& e : entries) estimate += e.path.size() + 48;
  JsonWriter out(JsonWriter::Layout::compact, estimate);
  out.beginArray();
  for (const auto& e : entries) {
    out.beginObject();
    out.key("p");
    out.string(e.path);
    out.key("k");
    out.string(kindText(e.kind));
    out.key("s");
    out.integer(e.size);
    out.key("m");
    out.integer(e.mtimeNs);
    out.endObject();
  }
  out.endArray();
  return out.take();
}

std::string encodeReport(const std::vector<Checkpoint>& checkpoints) {
  JsonWriter out(JsonWriter::Layout::pretty, 512 * (checkpoints.size() + 1));
  out.beginArray();
  for (const auto& c : checkpoints) writeCheckpoint(out, c, DateForm::isoText);
  out.endArray();
  return out.take();
}

std::string encodeReport(const std::vector<Change>& changes) {
  JsonWriter out(JsonWriter::Layout::pretty, 160 * (changes.size() + 1));
  out.beginArray();
  for (const auto& c : changes) writeChange(out, c);
  out.endArray();
  return out.take();
}

}  // namespace redomark
