#pragma once

// The terminal a command-line program writes to: whether it can redraw rows in place, made ready
// for the program's UTF-8 output and given back as it was at exit, and its own way of taking back
// the rows drawn.

namespace fk::platform {

// Once, before any output: true when standard output is a terminal whose rows can be redrawn
// (false: a file or a pipe). What it changes is put back when the program exits.
bool PrepareConsole();

// The columns of the terminal standard output goes to; 0 when unknown. A row wider than this
// wraps onto a second screen row, which a redraw would not take back.
int ConsoleColumns();

// Takes back the last `rows` rows written: the cursor goes to the start of the first of them,
// and they and everything below are blank.
void EraseRowsAbove(int rows);

}  // namespace fk::platform
