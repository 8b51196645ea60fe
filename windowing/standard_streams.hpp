// A program started without one of its standard streams (`2>&-`) must not hand that stream's number
// to the next file or connection it opens: its messages would go there instead, into the X
// connection for one.
#pragma once

// Puts a placeholder on each of descriptors 0, 1 and 2 that is not open. The placeholder is
// /dev/null opened the other way round (standard input for writing, output and error for reading),
// so using the stream still fails as on a closed one, with EBADF. Call it first thing in main.
void hold_closed_standard_streams();
