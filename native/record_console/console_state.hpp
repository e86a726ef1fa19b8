// Per-module data of record_console: the names it looks up, its state and the way a viewer
// reaches them.
#pragma once

#include <optional>

#include "core/text_file_blocks.hpp"
#include "py/guard.hpp"
#include "py/host.hpp"
#include "py/module_state.hpp"
#include "py/pass_api.hpp"
#include "record_console/print_target.hpp"

namespace nerit::console {

// Every name the module looks up: viewer fields and private members as Python mangles them,
// option-record attributes, module globals and attributes of host objects.
#define NERIT_CONSOLE_NAMES(X)                                     \
    X(f_file_path, "_NeritEventViewer__file_path")                 \
    X(f_priority_filter, "_NeritEventViewer__priority_filter")     \
    X(f_source_filter, "_NeritEventViewer__source_filter")         \
    X(f_temp_dir, "_NeritEventViewer__temp_dir")                   \
    X(f_follow, "_NeritEventViewer__follow")                       \
    X(f_iterator, "_NeritEventViewer__iterator")                   \
    X(f_formatter, "_NeritEventViewer__formatter")                 \
    X(m_setup_filters, "_NeritEventViewer__setup_filters")         \
    X(m_is_path_archive, "_NeritEventViewer__is_path_archive")     \
    X(m_extract, "_NeritEventViewer__extract_events_from_archive") \
    X(m_clean_temp_files, "_NeritEventViewer__clean_temp_files")   \
    X(m_follow_events, "_NeritEventViewer__follow_events")         \
    X(o_watch_file, "watch_file")                                  \
    X(o_priority, "priority")                                      \
    X(o_source, "source")                                          \
    X(o_follow, "follow")                                          \
    X(o_since, "since")                                            \
    X(o_until, "until")                                            \
    X(o_days_back, "days_back")                                    \
    X(o_today, "today")                                            \
    X(o_all, "all")                                                \
    X(o_count, "count")                                            \
    X(o_format, "format")                                          \
    X(o_more_info, "more_info")                                    \
    X(o_raw, "raw")                                                \
    X(o_nocolor, "nocolor")                                        \
    X(o_iso_date, "iso_date")                                      \
    X(g_shutil, "shutil")                                          \
    X(g_sys, "sys")                                                \
    X(g_tarfile, "tarfile")                                        \
    X(g_time, "time")                                              \
    X(g_date, "date")                                              \
    X(g_timedelta, "timedelta")                                    \
    X(g_path, "Path")                                              \
    X(g_formatter, "NeritEventFormatter")                          \
    X(g_recent_iterator, "NeritRecentEventIterator")               \
    X(g_new_iterator, "NeritNewEventIterator")                     \
    X(g_range_iterator, "NeritTimeRangeEventIterator")             \
    X(g_all_iterator, "NeritAllEventsIterator")                    \
    X(g_translate, "_")                                            \
    X(g_print, "print")                                            \
    X(a_exit, "exit")                                              \
    X(a_stdout, "stdout")                                          \
    X(a_file, "file")                                              \
    X(a_time, "time")                                              \
    X(a_today, "today")                                            \
    X(a_isoformat, "isoformat")                                    \
    X(a_days, "days")                                              \
    X(a_date_since, "date_since")                                  \
    X(a_open, "open")                                              \
    X(a_rmtree, "rmtree")                                          \
    X(a_read_error, "ReadError")                                   \
    X(a_set_priority_filter, "set_priority_filter")                \
    X(a_set_source_filter, "set_source_filter")                    \
    X(a_format_event, "format_event")                              \
    X(a_suffix, "suffix")                                          \
    X(a_mkdir, "mkdir")                                            \
    X(a_mode, "mode")                                              \
    X(a_getmember, "getmember")                                    \
    X(a_extract, "extract")                                        \
    X(a_member, "member")                                          \
    X(a_path, "path")                                              \
    X(a_filter, "filter")                                          \
    X(a_close, "close")                                            \
    X(a_name, "name")                                              \
    X(a_isreg, "isreg")                                            \
    X(a_add_note, "add_note")                                      \
    X(a_absolute_path_error, "AbsolutePathError")                  \
    X(a_outside_destination_error, "OutsideDestinationError")      \
    X(a_special_file_error, "SpecialFileError")                    \
    X(a_member_too_large_error, "MemberTooLargeError")             \
    X(a_data_filter, "data_filter")                                \
    X(a_set_attrs, "set_attrs")                                    \
    X(a_size, "size")                                              \
    X(a_sparse, "sparse")                                          \
    X(a_disk_usage, "disk_usage")                                  \
    X(a_free, "free")                                              \
    X(a_resolve, "resolve")                                        \
    X(k_format_expression, "format_expression")                    \
    X(k_is_detailed, "is_detailed")                                \
    X(k_is_raw, "is_raw")                                          \
    X(k_no_color, "no_color")                                      \
    X(k_use_iso_date, "use_iso_date")                              \
    X(s_tmp_root, "/tmp")                                          \
    X(s_tmp_prefix, "tmp")                                         \
    X(s_read_mode, "r:*")                                          \
    X(s_data_filter, "data")                                       \
    X(s_log_path, "/vantor/log/nerit/events")                      \
    X(s_refusals_module, "nerit_record_console._tar_refusals")     \
    X(fast_paths_name, py::kFastPathsAttr)                         \
    X(newline, "\n") /* the end print writes */                    \
    X(write_name, "write")                                         \
    X(a_line_buffering, "line_buffering")                          \
    X(a_write_through, "write_through")                            \
    X(a_chunk_size, "_CHUNK_SIZE")                                 \
    X(a_closed, "closed")                                          \
    X(a_encoding, "encoding")                                      \
    X(a_buffer, "buffer")                                          \
    X(a_readable, "readable")                                      \
    X(a_writable, "writable")                                      \
    X(a_flush, "flush")                                            \
    X(s_utf_8, "utf-8")

// The other references the module holds.
#define NERIT_CONSOLE_REFS(X)                                                             \
    X(archive_suffixes) /* tuple of the recognised suffixes, in the order they are tried */ \
    X(builtins_dict)    /* dictionary of the builtins module */                             \
    X(builtin_print)    /* builtins.print as it was when the module loaded */               \
    X(viewer_type)                                                                        \
    X(file_keyword) /* ("file",), keyword names of print(text, file=...) */              \
    /* The host's own file types: standard output the native loop writes through. */      \
    X(text_io_wrapper_type)                                                               \
    X(buffered_writer_type)                                                               \
    X(file_io_type)                                                                       \
    X(codecs_lookup)                                                                      \
    X(utf8_encoding) /* an encoding str once known to name UTF-8 */

// How many bytes standard output's text file holds that it has not handed to its buffer yet,
// counted from what the viewer wrote to it; the native loop hands its text on at the points the
// host's writes would. Unknown (-1) until the first pass of a show flushes that file; a later
// pass that finds it unknown leaves the file to print.
struct PendingCount {
    py::Ref file;
    Py_ssize_t bytes = -1;
    bool may_flush = false;  // no event of this show was printed yet

    void forget() {
        file.reset();
        bytes = -1;
    }
};

// Per-module data, declared once in the tables above.
struct ConsoleState {
    NERIT_STATE_TABLE(NERIT_CONSOLE_NAMES, NERIT_CONSOLE_REFS)
    PrintCache print_cache;
    PendingCount stdout_pending;
    // When the interpreter's text files hand pending text on before a write; empty when
    // unknown, and the native loop then leaves standard output to print.
    std::optional<core::HandsBefore> text_file_hands_before;
    py::Watchers watchers;
    const py::SourcePassApi* source_api = nullptr;  // live as long as the imported modules
    const py::LayoutPassApi* layout_api = nullptr;

    int traverse(visitproc visit, void* arg) const {
        if (const int visited = traverse_table(visit, arg)) return visited;
        Py_VISIT(stdout_pending.file.get());
        return print_cache.traverse(visit, arg);
    }
    void clear() {
        clear_table();
        print_cache.clear();
        stdout_pending.forget();
    }
};

using StateSlot = py::ModuleStateSlot<ConsoleState>;

// The module together with its state, found from any viewer (subclass instances included).
struct Context {
    PyObject* module = nullptr;
    ConsoleState* state = nullptr;
};

extern PyModuleDef console_module_def;

// Fills `out` from the type of `self`; false with an error set when that fails.
bool context_of(PyObject* self, Context& out);

}  // namespace nerit::console
