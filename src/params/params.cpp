#include "params.hpp"

#include "format/error.hpp"
#include "format/text.hpp"

#include <cstring>
#include <functional>
#include <span>

namespace orvelio {

namespace {

constexpr uint64_t kLongName = ~uint64_t{0};

// The bytes and the length of a name of up to 7 bytes in one word; kLongName for longer ones.
// Byte by byte: a copy of a variable length into the word is a library call whose store the
// load that follows waits for.
uint64_t pack(std::string_view name) {
    if (name.size() > 7)
        return kLongName;
    uint64_t word = 0;
    for (size_t i = name.size(); i-- > 0;)
        word = word << 8 | static_cast<unsigned char>(name[i]);
    return word << 8 | name.size();
}

uint64_t hash_name(std::string_view name, uint64_t key) {
    return (key == kLongName ? std::hash<std::string_view>{}(name) : key) * 0x9E3779B97F4A7C15ull;
}

} // namespace

size_t ParamDict::position(std::string_view name) const { return position(name, pack(name)); }

size_t ParamDict::position(std::string_view name, uint64_t key) const {
    if (!(filter_ & filter_bit(key)))
        return SIZE_MAX; // most lookups of a merge miss: no name of the dictionary has its bit
    const auto same = [&](size_t i) { return keys_[i] == key && (key != kLongName || items_[i].first == name); };
    if (slots_.empty()) {
        for (size_t i = 0; i < items_.size(); ++i)
            if (same(i))
                return i;
        return SIZE_MAX;
    }
    const size_t mask = slots_.size() - 1;
    for (size_t s = static_cast<size_t>(hash_name(name, key) >> 32) & mask;; s = (s + 1) & mask) {
        const uint32_t at = slots_[s];
        if (at == 0)
            return SIZE_MAX;
        if (same(at - 1))
            return at - 1;
    }
}

void ParamDict::index(size_t item) {
    const size_t mask = slots_.size() - 1;
    size_t s = static_cast<size_t>(hash_name(items_[item].first, keys_[item]) >> 32) & mask;
    while (slots_[s] != 0)
        s = (s + 1) & mask;
    slots_[s] = static_cast<uint32_t>(item + 1);
}

void ParamDict::rebuild() {
    size_t n = 128;
    while (n < 2 * items_.size())
        n *= 2;
    slots_.assign(n, 0);
    for (size_t i = 0; i < items_.size(); ++i)
        index(i);
}

const Value *ParamDict::find(std::string_view name) const {
    const size_t i = position(name);
    return i == SIZE_MAX ? nullptr : &items_[i].second;
}

const Value &ParamDict::at(std::string_view name) const {
    if (const Value *v = find(name))
        return *v;
    fail_key(std::string(name), "parameter");
}

void ParamDict::set(std::string_view name, Value value) {
    const uint64_t key = pack(name);
    if (const size_t i = position(name, key); i != SIZE_MAX) {
        items_[i].second = std::move(value);
        return;
    }
    if (items_.empty()) { // a data block with its shared blocks merged in holds about as many
        items_.reserve(32);
        keys_.reserve(32);
    }
    items_.emplace_back(std::string(name), std::move(value));
    keys_.push_back(key);
    filter_ |= filter_bit(key);
    if (items_.size() > kLinear) {
        if (2 * items_.size() > slots_.size())
            rebuild();
        else
            index(items_.size() - 1);
    }
}

void ParamDict::merge(const ParamDict &other) {
    for (const Item &item : other.items_)
        set(item.first, item.second);
}

const Value *MergedParams::find(std::string_view name) const {
    for (size_t i = layers_.size(); i-- > 0;)
        if (const Value *v = layers_[i]->find(name))
            return v;
    return nullptr;
}

const Value &MergedParams::at(std::string_view name) const {
    if (const Value *v = find(name))
        return *v;
    fail_key(std::string(name), "parameter");
}

ParamDict &MergedParams::top() {
    if (!top_) {
        auto top = std::make_shared<ParamDict>();
        top_ = top.get();
        layers_.push_back(std::move(top));
    }
    return *top_;
}

std::vector<ParamDict::Item> MergedParams::take_items() {
    std::vector<ParamDict::Item> out;
    if (layers_.size() == 1 && top_ && layers_[0].use_count() == 1)
        out = top_->take_items();
    else
        out = items();
    layers_.clear();
    top_ = nullptr;
    return out;
}

std::vector<ParamDict::Item> MergedParams::items() const {
    if (layers_.size() == 1)
        return layers_[0]->items();
    size_t most = 0;
    for (const Layer &layer : layers_)
        most += layer->size();
    std::vector<ParamDict::Item> out;
    out.reserve(most);
    for (size_t i = 0; i < layers_.size(); ++i) {
        const ParamDict &layer = *layers_[i];
        for (size_t k = 0; k < layer.size(); ++k) {
            const ParamDict::Item &item = layer.items_[k];
            const uint64_t key = layer.keys_[k]; // each name packed once, by the layer that read it
            bool placed = false; // by an earlier layer
            for (size_t j = 0; j < i && !placed; ++j)
                placed = layers_[j]->position(item.first, key) != SIZE_MAX;
            if (placed)
                continue;
            const Value *value = &item.second;
            for (size_t j = layers_.size(); j-- > i + 1;)
                if (const size_t at = layers_[j]->position(item.first, key); at != SIZE_MAX) {
                    value = &layers_[j]->items_[at].second;
                    break;
                }
            out.emplace_back(item.first, *value);
        }
    }
    return out;
}

MergedParams::Layer ParamBlocks::read(File &f, int64_t offset) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = blocks_.find(offset); it != blocks_.end())
            return it->second;
    }
    // Read outside the lock: two threads may both read a block the first time.
    auto block = std::make_shared<const ParamDict>(read_params(f, offset));
    std::lock_guard lock(mutex_);
    return blocks_.try_emplace(offset, std::move(block)).first->second;
}

namespace {

// The name field decoded as strict UTF-8 and stripped of NUL characters at both ends.
std::string record_name(const std::string &raw) {
    if (!is_strict_utf8(raw)) {
        fail_with(ErrorDetail::bad_text, "a parameter name is not valid UTF-8", {raw});
    }
    const size_t first = raw.find_first_not_of('\0');
    if (first == std::string::npos)
        return {};
    return raw.substr(first, raw.find_last_not_of('\0') - first + 1);
}

// One record read field by field: false at the end record. Fails as the fields run short.
bool read_record(File &f, ParamDict &dict) {
    const int64_t at = f.tell();
    std::string name = record_name(f.read_bytes(4));
    if (name == "END")
        return false;
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
        fail_with(ErrorDetail::unknown_type,
             "the parameter '" + name + "' of the parameter block at byte " + std::to_string(f.part().start) +
                 " has the unknown type code " + std::to_string(type),
             {int64_t{type}}, static_cast<uint64_t>(at));
    }
    dict.set(name, std::move(value));
    return true;
}

// The records that lie whole in memory from the position on, read straight from there while
// they are ordinary (an ASCII name, a known type, a text of non-negative size). Returns true
// at the end record (the file then stands after its name), false where the next record needs
// reading field by field.
bool read_records_in_memory(File &f, ParamDict &dict) {
    std::span<const uint8_t> w = f.window();
    size_t used = 0;
    bool end = false;
    while (w.size() - used >= 4) {
        const uint8_t *p = w.data() + used;
        if ((p[0] | p[1] | p[2] | p[3]) & 0x80)
            break; // any UTF-8 question is left to record_name
        std::string_view name(reinterpret_cast<const char *>(p), 4);
        const size_t first = name.find_first_not_of('\0');
        name = first == std::string_view::npos ? std::string_view() : name.substr(first, name.find_last_not_of('\0') - first + 1);
        if (name == "END") {
            used += 4;
            end = true;
            break;
        }
        if (w.size() - used < 8)
            break;
        int16_t type, size;
        std::memcpy(&type, p + 4, 2);
        std::memcpy(&size, p + 6, 2);
        size_t length;
        if (type == 0)
            length = 4;
        else if (type == 1)
            length = 8;
        else if ((type == 2 || type == 3 || type == 4) && size >= 0)
            length = 2 * static_cast<size_t>(size);
        else
            break;
        if (w.size() - used - 8 < length)
            break;
        const uint8_t *v = p + 8;
        if (type == 0) {
            int32_t i;
            std::memcpy(&i, v, 4);
            dict.set(name, int64_t{i});
        } else if (type == 1) {
            double d;
            std::memcpy(&d, v, 8);
            dict.set(name, d);
        } else {
            dict.set(name, text_field(std::string_view(reinterpret_cast<const char *>(v), length)));
        }
        used += 8 + length;
    }
    f.skip(used);
    return end;
}

} // namespace

void read_params_into(File &f, int64_t offset, ParamDict &into) {
    const Reading block(f, "the parameter block", offset);
    f.seek(offset);
    // Every record consumes its 4-byte name, so the loop ends at the end of the file at the latest.
    while (!read_records_in_memory(f, into))
        if (!read_record(f, into))
            return;
}

ParamDict read_params(File &f, int64_t offset) {
    ParamDict dict;
    read_params_into(f, offset, dict);
    return dict;
}

} // namespace orvelio
