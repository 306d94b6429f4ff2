// vireo.trellis.datareader.tablemine: reads workbooks and delimited text files
// back into pandas Frames.  Declarations shared by the units of the module.
#pragma once

#include "common/pytypes.hpp"
#include "common/pyutil.hpp"
#include "datareader/tablemine/native/settings.hpp"

#include <optional>
#include <string>
#include <vector>

namespace mine::native {
namespace zip {
class Archive;
}
struct Refused;
struct Unsure;
struct Opened;
}  // namespace mine::native

namespace mine {

using pyutil::handle;
using pyutil::object;

// The types the bound functions name (see common/pytypes.hpp).
using pytypes::Any;
using pytypes::AnyPath;
using pytypes::Bool;
using pytypes::DataFrame;
using pytypes::Int;
using pytypes::Items;
using pytypes::NoneType;
using pytypes::Optional;
using pytypes::Path;
using pytypes::SheetKey;
using pytypes::Str;
using pytypes::Strs;
using pytypes::Union;
using CustomValues = nb::typed<pytypes::Dict, nb::str, Any>;
using Titles = nb::typed<pytypes::List, Any>;
// A marker (the class `type`), the number of data rows, True, and the
// titles.
using RangeLayout = nb::typed<pytypes::Tuple, nb::type_object, int, bool, Items>;
using RowGenerator = nb::typed<pytypes::Generator, Any, Any, NoneType>;
// A column title, candidate titles, or any index label.
using IndexField = Union<pytypes::Hashable, Strs>;

// --- what a file is (files.cpp) -------------------------------------------
// The text form of a file's extension without its dot ("" when it has none):
// os.path.splitext(filename)[1][1:].
object extension_of(handle filename);
// filetype is exactly one of the workbook types read through pandas
// ("xls", "xlsx", "xlsm").
bool is_workbook_type(handle filetype);
// ft == text, by Python equality (any caller value may be compared).
bool same_text(handle ft, const char *text);
// The file name as the native reader opens it; none for what is no path
// (an open file, a name holding a NUL byte).
std::optional<std::string> native_path(handle filename);
// Whether the file begins as a zip archive does (a workbook, or what is
// left of one).
bool zip_by_content(const std::string &path);
// What tells that a file changed: where it lies, its size, the times of its
// last writing and change.
struct FileStamp {
    bool known = false;  // the file was there to be looked at
    std::vector<long long> fields;
};
// What a file is by its content, as pandas tells it before choosing an
// engine.
enum class Content { Unknown, Xls, Workbook, Empty, OtherZip, Other };
// A file as one call reads it, looked at once when the call begins: a
// FIFO, socket or device refused (opening one for reading can wait forever
// for a writer; missing files are left to the library), the path the
// native reader opens, its stamp, the switches of the call; and what its
// content is, sniffed once, when first asked.  Made once a call and passed
// down.
class File {
public:
    // With the switches of the environment now (read_settings()).
    explicit File(handle filename);
    File(handle filename, const native::Settings &settings);

    handle name() const { return m_name; }
    const std::optional<std::string> &path() const { return m_path; }
    const native::Settings &settings() const { return m_settings; }
    // The engine pandas picks by the file's content today, named so that a
    // new default of a later pandas cannot change the result; none where
    // pandas would read another format or find no file (it then decides as
    // today).  A file that holds no workbook (empty, text, a zip of
    // something else) is refused, a ValueError naming it, in words that say
    // so: pandas would ask for an engine, which the caller cannot give.
    object library_engine();
    // The native reader opened the file's archive: the sniff takes its
    // members from it instead of opening the file again.
    void opened(const native::zip::Archive &archive);
    // After a read failed (with `failure`, when given): an OSError naming the
    // file when it is not as it was when looked at (written, replaced,
    // removed or created meanwhile), whatever the read said.
    void check_unchanged(handle failure = handle()) const;

private:
    Content content();

    object m_name;
    native::Settings m_settings;
    std::optional<std::string> m_path;
    FileStamp m_stamp;
    std::optional<Content> m_content;
    std::optional<Content> m_zipped;  // by opened()
};
// The file's name as a message shows it: repr(os.fspath(filename)).
std::string shown_file(handle filename);

// --- the environment switches (settings.cpp) ---------------------------------
// TRELLIS_MAX_CELLS, TRELLIS_SCANNER and TRELLIS_NATIVE_ONLY as they are set
// now: read once at the start of a call, with the GIL held.
native::Settings read_settings();

// --- before a library opens a file (guard.cpp) -------------------------------
// Refuses a hostile workbook before a library opens it: members that
// overlap or inflate beyond reason, and any XML part with a document type
// declaration (whichever parser the library then uses would meet it).  A
// file that is no zip is left to the library.
void guard_workbook(const File &file);
// What every path handing a file to a library calls: the file looked at
// (File) and guarded.
void check_before_library(handle filename);
// The same for a file read as `filetype`: a workbook type whose file holds
// no workbook is refused first (File::library_engine), where the library
// would only say it is no zip.
void check_before_library(File &file, handle filetype);
// A refusal of the native reader as the Python error it stands for, its
// message after the file's name.
[[noreturn]] void raise_refusal(handle filename, const native::Refused &refusal);
// Where the native reader is unsure and no library may read instead
// (TRELLIS_NATIVE_ONLY): a RuntimeError naming the file and why.
[[noreturn]] void raise_unsure(handle filename, const native::Unsure &unsure);

// --- checks of the arguments (arguments.cpp) ---------------------------------
// A value of the wrong kind is a TypeError naming the function, the
// argument, what it got and what it expects, raised before the file is
// touched.  Each check lets through every kind the reading libraries take.
// A file name: str, bytes or os.PathLike; or an open binary file where
// `file_object` (pandas and openpyxl read from one).
void check_file_argument(const char *func, const char *name, handle value, bool file_object = true);
// A worksheet as pandas selects it: a name, a position, a list or None.
void check_sheet_argument(const char *func, handle sheet);
// The values a read through a range takes (a handle left invalid is not
// taken): the file, the range (a text, or a false value for the default),
// the column layout (None or an iterable) and the rows to skip (a false
// value or an integer).
void check_range_arguments(const char *func, handle filename, handle datarange, handle datafmt,
                           handle skipline = handle());
// get_dataframe's and getFrame's values, checked where the source chosen by
// filetype and datarange takes them.
void check_frame_arguments(const char *func, handle filename, handle datarange, handle datafields,
                           handle sheetname, handle filetype, handle indexfield);

// --- one worksheet read into a Frame (readsheet.cpp) -------------------------
// The reads of a worksheet the module makes, each as a pandas.read_excel
// call: index_col=0; skiprows=[0] (the property table); defaults.
enum class SheetLayout { Indexed, PropertyTable, Plain };
// The Frame pandas.read_excel(filename, sheet, ...) with openpyxl gives, read
// by the native reader when it can, by pandas otherwise (with the same
// errors).
object read_sheet(handle filename, handle sheet, SheetLayout layout);
// The property table's columns, list(frame["property"]) and
// list(frame["value"]) of the Frame read_sheet(..., PropertyTable) gives (its
// errors too), made without the Frame when that is certain to give the same.
// With the switches the calling function read, and `opened`: the book as the
// search's pool opened it ahead (the file's own path then), instead of
// opening it here (null: opened here).
struct PropertyColumns {
    nb::list names, values;
};
PropertyColumns read_property_columns(handle filename, handle sheet,
                                      const native::Settings &settings, native::Opened *opened);
// The value of the first property of that name (properties.cpp); invalid
// when it has none.
object property_value(const PropertyColumns &table, handle name);

// --- the module's pandas ------------------------------------------------------
// The module's pandas binding (None when pandas could not be imported; the
// attribute lookup on it then fails as it would in Python).  Inline: the
// units reading through pandas need not call back into module.cpp, which
// binds them.
inline object pandas_attr(const char *name) {
    return nb::getattr(pyutil::module_attr("pandas"), name);
}

// --- the with statement (withstatement.cpp) ----------------------------------
// `with mgr as value:` split in its two halves, so that a generator can stay
// inside the context between two rows.
class Context {
public:
    // Looks __enter__ and __exit__ up on the type, as the with statement
    // does, then enters.  Returns the object entered.
    object enter(handle mgr);
    // Leaves after a normal end of the block.
    void leave();
    // Leaves because `error` was raised in the block.  True when __exit__
    // reports the error as handled (it is then swallowed).  An error raised
    // by __exit__ itself replaces the block's error, chained to it.
    bool leave(nb::python_error &error);
    bool active() const { return m_exit.is_valid(); }
    object &exit_method() { return m_exit; }

private:
    object m_exit;
};

// Runs body(value) inside `with mgr as value:`.
template <typename Body>
void with_context(handle mgr, Body &&body) {
    Context ctx;
    object value = ctx.enter(mgr);
    try {
        body(value);
    } catch (nb::python_error &e) {
        if (!ctx.leave(e)) throw;
        return;
    }
    ctx.leave();
}

// --- the module's operations ------------------------------------------------
// The search (search.cpp), the Frames (frames.cpp), the property tables
// (properties.cpp) and what a workbook offers before it is loaded
// (ranges.cpp).
Str searchExcelFile(AnyPath nnxfile);
Optional<DataFrame> getFrameFromExcel(Path filename, SheetKey sheetname, Str filetype, Bool reduce,
                                      Strs excludedlist);
CustomValues getcustomproperties(Path filename, SheetKey sheetname, handle keys, Str filetype);
Any getcustomproperty(Path filename, SheetKey sheetname, Str property, Str filetype);
Titles gettitles(Path filename, Str filetype, Str datarange, handle skipline, handle delimiter,
                 Items datafmt);
Strs getranges(Path filename, Str filetype);
RangeLayout analyseRangeData(Path filename, Str filetype, Str datarange, Items datafmt);
DataFrame get_dataframe(Path filename, Str datarange, Items datafields, SheetKey sheetname,
                        Str filetype, Int indexfield, Bool drop);
Optional<DataFrame> getFrame(Path filename, Str filetype, Str datarange, Items datafields,
                             IndexField indexfield, handle skipline, handle delimiter);

// The row generator (rowgenerator.cpp): registers its class on `m` (and
// removes the name again, the class is reached through the generators it
// makes) and binds `dataiterator` and `dataiteratorloc`.
void bind_dataiterator(nb::module_ &m, handle default_datafmt, const char *doc);
// A new row generator, as dataiterator(...) returns it.
RowGenerator make_dataiterator(Path filename, Str filetype, Str datarange, Int skipline,
                               handle delimiter, Items datafmt, Bool headerOnly);

}  // namespace mine
