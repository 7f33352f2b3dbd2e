#include "leave_pins.hpp"

#include <string>
#include <vector>

namespace board {

namespace {

std::vector<std::string> names_in(Board &b, const std::string &dir)
{
    std::vector<khost::DirEntry> entries;
    std::vector<std::string> names;
    if (b.list(dir, &entries) == 0)
        for (const auto &e : entries)
            names.push_back(e.name);
    return names;
}

// `prefix` followed by a number: that number, else an empty string.
std::string number_after(const std::string &name, const std::string &prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return {};
    const std::string n = name.substr(prefix.size());
    return n.find_first_not_of("0123456789") == std::string::npos ? n : std::string{};
}

bool write_line(Board &b, const std::string &path, const std::string &text)
{
    const long fd = b.open(path, 1);
    if (fd < 0)
        return false;
    const std::string line = text + "\n";
    const bool ok = b.write(static_cast<int>(fd), line.data(), line.size()) == static_cast<long>(line.size());
    b.close(static_cast<int>(fd));
    return ok;
}

} // namespace

std::vector<std::string> unexport_pins(Board &b)
{
    std::vector<std::string> done;
    for (const auto &name : names_in(b, "/sys/class/gpio")) {
        const std::string n = number_after(name, "gpio");
        if (!n.empty() && write_line(b, "/sys/class/gpio/unexport", n))
            done.push_back(name);
    }
    for (const auto &chip : names_in(b, "/sys/class/pwm")) {
        const std::string dir = "/sys/class/pwm/" + chip;
        for (const auto &name : names_in(b, dir)) {
            const std::string n = number_after(name, "pwm");
            if (!n.empty() && write_line(b, dir + "/unexport", n))
                done.push_back(chip + "/" + name);
        }
    }
    return done;
}

} // namespace board
