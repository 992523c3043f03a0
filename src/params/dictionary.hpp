// Tables of parameter codes: descriptive names and display labels.
#pragma once

#include <span>
#include <string_view>

namespace orvelio {

struct CodeName {
    std::string_view code;
    std::string_view name; // UTF-8
};

// The 293 descriptive names, in their order.
std::span<const CodeName> parameter_names();

// The 34 display labels of the most useful parameters, in their order.
std::span<const CodeName> parameter_labels();

} // namespace orvelio
