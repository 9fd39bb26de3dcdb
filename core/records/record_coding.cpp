#include "core/records/record_coding.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/records/base64.h"
#include "core/records/record_kinds.h"
#include "core/records/unicode_text.h"

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

// What a save report adds to the checkpoint's members.
struct SaveOutcome {
  bool saved;
  const std::vector<std::string>& removedIds;
};

// Members in ascending key order, as both pretty codings require.
void writeCheckpoint(JsonWriter& out, const Checkpoint& c, DateForm dates,
                     std::optional<int64_t> spaceUsed = std::nullopt, const SaveOutcome* outcome = nullptr) {
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

std::string encodeReport(const std::vector<Checkpoint>& checkpoints) {
  JsonWriter out(JsonWriter::Layout::pretty, 512 * (checkpoints.size() + 1));
  out.beginArray();
  for (const auto& c : checkpoints) writeCheckpoint(out, c, DateForm::isoText);
  out.endArray();
  return out.take();
}

std::string encodeReport(const std::vector<Checkpoint>& checkpoints, const std::vector<int64_t>& spaceUsed) {
  JsonWriter out(JsonWriter::Layout::pretty, 540 * (checkpoints.size() + 1));
  out.beginArray();
  for (size_t i = 0; i < checkpoints.size(); ++i) writeCheckpoint(out, checkpoints[i], DateForm::isoText, spaceUsed.at(i));
  out.endArray();
  return out.take();
}

std::string encodeSaveReport(const Checkpoint& checkpoint, bool saved, const std::vector<std::string>& removedIds) {
  JsonWriter out(JsonWriter::Layout::pretty, 640);
  const SaveOutcome outcome{saved, removedIds};
  writeCheckpoint(out, checkpoint, DateForm::isoText, std::nullopt, &outcome);
  return out.take();
}

std::string encodeReport(const std::vector<FolderReport>& folders) {
  JsonWriter out(JsonWriter::Layout::pretty, 200 * (folders.size() + 1));
  out.beginArray();
  for (const FolderReport& f : folders) {
    out.beginObject();
    out.key("count");
    out.integer(f.count);
    out.key("exists");
    out.boolean(f.exists);
    out.key("latest");
    out.string(isoDate(f.latest));
    out.key("path");
    out.string(f.path);
    if (f.spaceUsed) {
      out.key("spaceUsed");
      out.integer(*f.spaceUsed);
    }
    out.endObject();
  }
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

std::string encodeReport(const std::vector<ListedItem>& items) {
  static constexpr std::string_view kindWords[] = {"file", "directory", "symlink", "other"};
  JsonWriter out(JsonWriter::Layout::pretty, 160 * (items.size() + 1));
  out.beginArray();
  for (const ListedItem& item : items) {
    out.beginObject();
    out.key("kind");
    out.string(kindWords[static_cast<size_t>(item.kind)]);
    out.key("modified");
    // Whole seconds by integer division: a double can't hold nanoseconds today.
    const int64_t seconds = item.mtimeNs / 1'000'000'000 - (item.mtimeNs % 1'000'000'000 < 0 ? 1 : 0);
    out.string(isoDate(static_cast<double>(seconds)));
    out.key("name");
    out.string(item.name);
    if (!isValidUtf8(item.name)) {
      out.key("nameBytes");
      out.string(base64Encode(item.name));
    }
    out.key("size");
    out.integer(item.size);
    if (item.target) {
      out.key("target");
      out.string(*item.target);
    }
    out.endObject();
  }
  out.endArray();
  return out.take();
}

}  // namespace redomark
