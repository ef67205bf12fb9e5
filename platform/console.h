#pragma once

// The terminal a command-line program writes to: whether it can redraw lines in place, made ready
// for the program's UTF-8 output and given back as it was at exit.

namespace fk::platform {

enum class ConsoleOutput {
    None,     // standard output is a file or a pipe
    Redraws,  // a terminal that takes escape sequences
    Lines,    // a terminal that shows them as they are: a line per change instead
};

// Once, before any output; what it changes is put back when the program exits.
ConsoleOutput PrepareConsole();

}  // namespace fk::platform
