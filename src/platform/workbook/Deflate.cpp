#include "platform/workbook/Deflate.h"

#include <isa-l/igzip_lib.h>

#include <stdexcept>
#include <vector>

namespace kestrove::workbook {

// Intel's ISA-L at its fastest level: several times the speed of zlib's level 1 on
// sheet XML, for a file a little larger.
struct RawDeflater::State {
    isal_zstream stream{};
    std::vector<std::uint8_t> levelBuffer = std::vector<std::uint8_t>(ISAL_DEF_LVL1_DEFAULT);

    void start() {
        isal_deflate_init(&stream);
        stream.level = 1;
        stream.level_buf = levelBuffer.data();
        stream.level_buf_size = static_cast<std::uint32_t>(levelBuffer.size());
        stream.gzip_flag = IGZIP_DEFLATE;
    }
};

RawDeflater::RawDeflater() : m_state(std::make_unique<State>()) {
    m_state->start();
}

RawDeflater::~RawDeflater() = default;

void RawDeflater::compress(std::string_view in, std::string& out, Ending ending) {
    isal_zstream& stream = m_state->stream;
    stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<std::uint32_t>(in.size());
    stream.flush = ending == Ending::None ? NO_FLUSH : SYNC_FLUSH;
    stream.end_of_stream = ending == Ending::Stream ? 1 : 0;
    for (;;) {
        const std::size_t used = out.size();
        const std::size_t room = in.size() + in.size() / 8 + 1024;
        out.resize(used + room);
        stream.next_out = reinterpret_cast<std::uint8_t*>(out.data() + used);
        stream.avail_out = static_cast<std::uint32_t>(room);
        if (isal_deflate(&stream) != COMP_OK)
            throw std::runtime_error("deflate failed");
        out.resize(used + room - stream.avail_out);
        if (stream.avail_in != 0 || stream.avail_out == 0)
            continue;
        if (ending == Ending::None ||
            (ending == Ending::Segment && stream.internal_state.state == ZSTATE_NEW_HDR) ||
            stream.internal_state.state == ZSTATE_END)
            break;
    }
    if (ending != Ending::None)
        isal_deflate_reset(&stream);
}

} // namespace kestrove::workbook
