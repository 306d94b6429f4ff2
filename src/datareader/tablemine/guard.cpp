// The checks a workbook passes before a library (openpyxl, through pandas or
// the toolkit's readers) opens it.  openpyxl parses its parts with lxml when
// lxml is installed and with the standard library otherwise, and only the
// latter refuses entities; so every XML part is looked at here first, through
// zipfile, the very archive reader openpyxl uses.  Only a part's prolog
// needs inflating: a document type declaration can stand nowhere else.
#include "datareader/tablemine/tablemine.hpp"

#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/prolog.hpp"
#include "datareader/tablemine/native/zip.hpp"

#include <algorithm>

namespace mine {
namespace {

using native::PrologCheck;
using native::Refused;

constexpr long long kLocalHeader = 30;
// The bounds the native reader holds members to.
constexpr auto kMaxRatio = static_cast<long long>(native::zip::kMaxRatio);
constexpr auto kRatioFloor = static_cast<long long>(native::zip::kRatioFloor);

object import(const char *name) { return py::steal(PyImport_ImportModule(name)); }

long long attr_int(handle o, const char *name) { return py::as_index(nb::getattr(o, name)); }

// Runs `body`, closing `closable` after it whatever happens.
template <typename Body>
void closing(handle closable, Body &&body) {
    try {
        body();
    } catch (...) {
        try {
            closable.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
    closable.attr("close")();
}

void check_members(handle infos) {
    struct Span {
        long long offset, end;
        std::string name;
    };
    std::vector<Span> spans;
    for (handle info : infos) {
        long long packed = attr_int(info, "compress_size");
        long long size = attr_int(info, "file_size");
        std::string name = py::utf8(nb::getattr(info, "filename"));
        if (size > kRatioFloor && size / kMaxRatio > packed)
            throw Refused(Refused::Kind::Zip, "member " + name + " would inflate " +
                                                  std::to_string(packed) + " bytes to " + std::to_string(size));
        long long offset = attr_int(info, "header_offset");
        spans.push_back(Span{offset, offset + kLocalHeader + packed, name});
    }
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.offset < b.offset; });
    for (std::size_t i = 0; i + 1 < spans.size(); ++i)
        if (spans[i + 1].offset < spans[i].end)
            throw Refused(Refused::Kind::Zip, "members " + spans[i].name + " and " + spans[i + 1].name + " overlap");
}

// The verdict on one member's prolog; Clean when the member cannot be read
// (the library then fails on it in its own words).
PrologCheck::Verdict prolog_of(handle archive, handle info) {
    object member;
    try {
        member = archive.attr("open")(info);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return PrologCheck::Verdict::Clean;
    }
    PrologCheck check;
    PrologCheck::Verdict verdict = PrologCheck::Verdict::NeedMore;
    closing(member, [&] {
        try {
            while (verdict == PrologCheck::Verdict::NeedMore) {
                object chunk = member.attr("read")(4096);
                char *data = nullptr;
                Py_ssize_t size = 0;
                if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0) py::raise_pending();
                verdict = size == 0 ? check.finish()
                                    : check.feed(reinterpret_cast<const unsigned char *>(data),
                                                 static_cast<std::size_t>(size));
            }
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            verdict = PrologCheck::Verdict::Clean;
        }
    });
    return verdict;
}

void check_prologs(handle archive, handle infos) {
    for (handle info : infos) {
        std::string name = py::utf8(nb::getattr(info, "filename"));
        switch (prolog_of(archive, info)) {
        case PrologCheck::Verdict::Doctype:
            throw Refused(Refused::Kind::Doctype, "document type declaration in " + name);
        case PrologCheck::Verdict::Encoding:
            throw Refused(Refused::Kind::Encoding, "XML part " + name + " in an encoding that is not checked");
        case PrologCheck::Verdict::TooLong:
            throw Refused(Refused::Kind::Xml, "XML part " + name + " with a prolog of more than 1 MiB");
        default:
            break;
        }
    }
}

object optional_text(const std::optional<std::string> &s) {
    return s ? py::text(*s) : object(nb::none());
}

}  // namespace

void guard_workbook(handle filename) {
    object zipfile = import("zipfile");
    object archive;
    try {
        // Only what names a file: an open stream is the caller's.
        object path = import("os").attr("fspath")(filename);
        archive = zipfile.attr("ZipFile")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return;  // no zip: the library reports it as it always has
    }
    try {
        closing(archive, [&] {
            object infos = archive.attr("infolist")();
            check_members(infos);
            check_prologs(archive, infos);
        });
    } catch (Refused &refusal) {
        raise_refusal(refusal);
    }
}

void check_before_library(handle filename) {
    refuse_special_file(filename);
    guard_workbook(filename);
}

void raise_refusal(const Refused &refusal) {
    // The error class of each refusal, as the library's own reading would
    // raise it, and how many of the refusal's details it takes as arguments
    // (none: the message alone).
    const char *module = "builtins", *name = "ValueError";
    std::size_t taken = 0;
    switch (refusal.kind) {
    case Refused::Kind::Zip: module = "zipfile", name = "BadZipFile"; break;
    case Refused::Kind::Doctype: module = "defusedxml.common", name = "DTDForbidden", taken = 3; break;
    case Refused::Kind::Entities:
        module = "defusedxml.common", name = "EntitiesForbidden", taken = 6;
        break;
    case Refused::Kind::Encoding: module = "defusedxml.common", name = "DefusedXmlException"; break;
    case Refused::Kind::Xml: module = "xml.etree.ElementTree", name = "ParseError"; break;
    case Refused::Kind::Sheet: break;
    }
    nb::list args;
    if (taken == 0) args.append(py::text(refusal.what()));
    for (std::size_t i = 0; i < taken; ++i)
        args.append(i < refusal.details.size() ? optional_text(refusal.details[i]) : object(nb::none()));
    object type = import(module).attr(name);
    py::raise(py::steal(PyObject_Call(type.ptr(), nb::tuple(args).ptr(), nullptr)));
}

}  // namespace mine
