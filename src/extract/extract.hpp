// A data block read or described: the file tested, the blocks located, the parameters merged,
// then the work handed to the block's kind (kinds.hpp).
#pragma once

#include "orvelio/orvelio.hpp" // Note
#include "format/file.hpp"
#include "request.hpp"

namespace orvelio {

// ErrorDetail::not_orvel unless the file starts with the magic number.
void check_orvel(File &f);

// The whole block, as its kind's result; parameter blocks read through `blocks` when given.
Data extract(File &f, const Block &req, std::vector<Note> &notes, ParamBlocks *blocks = nullptr);

struct Plan;
// The block's description and reading plan, reading no values (kinds.hpp); the description's
// parameters are left to Plan::parameters. Parameter blocks are read through `blocks` when given.
Plan describe(File &f, const Block &req, std::vector<Note> &notes, ParamBlocks *blocks = nullptr);

} // namespace orvelio
