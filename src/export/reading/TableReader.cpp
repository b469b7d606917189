#include "export/reading/TableReader.h"

namespace kestrove {

namespace {
[[noreturn]] void throwEof() {
    throw odbc::OdbcError("Either BOF or EOF is True, or the current record has been deleted.",
                          "24000");
}
} // namespace

void RowsInHand::throwClosed() {
    throw odbc::ClosedObjectError("HY010");
}

void RowsInHand::open() {
    m_open = true;
    m_block = RowBlock{};
    m_position = 0;
    m_exhausted = false;
    m_repaired = 0;
}

void RowsInHand::close() {
    m_open = false;
    m_block = RowBlock{};
}

std::optional<std::string_view> RowsInHand::value(std::size_t fields, std::size_t ordinal) const {
    if (m_position >= m_block.used)
        throwEof();
    const std::size_t k = m_position * fields + ordinal;
    if (m_block.nulls[k])
        return std::nullopt;
    const std::size_t start = k == 0 ? 0 : m_block.ends[k - 1];
    return std::string_view(m_block.text).substr(start, m_block.ends[k] - start);
}

void RowsInHand::moveNext(BlockQueue& queue, const system::Waiter& whileWaiting) {
    if (m_position < m_block.used)
        ++m_position;
    else if (m_exhausted && !m_block.failure)
        throwEof();
    while (m_position >= m_block.used && !m_exhausted) {
        m_block = queue.take(std::move(m_block), whileWaiting);
        m_position = 0;
        m_exhausted = m_block.last;
        m_repaired += m_block.repaired;
    }
    // A broken stream fails only once every row that arrived before has been given out.
    if (m_position >= m_block.used && m_block.failure)
        std::rethrow_exception(m_block.failure);
}

void TableReader::open(ReadingTransaction& reading, const ReadSource& source,
                       const Waiter& whileWaiting, const std::vector<std::size_t>& helpers) {
    begin(reading, 0, source, 0, helpers);
    claim(whileWaiting);
}

void TableReader::begin(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
                        std::size_t aheadBytes, const std::vector<std::size_t>& helpers) {
    if (m_rows.isOpen())
        throw odbc::OpenObjectError();
    m_fetch.start(reading, reader, source, aheadBytes, helpers);
}

void TableReader::claim(const Waiter& whileWaiting) {
    m_fetch.awaitStart(whileWaiting);
    m_rows.open();
    try {
        moveNext(whileWaiting);
    } catch (...) {
        close();
        throw;
    }
}

void TableReader::close() {
    m_rows.requireOpen();
    m_fetch.stop();
    m_rows.close();
    m_fetch.shared().columns.fields.clear();
    m_fetch.shared().queue.reset(0);
}

long TableReader::recordCount() const {
    m_rows.requireOpen();
    return m_fetch.shared().count;
}

const TableColumns& TableReader::columns() const {
    m_rows.requireOpen();
    return m_fetch.shared().columns;
}

std::optional<std::string_view> TableReader::value(int ordinal) const {
    const TableColumns& described = columns();
    described.field(ordinal);
    return m_rows.value(described.fields.size(), static_cast<std::size_t>(ordinal));
}

bool TableReader::eof() const {
    m_rows.requireOpen();
    return m_rows.eof();
}

bool TableReader::lastRow() const {
    m_rows.requireOpen();
    return m_rows.lastRow();
}

void TableReader::moveNext(const Waiter& whileWaiting) {
    m_rows.requireOpen();
    m_rows.moveNext(m_fetch.shared().queue, whileWaiting);
}

} // namespace kestrove
