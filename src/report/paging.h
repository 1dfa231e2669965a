// How often the header repeats.
//
// Thread safety: pure functions.
#pragma once

#include <stdint.h>

// The page height: the terminal's rows when standard input is a terminal that
// answered the size query, else 24; never below 10.
int page_rows_for(bool height_known, uint16_t terminal_rows);

// The data-line counter after one more line: back to 0 once a page holds its
// page_rows - 3 data lines, which is when the header is printed again.
int next_line_in_page(int line_in_page, int page_rows);
