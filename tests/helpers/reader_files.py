"""Workbooks and text files made for the reader's tests, and the reader's calls on them."""
import csv
import os
import zipfile

import xlsxwriter
import xlwt

from vireo.trellis.datareader import tablemine as tm


# Each reader function called on a file, a sheet "S" and a range of it where
# the call takes one.
READER_CALLS = {
    "getFrameFromExcel": lambda p: tm.getFrameFromExcel(p, "S"),
    "getcustomproperties": lambda p: tm.getcustomproperties(p, "S"),
    "getcustomproperty": lambda p: tm.getcustomproperty(p, "S", "x"),
    "get_dataframe": lambda p: tm.get_dataframe(p),
    "getFrame": lambda p: tm.getFrame(p, datarange="S!A1:B2"),
    "gettitles": lambda p: tm.gettitles(p, "xlsx"),
    "getranges": lambda p: tm.getranges(p, "xlsx"),
    "analyseRangeData": lambda p: tm.analyseRangeData(p, "xlsx"),
    "dataiterator": lambda p: list(tm.dataiterator(p, "xlsx")),
}


def write_xlsx(path, sheets, names=None):
    """An .xlsx (or .xlsm-named) workbook: {sheet: rows}, rows from A1 on.

    ``names`` maps defined names to their references ("=Data!$A$1:$C$4").
    """
    book = xlsxwriter.Workbook(str(path))
    for sheet, rows in sheets.items():
        ws = book.add_worksheet(sheet)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                if value is not None:
                    ws.write(r, c, value)
    for name, ref in (names or {}).items():
        book.define_name(name, ref)
    book.close()
    return str(path)


def write_xls(path, sheets):
    """An .xls workbook (BIFF8, through xlwt): {sheet: rows}, rows from A1 on."""
    book = xlwt.Workbook()
    for sheet, rows in sheets.items():
        ws = book.add_sheet(sheet)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                if value is not None:
                    ws.write(r, c, value)
    book.save(str(path))
    return str(path)


def write_csv(path, rows):
    """A comma-separated text file of ``rows``."""
    with open(str(path), "w", newline="") as handle:
        csv.writer(handle).writerows(rows)
    return str(path)


def property_table_rows(props):
    """The property table as the writer lays it out: row 0 empty, titles in
    B2/C2, one (name, value) pair a row below them."""
    return [[], [None, "property", "value"]] + [[None, name, value] for name, value in props]


def write_result(path, props, extra=None):
    """A result workbook: a data sheet and the "Utilities" property table."""
    sheets = {"Results": [["name", "value"], ["m1", 1.0]]}
    sheets.update(extra or {})
    sheets["Utilities"] = property_table_rows(props)
    return write_xlsx(path, sheets)


MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
XML_HEAD = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def write_cell_kinds(path, date1904=False, empty_style=True):
    """A workbook written by hand with every kind of cell a reader meets.

    A chartsheet comes first (worksheet positions skip it), then the sheet
    "Kinds": shared, rich and inline strings with _xHHHH_ escapes, numbers of
    every form, booleans, error cells, formulas with and without a cached
    value, built-in, custom, time and duration formats, dates out of range,
    ISO dates, cells and rows without a reference, a gap of rows, cells out of
    order and an empty style (which openpyxl's full reading fails on: left
    out with ``empty_style`` false); the date system is 1904 on request.
    """
    strings = []

    def s(text):
        strings.append(text)
        return '<c t="s"><v>%d</v></c>' % (len(strings) - 1)

    def si(text):
        return text if text.startswith("<") else "<t>%s</t>" % text

    def inline(body):
        return '<c t="inlineStr"><is>%s</is></c>' % body

    def num(v, style=None, ref=""):
        return '<c%s%s><v>%s</v></c>' % (' r="%s"' % ref if ref else "",
                                         ' s="%s"' % style if style is not None else "", v)

    rows = [
        [s("label"), s("value"), inline("<t>more</t>")],
        [s("int"), num("42"), num("3.0")],
        [s("float"), num("0.1"), num("1E-3")],
        [s("big"), num("12345678901234567890"), num("-7")],
        [s("bool"), '<c t="b"><v>1</v></c>', '<c t="b"><v>0</v></c>'],
        [s("error"), '<c t="e"><v>#N/A</v></c>', '<c t="e"><v>#DIV/0!</v></c>'],
        [s("formula"), "<c><f>1+1</f><v>2</v></c>", '<c t="str"><f>"a"&amp;"b"</f><v>ab</v></c>'],
        [s("no cached value"), "<c><f>A1</f><v></v></c>", "<c><f>A1</f></c>"],
        [s("formula kinds"), '<c t="b"><f>TRUE()</f><v>1</v></c>', '<c t="e"><f>1/0</f><v>#DIV/0!</v></c>'],
        [s("rich"), s('<r><t>ri</t></r><r><rPr><b/><sz val="11"/></rPr><t xml:space="preserve">ch </t></r>'),
         s("a_x000D_b_x005F_x000D_c")],
        [s("inline"), inline('<r><t>in</t></r><r><rPr><i/></rPr><t>line</t></r>'),
         inline("<t>x_x000D_y</t>")],
        [s("date"), num("44000", 1), num("44000.75", 2)],
        [s("custom date"), num("1", 3), num("1.5", 4)],
        [s("time"), num("0.5", 5), num("59", 3)],
        [s("out of range"), num("1E10", 3), num("-1", 1)],
        [s("iso"), '<c t="d"><v>2020-01-02T03:04:05</v></c>', '<c t="d"><v>2020-01-02</v></c>'],
        [s("not a date"), num("44000", 6), '<c s=""><v>44000</v></c>' if empty_style else num("44000")],
    ]
    body = "".join('<row r="%d">%s</row>' % (i + 1, "".join(cells)) for i, cells in enumerate(rows))
    n = len(rows)
    # a row and a cell without reference, a gap, cells out of order (the
    # library keeps the columns up to the last cell's), trailing empties
    body += '<row>%s<c><v>5</v></c></row>' % s("no reference")
    body += '<row r="%d">%s%s</row>' % (n + 4, s("after a gap"), num("1.25", ref="C%d" % (n + 4)))
    body += '<row r="%d">%s%s</row>' % (n + 5, num("9", ref="C%d" % (n + 5)),
                                        s("order").replace("<c ", '<c r="A%d" ' % (n + 5)))
    body += '<row r="%d">%s%s</row>' % (n + 6, s("trailing"), s(""))
    body += '<row r="%d"/>' % (n + 8)
    sheet = (XML_HEAD + '<worksheet xmlns="%s" xmlns:r="%s"><dimension ref="A1:C%d"/><sheetData>%s'
             '</sheetData></worksheet>' % (MAIN_NS, REL_NS, n + 8, body))
    sst = (XML_HEAD + '<sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>'
           % (MAIN_NS, len(strings), len(strings), "".join("<si>%s</si>" % si(t) for t in strings)))
    formats = ["yyyy-mm-dd", "[h]:mm:ss", r"0.00_);[Red]\(0.00\)"]
    xfs = [0, 14, 22, 164, 165, 20, 166]
    styles = (XML_HEAD + '<styleSheet xmlns="%s"><numFmts count="3">%s</numFmts>'
              '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
              '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
              '<borders count="1"><border/></borders>'
              '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
              '<cellXfs count="%d">%s</cellXfs>'
              '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
              '</styleSheet>' % (MAIN_NS, "".join('<numFmt numFmtId="%d" formatCode="%s"/>' % (164 + i, f)
                                                 for i, f in enumerate(formats)),
                                 len(xfs), "".join('<xf numFmtId="%d" fontId="0" fillId="0" borderId="0" xfId="0"/>'
                                                   % x for x in xfs)))
    workbook = (XML_HEAD + '<workbook xmlns="%s" xmlns:r="%s"><workbookPr%s/><sheets>'
                '<sheet name="Chart" sheetId="1" r:id="rId1"/><sheet name="Kinds" sheetId="2" r:id="rId2"/>'
                '</sheets></workbook>' % (MAIN_NS, REL_NS, ' date1904="1"' if date1904 else ""))
    rel = '<Relationship Id="%s" Type="%s/%s" Target="%s"/>'
    workbook_rels = (XML_HEAD + '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/'
                     'relationships">%s</Relationships>'
                     % "".join(rel % (i, REL_NS, t, target) for i, t, target in [
                         ("rId1", "chartsheet", "chartsheets/sheet1.xml"),
                         ("rId2", "worksheet", "worksheets/sheet1.xml"),
                         ("rId3", "sharedStrings", "sharedStrings.xml"),
                         ("rId4", "styles", "styles.xml")]))
    root_rels = (XML_HEAD + '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/'
                 'relationships">' + rel % ("rId1", REL_NS, "officeDocument", "xl/workbook.xml")
                 + "</Relationships>")
    chartsheet = (XML_HEAD + '<chartsheet xmlns="%s" xmlns:r="%s"><sheetViews><sheetView workbookViewId="0"/>'
                  '</sheetViews></chartsheet>' % (MAIN_NS, REL_NS))
    ct = "application/vnd.openxmlformats-officedocument.spreadsheetml.%s+xml"
    types = (XML_HEAD + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
             '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
             '<Default Extension="xml" ContentType="application/xml"/>'
             + "".join('<Override PartName="/xl/%s" ContentType="%s"/>' % (part, ct % kind) for part, kind in [
                 ("workbook.xml", "sheet.main"), ("worksheets/sheet1.xml", "worksheet"),
                 ("chartsheets/sheet1.xml", "chartsheet"), ("sharedStrings.xml", "sharedStrings"),
                 ("styles.xml", "styles")]) + "</Types>")
    with zipfile.ZipFile(str(path), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in [("[Content_Types].xml", types), ("_rels/.rels", root_rels),
                           ("xl/workbook.xml", workbook), ("xl/_rels/workbook.xml.rels", workbook_rels),
                           ("xl/chartsheets/sheet1.xml", chartsheet),
                           ("xl/chartsheets/_rels/sheet1.xml.rels", XML_HEAD + '<Relationships xmlns="http://'
                            'schemas.openxmlformats.org/package/2006/relationships"/>'),
                           ("xl/worksheets/sheet1.xml", sheet),
                           ("xl/sharedStrings.xml", sst), ("xl/styles.xml", styles)]:
            z.writestr(name, data)
    return str(path)


def write_sheet_data(path, body, sheet="Utilities"):
    """A workbook of one sheet whose sheetData holds `body` (XML text, or an
    iterable of byte chunks), written as it stands: hostile layouts included."""
    base = write_xlsx(str(path) + ".base.xlsx", {sheet: [["a"]]})
    chunks = [body.encode()] if isinstance(body, str) else body
    with zipfile.ZipFile(base) as zin, zipfile.ZipFile(str(path), "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename != "xl/worksheets/sheet1.xml":
                zout.writestr(item.filename, data)
                continue
            head, _, rest = data.partition(b"<sheetData>")
            tail = rest.partition(b"</sheetData>")[2]
            with zout.open(item.filename, "w") as member:
                member.write(head + b"<sheetData>")
                for chunk in chunks:
                    member.write(chunk)
                member.write(b"</sheetData>" + tail)
    os.remove(base)
    return str(path)
