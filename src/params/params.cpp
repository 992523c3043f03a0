#include "params.hpp"

#include "format/error.hpp"
#include "format/text.hpp"

namespace orvelio {

const Value *ParamDict::find(std::string_view name) const {
    auto it = index_.find(std::string(name));
    return it == index_.end() ? nullptr : &items_[it->second].second;
}

const Value &ParamDict::at(std::string_view name) const {
    if (const Value *v = find(name))
        return *v;
    fail_key(std::string(name));
}

void ParamDict::set(std::string name, Value value) {
    auto [it, inserted] = index_.try_emplace(name, items_.size());
    if (inserted)
        items_.emplace_back(std::move(name), std::move(value));
    else
        items_[it->second].second = std::move(value);
}

void ParamDict::merge(const ParamDict &other) {
    for (const Item &item : other.items_)
        set(item.first, item.second);
}

namespace {

// The name field decoded as strict UTF-8 and stripped of NUL characters at both ends.
std::string record_name(const std::string &raw) {
    if (!is_strict_utf8(raw)) {
        Error e(ErrorDetail::bad_text, "invalid UTF-8 in a parameter name");
        e.with_operands({raw});
        throw e;
    }
    const size_t first = raw.find_first_not_of('\0');
    if (first == std::string::npos)
        return {};
    return raw.substr(first, raw.find_last_not_of('\0') - first + 1);
}

} // namespace

ParamDict read_params(File &f, int64_t offset) {
    ParamDict dict;
    f.seek(offset);
    // Every record consumes its 4-byte name, so the loop ends at the end of the file at the latest.
    for (;;) {
        std::string name = record_name(f.read_bytes(4));
        if (name == "END")
            return dict;
        const int16_t type = f.read_i16();
        const int16_t size = f.read_i16();
        Value value;
        switch (type) {
        case 0:
            value = int64_t{f.read_i32()};
            break;
        case 1:
            value = f.read_f64();
            break;
        case 2:
        case 3:
        case 4:
            // A negative size reads the rest of the file.
            value = text_field(size < 0 ? f.read_rest() : f.read_bytes(2 * static_cast<size_t>(size)));
            break;
        default:
            fail(ErrorDetail::unknown_type, "Unexpected value for reading parameter type: " + std::to_string(type));
        }
        dict.set(std::move(name), std::move(value));
    }
}

} // namespace orvelio
