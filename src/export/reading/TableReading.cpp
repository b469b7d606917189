#include "export/reading/TableReading.h"

#include <string>

namespace kestrove {

void TableReading::requireCounted(long rows) const {
    if (count == UnknownRowCount || rows == count)
        return;
    throw odbc::OdbcError(std::to_string(rows) + " rows came where " + std::to_string(count) +
                              " were counted" +
                              (rows > count ? "; every one of them is on the sheet." : "."),
                          "21000");
}

RowBlock TableReading::spareFor(std::size_t range) {
    RowBlock block = queue.spare();
    block.range = range;
    return block;
}

void TableReading::putLast(RowBlock& block) {
    block.last = true;
    queue.put(block);
    queue.finishRange(block.range);
}

} // namespace kestrove
