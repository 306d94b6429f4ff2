// The sheet set of a result workbook: which writer finishes which sheet, in
// which order, and which figures flow from one writer into the next chart or
// writer.  Cell contents are the writers' business.
#include "reportbook/a1.hpp"
#include "reportbook/reportbook.hpp"

namespace rb {
namespace {

// "(3)" for a positive index, nothing otherwise.
object decoration(handle index) {
    if (index <= nb::int_(0)) return nb::str("");
    return nb::str("(%d)") % index;
}

object row_count(handle Frame) { return nb::getattr(Frame, "shape")[nb::int_(0)]; }

}  // namespace

object enrichExcelFile(handle excelwriter, handle pptyname, handle besttrainindex,
                       handle sheetList, handle frameList, handle paramcount, handle resultcount,
                       handle leveragethreshold, handle maxreclist, handle infolen_,
                       handle trainresultColumn_, handle testresultColumn_,
                       handle LOOResultTrainColumn, handle loowidth, handle LOOlen,
                       handle LOOmaxrec, handle pptyunit, handle decorindex, handle decorindexLOO,
                       handle traintype, handle verbosexls) {
    (void)loowidth;
    (void)traintype;

    // Both lists are checked before any sheet is touched.
    std::vector<object> frames = py::unpack(frameList, 7);
    std::vector<object> names = py::unpack(sheetList, 7);
    const object &resultFrame = frames[0], &trainFrame = frames[1], &testFrame = frames[2];
    const object &looTrainFrame = frames[3], &looTestFrame = frames[4];
    const object &bsTrainFrame = frames[5], &bsTestFrame = frames[6];
    const object &resultsheetname = names[0], &trainsheetname = names[1];
    const object &testsheetname = names[2], &lootrainsheetname = names[3];

    std::vector<object> sheets;
    for (const object &name : names) sheets.push_back(getSheet(excelwriter, name));
    const object &resultSheet = sheets[0], &trainSheet = sheets[1], &testSheet = sheets[2];
    const object &lootrainSheet = sheets[3], &lootestSheet = sheets[4];
    const object &bstrainSheet = sheets[5], &bstestSheet = sheets[6];

    object workbook = nb::getattr(excelwriter, "book");

    object minusone = nb::int_(-1);
    object trainresultColumn = nb::borrow(trainresultColumn_);
    object testresultColumn = nb::borrow(testresultColumn_);
    if (trainresultColumn.equal(minusone)) trainresultColumn = nb::int_(1);
    if (testresultColumn.equal(minusone)) testresultColumn = nb::int_(4);

    object decorator = decoration(decorindex);
    object infolen = nb::borrow(infolen_);
    object none = nb::none(), empty = nb::str("");

    // Figures handed from each writer to the chart that follows it.
    object datacount, minExpect, maxExpect, diagvalues;

    if (!resultSheet.is_none()) {
        object extracol = enrichResultSheet(workbook, resultSheet, resultFrame);
        object chart = new_line_chart(workbook, resultsheetname, resultcount, nb::int_(0),
                                      nb::int_(1), nb::int_(2), nb::str("Trainings"), empty, empty,
                                      nb::str("0"), NUM_FORMAT());
        // First column right of the table and of the columns the writer added.
        object col = nb::getattr(resultFrame, "shape")[nb::int_(1)] + extracol;
        object insertpos = a1::text(a1::cell(1, py::as_index(col), true, true));
        resultSheet.attr("insert_chart")(insertpos, chart);
    }

    if (!trainSheet.is_none()) {
        std::vector<object> r = py::unpack(
            enrichTrainSheet(workbook, trainSheet, trainFrame, resultcount, besttrainindex,
                             trainresultColumn, pptyname, paramcount, infolen),
            7);
        const object &shiftCompute = r[0], &shiftVLOO = r[1];
        datacount = r[2];
        minExpect = r[3];
        maxExpect = r[4];
        infolen = r[5];
        diagvalues = r[6];
        getBestTrainChart(workbook, trainresultColumn, shiftCompute, datacount, minExpect,
                          maxExpect, pptyname, besttrainindex, pptyunit, trainsheetname, empty,
                          empty, empty, diagvalues);
        getBestTrainChart(workbook, trainresultColumn, shiftVLOO, datacount, minExpect,
                          maxExpect, pptyname, besttrainindex, pptyunit, trainsheetname, empty,
                          nb::str("VLOO"), empty, diagvalues);
    }

    if (!testSheet.is_none()) {
        decorator = decoration(decorindex);
        datacount = row_count(testFrame);
        std::vector<object> r =
            py::unpack(enrichTestSheet(workbook, testSheet, testFrame, testresultColumn,
                                       maxreclist, leveragethreshold, verbosexls, infolen),
                       4);
        const object &testminExpect = r[0], &testmaxExpect = r[1];
        infolen = r[2];
        diagvalues = r[3];

        const object &expectedcol = testresultColumn;
        object one = nb::int_(1);
        // Column of the best model: on a verbose sheet the first further
        // model, right of the three columns of every selected model; when
        // more than one model is selected, the column right of the measured
        // values is plotted instead.
        object bestcol;
        if (verbosexls > one) {
            object selected = nb::int_(3 * (long long)nb::len(maxreclist));
            bestcol = (expectedcol + one) + selected;
        } else {
            bestcol = expectedcol + one;
        }
        object plotted =
            (maxreclist[nb::int_(0)] > one) ? (expectedcol + one) : bestcol;

        nb::list computedcols, seriesnames, colors, shapes;
        computedcols.append(plotted);
        seriesnames.append("Test results");
        colors.append("blue");
        shapes.append("circle");
        getTestChart(workbook, expectedcol, computedcols, seriesnames, colors, shapes, pptyname,
                     pptyunit, testsheetname, datacount, testminExpect, testmaxExpect, decorator,
                     diagvalues);
    }

    if (!lootrainSheet.is_none()) {
        decorator = decoration(decorindexLOO);
        datacount = row_count(looTrainFrame);
        object firstcount = maxreclist[nb::int_(0)];
        std::vector<object> r = py::unpack(
            enrichLOOTrainSheet(workbook, lootrainSheet, looTrainFrame, LOOResultTrainColumn,
                                LOOlen, firstcount, verbosexls, LOOmaxrec, infolen),
            4);
        minExpect = r[0];
        maxExpect = r[1];
        infolen = r[2];
        diagvalues = r[3];
        // Measured values sit one column left of the LOO estimates.
        object expectedcol = LOOResultTrainColumn - nb::int_(1);
        getBestTrainChart(workbook, expectedcol, LOOResultTrainColumn, datacount, minExpect,
                          maxExpect, pptyname, none, pptyunit, lootrainsheetname, decorator,
                          nb::str("LOO CV"), empty, diagvalues);
    }

    if (!lootestSheet.is_none())
        enrichLOOTestSheet(workbook, lootestSheet, looTestFrame, LOOResultTrainColumn);

    // The bootstrap writers keep their own defaults: result column 2, no
    // utility row.
    if (!bstrainSheet.is_none())
        enrichBSTrainSheet(workbook, bstrainSheet, bsTrainFrame, nb::int_(2), minusone);

    if (!bstestSheet.is_none()) enrichBSTestSheet(workbook, bstestSheet, bsTestFrame);

    return nb::none();
}

object enrichExcelPreproc(handle excelwriter, handle sheetName, handle filename, handle do_vba) {
    (void)filename;
    object preprocSheet = getSheet(excelwriter, sheetName);
    preprocSheet.attr("set_zoom")(150);
    if (py::truthy(do_vba)) {
        object workbook = nb::getattr(excelwriter, "book");
        workbook.attr("set_size")(1490, 1300);
        attach_vba_project(workbook);
        workbook.attr("close")();
    }
    return nb::none();
}

void bind_sheetset(nb::module_ &m) {
    // List defaults: one object each, shared by every call that omits them.
    nb::list no_sheets, no_frames, default_maxrec;
    default_maxrec.append("_");
    m.def("enrichExcelFile", &enrichExcelFile, py::arg("excelwriter"), py::arg("pptyname"),
          py::arg("besttrainindex") = 0, py::arg("sheetList") = no_sheets,
          py::arg("frameList") = no_frames, py::arg("paramcount") = 0,
          py::arg("resultcount") = 0, py::arg("leveragethreshold") = 1.0,
          py::arg("maxreclist") = default_maxrec, py::arg("infolen") = -1,
          py::arg("trainresultColumn") = 1, py::arg("testresultColumn") = -1,
          py::arg("LOOResultTrainColumn") = 3, py::arg("loowidth") = 1, py::arg("LOOlen") = 0,
          py::arg("LOOmaxrec") = 0, py::arg("pptyunit") = "", py::arg("decorindex") = 0,
          py::arg("decorindexLOO") = 0, py::arg("traintype") = "", py::arg("verbosexls") = 0,
          nb::sig("def enrichExcelFile(excelwriter: pandas.ExcelWriter, pptyname: str, "
                  "besttrainindex: int = 0, sheetList: collections.abc.Sequence[str] = [], "
                  "frameList: collections.abc.Sequence[pandas.DataFrame | None] = [], "
                  "paramcount: int = 0, resultcount: int = 0, leveragethreshold: float = 1.0, "
                  "maxreclist: collections.abc.Sequence[int | str] = ['_'], infolen: int = -1, "
                  "trainresultColumn: int = 1, testresultColumn: int = -1, "
                  "LOOResultTrainColumn: int = 3, loowidth: object = 1, LOOlen: int = 0, "
                  "LOOmaxrec: int = 0, pptyunit: str = '', decorindex: int = 0, "
                  "decorindexLOO: int = 0, traintype: object = '', verbosexls: int = 0) "
                  "-> None"));
    m.def("enrichExcelPreproc", &enrichExcelPreproc, py::arg("excelwriter"),
          py::arg("sheetName"), py::arg("filename"), py::arg("do_vba") = false,
          nb::sig("def enrichExcelPreproc(excelwriter: pandas.ExcelWriter, sheetName: str, "
                  "filename: object, do_vba: bool = False) -> None"));
}

}  // namespace rb
