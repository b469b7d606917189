#pragma once

// The server's text of a row value, "(v1,v2,...)", read back into the row's values: a
// field is quoted when it is empty or holds '"', '\', '(', ')', ',' or white space, with
// '"' and '\' doubled inside the quotes; a Null is nothing between the commas.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove {

// Rows of values one after another in one text.
struct ValueRows {
    std::string text;
    std::vector<std::size_t> ends; // where each value ends in `text`, row by row
    std::vector<char> nulls;       // 1 for each Null value
    std::size_t used = 0;          // rows
};

// Reads the row value that starts at `at` in `records` (rows are joined by line feeds)
// and appends its `columns` values to `rows`; returns where the next row starts. Throws
// when the text is not a row value of that many fields.
std::size_t appendRecord(std::string_view records, std::size_t at, std::size_t columns,
                         ValueRows& rows);

} // namespace kestrove
