#include "redomark/report_coding.h"

#include "core/records/base64.h"
#include "core/records/json_writer.h"
#include "core/records/record_kinds.h"
#include "core/records/unicode_text.h"

namespace redomark {
namespace {

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
  for (size_t i = 0; i < checkpoints.size(); ++i)
    writeCheckpoint(out, checkpoints[i], DateForm::isoText, spaceUsed.at(i));
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
