// A datablock request, the blocks it locates in the directory, and its merged parameters.
#pragma once

#include "format/directory.hpp"
#include "orvelio/orvelio.hpp" // Block
#include "params/params.hpp"

#include <string>
#include <vector>

namespace orvelio {

// Checks dimensions, data block type and derivative, in this order; ErrorDetail::bad_request on the first
// that fails. Touches no file.
void check_request(const Block &req);


// Byte offsets of the blocks a request uses; -1 for a block the file does not have.
struct Located {
    int64_t data = -1, params = -1, originalParams = -1, acqParams = -1, instParams = -1, opticsParams = -1,
            sampleParams = -1, ftParams = -1, anno = -1;
};

// Walks the whole directory; the last qualifying entry wins for every block. Fails with
// "No data block exists in the file for: ..." when the data block or its parameters are missing.
Located locate(const std::vector<DirEntry> &dir, const Block &req);

// The data parameter block with the acquisition, instrument, optics, sample and transform
// parameter blocks merged in, in this order; read through `blocks` when given (each block
// then read once per file and kept as a layer of its own), else into one dictionary.
MergedParams merged_parameters(File &f, const Located &at, ParamBlocks *blocks = nullptr);

} // namespace orvelio
