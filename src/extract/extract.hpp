// getOrvelData's work once the request has passed its checks: test the file, locate the
// blocks, merge the parameters and read the data of the requested kind.
#pragma once

#include "format/events.hpp"
#include "format/file.hpp"
#include "request.hpp"
#include "result.hpp"

namespace orvelio {

Result extract(File &f, const Request &req, Events &events);

struct Plan;
// The block's description and reading plan, reading no values (kinds.hpp); the description's
// parameters are left to Plan::parameters. Parameter blocks are read through `blocks` when given.
Plan describe(File &f, const Request &req, Events &events, ParamBlocks *blocks = nullptr);

} // namespace orvelio
