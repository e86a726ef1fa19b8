// Probes of the byte-level event path: one line through scan, filters and layout, and a whole
// file through them as the native print loop would take it (the benchmark's ceiling).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/event_writer.hpp"
#include "probe/probe.hpp"

namespace nerit::probe {
namespace {

using py::Ref;

bool utf8_list(PyObject* sequence, std::vector<std::string>& out) {
    Ref items = Ref::steal(PySequence_Fast(sequence, "filters must be sequences of str"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(items.get(), i), &size);
        if (text == nullptr) return false;
        out.emplace_back(text, static_cast<std::size_t>(size));
    }
    return true;
}

// config: (priorities, sources, format_expression, is_detailed, is_raw, no_color,
//          use_iso_date, russian, COLOR_OK, COLOR_FAIL, COLOR_GREY, COLOR_END)
std::unique_ptr<core::EventWriter> make_writer(PyObject* config) {
    PyObject* priorities = nullptr;
    PyObject* sources = nullptr;
    const char* expression = nullptr;
    Py_ssize_t expression_size = 0;
    int detailed = 0, raw = 0, no_color = 0, iso = 0, russian = 0;
    const char* colours[4] = {};
    Py_ssize_t colour_sizes[4] = {};
    if (!PyArg_ParseTuple(config, "OOz#ppppps#s#s#s#:config", &priorities, &sources, &expression,
                          &expression_size, &detailed, &raw, &no_color, &iso, &russian, &colours[0],
                          &colour_sizes[0], &colours[1], &colour_sizes[1], &colours[2],
                          &colour_sizes[2], &colours[3], &colour_sizes[3])) {
        return nullptr;
    }
    core::EventFilters filters;
    if (!utf8_list(priorities, filters.priorities) || !utf8_list(sources, filters.sources)) {
        return nullptr;
    }
    core::LayoutSettings settings;
    settings.is_detailed = detailed != 0;
    settings.is_raw = raw != 0;
    settings.no_color = no_color != 0;
    settings.use_iso_date = iso != 0;
    settings.russian = russian != 0;
    if (expression != nullptr) {
        settings.format_expression.assign(expression, static_cast<std::size_t>(expression_size));
    }
    std::string* targets[] = {&settings.color_ok, &settings.color_fail, &settings.color_grey,
                              &settings.color_end};
    for (int i = 0; i < 4; ++i) {
        targets[i]->assign(colours[i], static_cast<std::size_t>(colour_sizes[i]));
    }
    return std::make_unique<core::EventWriter>(std::move(filters), std::move(settings));
}

bool write_all(int fd, const core::ByteBuffer& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

PyObject* event_line_checked(PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* config = nullptr;
    if (!PyArg_ParseTuple(args, "y#O!:event_line", &data, &size, &PyTuple_Type, &config)) {
        return nullptr;
    }
    auto writer = make_writer(config);
    if (!writer) return nullptr;
    core::ByteBuffer out;
    const auto outcome =
        writer->write_line(std::string_view(data, static_cast<std::size_t>(size)), out);
    if (outcome == core::LineOutcome::declined_scan) {
        return Py_BuildValue("(OOO)", Py_False, Py_None, Py_None);
    }
    PyObject* decision = outcome == core::LineOutcome::declined_filter ? Py_None
                         : outcome == core::LineOutcome::rejected      ? Py_False
                                                                       : Py_True;
    if (outcome != core::LineOutcome::written) {
        return Py_BuildValue("(OOO)", Py_True, decision, Py_None);
    }
    // Without the line end that print adds.
    return Py_BuildValue("(OOy#)", Py_True, decision, out.data(),
                         static_cast<Py_ssize_t>(out.size() - 1));
}

PyObject* render_file_checked(PyObject* args) {
    const char* path = nullptr;
    int fd = -1;
    PyObject* config = nullptr;
    long long offset = 0;
    if (!PyArg_ParseTuple(args, "siO!|L:render_file", &path, &fd, &PyTuple_Type, &config,
                          &offset)) {
        return nullptr;
    }
    auto writer = make_writer(config);
    if (!writer) return nullptr;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file || std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }

    constexpr std::size_t kBlock = 1 << 20;
    constexpr std::size_t kFlushAt = 1 << 16;
    std::vector<char> block(kBlock);
    std::string carry;
    core::ByteBuffer out;
    long long counts[5] = {};  // by LineOutcome
    long long lines = 0;
    auto take = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lines;
        ++counts[static_cast<int>(writer->write_line(line, out))];
    };
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, kBlock, file.get())) > 0) {
        std::string_view rest(block.data(), got);
        for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;
             rest.remove_prefix(end + 1)) {
            if (!carry.empty()) {
                carry.append(rest.substr(0, end));
                take(carry);
                carry.clear();
            } else {
                take(rest.substr(0, end));
            }
            if (out.size() >= kFlushAt) {
                if (!write_all(fd, out)) return nullptr;
                out.clear();
            }
        }
        carry.append(rest);
    }
    if (std::ferror(file.get())) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    if (!carry.empty()) take(carry);
    if (!write_all(fd, out)) return nullptr;
    return Py_BuildValue("{sLsLsLsLsLsL}", "lines", lines, "written", counts[0], "rejected",
                         counts[1], "declined_scan", counts[2], "declined_filter", counts[3],
                         "declined_layout", counts[4]);
}

// The core reports running out of memory by std::bad_alloc, which must not reach the host.
template <class Probe>
PyObject* without_exceptions(Probe probe) {
    try {
        return probe();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyObject* event_line(PyObject*, PyObject* args) {
    return without_exceptions([args] { return event_line_checked(args); });
}

PyObject* render_file(PyObject*, PyObject* args) {
    return without_exceptions([args] { return render_file_checked(args); });
}

}  // namespace nerit::probe
