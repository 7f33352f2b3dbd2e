#include "parse.hpp"

#include <linux/quorvel.h>

#include <coproc/frame.hpp>

#include <charconv>
#include <limits>

namespace board {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Drops surrounding blanks; returns an empty view for a blank command.
std::string_view trim(std::string_view s)
{
    while (!s.empty() && (is_blank(s.front()) || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

void keep_command(std::vector<std::string> &out, std::string_view cmd)
{
    cmd = trim(cmd);
    if (!cmd.empty() && cmd.front() != '#')
        out.emplace_back(cmd);
}

std::optional<uint64_t> parse_digits(std::string_view text, int base)
{
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool has_hex_prefix(std::string_view t) { return t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'); }

} // namespace

std::vector<std::string> split_commands(std::string_view text)
{
    std::vector<std::string> out;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ';' || c == '\n') {
            keep_command(out, text.substr(start, i - start));
            start = i + 1;
        }
    }
    keep_command(out, text.substr(start));
    return out;
}

std::optional<std::vector<std::string>> split_words(std::string_view command, std::vector<bool> *quoted)
{
    std::vector<std::string> words;
    std::vector<bool> marks;
    std::string word;
    bool in_word = false; // a quoted empty string is still a word
    bool was_quoted = false;
    char quote = 0;
    auto finish = [&] {
        if (in_word) {
            words.push_back(std::move(word));
            marks.push_back(was_quoted);
        }
        word.clear();
        in_word = false;
        was_quoted = false;
    };
    for (char c : command) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
            was_quoted = true;
        } else if (is_blank(c) || c == '\n') {
            finish();
        } else if (c == '>') {
            finish();
            words.emplace_back(">");
            marks.push_back(false);
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote)
        return std::nullopt;
    finish();
    if (quoted)
        *quoted = std::move(marks);
    return words;
}

std::string quote_text(const std::string &word) { return '"' + word + '"'; }

bool is_quoted_text(const std::string &word) { return word.size() >= 2 && word.front() == '"' && word.back() == '"'; }

std::string unquote(const std::string &word) { return is_quoted_text(word) ? word.substr(1, word.size() - 2) : word; }

std::optional<uint64_t> parse_number(std::string_view text)
{
    if (has_hex_prefix(text))
        return parse_digits(text.substr(2), 16);
    return parse_digits(text, 10);
}

std::optional<long> parse_integer(std::string_view text)
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    const auto magnitude = parse_number(text);
    if (!magnitude)
        return std::nullopt;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<long>::max()) + (negative ? 1 : 0);
    if (*magnitude > limit)
        return std::nullopt;
    // Negating in unsigned arithmetic keeps LONG_MIN representable.
    return negative ? static_cast<long>(0 - *magnitude) : static_cast<long>(*magnitude);
}

std::optional<uint8_t> parse_hex_byte(std::string_view text)
{
    if (has_hex_prefix(text))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 2)
        return std::nullopt;
    const auto value = parse_digits(text, 16);
    if (!value)
        return std::nullopt;
    return static_cast<uint8_t>(*value);
}

const std::vector<IoctlName> &ioctl_names()
{
    static const std::vector<IoctlName> table = {
        // The module's own, from the programs' header.
        {"CONFIG_IOCTL_ENABLE_ALL", CONFIG_IOCTL_ENABLE_ALL},
        {"CONFIG_IOCTL_APPLY_MODES", CONFIG_IOCTL_APPLY_MODES},
        {"CONFIG_IOCTL_VERSION", CONFIG_IOCTL_VERSION},
        {"CONFIG_IOCTL_RESET", CONFIG_IOCTL_RESET},
        {"DHT_IOCTL_CMD", DHT_IOCTL_CMD},
        {"DS18B20_READ_CMD", DS18B20_READ_CMD},
        {"SR04_READ_CMD", SR04_READ_CMD},
        {"GP2Y_READ_CMD", GP2Y_READ_CMD},
        {"IR_SEND_CMD", IR_SEND_CMD},
        {"IR_RECV_CMD", IR_RECV_CMD},
        {"I2C_RETRIES", 0x0701},
        {"I2C_TIMEOUT", 0x0702},
        {"I2C_SLAVE", 0x0703},
        {"I2C_TENBIT", 0x0704},
        {"I2C_FUNCS", 0x0705},
        {"I2C_SLAVE_FORCE", 0x0706},
        {"I2C_RDWR", 0x0707},
        {"I2C_PEC", 0x0708},
        {"I2C_SMBUS", 0x0720},
        {"SPI_IOC_RD_MODE", 0x80016b01},
        {"SPI_IOC_WR_MODE", 0x40016b01},
        {"SPI_IOC_RD_LSB_FIRST", 0x80016b02},
        {"SPI_IOC_WR_LSB_FIRST", 0x40016b02},
        {"SPI_IOC_RD_BITS_PER_WORD", 0x80016b03},
        {"SPI_IOC_WR_BITS_PER_WORD", 0x40016b03},
        {"SPI_IOC_RD_MAX_SPEED_HZ", 0x80046b04},
        {"SPI_IOC_WR_MAX_SPEED_HZ", 0x40046b04},
        {"SPI_IOC_RD_MODE32", 0x80046b05},
        {"SPI_IOC_WR_MODE32", 0x40046b05},
    };
    return table;
}

// SPI_IOC_MESSAGE(N): N transfers of 32 bytes, as the ioctl's size bits.
std::optional<unsigned> parse_spi_message(std::string_view text)
{
    constexpr std::string_view head = "SPI_IOC_MESSAGE(";
    if (!text.starts_with(head) || !text.ends_with(')'))
        return std::nullopt;
    const auto n = parse_number(text.substr(head.size(), text.size() - head.size() - 1));
    if (!n || *n * 32 >= (1 << 14))
        return std::nullopt;
    return 0x40006b00U | (static_cast<unsigned>(*n) * 32U << 16);
}

std::optional<unsigned> parse_ioctl_request(std::string_view text)
{
    for (const auto &row : ioctl_names())
        if (row.name == text)
            return row.number;
    if (auto spi = parse_spi_message(text))
        return spi;
    const auto value = parse_number(text);
    if (!value || *value > std::numeric_limits<unsigned>::max())
        return std::nullopt;
    return static_cast<unsigned>(*value);
}

std::string hex_bytes(const uint8_t *data, size_t count) { return coproc::hex({data, count}); }

} // namespace board
