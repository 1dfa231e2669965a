#include "report/paging.h"

int page_rows_for(bool height_known, uint16_t terminal_rows) {
  int page_rows = height_known ? terminal_rows : 24;
  return page_rows < 10 ? 10 : page_rows;
}

int next_line_in_page(int line_in_page, int page_rows) {
  return line_in_page == page_rows - 4 ? 0 : line_in_page + 1;
}
