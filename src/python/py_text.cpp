// The private helpers of korvel_analysis, not in __all__: they write into
// arrays their caller made for them. korvel._scan_columns and _format_rows:
// the reads-table reader's and writer's inner loops (see core/text_columns.h);
// korvel._count_pairs: the binning of the reads as they are read
// (core/bins.h); korvel._scan_bam_xm, _scan_bam_mm: the BAM record walkers of
// korvel extract (core/bam_records.h).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>

#include "core/bam_records.h"
#include "core/bins.h"
#include "core/text_columns.h"
#include "python/frame.h"
#include "python/pyref.h"
#include "python/text.h"

namespace korvel::py {

namespace {

// A buffer of a Python object, held from construction to destruction.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with a Python exception set when `obj` has no such buffer.
    bool get(PyObject* obj, int flags) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A writable, contiguous buffer of 8-byte items of one of the formats, as a
// span of T; an empty span and a TypeError naming `name` otherwise.
template <class T>
std::span<T> items_of(HeldBuffer& buffer, PyObject* obj, const char* name,
                      std::initializer_list<const char*> formats) {
    static_assert(sizeof(T) == 8);
    const int writable = std::is_const_v<T> ? 0 : PyBUF_WRITABLE;
    if (!buffer.get(obj, writable | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return {};
    const Py_buffer& v = buffer.view();
    bool known = false;
    for (const char* f : formats) known = known || (v.format != nullptr && std::strcmp(v.format, f) == 0);
    if (!known || v.itemsize != 8 ||
        reinterpret_cast<std::uintptr_t>(v.buf) % alignof(T) != 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a contiguous array of 8-byte items", name);
        return {};
    }
    return {static_cast<T*>(v.buf), static_cast<std::size_t>(v.len) / sizeof(T)};
}

PyObject* scan_columns_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject *text_obj, *slots_obj, *values_obj, *lines_obj;
    int delimiter;
    Py_ssize_t n_slots;
    long long first_line;
    if (!PyArg_ParseTuple(args, "OiOnOOL:_scan_columns", &text_obj, &delimiter, &slots_obj,
                          &n_slots, &values_obj, &lines_obj, &first_line)) {
        return nullptr;
    }
    if (delimiter < 1 || delimiter > 127 || n_slots < 1) {
        PyErr_SetString(PyExc_ValueError, "delimiter must be an ASCII code, n_slots positive");
        return nullptr;
    }
    HeldBuffer text, slots, values_buf, lines_buf;
    if (!text.get(text_obj, PyBUF_SIMPLE) || !slots.get(slots_obj, PyBUF_SIMPLE)) return nullptr;
    const std::span<double> values = items_of<double>(values_buf, values_obj, "values", {"d"});
    if (values.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<std::int64_t> lines =
        items_of<std::int64_t>(lines_buf, lines_obj, "line_numbers", {"l", "q"});
    if (lines.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<const char> bytes(static_cast<const char*>(text.view().buf),
                                      static_cast<std::size_t>(text.view().len));
    const std::span<const std::uint8_t> slot_of(
        static_cast<const std::uint8_t*>(slots.view().buf),
        static_cast<std::size_t>(slots.view().len));
    return guarded([&]() -> PyObject* {
        // The buffers stay exported (their owners cannot resize them) while
        // the lock is released.
        const ColumnScan scan = without_gil([&] {
            return scan_columns(bytes, static_cast<char>(delimiter), slot_of,
                                static_cast<std::size_t>(n_slots), values, lines, first_line);
        });
        PyRef rows = new_int(scan.rows);
        PyRef consumed = new_int(scan.consumed);
        PyRef n_lines = new_int(static_cast<std::size_t>(scan.lines));
        return new_tuple({&rows, &consumed, &n_lines}).release();
    });
}

PyObject* count_pairs_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject *a_obj, *b_obj, *a_edges_obj, *b_edges_obj, *counts_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:_count_pairs", &a_obj, &b_obj, &a_edges_obj,
                          &b_edges_obj, &counts_obj)) {
        return nullptr;
    }
    HeldBuffer a_buf, b_buf, a_edges_buf, b_edges_buf, counts_buf;
    const std::span<const double> a = items_of<const double>(a_buf, a_obj, "a", {"d"});
    if (a.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<const double> b = items_of<const double>(b_buf, b_obj, "b", {"d"});
    if (b.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<const double> a_edges =
        items_of<const double>(a_edges_buf, a_edges_obj, "a_edges", {"d"});
    if (a_edges.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<const double> b_edges =
        items_of<const double>(b_edges_buf, b_edges_obj, "b_edges", {"d"});
    if (b_edges.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<std::int64_t> counts =
        items_of<std::int64_t>(counts_buf, counts_obj, "counts", {"l", "q"});
    if (counts.data() == nullptr && PyErr_Occurred()) return nullptr;
    if (a.size() != b.size() || a_edges.size() < 2 || b_edges.size() < 2 ||
        counts.size() != (a_edges.size() - 1) * (b_edges.size() - 1)) {
        PyErr_SetString(PyExc_ValueError,
                        "a and b must be as long as each other, the edges at least two, and "
                        "counts one cell per pair of bins");
        return nullptr;
    }
    // A block's pairs take microseconds: the lock is kept, since taking it back from
    // the reading thread could take longer than the count.
    return guarded([&]() -> PyObject* {
        return new_int(count_pairs(a, b, a_edges, b_edges, counts)).release();
    });
}

PyObject* format_rows_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject* values_obj;
    int delimiter;
    if (!PyArg_ParseTuple(args, "Oi:_format_rows", &values_obj, &delimiter)) return nullptr;
    if (delimiter < 1 || delimiter > 127) {
        PyErr_SetString(PyExc_ValueError, "delimiter must be an ASCII code");
        return nullptr;
    }
    HeldBuffer values_buf;
    const std::span<const double> values =
        items_of<const double>(values_buf, values_obj, "values", {"d"});
    if (values.data() == nullptr && PyErr_Occurred()) return nullptr;
    const Py_buffer& v = values_buf.view();
    if (v.ndim != 2) {
        PyErr_SetString(PyExc_TypeError, "values must be a matrix");
        return nullptr;
    }
    const auto n_cols = static_cast<std::size_t>(v.shape[1]);
    return guarded([&]() -> PyObject* {
        std::string text;
        without_gil([&] { format_rows(values, n_cols, static_cast<char>(delimiter), text); });
        PyRef bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!bytes) return nullptr;
        return bytes.release();
    });
}

PyObject* format_units_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject *start_obj, *end_obj, *strand_obj, *n_obj, *fraction_obj, *density_obj, *head_obj,
        *tail_obj;
    int delimiter;
    if (!PyArg_ParseTuple(args, "OOOOOOiOO:_format_units", &start_obj, &end_obj, &strand_obj,
                          &n_obj, &fraction_obj, &density_obj, &delimiter, &head_obj,
                          &tail_obj)) {
        return nullptr;
    }
    if (delimiter < 1 || delimiter > 127) {
        PyErr_SetString(PyExc_ValueError, "delimiter must be an ASCII code");
        return nullptr;
    }
    HeldBuffer start_buf, end_buf, strand_buf, n_buf, fraction_buf, density_buf, head, tail;
    UnitColumns units;
    units.start = items_of<const std::int64_t>(start_buf, start_obj, "start", {"l", "q"});
    if (units.start.data() == nullptr && PyErr_Occurred()) return nullptr;
    units.end = items_of<const std::int64_t>(end_buf, end_obj, "end", {"l", "q"});
    if (units.end.data() == nullptr && PyErr_Occurred()) return nullptr;
    units.n = items_of<const std::int64_t>(n_buf, n_obj, "n", {"l", "q"});
    if (units.n.data() == nullptr && PyErr_Occurred()) return nullptr;
    units.fraction = items_of<const double>(fraction_buf, fraction_obj, "fraction", {"d"});
    if (units.fraction.data() == nullptr && PyErr_Occurred()) return nullptr;
    units.density = items_of<const double>(density_buf, density_obj, "density", {"d"});
    if (units.density.data() == nullptr && PyErr_Occurred()) return nullptr;
    if (!strand_buf.get(strand_obj, PyBUF_SIMPLE) || !head.get(head_obj, PyBUF_SIMPLE) ||
        !tail.get(tail_obj, PyBUF_SIMPLE)) {
        return nullptr;
    }
    units.strand = {static_cast<const std::uint8_t*>(strand_buf.view().buf),
                    static_cast<std::size_t>(strand_buf.view().len)};
    const std::size_t rows = units.start.size();
    if (units.end.size() != rows || units.n.size() != rows || units.strand.size() != rows ||
        units.fraction.size() != rows || units.density.size() != rows) {
        PyErr_SetString(PyExc_ValueError, "the columns must have one length");
        return nullptr;
    }
    const std::string_view head_text(static_cast<const char*>(head.view().buf),
                                     static_cast<std::size_t>(head.view().len));
    const std::string_view tail_text(static_cast<const char*>(tail.view().buf),
                                     static_cast<std::size_t>(tail.view().len));
    return guarded([&]() -> PyObject* {
        std::string text;
        without_gil([&] {
            format_units(units, head_text, tail_text, static_cast<char>(delimiter), text);
        });
        PyRef bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!bytes) return nullptr;
        return bytes.release();
    });
}

// The two record scans take the same buffers and answer alike: the bytes of
// whole records, the row and call arrays they fill, and (records, bytes
// consumed, calls, malformed). `scan(data, rows, calls)` runs without the lock;
// the buffers stay exported meanwhile, so their owners cannot resize them.
template <class Scan>
PyObject* scan_bam(PyObject* bytes_obj, PyObject* rows_obj, PyObject* calls_obj, Scan scan) {
    HeldBuffer bytes, rows_buf, calls_buf;
    if (!bytes.get(bytes_obj, PyBUF_SIMPLE)) return nullptr;
    const std::span<std::int64_t> rows =
        items_of<std::int64_t>(rows_buf, rows_obj, "rows", {"l", "q"});
    if (rows.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<std::int64_t> calls =
        items_of<std::int64_t>(calls_buf, calls_obj, "calls", {"l", "q"});
    if (calls.data() == nullptr && PyErr_Occurred()) return nullptr;
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(bytes.view().buf),
                                             static_cast<std::size_t>(bytes.view().len));
    return guarded([&]() -> PyObject* {
        const BamScan found = without_gil([&] { return scan(data, rows, calls); });
        PyRef records = new_int(found.records);
        PyRef consumed = new_int(found.consumed);
        PyRef n_calls = new_int(found.calls);
        PyRef malformed(PyBool_FromLong(found.malformed ? 1 : 0));
        if (!malformed) return nullptr;
        return new_tuple({&records, &consumed, &n_calls, &malformed}).release();
    });
}

PyObject* scan_bam_xm_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject *bytes_obj, *rows_obj, *calls_obj;
    long long min_mapq;
    if (!PyArg_ParseTuple(args, "OOOL:_scan_bam_xm", &bytes_obj, &rows_obj, &calls_obj,
                          &min_mapq)) {
        return nullptr;
    }
    return scan_bam(bytes_obj, rows_obj, calls_obj, [&](auto data, auto rows, auto calls) {
        return scan_xm_records(data, rows, calls, min_mapq);
    });
}

PyObject* scan_bam_mm_py(PyObject* /*self*/, PyObject* args) noexcept {
    PyObject *bytes_obj, *rows_obj, *calls_obj;
    long long min_mapq;
    double threshold;
    int hydroxy_methylated;
    if (!PyArg_ParseTuple(args, "OOOLdp:_scan_bam_mm", &bytes_obj, &rows_obj, &calls_obj,
                          &min_mapq, &threshold, &hydroxy_methylated)) {
        return nullptr;
    }
    const ModCallRule rule{threshold, hydroxy_methylated != 0};
    return scan_bam(bytes_obj, rows_obj, calls_obj, [&](auto data, auto rows, auto calls) {
        return scan_mm_records(data, rows, calls, min_mapq, rule);
    });
}

PyMethodDef g_text_methods[] = {
    {"_scan_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_columns_py)),
     METH_VARARGS,
     "_scan_columns(text, delimiter, slots, n_slots, values, line_numbers, first_line)\n"
     "--\n\n"
     "korvel_analysis's reader: reads the plain lines at the start of `text` into\n"
     "`values` (rows of n_slots doubles) and `line_numbers` (int64); returns\n"
     "(rows, bytes consumed, lines consumed)."},
    {"_count_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_pairs_py)),
     METH_VARARGS,
     "_count_pairs(a, b, a_edges, b_edges, counts)\n--\n\n"
     "korvel_analysis's binning as read: adds each pair (a[i], b[i]) to the int64\n"
     "cell counts[bin of a[i] * (len(b_edges) - 1) + bin of b[i]] (bin j is\n"
     "[edge j, edge j+1), the last closed); returns the pairs outside the edges."},
    {"_format_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_rows_py)),
     METH_VARARGS,
     "_format_rows(values, delimiter)\n--\n\n"
     "korvel_analysis's writer: the rows of the float64 matrix `values` as text,\n"
     "each number as \"%.17g\" writes it, as bytes."},
    {"_format_units", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_units_py)),
     METH_VARARGS,
     "_format_units(start, end, strand, n, fraction, density, delimiter, head, tail)\n--\n\n"
     "korvel extract's writer: one line per unit, head + start, end, strand (bytes of\n"
     "'+', '-', '.'), n, fraction and density (repr of the floats, NA for NaN) + tail,\n"
     "as bytes."},
    {"_scan_bam_xm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_bam_xm_py)),
     METH_VARARGS,
     "_scan_bam_xm(data, rows, calls, min_mapq)\n--\n\n"
     "korvel extract's BAM reader: walks the whole uncompressed BAM records at the\n"
     "start of `data`, one row of 13 int64 per record into `rows` and the CpG\n"
     "calls of its XM tag, 3 int64 each, into `calls` (3 per byte of `data`);\n"
     "returns (records, bytes consumed, calls, malformed)."},
    {"_scan_bam_mm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_bam_mm_py)),
     METH_VARARGS,
     "_scan_bam_mm(data, rows, calls, min_mapq, threshold, hydroxy_methylated)\n--\n\n"
     "korvel extract's BAM reader for modified-base tags: as _scan_bam_xm, with the\n"
     "CpG calls of MM/ML (methylated at probability >= threshold, unmethylated at\n"
     "<= 1 - threshold) and, in the has-tag column, 0 no MM, 1 read, 2 malformed,\n"
     "3 ML shorter than MM, 4 MN not the length of SEQ."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* private_methods() noexcept { return g_text_methods; }

}  // namespace korvel::py
