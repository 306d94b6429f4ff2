// One worksheet streamed row by row, its cells laid out as openpyxl's
// read-only worksheet yields them when pandas iterates it: from row 1 and
// column A, a missing row as an empty one, each row as wide as its last
// cell's column.  Cells come raw (type, style, text); what they are worth in
// Python is decided above this layer.
#pragma once

#include "datareader/tablemine/native/book.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/settings.hpp"

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
    // The part is read again from its start: the rows so far are void.
    virtual void restart() = 0;
};

// Streams the worksheet's part through `sink`, to the part's end.  A row or a cell beyond the
// sheet's last row or column is Refused; otherwise Unsure or Refused as the layers below decide.
void scan_rows(const Book &book, const Worksheet &sheet, RowSink &sink);

// The limits of a sheet: row 1,048,576 and column XFD.
constexpr std::uint64_t kMaxRow = 1048576;
constexpr std::uint32_t kMaxColumn = 16384;
// The letters of a column ("XFD" for 16384).
std::string column_name(std::uint64_t column);

// A row or a cell beyond a sheet's limits, in the words of every reader of
// the module (the native one, and the checks before a library's), which
// take the sheet's name once it is known.
struct Beyond {
    std::string detail;
    Refused refusal(const std::string &sheet) const;
};
// Row `r` as written (null where the row has no number: its `number`
// then), past the last row.
Beyond row_beyond(const char *r, std::uint64_t number);
Beyond cell_past_last_column(const char *ref);
Beyond cell_past_last_row(const char *ref);
// The cells of `row` without a reference, counted up to `column`.
Beyond cells_past_last_column(long long row, std::uint64_t column);

// The grid a Frame of one sheet holds is every row up to the last one with a
// value, each as wide as the widest: a few far-apart cells make a grid of
// billions.  A grid is refused when it holds more than grid_limit() cells and
// more than kSparseFactor times the cells written with a value.  Each cell of
// a grid costs a read about 24 bytes and 70 ns, written or not: the default
// keeps a grid of two values under a quarter of a GiB and a second.
constexpr std::uint64_t kDefaultGridLimit = 10000000;
constexpr std::uint64_t kSparseFactor = 100;
// kDefaultGridLimit, or the count of cells TRELLIS_MAX_CELLS gives (Refused
// as a ValueError when it is no plain count).
std::uint64_t grid_limit(const Settings &settings);
// Refused (a ValueError naming the sheet, the shape and the cells written)
// when a grid of rows x columns over `cells` cells with a value is beyond
// the bound above.  To be called before the grid is built.
void check_grid(const Settings &settings, const std::string &sheet, std::uint64_t rows,
                std::uint64_t columns, std::uint64_t cells);
// The refusal (a MemoryError) of a read that ran out of memory building a
// grid of `rows` x `columns` of the sheet: what it was doing when it did.
Refused out_of_memory(const std::string &sheet, std::uint64_t rows, std::uint64_t columns);

// The rows as the library's full (not read-only) reading takes them: it
// keys every cell by its own position, and binds what follows the data
// (merged ranges, hyperlinks) to the cells afterwards.
class CellSink {
public:
    virtual ~CellSink() = default;
    // A row's number and its first `count` cells, in the order written, one
    // per position (where a position is written again, its cell holds the
    // last writing).
    virtual void row(long long number, const std::vector<Cell> &cells, std::size_t count) = 0;
    // A cell of row `number` about to be replaced by a later one of its
    // position: the library still looked at it.
    virtual void replaced(long long /*number*/, const Cell & /*cell*/) {}
    // False once no later row is wanted: the rows then pass unread.
    virtual bool wants_rows() const { return true; }
    // False when nothing after the wanted rows matters: the scan then ends.
    virtual bool wants_rest() const { return true; }
    // An element of the main namespace outside the sheet's data: a child
    // (depth 2) or grandchild (depth 3) of the worksheet.
    virtual void element(const char * /*local*/, const char ** /*attrs*/, int /*depth*/) {}
};

// Streams the whole worksheet part through `sink`.
void scan_cells(const Book &book, const Worksheet &sheet, CellSink &sink);

}  // namespace mine::native
