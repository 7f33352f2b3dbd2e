#include "coproc/models/spi.hpp"

#include <algorithm>
#include <ostream>

#include <fmt/format.h>

namespace coproc {

namespace {

constexpr uint8_t kBusMask = 0x3F;

} // namespace

SpiModel::SpiModel() : flash_(kFlashSize, 0xFF) {}

uint8_t SpiModel::type() const { return DEV_TYPE_SPI; }

// A piece of k bytes is answered with the k bytes clocked in meanwhile; the
// set-up request with the plain acknowledgement.
size_t SpiModel::reply_payload(const Frame &request) const
{
    if (request.command == CMD_WRITE && !request.payload.empty())
        return request.payload.size() - 1;
    return 1;
}

Reply SpiModel::handle(const Frame &request)
{
    if (request.command == CMD_CONTROL)
        return setup(request);
    if (request.command == CMD_WRITE)
        return piece(request);
    return {STATUS_BAD_ARGUMENT};
}

void SpiModel::power_on()
{
    for (auto &bus : buses_)
        bus = Bus{};
    flash_wel_ = false;
    flash_cmd_ = 0;
    flash_count_ = 0;
}

void SpiModel::set_flash(size_t address, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
        flash_[(address + i) % kFlashSize] = bytes[i];
}

// [bus index][mode][speed code][endpoint]([chip select])
Reply SpiModel::setup(const Frame &req)
{
    if (req.payload.size() < 4)
        return {STATUS_BAD_ARGUMENT};
    const size_t index = req.payload[0];
    if (index >= kSpiBusCount)
        return {kSpiStatusNoBus};
    Bus &bus = buses_[index];
    bus.mode = req.payload[1];
    bus.speed_code = req.payload[2];
    bus.endpoint = req.payload[3];
    bus.chip_select = req.payload.size() > 4 ? req.payload[4] : 0;
    ++bus.setups;
    return {};
}

// [header][k bytes]: the bytes go out on MOSI and k come back on MISO.
Reply SpiModel::piece(const Frame &req)
{
    const size_t k = req.payload.empty() ? 0 : req.payload.size() - 1;
    if (req.payload.empty())
        return {STATUS_BAD_ARGUMENT, Bytes{}};
    const uint8_t header = req.payload[0];
    const size_t index = header & kBusMask;
    if (index >= kSpiBusCount)
        return {kSpiStatusNoBus, Bytes(k, 0x00)};
    Bus &bus = buses_[index];
    const bool first = header & kSpiPieceFirst, last = header & kSpiPieceLast;
    // A first piece opens a transfer, a last one closes it; a piece with the
    // bare index continues an open transfer or is a transfer by itself.
    const bool opens = first || !bus.in_transfer;
    if ((last && !bus.in_transfer) || (first && bus.in_transfer) || (first && last)) {
        ++bus.out_of_order;
        bus.in_transfer = false;
        bus.pieces_of_current.clear();
        return {kSpiStatusOutOfOrder, Bytes(k, 0x00)};
    }
    ++bus.pieces;
    if (opens) {
        bus.pieces_of_current.clear();
        if (index == 1)
            flash_select();
    }
    bus.pieces_of_current.push_back(static_cast<uint8_t>(std::min<size_t>(k, 255)));
    Bytes miso(k);
    for (size_t i = 0; i < k; ++i)
        miso[i] = index == 0 ? req.payload[1 + i] : flash_byte(req.payload[1 + i]);
    bus.in_transfer = first || (bus.in_transfer && !last);
    if (!bus.in_transfer) {
        ++bus.transfers;
        bus.last_transfer_pieces.assign(bus.pieces_of_current.begin(), bus.pieces_of_current.end());
        bus.pieces_of_current.clear();
    }
    return {STATUS_DONE, std::move(miso)};
}

void SpiModel::flash_select()
{
    flash_cmd_ = 0;
    flash_count_ = 0;
    flash_addr_ = 0;
}

// One byte clocked on the flash: what it answers while the byte comes in.
uint8_t SpiModel::flash_byte(uint8_t mosi)
{
    const size_t n = flash_count_++;
    if (n == 0) {
        flash_cmd_ = mosi;
        if (mosi == kFlashCmdWriteEnable)
            flash_wel_ = true;
        else if (mosi == kFlashCmdWriteDisable)
            flash_wel_ = false;
        return 0xFF;
    }
    switch (flash_cmd_) {
    case kFlashCmdJedecId:
        return n <= kFlashJedecId.size() ? kFlashJedecId[n - 1] : 0x00;
    case kFlashCmdReadStatus:
        return flash_status();
    case kFlashCmdRead:
    case kFlashCmdPageProgram:
        if (n <= 3) {
            flash_addr_ = ((flash_addr_ << 8) | mosi) & (kFlashSize - 1);
            return 0xFF;
        }
        if (flash_cmd_ == kFlashCmdRead)
            return flash_[(flash_addr_ + n - 4) % kFlashSize];
        if (flash_wel_) {
            // Programming clears bits only, and wraps within the page.
            const size_t page = flash_addr_ & ~(kFlashPage - 1);
            const size_t at = page + ((flash_addr_ + n - 4) & (kFlashPage - 1));
            flash_[at] &= mosi;
        }
        return 0xFF;
    default:
        return 0xFF;
    }
}

void SpiModel::describe(std::ostream &out) const
{
    for (size_t i = 0; i < kSpiBusCount; ++i) {
        const Bus &b = buses_[i];
        out << fmt::format("spi bus {} ({}): mode {:#04x} speed code {} endpoint {} cs {}, {} set-ups, {} transfers "
                           "in {} pieces, {} out of order{}\n",
                           i, i == 0 ? "loopback" : "flash", b.mode, b.speed_code, b.endpoint, b.chip_select, b.setups,
                           b.transfers, b.pieces, b.out_of_order, b.in_transfer ? ", a transfer open" : "");
    }
    out << fmt::format("spi flash: id {:02x} {:02x} {:02x}, status {:#04x}\n", kFlashJedecId[0], kFlashJedecId[1],
                       kFlashJedecId[2], flash_status());
}

} // namespace coproc
