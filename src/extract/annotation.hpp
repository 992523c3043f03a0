// The annotation block of a multi-region measurement: a record directory and records, some of
// which are tables with one row per stored spectrum and named columns. All tables of the block
// read into one column dictionary.
#pragma once

#include "orvelio/orvelio.hpp" // Note
#include "format/file.hpp"
#include "format/value.hpp"

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvelio {

// Type codes of table cells: 32-bit integers, 32-bit floats, and a range of text codes.
inline constexpr int kCellInt = 4;
inline constexpr int kCellFloat = 5;
inline constexpr int kCellTextFirst = 1000;
inline constexpr int kCellTextLast = 1099;

// Column name to the column's values, one per row, in the order the columns were first met.
// A cell of a type code the reader does not know holds nothing (None). A column name met
// again, in the same table or a later one, keeps its place and starts over empty.
//
// Cells are held compactly (4 bytes each, a tag byte only in a column that mixes types, texts
// beside them): a table has a row per measured position, tens of thousands of rows of a handful
// of columns, read in full for every read of its map. A large column has pages of its own, which
// go back to the system as soon as the table is gone, before the arrays read with it are made.
class Annotations {
  public:
    template <class T> struct PageAllocator {
        using value_type = T;
        PageAllocator() = default;
        template <class U> PageAllocator(const PageAllocator<U> &) {}
        T *allocate(size_t n);
        void deallocate(T *p, size_t n) noexcept;
        bool operator==(const PageAllocator &) const { return true; }
    };
    class Cells {
      public:
        size_t size() const { return bits_.size(); }
        // Cell j as a value (a copy; texts are rare).
        Value operator[](size_t j) const {
            const uint32_t bits = bits_[j];
            switch (tags_.empty() ? uniform_ : tags_[j]) {
            case kInt:
                return int64_t{static_cast<int32_t>(bits)};
            case kFloat:
                return double{std::bit_cast<float>(bits)};
            case kText:
                return texts_[bits];
            default:
                return {};
            }
        }
        // Cell j's number when it holds one (as as_double gives it, `is_int` whether an int),
        // without making a value of it.
        bool number(size_t j, double &out, bool *is_int = nullptr) const {
            const uint8_t tag = tags_.empty() ? uniform_ : tags_[j];
            if (is_int)
                *is_int = tag == kInt;
            if (tag == kInt)
                out = static_cast<double>(static_cast<int32_t>(bits_[j]));
            else if (tag == kFloat)
                out = static_cast<double>(std::bit_cast<float>(bits_[j]));
            return tag == kInt || tag == kFloat;
        }
        void reserve(size_t n) { bits_.reserve(n); }
        void clear();
        void push_int(int32_t v) { push(kInt, static_cast<uint32_t>(v)); }
        void push_float(float v) { push(kFloat, std::bit_cast<uint32_t>(v)); }
        void push_text(std::string v);
        void push_none() { push(kNone, 0); }

      private:
        enum : uint8_t { kNone, kInt, kFloat, kText };
        void push(uint8_t tag, uint32_t bits) {
            if (bits_.empty())
                uniform_ = tag;
            else if (tag != uniform_ && tags_.empty())
                tags_.assign(bits_.size(), uniform_);
            if (!tags_.empty())
                tags_.push_back(tag);
            bits_.push_back(bits);
        }
        uint8_t uniform_ = kNone;  // the tag of every cell while tags_ is empty
        std::vector<uint8_t> tags_; // each cell's tag, once the column mixes types
        std::vector<uint32_t, PageAllocator<uint32_t>> bits_; // the int32, the float's bits, or the text's index
        std::vector<std::string> texts_;
    };
    struct Column {
        Value name;
        Cells values;
    };

    const std::vector<Column> &columns() const { return columns_; }
    // The column with this text name, or nullptr.
    const Cells *find(std::string_view name) const;
    // The column with this text name, or ErrorDetail::missing_key naming it.
    const Cells &at(std::string_view name) const;

    // The column named `name`, emptied (created at the end when new); returns its position.
    // Only text names are ever looked up, so columns named by numbers are kept apart.
    size_t restart(const Value &name);
    Cells &values(size_t column) { return columns_[column].values; }

  private:
    std::vector<Column> columns_;
    std::unordered_map<std::string, size_t> by_name_;
};

// Reads every table record of the annotation block at `offset`. A cell of an unknown type
// code adds the warning "Unknown annotation data type <code>" to `notes` and consumes
// no bytes.
//
// The work is bounded by the file: all tables of the block together may hold no more cells,
// and their rows read no more bytes, than the file has bytes (plus a small allowance), and the
// records' parameter blocks may not add up to more than the file either. A table beyond that
// (2^31 rows of length 0, say) fails with ErrorDetail::bad_value before any of its rows is read; a table
// whose rows are stored one after another in the file, with every column taking at least a
// byte of the row, always fits.
Annotations read_annotations(File &f, int64_t offset, std::vector<Note> &notes);

// str() of a value as the interpreter writes it: decimal integers, floats in their shortest
// round-trip form ("1.0", "1e+16", "nan"), texts as they are, "None".
std::string py_str(const Value &v);

} // namespace orvelio
