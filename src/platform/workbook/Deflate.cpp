#include "platform/workbook/Deflate.h"

#include <zlib.h>

#include <stdexcept>

namespace kestrove::workbook {

struct RawDeflater::State {
    z_stream stream{};
};

RawDeflater::RawDeflater() : m_state(std::make_unique<State>()) {
    // Level 1: sheet XML is repetitive enough that the fastest level compresses it well.
    if (deflateInit2(&m_state->stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
}

RawDeflater::~RawDeflater() {
    deflateEnd(&m_state->stream);
}

void RawDeflater::compress(std::string_view in, std::string& out, Ending ending) {
    z_stream& stream = m_state->stream;
    const int flush = ending == Ending::None ? Z_NO_FLUSH : ending == Ending::Segment ? Z_SYNC_FLUSH : Z_FINISH;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    for (;;) {
        const std::size_t used = out.size();
        const std::size_t room = deflateBound(&stream, stream.avail_in) + 64;
        out.resize(used + room);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        stream.avail_out = static_cast<uInt>(room);
        const int result = deflate(&stream, flush);
        out.resize(used + room - stream.avail_out);
        if (result == Z_STREAM_END || (stream.avail_in == 0 && stream.avail_out != 0))
            break;
        if (result != Z_OK && result != Z_BUF_ERROR)
            throw std::runtime_error("deflate failed");
    }
    if (ending != Ending::None)
        deflateReset(&stream);
}

} // namespace kestrove::workbook
