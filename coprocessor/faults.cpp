#include "coproc/faults.hpp"

#include <algorithm>
#include <array>

namespace coproc {

namespace {

constexpr uint8_t kStaleFill = 0x55;

// A wrong field is always wrong: a value equal to the original is flipped too.
uint8_t replace_or_flip(uint8_t original, unsigned value)
{
    return value != 0 && static_cast<uint8_t>(value) != original ? static_cast<uint8_t>(value)
                                                                 : static_cast<uint8_t>(original ^ 0x01);
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
        const uint8_t nibble = replace_or_flip(cmd >> 4, f.value & 0x0F) & 0x0F;
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

constexpr uint8_t kLongFill = 0xA5;
constexpr uint8_t kFloodFill = 0x5A;
constexpr unsigned kDefaultFlood = 300;

struct KindName {
    FaultKind kind;
    const char *name;
};

constexpr KindName kNames[] = {
    {FaultKind::NoReply, "noreply"},  {FaultKind::ShortReply, "short"},     {FaultKind::WrongHead, "head"},
    {FaultKind::WrongTail, "tail"},   {FaultKind::WrongCommand, "command"}, {FaultKind::BadCrc, "crc"},
    {FaultKind::Status, "status"},    {FaultKind::Delay, "delay"},          {FaultKind::StaleBytes, "stale"},
    {FaultKind::BitFlip, "bitflip"},  {FaultKind::WrongType, "type"},       {FaultKind::LengthByte, "length"},
    {FaultKind::LongReply, "long"},   {FaultKind::Duplicate, "duplicate"},  {FaultKind::Split, "split"},
    {FaultKind::OtherReply, "other"}, {FaultKind::Flood, "flood"},          {FaultKind::Garbage, "garbage"},
    {FaultKind::Echo, "echo"},
};
static_assert(std::size(kNames) == std::size(kAllFaultKinds));

size_t kind_index(FaultKind kind) { return static_cast<size_t>(kind); }

// The kinds that put other bytes in the reply's place; they go before the
// field changes, which then alter what is sent instead.
bool substitutes(FaultKind kind)
{
    return kind == FaultKind::OtherReply || kind == FaultKind::Garbage || kind == FaultKind::Echo;
}

void alter_more(Bytes &reply, const Fault &f)
{
    if (reply.empty())
        return;
    switch (f.kind) {
    case FaultKind::BitFlip: {
        const size_t bit = f.value % (reply.size() * 8);
        reply[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        break;
    }
    case FaultKind::WrongType: {
        const uint8_t type = reply[0] & 0x3F;
        const uint8_t now = replace_or_flip(type, f.value & 0x3F) & 0x3F;
        reply[0] = static_cast<uint8_t>((reply[0] & 0xC0) | now);
        break;
    }
    case FaultKind::LengthByte:
        if (reply.size() > 1)
            reply[1] = static_cast<uint8_t>(f.value);
        break;
    default:
        break;
    }
}

// splitmix64: small, and the same sequence on every platform.
uint64_t next_value(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

const char *fault_name(FaultKind kind)
{
    for (const auto &n : kNames)
        if (n.kind == kind)
            return n.name;
    return "?";
}

bool fault_from_name(std::string_view name, FaultKind *kind)
{
    for (const auto &n : kNames)
        if (name == n.name) {
            *kind = n.kind;
            return true;
        }
    return false;
}

void FaultQueue::clear()
{
    faults_.clear();
    hostile_ = {};
    std::fill(applied_.begin(), applied_.end(), 0);
    spoilt_ = 0;
}

void FaultQueue::set_hostile(Hostile hostile)
{
    hostile_ = std::move(hostile);
    state_ = hostile_.start;
}

uint64_t FaultQueue::draw() { return next_value(state_); }

Fault FaultQueue::draw_fault()
{
    const auto &kinds = hostile_.kinds;
    const size_t n = kinds.empty() ? std::size(kAllFaultKinds) : kinds.size();
    Fault f{kinds.empty() ? kAllFaultKinds[draw() % n] : kinds[draw() % n]};
    const uint64_t r = draw();
    switch (f.kind) {
    case FaultKind::ShortReply:
        f.value = 1 + r % 4;
        break;
    case FaultKind::WrongHead:
    case FaultKind::WrongTail:
        f.value = r % 2 ? 0 : static_cast<unsigned>(r >> 8) & 0xFF;
        break;
    case FaultKind::WrongCommand:
        f.value = r % 16;
        break;
    case FaultKind::Status:
        f.value = 1 + r % 15;
        break;
    case FaultKind::Delay:
        f.value = std::array<unsigned, 4>{2, 20, 150, 300}[r % 4];
        break;
    case FaultKind::StaleBytes:
        f.value = 1 + r % 80;
        break;
    case FaultKind::BitFlip:
        f.value = static_cast<unsigned>(r % 2048);
        break;
    case FaultKind::WrongType:
        f.value = static_cast<unsigned>(r % 64);
        break;
    case FaultKind::LengthByte:
        f.value = std::array<unsigned, 4>{0, 1, 255, static_cast<unsigned>(r >> 8) & 0xFF}[r % 4];
        break;
    case FaultKind::LongReply:
        f.value = 1 + r % 8;
        break;
    case FaultKind::Split:
        f.value = 1 + r % 150;
        break;
    case FaultKind::Flood:
        f.value = 51 + r % 1000;
        break;
    case FaultKind::Garbage:
        f.value = static_cast<unsigned>(r % 40);
        break;
    default:
        break;
    }
    return f;
}

Delivery FaultQueue::apply(Bytes reply, const Bytes &request)
{
    const Bytes clean = reply;
    std::vector<Fault> due;
    for (const Fault &f : faults_)
        if (f.skip == 0 && f.count > 0)
            due.push_back(f);
    if (hostile_.percent > 0 && draw() % 100 < hostile_.percent) {
        Fault f = draw_fault();
        // Drawn stale bytes stop short of the reply's length, so that what
        // the module reads is always part stale: more would leave the whole
        // reply behind, which a later request of the same kind may take for
        // its own (one time in 64, by its tail).
        if (f.kind == FaultKind::StaleBytes)
            f.value = 1 + f.value % static_cast<unsigned>(std::max<size_t>(reply.size(), 2) - 1);
        due.push_back(std::move(f));
    }

    Delivery out;
    bool lost = false, twice = false, split = false;
    size_t cut = 0;
    Bytes stale, after;
    for (const Fault &f : due) {
        ++applied_[kind_index(f.kind)];
        if (f.kind == FaultKind::OtherReply) {
            lost = lost || last_reply_.empty();
            reply = last_reply_;
        } else if (f.kind == FaultKind::Garbage) {
            reply.resize(f.value != 0 ? f.value : clean.size());
            for (uint8_t &b : reply)
                b = static_cast<uint8_t>(draw());
        } else if (f.kind == FaultKind::Echo) {
            reply = request;
        }
    }
    for (const Fault &f : due) {
        if (substitutes(f.kind))
            continue;
        alter(reply, f);
        alter_more(reply, f);
        switch (f.kind) {
        case FaultKind::NoReply:
            lost = true;
            break;
        case FaultKind::ShortReply:
            cut += std::max(f.value, 1u);
            break;
        case FaultKind::Delay:
            out.delay += std::chrono::milliseconds(f.value);
            break;
        case FaultKind::StaleBytes: {
            const Bytes s = stale_bytes(f);
            stale.insert(stale.end(), s.begin(), s.end());
            break;
        }
        case FaultKind::LongReply:
            after.insert(after.end(), std::max(f.value, 1u), kLongFill);
            break;
        case FaultKind::Duplicate:
            twice = true;
            break;
        case FaultKind::Split:
            split = true;
            out.gap += std::chrono::milliseconds(f.value);
            break;
        case FaultKind::Flood:
            after.insert(after.end(), f.value != 0 ? f.value : kDefaultFlood, kFloodFill);
            break;
        default:
            break;
        }
    }
    reply.resize(reply.size() - std::min(cut, reply.size()));
    if (!lost) {
        out.bytes = std::move(stale);
        out.bytes.insert(out.bytes.end(), reply.begin(), reply.end());
        if (twice)
            out.bytes.insert(out.bytes.end(), reply.begin(), reply.end());
        out.bytes.insert(out.bytes.end(), after.begin(), after.end());
    }
    if (split) {
        const auto half = out.bytes.begin() + static_cast<std::ptrdiff_t>(out.bytes.size() / 2);
        out.later.assign(half, out.bytes.end());
        out.bytes.erase(half, out.bytes.end());
    }
    last_reply_ = clean;
    spoilt_ += due.empty() ? 0 : 1;
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
