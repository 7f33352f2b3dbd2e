// The co-processor's two SPI buses, as the module's masters reach them:
// bus index 0 (Linux bus 3) has MISO wired back to MOSI, so every byte comes
// back as sent; bus index 1 (Linux bus 4) carries a small serial flash that
// answers a JEDEC-ID read, a status read, write enable and disable, reads and
// page programs, with 0xFF on MISO while it listens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <vector>

#include "coproc/firmware.hpp"

namespace coproc {

// Piece headers: the bus index, with these flags on the first and last of
// a transfer cut into several pieces.
inline constexpr uint8_t kSpiPieceFirst = 0x80;
inline constexpr uint8_t kSpiPieceLast = 0x40;
inline constexpr size_t kSpiBusCount = 2;

// Statuses of the SPI requests besides done.
inline constexpr uint8_t kSpiStatusNoBus = 0x4;      // a bus index the co-processor does not have
inline constexpr uint8_t kSpiStatusOutOfOrder = 0x5; // a middle or last piece with no transfer begun

// The flash on bus index 1.
inline constexpr std::array<uint8_t, 3> kFlashJedecId{0x51, 0x40, 0x10};
inline constexpr size_t kFlashSize = 64 * 1024;
inline constexpr size_t kFlashPage = 256;
inline constexpr uint8_t kFlashCmdPageProgram = 0x02, kFlashCmdRead = 0x03, kFlashCmdWriteDisable = 0x04,
                         kFlashCmdReadStatus = 0x05, kFlashCmdWriteEnable = 0x06, kFlashCmdJedecId = 0x9F;
inline constexpr uint8_t kFlashStatusWel = 0x02;

class SpiModel : public DeviceModel {
public:
    struct Bus {
        // The last set-up request: mode byte, speed code, endpoint and (bus
        // index 0 only) chip select.
        uint8_t mode = 0;
        uint8_t speed_code = 0;
        uint8_t endpoint = 0;
        uint8_t chip_select = 0;
        unsigned setups = 0;
        unsigned transfers = 0; // transfers ended (a lone piece or a last one)
        unsigned pieces = 0;
        unsigned out_of_order = 0;                // pieces refused for breaking a transfer's order
        bool in_transfer = false;                 // a first piece came, its last not yet
        std::vector<uint8_t> pieces_of_current;   // sizes of the open transfer's pieces
        std::vector<size_t> last_transfer_pieces; // piece sizes of the last transfer ended
    };

    SpiModel();

    [[nodiscard]] uint8_t type() const override;
    [[nodiscard]] size_t reply_payload(const Frame &request) const override;
    [[nodiscard]] Reply handle(const Frame &request) override;
    void power_on() override;
    void describe(std::ostream &out) const override;

    [[nodiscard]] const Bus &bus(size_t index) const { return buses_.at(index); }
    // The flash's memory (bus index 1); erased is 0xFF.
    [[nodiscard]] const std::vector<uint8_t> &flash() const { return flash_; }
    void set_flash(size_t address, const std::vector<uint8_t> &bytes);
    [[nodiscard]] uint8_t flash_status() const { return flash_wel_ ? kFlashStatusWel : 0; }

private:
    Reply setup(const Frame &req);
    Reply piece(const Frame &req);
    uint8_t flash_byte(uint8_t mosi);
    void flash_select(); // chip select falls: a new command begins

    std::array<Bus, kSpiBusCount> buses_{};
    std::vector<uint8_t> flash_;
    bool flash_wel_ = false;
    // The command under way on the flash: its opcode, the bytes clocked since
    // chip select fell, the address it gathered.
    uint8_t flash_cmd_ = 0;
    size_t flash_count_ = 0;
    uint32_t flash_addr_ = 0;
};

} // namespace coproc
