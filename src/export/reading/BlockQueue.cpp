#include "export/reading/BlockQueue.h"

namespace kestrove {

namespace {
constexpr std::size_t QueuedBlocks = 4;
// Blocks kept for reuse once read: enough for the readers never to wait for memory.
constexpr std::size_t SpareBlocks = 2;
} // namespace

void BlockQueue::reset(std::size_t aheadBytes) {
    std::lock_guard lock(m_mutex);
    m_inTurn.clear();
    m_held.clear();
    m_finished.clear();
    m_turn = 0;
    m_inTurnBytes = 0;
    m_heldBytes = 0;
    m_outsideBytes = 0;
    m_aheadBytes = aheadBytes;
    m_stop = false;
    m_readAgain = 0;
}

void BlockQueue::setAheadBytes(std::size_t bytes) {
    {
        std::lock_guard lock(m_mutex);
        m_aheadBytes = bytes;
    }
    m_changed.notify_all();
}

bool BlockQueue::put(RowBlock& block) {
    const std::size_t bytes = bytesOf(block);
    std::unique_lock lock(m_mutex);
    // Blocks in turn wait for a few taken before them, or up to the bytes allowed ahead;
    // those of later ranges for the bytes held. Since the range in turn always goes on,
    // the held ones always come in turn at last.
    m_changed.wait(lock, [&] {
        if (m_stop)
            return true;
        if (block.range == m_turn)
            return m_inTurn.size() < QueuedBlocks || m_inTurnBytes + bytes <= m_aheadBytes;
        return m_readAgain > 0 || m_heldBytes + m_outsideBytes + bytes <= HeldBytes;
    });
    if (m_stop)
        return false;
    if (block.range == m_turn) {
        m_inTurnBytes += bytes;
        m_inTurn.push_back(std::move(block));
    } else {
        m_heldBytes += bytes;
        m_held[block.range].push_back(std::move(block));
    }
    m_changed.notify_all();
    return true;
}

bool BlockQueue::holdOutside(std::size_t range, std::size_t& held, std::size_t bytes) {
    std::unique_lock lock(m_mutex);
    m_outsideBytes -= held;
    held = 0;
    m_changed.wait(lock, [&] {
        return m_stop || bytes == 0 || range <= m_turn || m_readAgain > 0 ||
               m_heldBytes + m_outsideBytes + bytes <= HeldBytes;
    });
    if (m_stop && bytes > 0) {
        m_changed.notify_all();
        return false;
    }
    held = bytes;
    m_outsideBytes += bytes;
    m_changed.notify_all();
    return true;
}

void BlockQueue::holdBackNothing(bool waiting) {
    {
        std::lock_guard lock(m_mutex);
        m_readAgain = waiting ? m_readAgain + 1 : m_readAgain - 1;
    }
    m_changed.notify_all();
}

void BlockQueue::finishRange(std::size_t range) {
    {
        std::lock_guard lock(m_mutex);
        m_finished.insert(range);
        while (m_finished.erase(m_turn) > 0) {
            ++m_turn;
            const auto held = m_held.find(m_turn);
            if (held == m_held.end())
                continue;
            for (RowBlock& block : held->second) {
                const std::size_t bytes = bytesOf(block);
                m_heldBytes -= bytes;
                m_inTurnBytes += bytes;
                m_inTurn.push_back(std::move(block));
            }
            m_held.erase(held);
        }
    }
    m_changed.notify_all();
}

RowBlock BlockQueue::take(RowBlock used, const system::Waiter& whileWaiting) {
    std::unique_lock lock(m_mutex);
    if (m_spare.size() < SpareBlocks)
        m_spare.push_back(std::move(used));
    system::waitYielding(
        m_changed, lock, [&] { return !m_inTurn.empty(); }, whileWaiting);
    RowBlock block = std::move(m_inTurn.front());
    m_inTurn.pop_front();
    m_inTurnBytes -= bytesOf(block);
    lock.unlock();
    m_changed.notify_all();
    return block;
}

RowBlock BlockQueue::spare() {
    std::lock_guard lock(m_mutex);
    if (m_spare.empty())
        return RowBlock{};
    RowBlock block = std::move(m_spare.back());
    m_spare.pop_back();
    block.text.clear();
    block.ends.clear();
    block.nulls.clear();
    block.used = 0;
    block.repaired = 0;
    block.failure = nullptr;
    block.last = false;
    block.range = 0;
    return block;
}

bool BlockQueue::nothingInTurn() {
    std::lock_guard lock(m_mutex);
    return m_inTurn.empty();
}

bool BlockQueue::stopped() {
    std::lock_guard lock(m_mutex);
    return m_stop;
}

void BlockQueue::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
}

} // namespace kestrove
