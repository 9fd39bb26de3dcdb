// Writes JSON text into one growing string (or, taken in pieces, a buffer), in
// the two layouts the records use: compact (no blanks at all) and pretty (one
// member or element per line, two blanks of indentation per level, " : " after
// a key). Strings escape '"', '\', '/' and control characters; valid UTF-8
// passes through, and each byte that isn't part of it becomes U+FFFD, so the
// text is always valid JSON. The caller writes object members in the order
// they should appear.
// Not thread-safe; one writer per document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace redomark {

class JsonWriter {
 public:
  enum class Layout { compact, pretty };

  explicit JsonWriter(Layout layout, size_t reserveBytes = 256);

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // The member name; the next value written is its value.
  void key(std::string_view name);

  void string(std::string_view text);
  void integer(int64_t value);
  // Seventeen significant digits, trailing zeros dropped, as the stored
  // records have always been written (1733339715.4829741); that always reads
  // back to the same double. Throws JsonError for infinities and NaN.
  void number(double value);
  void boolean(bool value);

  // The finished text; the writer is empty afterwards.
  std::string take();
  // The text written since the last call, the document staying open; valid
  // until the next call that writes.
  std::string_view pending() const { return out_; }
  void clearPending() { out_.clear(); }

 private:
  void beforeValue();
  void open(char bracket);
  void close(char bracket);
  void newLineAndIndent();
  void writeString(std::string_view utf8);

  Layout layout_;
  std::string out_;
  // One flag per open container: whether it has had a member or element yet.
  std::vector<bool> hasItems_;
  bool afterKey_ = false;
};

}  // namespace redomark
