// Printing one line to standard output as the viewer's print call would.
#pragma once

#include "record_console/console_state.hpp"

namespace nerit::console {

// Where print_line would send a line now, as print's caller and print itself would find it.
bool print_target_now(const Context& ctx, PrintTarget& out);

// Writes `text` and a line end to standard output as the host's print would, calling a
// replacement print instead when one is installed in the module or in builtins.
bool print_line(const Context& ctx, PyObject* text);

}  // namespace nerit::console
