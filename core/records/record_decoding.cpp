#include <algorithm>
#include <cstring>

#include "core/records/base64.h"
#include "core/records/json_reading.h"
#include "core/records/json_writer.h"
#include "core/records/record_coding.h"
#include "core/records/record_kinds.h"

namespace redomark {
namespace {

enum CheckpointKey : unsigned {
  idKey = 1u << 0,
  kindKey = 1u << 1,
  sourcePathKey = 1u << 2,
  createdAtKey = 1u << 3,
  fileCountKey = 1u << 4,
  totalBytesKey = 1u << 5,
  notClonedCountKey = 1u << 6,
  changedWhileSavingKey = 1u << 7,
  everyCheckpointKey = (1u << 8) - 1,
};

Checkpoint::Kind checkpointKind(simdjson::dom::element value) {
  const auto kind = checkpointKindFromText(json::asString(value));
  if (!kind) json::failMalformed();
  return *kind;
}

std::vector<std::string> stringList(simdjson::dom::element value) {
  std::vector<std::string> list;
  for (auto item : json::asArray(value)) list.emplace_back(json::asString(item));
  return list;
}

constexpr size_t manifestChunkBytes = 256 * 1024;
// The separator before every entry of a manifest this program wrote.
constexpr std::string_view entryStart = "},{\"p\":";

constexpr double earliestCreatedAt = -62135596800.0;  // 0001-01-01T00:00:00Z
constexpr double latestCreatedAt = 253402300799.0;    // 9999-12-31T23:59:59Z

enum EntryKey : unsigned {
  pathKey = 1u << 0,
  entryKindKey = 1u << 1,
  sizeKey = 1u << 2,
  mtimeKey = 1u << 3,
  everyEntryKey = (1u << 4) - 1,
};

// Reads one manifest object into a new row, its path appended to the
// table's buffer, so that reading a large manifest allocates only while the
// buffer and the rows grow.
void readEntry(simdjson::dom::element value, ManifestTable& table) {
  ManifestTable::Row& entry = table.rows.emplace_back();
  entry.pathOffset = table.paths.size();
  unsigned seen = 0;
  bool exactBytes = false;
  for (auto [key, member] : json::asObject(value)) {
    if (key.size() != 1) continue;
    switch (key[0]) {
      case 'p':
        if (!exactBytes) table.paths.append(json::asString(member));
        seen |= pathKey;
        break;
      case 'b': {
        // The exact bytes replace the text, whichever came first.
        std::optional<std::string> bytes = base64Decode(json::asString(member));
        if (!bytes) json::failMalformed();
        table.paths.resize(entry.pathOffset);
        table.paths.append(*bytes);
        exactBytes = true;
        break;
      }
      case 'k': {
        const auto kind = entryKindFromText(json::asString(member));
        if (!kind) json::failMalformed();
        entry.kind = *kind;
        seen |= entryKindKey;
        break;
      }
      case 's':
        entry.size = json::asInt64(member);
        seen |= sizeKey;
        break;
      case 'm':
        entry.mtimeNs = json::asInt64(member);
        seen |= mtimeKey;
        break;
    }
  }
  if (seen != everyEntryKey) json::failMissing();
  entry.pathLength = static_cast<uint32_t>(table.paths.size() - entry.pathOffset);
}

// The position of the quote that ends the string whose text starts at
// from, or end when the string goes on past it; most names hold neither a
// quote nor a backslash, so they are crossed with a search or two.
size_t stringEnd(const char* text, size_t from, size_t end) {
  while (from < end) {
    const auto* quote = static_cast<const char*>(std::memchr(text + from, '"', end - from));
    const size_t stop = quote ? static_cast<size_t>(quote - text) : end;
    const auto* backslash = static_cast<const char*>(std::memchr(text + from, '\\', stop - from));
    if (!backslash) return stop;
    from = static_cast<size_t>(backslash - text) + 2;  // past the escaped character
  }
  return end;
}

}  // namespace

Checkpoint decodeStoreRecord(std::string_view text) {
  Checkpoint c;
  unsigned seen = 0;
  for (auto [key, value] : json::asObject(json::parse(text))) {
    if (key == "id") {
      c.id = json::asString(value);
      seen |= idKey;
    } else if (key == "name") {
      if (value.is_null())
        c.name.reset();
      else
        c.name = std::string(json::asString(value));
    } else if (key == "kind") {
      c.kind = checkpointKind(value);
      seen |= kindKey;
    } else if (key == "sourcePath") {
      c.sourcePath = json::asString(value);
      seen |= sourcePathKey;
    } else if (key == "createdAt") {
      // Seconds as a number only: a date written as text is refused. Kept
      // within the years 0001-9999 that every date format can show alike.
      c.createdAt = std::clamp(json::asDouble(value), earliestCreatedAt, latestCreatedAt);
      seen |= createdAtKey;
    } else if (key == "fileCount") {
      c.fileCount = json::asInt64(value);
      seen |= fileCountKey;
    } else if (key == "totalBytes") {
      c.totalBytes = json::asInt64(value);
      seen |= totalBytesKey;
    } else if (key == "notClonedCount") {
      c.notClonedCount = json::asInt64(value);
      seen |= notClonedCountKey;
    } else if (key == "changedWhileSaving") {
      c.changedWhileSaving = stringList(value);
      seen |= changedWhileSavingKey;
    }
  }
  if (seen != everyCheckpointKey) json::failMissing();
  return c;
}

void ManifestDecoder::expect(size_t textBytes) {
  // No entry is shorter than {"p":"","k":"f","s":0,"m":0} and a comma, and no
  // path longer than its text.
  constexpr size_t shortestEntryBytes = 29;
  table_.paths.reserve(textBytes);
  table_.rows.reserve(textBytes / shortestEntryBytes + 1);
}

void ManifestDecoder::onlyWithin(std::string_view item) {
  // As the manifest's writer writes the path, without the closing quote: the
  // text of every entry at the item or below it holds this.
  JsonWriter path(JsonWriter::Layout::compact);
  path.string(item);
  wanted_ = "\"p\":" + path.take();
  wanted_.pop_back();
}

void ManifestDecoder::add(std::string_view piece) {
  if (quickCuts_ && !wanted_.empty() && state_ == State::inArray) piece = passOverUnwanted(piece);
  pending_.append(piece);
  if (quickCuts_) cutAtEntryStarts();
  if (!quickCuts_) scan();
}

// With onlyWithin, the whole entries of the text held and of the piece that
// hold none of the wanted paths are dropped before the piece is copied: most
// of a large manifest is then only searched, never moved.
std::string_view ManifestDecoder::passOverUnwanted(std::string_view piece) {
  const size_t last = piece.rfind(entryStart);
  if (last == std::string_view::npos) return piece;
  const std::string_view before = piece.substr(0, last + 1);
  const auto holds = [&](std::string_view text) {
    return memmem(text.data(), text.size(), wanted_.data(), wanted_.size()) != nullptr;
  };
  // The wanted text may also begin in what is held and end in the piece.
  const size_t overlap = wanted_.size() - 1;
  const std::string seam = pending_.substr(pending_.size() - std::min(pending_.size(), overlap)) +
                           std::string(before.substr(0, overlap));
  if (holds(pending_) || holds(before) || holds(seam)) return piece;
  ++chunks_;
  pending_.assign("[");
  return piece.substr(last + 2);
}

// Every entry of a manifest this program wrote starts with {"p": after the
// separator, a sequence no string can hold, since its quotes would be
// escaped. A cut there is proved right when the part before it parses as an
// array: a cut inside a string or deeper in an element would leave one open.
// Anything else (a text written by hand, say) is cut by scanning it instead.
void ManifestDecoder::cutAtEntryStarts() {
  if (state_ == State::beforeArray) {
    const size_t start = pending_.find_first_not_of(" \t\n\r");
    if (start == std::string::npos) return;
    if (pending_[start] != '[') {
      quickCuts_ = false;
      return;
    }
    pending_.erase(0, start);
    state_ = State::inArray;
    depth_ = 1;
    scanned_ = 1;  // past the bracket, should the scan take over
  }
  while (state_ == State::inArray && pending_.size() >= manifestChunkBytes + entryStart.size()) {
    const size_t at = pending_.find(entryStart, manifestChunkBytes - 1);
    if (at == std::string::npos) {
      // Entries this long are not ours: no more text is held waiting for a cut.
      if (pending_.size() > 2 * manifestChunkBytes) quickCuts_ = false;
      return;
    }
    const size_t comma = at + 1;
    // The cut needs no proof here: no entry of ours is split by it, and a
    // part of our own text is JSON whether read or not.
    // memmem, since the quote the wanted text begins with is everywhere.
    if (!wanted_.empty() && !memmem(pending_.data(), comma, wanted_.data(), wanted_.size())) {
      ++chunks_;
      pending_[comma] = '[';
      pending_.erase(0, comma);
      continue;
    }
    pending_[comma] = ']';
    try {
      decodeChunk(comma + 1, false);
    } catch (const JsonError&) {
      pending_[comma] = ',';
      quickCuts_ = false;
      return;
    }
    pending_[comma] = '[';
    pending_.erase(0, comma);
  }
}

// The rest, when the cuts above were right so far: one array to its end.
void ManifestDecoder::finishQuickCuts() {
  quickCuts_ = false;
  if (state_ != State::inArray) return;
  const size_t last = pending_.find_last_not_of(" \t\n\r");
  if (last == std::string::npos || pending_[last] != ']') return;
  try {
    decodeChunk(last + 1, true);
  } catch (const JsonError&) {
    return;  // the scan finds the fault and reports it
  }
  pending_.clear();
  scanned_ = 0;
  state_ = State::afterArray;
}

// Finds, outside strings, the separators between the array's elements and the
// array's end. Text cut at those separators and bracketed again is JSON exactly
// when the whole text is, provided no cut-out part is empty.
void ManifestDecoder::scan() {
  for (size_t i = scanned_; i < pending_.size(); ++i) {
    const char c = pending_[i];
    if (state_ != State::inArray) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
      if (state_ == State::afterArray || c != '[') json::failMalformed();
      pending_.erase(0, i);
      i = 0;
      depth_ = 1;
      state_ = State::inArray;
    } else if (inString_) {
      if (escaped_) {
        escaped_ = false;
        continue;
      }
      const size_t end = stringEnd(pending_.data(), i, pending_.size());
      if (end < pending_.size()) {
        i = end;
        inString_ = false;
      } else {
        // The string goes on in the next piece; a backslash at its very end
        // escapes that piece's first character.
        size_t backslashes = 0;
        while (backslashes < pending_.size() - i && pending_[pending_.size() - 1 - backslashes] == '\\') ++backslashes;
        escaped_ = backslashes % 2 == 1;
        i = pending_.size() - 1;
      }
    } else if (c == '"') {
      inString_ = true;
    } else if (c == '[' || c == '{') {
      ++depth_;
    } else if (c == ']' || c == '}') {
      if (--depth_ == 0) {
        decodeChunk(i + 1, true);
        pending_.erase(0, i + 1);
        i = static_cast<size_t>(-1);
        state_ = State::afterArray;
      }
    } else if (c == ',' && depth_ == 1 && i >= manifestChunkBytes) {
      pending_[i] = ']';
      decodeChunk(i + 1, false);
      pending_[i] = '[';
      pending_.erase(0, i);
      i = 0;
    }
  }
  scanned_ = pending_.size();
}

void ManifestDecoder::decodeChunk(size_t length, bool last) {
  const auto array = json::asArray(json::parse(std::string_view(pending_).substr(0, length)));
  // An empty part between separators, or after the last one, is no element.
  if (array.begin() == array.end() && (chunks_ > 0 || !last)) json::failMalformed();
  ++chunks_;
  if (entryError_) return;
  try {
    for (auto value : array) readEntry(value, table_);
  } catch (const JsonError& e) {
    entryError_ = e;
  }
}

ManifestTable ManifestDecoder::finishTable() {
  if (quickCuts_) {
    finishQuickCuts();
    if (state_ != State::afterArray) scan();
  }
  if (state_ != State::afterArray) json::failMalformed();
  if (entryError_) throw *entryError_;
  return std::move(table_);
}

std::vector<ManifestEntry> ManifestDecoder::finish() {
  const ManifestTable table = finishTable();
  std::vector<ManifestEntry> entries;
  entries.reserve(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const ManifestTable::Row& row = table.rows[i];
    entries.push_back(ManifestEntry{std::string(table.path(i)), row.kind, row.size, row.mtimeNs});
  }
  return entries;
}

std::vector<ManifestEntry> decodeManifest(std::string_view text) {
  ManifestDecoder decoder;
  // In pieces, so that no long pending text is moved at each cut.
  for (size_t at = 0; at < text.size(); at += manifestChunkBytes) decoder.add(text.substr(at, manifestChunkBytes));
  return decoder.finish();
}

}  // namespace redomark
