#pragma once

#include <cstdint>

#include "json/value.h"
#include "shell/history_fetch.h"

namespace velmar::shell {

// The JSON document of `history -json` (docs/json-output.md): the variable, the range, the
// records the view is made of (oldest first) and the summary's figures.
json::JsonValue HistoryDocument(const HistoryTarget& target, HistoryView view, HistoryRange range,
                                const HistoryData& data, std::int64_t now);

}  // namespace velmar::shell
