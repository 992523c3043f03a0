// Parameter blocks: runs of tagged records (name, type, size, value) closed by "END".
#pragma once

#include "format/file.hpp"
#include "format/value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvelio {

// An insertion-ordered dictionary from parameter name to value: a name set again keeps
// its first place and takes the new value. Small dictionaries are searched in order; larger
// ones through an open-addressed index of their items.
class ParamDict {
  public:
    using Item = std::pair<std::string, Value>;

    const std::vector<Item> &items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    const Value *find(std::string_view name) const;
    // The value, or ErrorDetail::missing_key naming it.
    const Value &at(std::string_view name) const;
    void set(std::string_view name, Value value);
    // Dictionary update: present names take the new values, new names are appended.
    void merge(const ParamDict &other);
    // The items, leaving the dictionary empty.
    std::vector<Item> take_items() {
        slots_.clear();
        keys_.clear();
        filter_ = 0;
        return std::move(items_);
    }

  private:
    // Up to this many items, no index: a search compares the names in order.
    static constexpr size_t kLinear = 12;
    // The index of `name` in items_, or SIZE_MAX; `key` is pack(name).
    size_t position(std::string_view name) const;
    size_t position(std::string_view name, uint64_t key) const;
    friend class MergedParams; // merges by the layers' packed names
    void index(size_t item); // enters items_[item] into the index
    void rebuild();

    std::vector<Item> items_;
    // Each item's name packed into a word (names of up to 7 bytes: every parameter name),
    // compared before any text; kLongName for longer names.
    std::vector<uint64_t> keys_;
    std::vector<uint32_t> slots_; // 0 empty, else item index + 1; a power of two, at most half full
    // One bit per name held (filter_bit of its key): a name whose bit is clear is not held.
    uint64_t filter_ = 0;
    static uint64_t filter_bit(uint64_t key) { return uint64_t{1} << ((key * 0x9E3779B97F4A7C15ull) >> 58); }
};

// Parameter blocks merged one over the other as ParamDict::merge would merge them, each kept
// as it was read (blocks that several data blocks merge are read once and shared): a name
// takes its place from the first block that has it and its value from the last one.
class MergedParams {
  public:
    using Layer = std::shared_ptr<const ParamDict>;

    void add(Layer layer) { layers_.push_back(std::move(layer)); }
    const std::vector<Layer> &layers() const { return layers_; }
    const Value *find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // The value, or KeyError naming it.
    const Value &at(std::string_view name) const;
    // As a block of its own merged over all the others.
    void set(std::string_view name, Value value) { top().set(name, std::move(value)); }
    // That block of its own (made when there is none yet): blocks read into it merge as
    // layers of their own would.
    ParamDict &top();
    // The merged items in their order.
    std::vector<ParamDict::Item> items() const;
    // The same, leaving these parameters empty: moved, not copied, when the block of their
    // own is all they hold and nothing else shares it.
    std::vector<ParamDict::Item> take_items();

  private:
    std::vector<Layer> layers_;
    ParamDict *top_ = nullptr; // the last layer, of the values set
};

// The parameter blocks of one file by offset: each read once, then shared. Thread-safe.
class ParamBlocks {
  public:
    MergedParams::Layer read(File &f, int64_t offset);

  private:
    std::mutex mutex_;
    std::map<int64_t, MergedParams::Layer> blocks_;
};

// Reads the parameter block at `offset`. On return the file stands just after the name
// field of the end record.
ParamDict read_params(File &f, int64_t offset);
// The same, each record set into `into` as it is read: what into.merge(read_params(f, offset))
// gives, without the dictionary in between.
void read_params_into(File &f, int64_t offset, ParamDict &into);

} // namespace orvelio
