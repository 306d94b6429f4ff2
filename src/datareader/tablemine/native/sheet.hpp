// One worksheet streamed row by row, its cells laid out as openpyxl's
// read-only worksheet yields them when pandas iterates it: from row 1 and
// column A, a missing row as an empty one, each row as wide as its last
// cell's column.  Cells come raw (type, style, text); what they are worth in
// Python is decided above this layer.
#pragma once

#include "datareader/tablemine/native/book.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace mine::native {

// The cell's t attribute.
enum class CellType : unsigned char { Number, Shared, Bool, Error, Date, Str, Inline, Other };

struct Cell {
    std::uint32_t column = 0;
    CellType type = CellType::Number;
    long long style = 0;     // -1 for an empty s attribute, which no date style matches
    bool has_value = false;  // openpyxl's value is not None
    std::string value;       // the <v> text, or an inline string's content
    std::string ref;         // the r attribute, empty when there is none
};

class RowSink {
public:
    virtual ~RowSink() = default;
    // cells[i] is the cell of column i + 1, null where there is none.
    virtual void row(const std::vector<const Cell *> &cells) = 0;
};

// Streams the worksheet's part through `sink`; stops at the end of its
// sheetData.  Unsure or Refused as the layers below decide.
void scan_rows(const Book &book, const Worksheet &sheet, RowSink &sink);

}  // namespace mine::native
