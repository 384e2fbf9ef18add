// The console: the unit's tagged lines ("[ERR] ...", "[SPD] ...") on
// standard output.
//
// Threading: any thread. A line goes out in one write and is flushed at
// once, so lines of threads printing at the same time never interleave and
// a reader of the output sees each line when it happens.
#pragma once

#include <string_view>

// Writes the text and a line end.
void consoleLine(std::string_view line);
