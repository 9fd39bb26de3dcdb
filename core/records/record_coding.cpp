#include "core/records/record_coding.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/records/base64.h"
#include "core/records/record_kinds.h"
#include "core/records/unicode_text.h"

namespace redomark {
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

void writeCheckpoint(JsonWriter& out, const Checkpoint& c, DateForm dates, std::optional<int64_t> spaceUsed,
                     const SaveOutcome* outcome) {
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
  if (outcome) {
    out.key("removed");
    out.beginArray();
    for (const std::string& id : outcome->removedIds) out.string(id);
    out.endArray();
    out.key("saved");
    out.boolean(outcome->saved);
  }
  out.key("sourcePath");
  out.string(c.sourcePath);
  if (spaceUsed) {
    out.key("spaceUsed");
    out.integer(*spaceUsed);
  }
  out.key("totalBytes");
  out.integer(c.totalBytes);
  out.endObject();
}

std::string encodeStoreRecord(const Checkpoint& checkpoint) {
  JsonWriter out(JsonWriter::Layout::pretty);
  writeCheckpoint(out, checkpoint, DateForm::secondsNumber);
  return out.take();
}

constexpr size_t manifestPieceBytes = 64 * 1024;

ManifestEncoder::ManifestEncoder(Sink sink)
    : out_(JsonWriter::Layout::compact, manifestPieceBytes + 4096), sink_(std::move(sink)) {
  out_.beginArray();
}

void ManifestEncoder::add(std::string_view path, EntryKind kind, int64_t size, int64_t mtimeNs) {
  out_.beginObject();
  out_.key("p");
  out_.string(path);
  // "p" is text for people and tools; "b" keeps a name's exact bytes.
  if (!isValidUtf8(path)) {
    out_.key("b");
    out_.string(base64Encode(path));
  }
  out_.key("k");
  out_.string(kindText(kind));
  out_.key("s");
  out_.integer(size);
  out_.key("m");
  out_.integer(mtimeNs);
  out_.endObject();
  if (out_.pending().size() >= manifestPieceBytes) {
    sink_(out_.pending());
    out_.clearPending();
  }
}

void ManifestEncoder::finish() {
  out_.endArray();
  sink_(out_.pending());
  out_.clearPending();
}

std::string encodeManifest(const std::vector<ManifestEntry>& entries) {
  std::string text;
  ManifestEncoder encoder([&](std::string_view piece) { text.append(piece); });
  for (const auto& e : entries) encoder.add(e.path, e.kind, e.size, e.mtimeNs);
  encoder.finish();
  return text;
}

}  // namespace redomark
