// The code tables of the block type word and the names callers see and give.
#pragma once

#include "directory.hpp"
#include "orvelio/orvelio.hpp" // Block

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelio {

// Data type codes 0 to 19; an empty name is a code without a name.
inline constexpr std::array<std::string_view, 20> kDataTypeNames = {
    "",   "SC",  "IFG",  "PH",   "AB", "TR",  "KM",  "TRC",   "",      "",
    "RAM", "EMIS", "REFL", "", "POW", "LREFL", "ATR", "PAS", "TRARI", "ABARI"};

inline constexpr std::array<std::string_view, 4> kDerivNames = {"NONE", "1DER", "2DER", "NDER"};

inline constexpr std::string_view kSecondChannel = "-CH2";

// A data block type name as a request gives it: data type and sample type (-1: any).
struct RequestName {
    std::string name;
    int dataType;
    int sampleType;
};

// The 40 request names: the 20 base names (in the order messages list them), then their
// second-channel forms.
const std::vector<RequestName> &request_names();

// The derivative code of a name, or nothing.
std::optional<int> deriv_code(std::string_view name);

// The datablocks of a directory as (type, dimensions, derivative): spectra, then sample,
// then reference blocks, then traces. A data type without a table position fails with
// ErrorDetail::past_end.
std::vector<Block> list_contents(const std::vector<DirEntry> &dir);

} // namespace orvelio
