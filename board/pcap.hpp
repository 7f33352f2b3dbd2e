#pragma once
// The serial trace as a pcap file that Wireshark and tshark read: one packet
// per frame (or per run of bytes that is no frame), on the user link type
// LINKTYPE_USER0 (147), each packet a direction byte and then the bytes as
// they crossed the line. tools/wireshark/quorvel.lua decodes them.
#include <cstdint>
#include <cstdio>
#include <string>

#include "trace.hpp"

namespace board {

inline constexpr uint32_t kPcapLinkType = 147; // LINKTYPE_USER0

// The direction byte in front of each packet's bytes.
enum class PcapDir : uint8_t { Request = 0, Reply = 1, Drained = 2 };

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Creates (or empties) the file and writes its header; false with the
    // reason in `why` when it cannot.
    bool open(const std::string &path, std::string *why);
    // One packet; written through, so a capture being followed can be read.
    void write(const TraceLine &line);

private:
    std::FILE *file_ = nullptr;
};

} // namespace board
