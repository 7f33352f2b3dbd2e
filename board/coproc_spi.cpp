// `coproc spi-flash`: the flash on the co-processor's bus 4, read or written
// as the co-processor holds it, beside what a program sees through
// /dev/spidev4.0.
#include <ostream>

#include <fmt/format.h>

#include "args.hpp"
#include "coproc.hpp"
#include "coproc/models/spi.hpp"
#include "coproc/simulator.hpp"
#include "parse.hpp"
#include "shell.hpp"

namespace board {

namespace {

constexpr size_t kShown = 16;

// spi-flash ADDR [HEXBYTE...]: with bytes, stores them from ADDR on; then
// prints 16 bytes from ADDR.
int coproc_spi_flash(coproc::Simulator &sim, const std::vector<std::string> &args, std::ostream &out)
{
    if (args.empty())
        throw UsageError("spi-flash wants an address");
    const uint64_t addr = arg_number(args[0], "address");
    if (addr >= coproc::kFlashSize)
        throw UsageError(fmt::format("address {:#x} beyond the flash's {:#x} bytes", addr, coproc::kFlashSize));
    std::vector<std::string> words{"spi-flash"};
    words.insert(words.end(), args.begin() + 1, args.end());
    const std::vector<uint8_t> bytes = arg_bytes(words, 1);
    sim.with_firmware([&](coproc::Firmware &fw) {
        auto &spi = fw.model<coproc::SpiModel>();
        if (!bytes.empty())
            spi.set_flash(addr, bytes);
        std::vector<uint8_t> shown;
        for (size_t i = 0; i < kShown; ++i)
            shown.push_back(spi.flash()[(addr + i) % coproc::kFlashSize]);
        out << fmt::format("{:06x}: {}\n", addr, hex_bytes(shown.data(), shown.size()));
    });
    return 0;
}

} // namespace

void add_coproc_spi_commands(std::vector<CoprocCommand> &table)
{
    table.push_back({"spi-flash", "ADDR [HEXBYTE...]",
                     "the flash on SPI bus 4: store the bytes at ADDR, then show 16 bytes from ADDR",
                     coproc_spi_flash});
}

} // namespace board
