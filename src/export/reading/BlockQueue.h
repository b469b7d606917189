#pragma once

// The blocks of rows between a table's reading threads and the thread that gives the rows
// out. A table may be read in ranges on several threads at once: each block belongs to a
// range, and blocks come out in range order, each range's in the order they were put in.

#include "platform/system/Waiting.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kestrove {

// Rows of values one after another in one text; a block comes back to the readers once
// read, so that its memory is written over instead of allocated again.
struct RowBlock {
    std::string text;
    std::vector<std::size_t> ends; // where each value ends in `text`, row by row
    std::vector<char> nulls;       // 1 for each Null value
    std::size_t used = 0;          // rows
    long repaired = 0;
    std::exception_ptr failure;
    bool last = false;
    std::size_t range = 0;
};

class BlockQueue {
public:
    // Ranges read ahead of the one in turn are held up to this many bytes in all, with
    // what their readers hold outside the queue (Outside); the range in turn is always let
    // through, so that the others come in turn at last.
    static constexpr std::size_t HeldBytes = 16 << 20;
    // A block holds this many rows at most; it also ends at this many bytes of text, so
    // that long texts do not make the blocks waiting between the threads large.
    static constexpr std::size_t BlockRows = 2048;
    static constexpr std::size_t BlockBytes = 2 << 20;
    // What a range's reader holds beside the driver's batch: the driver's row buffers and
    // the block it fills.
    static constexpr std::size_t ReaderBytes = (1 << 20) + BlockBytes;

    // The bytes a range's reader holds outside the queue (the driver's copy of a batch, its
    // buffers, the block it fills), counted with the blocks held, given back at its end.
    class Outside {
    public:
        Outside(BlockQueue& queue, std::size_t range) : m_queue(queue), m_range(range) {}
        ~Outside() { m_queue.holdOutside(m_range, m_bytes, 0); }
        Outside(const Outside&) = delete;
        Outside& operator=(const Outside&) = delete;
        // Holds `bytes` instead of those held before, once there is room for them (at once
        // for the range in turn); false (nothing more held) once stopped.
        bool hold(std::size_t bytes) { return m_queue.holdOutside(m_range, m_bytes, bytes); }

    private:
        BlockQueue& m_queue;
        std::size_t m_range;
        std::size_t m_bytes = 0;
    };

    // Empties the queue for a new table, whose blocks in turn may wait up to `aheadBytes`
    // in all (0: a few blocks).
    void reset(std::size_t aheadBytes);
    void setAheadBytes(std::size_t bytes);
    // Puts a block of its range in, waiting for room; false (nothing put in) once stopped.
    bool put(RowBlock& block);
    // No more blocks come for `range`: the next range is in turn.
    void finishRange(std::size_t range);
    // Takes the next block in order, waiting for it; `used` goes back for reuse.
    RowBlock take(RowBlock used, const system::Waiter& whileWaiting);
    // A block to fill: an emptied one given back, or a new one.
    RowBlock spare();
    // Whether no block in turn is waiting to be taken.
    bool nothingInTurn();
    bool stopped();
    // Stops every put, now and later, until the next reset.
    void stop();
    // While a range waits to be read again (its connection was lost), later ranges are let
    // through beyond the bytes held, so that a reader is free to take it; calls pair.
    void holdBackNothing(bool waiting);
    // What a block takes in memory, a block of no columns included.
    static std::size_t bytesOf(const RowBlock& block) {
        return 256 + block.text.capacity() + block.ends.capacity() * sizeof(std::size_t) +
               block.nulls.capacity();
    }

private:
    // Replaces `held` bytes outside the queue by `bytes`, waiting for room unless `range`
    // is in turn or the bytes are fewer.
    bool holdOutside(std::size_t range, std::size_t& held, std::size_t bytes);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<RowBlock> m_inTurn;
    std::map<std::size_t, std::deque<RowBlock>> m_held;
    std::set<std::size_t> m_finished;
    std::size_t m_turn = 0;
    std::size_t m_inTurnBytes = 0;
    std::size_t m_heldBytes = 0;
    std::size_t m_outsideBytes = 0;
    std::size_t m_aheadBytes = 0;
    std::vector<RowBlock> m_spare;
    bool m_stop = false;
    std::size_t m_readAgain = 0;
};

} // namespace kestrove
