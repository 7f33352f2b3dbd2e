#include "coproc/faults.hpp"

#include <algorithm>

namespace coproc {

namespace {

constexpr uint8_t kStaleFill = 0x55;

uint8_t replace_or_flip(uint8_t original, unsigned value)
{
    return value != 0 ? static_cast<uint8_t>(value) : static_cast<uint8_t>(original ^ 0x01);
}

// Field changes go first, so a short reply cuts the already altered frame.
void alter(Bytes &reply, const Fault &f)
{
    if (reply.size() < kFrameOverhead)
        return;
    uint8_t &cmd = reply[2];
    switch (f.kind) {
    case FaultKind::WrongHead:
        reply.front() = replace_or_flip(reply.front(), f.value);
        break;
    case FaultKind::WrongTail:
        reply.back() = replace_or_flip(reply.back(), f.value);
        break;
    case FaultKind::WrongCommand: {
        const uint8_t nibble = replace_or_flip(cmd >> 4, f.value) & 0x0F;
        cmd = static_cast<uint8_t>((nibble << 4) | (cmd & 0x0F));
        break;
    }
    case FaultKind::BadCrc:
        reply[reply.size() - 2] ^= 0xFF;
        break;
    case FaultKind::Status:
        cmd = static_cast<uint8_t>((cmd & 0xF0) | (f.value & 0x0F));
        break;
    default:
        break;
    }
}

Bytes stale_bytes(const Fault &f) { return f.data.empty() ? Bytes(f.value, kStaleFill) : f.data; }

} // namespace

Delivery FaultQueue::apply(Bytes reply)
{
    Delivery out;
    bool lost = false;
    size_t cut = 0;
    Bytes stale;
    for (const Fault &f : faults_) {
        if (f.skip > 0 || f.count == 0)
            continue; // not due on this reply
        alter(reply, f);
        if (f.kind == FaultKind::NoReply)
            lost = true;
        else if (f.kind == FaultKind::ShortReply)
            cut += std::max(f.value, 1u);
        else if (f.kind == FaultKind::Delay)
            out.delay += std::chrono::milliseconds(f.value);
        else if (f.kind == FaultKind::StaleBytes) {
            const Bytes s = stale_bytes(f);
            stale.insert(stale.end(), s.begin(), s.end());
        }
    }
    reply.resize(reply.size() - std::min(cut, reply.size()));
    if (!lost) {
        out.bytes = std::move(stale);
        out.bytes.insert(out.bytes.end(), reply.begin(), reply.end());
    }
    count_down();
    return out;
}

void FaultQueue::count_down()
{
    for (Fault &f : faults_) {
        if (f.skip > 0)
            --f.skip;
        else if (f.count > 0)
            --f.count;
    }
    std::erase_if(faults_, [](const Fault &f) { return f.skip == 0 && f.count == 0; });
}

} // namespace coproc
