// The texts under which the kind enumerations are stored, and their reverse
// lookups. A text outside a table has no kind: the lookups return nothing.
#pragma once

#include <optional>
#include <string_view>

#include "core/records/checkpoint.h"

namespace redomark {

std::string_view kindText(Checkpoint::Kind kind);
std::string_view kindText(EntryKind kind);
std::string_view kindText(Change::Kind kind);

std::optional<Checkpoint::Kind> checkpointKindFromText(std::string_view text);
std::optional<EntryKind> entryKindFromText(std::string_view text);

}  // namespace redomark
