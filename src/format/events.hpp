// What a call tells the caller besides its result: lines for standard output and warnings.
// The core collects them; the binding shows them, in order, when the call ends.
#pragma once

#include <string>
#include <vector>

namespace orvelio {

struct Event {
    enum class Kind { Print, RuntimeWarning } kind;
    std::string text;
};

using Events = std::vector<Event>;

} // namespace orvelio
