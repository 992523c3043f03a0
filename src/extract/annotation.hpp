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
// Cells are held compactly (a tag and 8 bytes each, texts beside them): a table has a row per
// measured position, tens of thousands of rows of a handful of columns, read in full for
// every read of its map.
class Annotations {
  public:
    class Cells {
      public:
        size_t size() const { return tags_.size(); }
        // Cell j as a value (a copy; texts are rare).
        Value operator[](size_t j) const {
            const uint64_t bits = bits_[j];
            switch (tags_[j]) {
            case kInt:
                return static_cast<int64_t>(bits);
            case kFloat:
                return std::bit_cast<double>(bits);
            case kText:
                return texts_[bits];
            default:
                return {};
            }
        }
        void reserve(size_t n) {
            tags_.reserve(n);
            bits_.reserve(n);
        }
        void clear();
        void push_int(int64_t v) { push(kInt, static_cast<uint64_t>(v)); }
        void push_float(double v) { push(kFloat, std::bit_cast<uint64_t>(v)); }
        void push_text(std::string v);
        void push_none() { push(kNone, 0); }
        // The bytes its cells hold.
        size_t bytes() const;

      private:
        enum : uint8_t { kNone, kInt, kFloat, kText };
        void push(uint8_t tag, uint64_t bits) {
            tags_.push_back(tag);
            bits_.push_back(bits);
        }
        std::vector<uint8_t> tags_;
        std::vector<uint64_t> bits_; // the integer, the double's bits, or the text's index
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
