#pragma once

// Raw deflate (no zlib or gzip wrapper) in segments that join into one stream: a segment
// made by a fresh or reset compressor and ended on a byte boundary can be followed by
// the next one, and the last one ends the stream.

#include <memory>
#include <string>
#include <string_view>

namespace kestrove::workbook {

class RawDeflater {
public:
    enum class Ending { None, Segment, Stream };

    RawDeflater();
    ~RawDeflater();
    RawDeflater(const RawDeflater&) = delete;
    RawDeflater& operator=(const RawDeflater&) = delete;

    // Compresses `in`, appending to `out`. Segment: everything so far is in `out`, ending
    // on a byte boundary (a sync flush); Stream: the final block is written. Either way
    // the compressor starts afresh for what follows.
    void compress(std::string_view in, std::string& out, Ending ending = Ending::None);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace kestrove::workbook
