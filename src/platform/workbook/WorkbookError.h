#pragma once

// The one failure of the workbook layer: a request the spreadsheet refuses (a bad sheet
// name, a cell past the limits) or a workbook that cannot be written.

#include <stdexcept>

namespace kestrove::workbook {

class WorkbookError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace kestrove::workbook
