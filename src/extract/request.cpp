#include "request.hpp"

#include "format/error.hpp"
#include "format/names.hpp"

namespace orvelio {

namespace {

const RequestName *find_request_name(const std::string &name) {
    for (const RequestName &r : request_names())
        if (r.name == name)
            return &r;
    return nullptr;
}

} // namespace

void check_request(const Block &req) {
    if (req.dimensions != "2D" && req.dimensions != "3D")
        fail(ErrorDetail::bad_request,
             "Incorrect dimensions: " + req.dimensions + ". Dimensions need to be either 2D or 3D");
    if (!find_request_name(req.type)) {
        // The base names, without their second-channel forms.
        std::string names;
        for (const RequestName &r : request_names())
            if (!r.name.ends_with(kSecondChannel))
                names += (names.empty() ? "" : ", ") + r.name;
        fail(ErrorDetail::bad_request,
             "Invalid data block type: " + req.type + ". Please enter a valid entry from the following: " + names);
    }
    if (!deriv_code(req.derivative))
        fail(ErrorDetail::bad_request,
             "Invalid deriv type: " + req.derivative + ".  Please select from the following: 1DER, 2DER, NDER or NONE");
}

Located locate(const std::vector<DirEntry> &dir, const Block &req) {
    const RequestName &name = *find_request_name(req.type);
    const int data_type = name.dataType;
    const int sample = name.sampleType;
    const int extend = req.dimensions == "3D" ? kExtend3D : kExtend2D;
    const int derivative = *deriv_code(req.derivative);

    Located at;
    for (const DirEntry &e : dir) {
        const BlockType &t = e.type;
        const bool sample_matches = t.sampleType == sample || sample == -1;
        // Instrument and optics blocks: the requested sample type, or "neither" for sample requests.
        const bool aux_sample = t.sampleType == sample || (t.sampleType == 0 && (sample == 1 || sample == -1));
        if (t.dataType == data_type && t.derivType == derivative && t.extendType == extend && sample_matches) {
            if (t.paramType == 0)
                at.data = e.byteOffset;
            else if (t.paramType == 1)
                at.params = e.byteOffset;
        } else if (t.dataType == data_type && t.derivType == 0 && t.extendType == extend && sample_matches) {
            if (t.paramType == 1)
                at.originalParams = e.byteOffset;
        } else if (t.paramType == 3) {
            at.acqParams = e.byteOffset;
        } else if (t.paramType == 2) {
            if (aux_sample)
                at.instParams = e.byteOffset;
        } else if (t.paramType == 6) {
            if (aux_sample)
                at.opticsParams = e.byteOffset;
        } else if (t.paramType == 10) {
            at.sampleParams = e.byteOffset;
        } else if (t.paramType == 4) {
            at.ftParams = e.byteOffset;
        } else if (t.extendType == kExtendAnnotation) {
            at.anno = e.byteOffset;
        }
    }
    if (at.data == -1 || at.params == -1)
        fail(ErrorDetail::no_block, "No data block exists in the file for: " + req.type + " " +
                                    req.dimensions + " " + req.derivative);
    return at;
}

MergedParams merged_parameters(File &f, const Located &at, ParamBlocks *blocks) {
    MergedParams parameters;
    const int64_t offsets[] = {at.params, at.acqParams, at.instParams, at.opticsParams, at.sampleParams, at.ftParams};
    if (!blocks) {
        // Nothing to share: the blocks read one over the other into one dictionary, which holds
        // what the layers would merge to (a name keeps its first place and takes its last value).
        ParamDict &merged = parameters.top();
        for (int64_t offset : offsets)
            if (offset != -1)
                read_params_into(f, offset, merged);
        return parameters;
    }
    for (int64_t offset : offsets)
        if (offset != -1)
            parameters.add(blocks->read(f, offset));
    return parameters;
}

} // namespace orvelio
