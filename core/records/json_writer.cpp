#include "core/records/json_writer.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "core/records/record_coding.h"
#include "core/records/unicode_text.h"

namespace redomark {

JsonWriter::JsonWriter(Layout layout, size_t reserveBytes) : layout_(layout) {
  out_.reserve(reserveBytes);
  hasItems_.reserve(8);
}

void JsonWriter::newLineAndIndent() {
  out_.push_back('\n');
  out_.append(2 * hasItems_.size(), ' ');
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (hasItems_.empty()) return;
  if (hasItems_.back()) out_.push_back(',');
  hasItems_.back() = true;
  if (layout_ == Layout::pretty) newLineAndIndent();
}

void JsonWriter::open(char bracket) {
  beforeValue();
  out_.push_back(bracket);
  hasItems_.push_back(false);
}

// Pretty layout closes even an empty container on a line of its own, so an
// empty array reads "[", a blank line, then "]" at the outer indentation.
void JsonWriter::close(char bracket) {
  const bool hadItems = hasItems_.back();
  hasItems_.pop_back();
  if (layout_ == Layout::pretty) {
    if (!hadItems) out_.push_back('\n');
    newLineAndIndent();
  }
  out_.push_back(bracket);
}

void JsonWriter::beginObject() { open('{'); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::beginArray() { open('['); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::key(std::string_view name) {
  beforeValue();
  writeString(name);
  out_.append(layout_ == Layout::pretty ? " : " : ":");
  afterKey_ = true;
}

void JsonWriter::string(std::string_view text) {
  beforeValue();
  if (isValidUtf8(text)) {
    writeString(text);
  } else {
    writeString(repairUtf8(text));
  }
}

void JsonWriter::writeString(std::string_view utf8) {
  static constexpr char hex[] = "0123456789abcdef";
  out_.push_back('"');
  size_t plainFrom = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    char escaped;
    switch (c) {
      case '"': escaped = '"'; break;
      case '\\': escaped = '\\'; break;
      case '/': escaped = '/'; break;
      case '\b': escaped = 'b'; break;
      case '\f': escaped = 'f'; break;
      case '\n': escaped = 'n'; break;
      case '\r': escaped = 'r'; break;
      case '\t': escaped = 't'; break;
      default:
        if (c >= 0x20) continue;
        escaped = 'u';
    }
    out_.append(utf8.data() + plainFrom, i - plainFrom);
    plainFrom = i + 1;
    out_.push_back('\\');
    out_.push_back(escaped);
    if (escaped == 'u') {
      out_.append("00");
      out_.push_back(hex[c >> 4]);
      out_.push_back(hex[c & 0xf]);
    }
  }
  out_.append(utf8.data() + plainFrom, utf8.size() - plainFrom);
  out_.push_back('"');
}

void JsonWriter::integer(int64_t value) {
  beforeValue();
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out_.append(buffer, end);
}

void JsonWriter::number(double value) {
  if (!std::isfinite(value)) throw JsonError("The data couldn't be written because it isn't in the correct format.");
  beforeValue();
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17).ptr;
  out_.append(buffer, end);
}

void JsonWriter::boolean(bool value) {
  beforeValue();
  out_.append(value ? "true" : "false");
}

std::string JsonWriter::take() {
  hasItems_.clear();
  afterKey_ = false;
  std::string text = std::move(out_);
  out_.clear();
  return text;
}

}  // namespace redomark
