// Parameter blocks: runs of tagged records (name, type, size, value) closed by "END".
#pragma once

#include "format/file.hpp"
#include "format/value.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvelio {

// An insertion-ordered dictionary from parameter name to value: a name set again keeps
// its first place and takes the new value.
class ParamDict {
  public:
    using Item = std::pair<std::string, Value>;

    const std::vector<Item> &items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    const Value *find(std::string_view name) const;
    // The value, or KeyError naming it.
    const Value &at(std::string_view name) const;
    void set(std::string name, Value value);
    // Dictionary update: present names take the new values, new names are appended.
    void merge(const ParamDict &other);
    // The items, leaving the dictionary empty.
    std::vector<Item> take_items() {
        index_.clear();
        return std::move(items_);
    }

  private:
    std::vector<Item> items_;
    std::unordered_map<std::string, size_t> index_;
};

// Reads the parameter block at `offset`. On return the file stands just after the name
// field of the end record.
ParamDict read_params(File &f, int64_t offset);

} // namespace orvelio
