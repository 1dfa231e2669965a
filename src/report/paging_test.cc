#include "report/paging.h"

#include <gtest/gtest.h>

namespace {

TEST(PageRows, TableOfCases) {
  struct {
    const char* name;
    bool height_known;
    uint16_t terminal_rows;
    int expected;
  } const cases[] = {
      {"not a terminal", false, 0, 24},       {"not a terminal ignores rows", false, 50, 24},
      {"50-row terminal", true, 50, 50},      {"12-row terminal", true, 12, 12},
      {"10-row terminal", true, 10, 10},      {"5-row terminal raised", true, 5, 10},
      {"0-row terminal raised", true, 0, 10}, {"largest", true, 65535, 65535},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(page_rows_for(c.height_known, c.terminal_rows), c.expected) << c.name;
  }
}

TEST(NextLineInPage, HeaderEveryPageRowsMinusThreeLines) {
  for (int page_rows : {10, 24}) {
    int line_in_page = 0;
    int nr_headers = 0;
    const int nr_lines = 3 * (page_rows - 3);
    for (int line = 0; line < nr_lines; ++line) {
      if (line_in_page == 0) {
        EXPECT_EQ(line % (page_rows - 3), 0) << "rows " << page_rows << " line " << line;
        ++nr_headers;
      }
      line_in_page = next_line_in_page(line_in_page, page_rows);
    }
    EXPECT_EQ(nr_headers, 3) << "rows " << page_rows;
  }
}

}  // namespace
